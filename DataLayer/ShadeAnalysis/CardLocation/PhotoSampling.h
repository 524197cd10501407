#pragma once

// Reading the photo for the card searches: bilinear samples, the tests of a
// colour against the card's ground, and the reduced copy the searches run on.
// Internal to the library.

#include <opencv2/core.hpp>

namespace DataLayer {
namespace CardLocation {

/// Bilinear sample of a CV_32FC3 image; false outside it.
bool sampleColor(const cv::Mat& image, const cv::Point2d& p, cv::Vec3f& out);

/// The brightest channel and the spread of the channels of a colour.
float brightest(const cv::Vec3f& c);
float chroma(const cv::Vec3f& c);

/// Whether a colour looks like a card's white ground lit to about `level`:
/// nearly neutral and at least `share` of the level.
bool looksLikeGround(const cv::Vec3f& c, double level, double share = 0.6);

/// Mean of the three channels of the photo (CV_8UC3 or CV_32FC3) at (x, y),
/// bilinear; false outside the photo. Values that are not finite count as 0.
bool sampleLuma(const cv::Mat& photo, double x, double y, double& out);

/// The photo reduced by `factor` per axis to CV_8UC3, display-encoded (the
/// sRGB curve applied when `linear`); the reduction averages whole blocks of
/// `factor` x `factor` pixels. Values that are not finite count as 0.
cv::Mat reducePhoto(const cv::Mat& photo, int factor, bool linear);

}  // namespace CardLocation
}  // namespace DataLayer
