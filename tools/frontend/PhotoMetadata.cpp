#include "PhotoMetadata.h"

#include <cstdint>

// The metadata library's interface still uses std::auto_ptr.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>

#include "FrontendError.h"

namespace ColorCalFrontend {

namespace {

/// EXIF tags of the input's own file structure: the output's writer sets its own.
const char* const kStructureTags[] = {
    "Exif.Image.ImageWidth",
    "Exif.Image.ImageLength",
    "Exif.Image.BitsPerSample",
    "Exif.Image.Compression",
    "Exif.Image.PhotometricInterpretation",
    "Exif.Image.StripOffsets",
    "Exif.Image.SamplesPerPixel",
    "Exif.Image.RowsPerStrip",
    "Exif.Image.StripByteCounts",
    "Exif.Image.PlanarConfiguration",
    "Exif.Image.TileWidth",
    "Exif.Image.TileLength",
    "Exif.Image.TileOffsets",
    "Exif.Image.TileByteCounts",
    "Exif.Image.SampleFormat",
    "Exif.Image.ExtraSamples",
    "Exif.Image.Predictor",
    "Exif.Image.InterColorProfile",
    "Exif.Image.NewSubfileType",
    "Exif.Image.SubIFDs",
    "Exif.Image.JPEGInterchangeFormat",
    "Exif.Image.JPEGInterchangeFormatLength",
};

}  // namespace

bool holdsMetadata(const std::string& extension) {
    return extension == ".jpg" || extension == ".jpeg" || extension == ".jpe" ||
           extension == ".png" || extension == ".tif" || extension == ".tiff" ||
           extension == ".webp";
}

void carryMetadata(const std::string& input, const std::string& output,
                   const std::string& outputExtension, bool linearValues,
                   const std::vector<unsigned char>& outputProfile, std::mutex& lock) {
    if (!holdsMetadata(outputExtension)) {
        return;
    }
    const std::lock_guard<std::mutex> guard(lock);
    Exiv2::ExifData exif;
    Exiv2::XmpData xmp;
    bool hadProfile = false;
    try {
        Exiv2::Image::AutoPtr source = Exiv2::ImageFactory::open(input);
        source->readMetadata();
        exif = source->exifData();
        xmp = source->xmpData();
        hadProfile = source->iccProfileDefined();
    } catch (const Exiv2::AnyError&) {
        // A format the metadata library does not read: nothing to carry over.
    }
    const bool embedProfile = (hadProfile || linearValues) && !outputProfile.empty();
    if (exif.empty() && xmp.empty() && !embedProfile) {
        return;
    }
    try {
        Exiv2::Image::AutoPtr target = Exiv2::ImageFactory::open(output);
        target->readMetadata();
        if (!exif.empty()) {
            Exiv2::ExifThumb(exif).erase();
            for (const char* key : kStructureTags) {
                const auto it = exif.findKey(Exiv2::ExifKey(key));
                if (it != exif.end()) {
                    exif.erase(it);
                }
            }
            exif["Exif.Photo.ColorSpace"] = static_cast<std::uint16_t>(linearValues ? 65535 : 1);
            target->setExifData(exif);
        }
        if (!xmp.empty()) {
            if (xmp.findKey(Exiv2::XmpKey("Xmp.exif.ColorSpace")) != xmp.end()) {
                xmp["Xmp.exif.ColorSpace"] = linearValues ? "65535" : "1";
            }
            const auto iccName = xmp.findKey(Exiv2::XmpKey("Xmp.photoshop.ICCProfile"));
            if (iccName != xmp.end()) {
                xmp.erase(iccName);
            }
            target->setXmpData(xmp);
        }
        if (embedProfile) {
            Exiv2::DataBuf profile(outputProfile.data(), static_cast<long>(outputProfile.size()));
            target->setIccProfile(profile, true);
        }
        target->writeMetadata();
    } catch (const Exiv2::AnyError& error) {
        throw FrontendError(std::string("the metadata could not be written (") +
                            std::string(error.what()).substr(0, 120) + ")");
    }
}

}  // namespace ColorCalFrontend

#pragma GCC diagnostic pop
