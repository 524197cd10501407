#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "PhotoCorrection.h"

/// Photo files corrected with a calibration: read within a size limit,
/// corrected, written through a temporary file in the output's format with
/// the input's metadata.
namespace ColorCalFrontend {

/// The format a corrected photo is written in.
enum class PhotoFormat {
    eSame,  ///< the input's own format (by its extension) and bit depth
    ePng,   ///< PNG: 8-bit stays 8-bit, 16-bit and float become 16-bit
    eJpeg,  ///< JPEG (quality 95): always 8-bit, an alpha channel is dropped
    eTiff,  ///< TIFF: 8-bit, 16-bit and float (LZW) kept
};

/// "png", "jpg" or "tiff" (also "jpeg", "tif"); none for another name.
std::optional<PhotoFormat> photoFormatOfName(const std::string& name);

/// The name a corrected photo gets in `outDir`: the input's file name, with
/// the extension of `format` unless it is eSame.
std::string correctedPhotoName(const std::string& input, const std::string& outDir,
                               PhotoFormat format);

/// One photo of a batch: where it is read from and where its correction goes.
struct PhotoJob {
    std::string input;
    std::string output;
};

/// Refuses, before any work, a batch whose outputs would replace one of the
/// inputs `inputs` (the photos, and also the calibration and white files)
/// or each other, also through other spellings or links, and outputs whose
/// folder does not exist or that name a folder. Throws `FrontendError`
/// naming both files. Takes O(n log n) file-system look-ups.
void requireDistinctOutputs(const std::vector<PhotoJob>& jobs,
                            const std::vector<std::string>& otherInputs);

/// How the photos of a batch are corrected.
struct ApplySettings {
    /// The calibration; its encoding is used whatever the photo's depth.
    const CorrectionModel* model = nullptr;
    cv::Mat white;  ///< working-space white (`CorrectionModel::workingWhite`), or empty
    PhotoFormat format = PhotoFormat::eSame;
    double maxMegapixels = 100.0;  ///< photos declaring more pixels are refused unread
};

/// Reads, corrects and writes one photo: the photo must be a regular file
/// of at most `maxMegapixels`, decodable by OpenCV, of the white's size
/// when a white is given; the output keeps its bit depth within what the
/// format holds, and gets the input's EXIF and XMP (without the EXIF
/// thumbnail, which shows the uncorrected photo) where the format holds
/// them (JPEG, PNG, TIFF, WebP), with the colour-space tags describing the
/// written values: EXIF ColorSpace sRGB (1) for sRGB-encoded values,
/// uncalibrated (65535) for linear ones, and an embedded ICC profile of
/// sRGB or linear sRGB where the input had one (which described the
/// camera's values, not the corrected ones) or where the values are linear.
/// The file appears only when complete (temporary file and rename). Throws
/// `FrontendError` with the reason. `metadataLock` serialises the metadata
/// library, which is not safe to use from several threads at once.
void applyToPhotoFile(const PhotoJob& job, const ApplySettings& settings, std::mutex& metadataLock);

/// Corrects the photos of `jobs` in parallel (oneTBB; each photo's rows in
/// parallel too). A photo that cannot be read, corrected or written does
/// not stop the others. Returns one entry per job, in order: empty on
/// success, else the reason. `done` is called after each photo (one call
/// at a time) with the count finished so far.
std::vector<std::string> applyToPhotoFiles(const std::vector<PhotoJob>& jobs,
                                           const ApplySettings& settings,
                                           const std::function<void(std::size_t)>& done);

}  // namespace ColorCalFrontend
