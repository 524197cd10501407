// The white reference of the engine: the white measured on the chart and the
// per-pixel flat-field gain that maps the white image onto the real white.
#include <cmath>

#include "DataLayer/ShadeAnalysis/CColorCalibration.h"
#include "DataLayer/ShadeAnalysis/Calibration/FlatField.h"
#include "DataLayer/ShadeAnalysis/Calibration/WhiteStencil.h"

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

void CColorCalibration::computePickedWhite(cv::Mat& image) {
    if (!m_parameterSet) {
        m_pickedWhite = cv::Scalar::all(0.0);
        return;
    }
    // A pixel that is not finite would turn the mean into NaN: such pixels do
    // not count as white ground.
    cv::Mat ground = m_whiteAreaMask;
    if (ground.size() == image.size() && ground.type() == CV_8UC1 &&
        (image.depth() == CV_32F || image.depth() == CV_64F) && !cv::checkRange(image)) {
        ground = ground.clone();
        if (image.depth() == CV_32F) {
            clearNonFinite<float>(image, ground);
        } else {
            clearNonFinite<double>(image, ground);
        }
    }
    m_pickedWhite = measureStencilWhite(image, ground, m_parameterSet->GetWhiteAreaStencilRadius());
}

void CColorCalibration::computeWhiteGain(const cv::Mat& whiteImage, const double realWhite[3],
                                         cv::Mat& gain) {
    DataLayer::computeWhiteGain(whiteImage, realWhite, gain);
}

void CColorCalibration::applyWhiteGain(const cv::Mat& image, const cv::Mat& gain, cv::Mat& result) {
    DataLayer::applyWhiteGain(image, gain, result);
}

}  // namespace DataLayer
