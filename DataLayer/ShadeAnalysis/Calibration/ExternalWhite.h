#pragma once

#include <opencv2/core.hpp>

#include "Base/IImageData2D.h"

namespace DataLayer {

/// What became of a host's white image.
enum class ExternalWhiteOutcome {
    eCopied,    ///< `white` now holds the host's pixels
    eNoPixels,  ///< the host image has the right shape but no pixel data
    eUnusable,  ///< another shape or pixel size than `white`'s: nothing copied
};

/// white := the host's white image `host`, 12 bytes (three floats) or 3 bytes
/// per pixel (converted without scaling), when it has `white`'s width and
/// height and `white` is CV_32FC3: the shape must match, not merely the pixel
/// count, since a transposed or reshaped image would scramble the white.
/// `white` is left untouched otherwise.
ExternalWhiteOutcome copyExternalWhite(const Base::IImageData2D& host, cv::Mat& white);

}  // namespace DataLayer
