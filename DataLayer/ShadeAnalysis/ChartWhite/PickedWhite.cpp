#include "DataLayer/ShadeAnalysis/ChartWhite/PickedWhite.h"

#include <cmath>

#include "DataLayer/ShadeAnalysis/ChartWhite/WhiteStencil.h"

namespace DataLayer {

namespace {

/// Clears `mask` wherever a component of `image` is not finite.
template <typename T>
void clearNonFinite(const cv::Mat& image, cv::Mat& mask) {
    const int channels = image.channels();
    for (int y = 0; y < image.rows; ++y) {
        const T* row = image.ptr<T>(y);
        uchar* maskRow = mask.ptr<uchar>(y);
        for (int x = 0; x < image.cols; ++x) {
            for (int c = 0; c < channels; ++c) {
                if (!std::isfinite(row[x * channels + c])) {
                    maskRow[x] = 0;
                }
            }
        }
    }
}

}  // namespace

cv::Scalar measurePickedWhite(const cv::Mat& image, const cv::Mat& whiteAreaMask,
                              unsigned int stencilRadius) {
    cv::Mat ground = whiteAreaMask;
    if (ground.size() == image.size() && ground.type() == CV_8UC1 &&
        (image.depth() == CV_32F || image.depth() == CV_64F) && !cv::checkRange(image)) {
        ground = ground.clone();
        if (image.depth() == CV_32F) {
            clearNonFinite<float>(image, ground);
        } else {
            clearNonFinite<double>(image, ground);
        }
    }
    return measureStencilWhite(image, ground, stencilRadius);
}

}  // namespace DataLayer
