// Inpainting entry points of the calibration engine: the white image of the
// full camera image, interpolated over the chart's patches from its white
// ground, and the mean of the white image over a rectangle.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CColorCalibration.h"
#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"
#include "DataLayer/ShadeAnalysis/WhiteEstimate.h"

namespace DataLayer {

namespace {

std::string pixelIndexMessage(int x, int y, int width, int height) {
    char buffer[128];
    std::snprintf(buffer, sizeof(buffer), "pixel index (%i, %i) outside (%i, %i)", x, y, width,
                  height);
    return buffer;
}

// The host's support image as a mask of the full image's size: a non-zero
// byte excludes the pixel from the white support. The host image is indexed
// with its own width, so it may be larger than the full image (its top-left
// part is used) but not smaller. The checks throw what a pixel-by-pixel walk,
// column after column, would meet first.
cv::Mat hostSupportMask(const Base::IImageData2D& host, int rows, int cols) {
    const int width = host.GetWidth();
    const int height = host.GetHeight();
    if (width <= 0 || height <= 0) {
        throw std::out_of_range(pixelIndexMessage(0, 0, width, height));
    }
    if (host.GetBytesPerPixel() != 1) {
        throw std::invalid_argument("invalid template parameter");
    }
    if (height < rows) {
        throw std::out_of_range(pixelIndexMessage(0, height, width, height));
    }
    if (width < cols) {
        throw std::out_of_range(pixelIndexMessage(width, 0, width, height));
    }
    const unsigned char* data = host.GetData();
    if (data == nullptr) {
        return cv::Mat();
    }
    const cv::Mat view(rows, cols, CV_8UC1, const_cast<unsigned char*>(data),
                       static_cast<std::size_t>(width));
    return view.clone();
}

// True when the input image, placed at the region's top-left corner, lies
// wholly inside an image of `rows` x `cols`.
bool regionInside(const CRect& roi, const cv::Mat& input, int rows, int cols) {
    return roi.left >= 0 && roi.top >= 0 &&
           std::int64_t{roi.left} + input.cols <= std::int64_t{cols} &&
           std::int64_t{roi.top} + input.rows <= std::int64_t{rows};
}

}  // namespace

bool CColorCalibration::precomputeInpainting(CbArray<float>& whiteImageOut) {
    if (m_segmentLabels.empty()) {
        float white[3] = {0.0f, 0.0f, 0.0f};
        if (!precomputeSegmentation(white)) {
            return false;
        }
    }
    // The patches are cut out of the full image at the region's offset: the
    // full image must exist, hold the whole input image there, and the labels
    // must belong to the input image.
    if (m_fullImage.empty() || m_fullImage.type() != CV_32FC3 || m_inputImage.empty() ||
        !regionInside(m_roi, m_inputImage, m_fullImage.rows, m_fullImage.cols) ||
        m_segmentLabels.size() != m_inputImage.size()) {
        reset();
        return false;
    }

    const cv::Mat patches = m_segmentLabels > 1.0;

    cv::Mat support;
    if (m_colorImageRoi) {
        support = hostSupportMask(*m_colorImageRoi, m_fullImage.rows, m_fullImage.cols);
        if (support.empty()) {
            // A host image without pixels offers no usable white ground.
            reset();
            return false;
        }
    } else {
        support = cv::Mat(m_fullImage.rows, m_fullImage.cols, CV_8UC1, cv::Scalar(255));
    }

    // Inside the region, patch pixels are excluded wherever the host left the
    // pixel usable. The patches also name the area the white must hold over.
    const cv::Rect regionRect(m_roi.left, m_roi.top, m_inputImage.cols, m_inputImage.rows);
    cv::Mat region = support(regionRect);
    patches.copyTo(region, region == 0);
    cv::Mat patchArea = cv::Mat::zeros(m_fullImage.size(), CV_8UC1);
    patches.copyTo(patchArea(regionRect));

    cv::Mat white;
    int dilations = 0;
    if (!estimateWhiteImage(m_fullImage, support, patchArea,
                            CRBFInpainting::Config::Estimator::eAuto, white,
                            m_whiteEstimateDiagnostics, dilations)) {
        reset();
        return false;
    }
    m_whiteImage = white;

    const std::size_t rowFloats = static_cast<std::size_t>(m_whiteImage.cols) * 3;
    whiteImageOut.SetSize(rowFloats * static_cast<std::size_t>(m_whiteImage.rows));
    float* out = whiteImageOut.GetData();
    for (int r = 0; r < m_whiteImage.rows; ++r) {
        std::memcpy(out + rowFloats * static_cast<std::size_t>(r), m_whiteImage.ptr<float>(r),
                    rowFloats * sizeof(float));
    }
    return true;
}

bool CColorCalibration::precomputeInpainting(float* image, int rows, int cols,
                                             CbArray<float>& whiteImageOut) {
    if (!makeFloatImage(image, rows, cols, m_inputImage)) {
        return false;
    }
    return precomputeInpainting(whiteImageOut);
}

void CColorCalibration::GetMeanColorInpainting(int firstRow, int firstColumn, int rowCount,
                                               int columnCount, double& c0, double& c1,
                                               double& c2) {
    c0 = 0.0;
    c1 = 0.0;
    c2 = 0.0;
    if (m_whiteImage.empty() || m_whiteImage.type() != CV_32FC3 || rowCount <= 0 ||
        columnCount <= 0 || firstRow < 0 || firstColumn < 0 ||
        std::int64_t{firstRow} + rowCount > m_whiteImage.rows ||
        std::int64_t{firstColumn} + columnCount > m_whiteImage.cols) {
        return;
    }
    for (int r = firstRow; r < firstRow + rowCount; ++r) {
        const cv::Vec3f* row = m_whiteImage.ptr<cv::Vec3f>(r);
        for (int c = firstColumn; c < firstColumn + columnCount; ++c) {
            c0 += static_cast<double>(row[c][0]);
            c1 += static_cast<double>(row[c][1]);
            c2 += static_cast<double>(row[c][2]);
        }
    }
    const double count = static_cast<double>(rowCount) * static_cast<double>(columnCount);
    c0 /= count;
    c1 /= count;
    c2 /= count;
}

}  // namespace DataLayer
