#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace ColorCalFrontend {

/// Whether the metadata library reads and writes metadata in files of this
/// extension (lower case, with the dot): JPEG, PNG, TIFF and WebP.
bool holdsMetadata(const std::string& extension);

/// Copies the EXIF and XMP of `input` into the image file `output` (already
/// written), without the EXIF thumbnail and without the tags that describe
/// the input's own image structure, setting EXIF (and XMP) ColorSpace to
/// sRGB, or to uncalibrated when `linearValues`; embeds `outputProfile`
/// (the ICC profile of the written values) where the input had a profile or
/// where `linearValues`. Does nothing when `output`'s format holds no
/// metadata. Throws `FrontendError` when the metadata library fails on the
/// output; an input whose metadata cannot be read has none to carry. All
/// calls of the metadata library hold `lock`.
void carryMetadata(const std::string& input, const std::string& output,
                   const std::string& outputExtension, bool linearValues,
                   const std::vector<unsigned char>& outputProfile, std::mutex& lock);

}  // namespace ColorCalFrontend
