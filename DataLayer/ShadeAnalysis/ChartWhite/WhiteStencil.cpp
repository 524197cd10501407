#include "DataLayer/ShadeAnalysis/ChartWhite/WhiteStencil.h"

#include <algorithm>
#include <climits>

#include <opencv2/imgproc.hpp>

namespace DataLayer {

namespace {

bool meanOver(const cv::Mat& image, const cv::Mat& mask, cv::Scalar& white) {
    if (cv::countNonZero(mask) == 0) {
        return false;
    }
    white = cv::mean(image, mask);
    return true;
}

cv::Mat erodedOnce3x3(const cv::Mat& mask) {
    cv::Mat out;
    cv::erode(mask, out, cv::Mat::ones(3, 3, CV_8U), cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
              cv::morphologyDefaultBorderValue());
    return out;
}

}  // namespace

cv::Scalar measureStencilWhite(const cv::Mat& image, const cv::Mat& backgroundMask,
                               unsigned int radius) {
    if (image.empty() || backgroundMask.empty() || image.size() != backgroundMask.size()) {
        return cv::Scalar::all(0.0);
    }
    cv::Mat stencil = cv::Mat::zeros(image.size(), CV_8U);
    const int r = static_cast<int>(std::min<unsigned int>(radius, INT_MAX));
    cv::circle(stencil, cv::Point(image.cols / 2, image.rows / 2), r, cv::Scalar(1), -1, cv::LINE_8,
               0);
    cv::Mat inCircle = backgroundMask & stencil;
    cv::Mat mask;
    cv::erode(inCircle, mask, cv::Mat::ones(13, 13, CV_8U), cv::Point(-1, -1), 2,
              cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());

    cv::Scalar white = cv::Scalar::all(0.0);
    if (meanOver(image, mask, white) || meanOver(image, erodedOnce3x3(inCircle), white) ||
        meanOver(image, erodedOnce3x3(backgroundMask), white)) {
        return white;
    }
    return cv::Scalar::all(0.0);
}

}  // namespace DataLayer
