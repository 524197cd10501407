// Segmentation entry points of the calibration engine: segment one image, or
// merge the patches of a sequence of frames of one chart.

#include <cmath>
#include <cstring>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CColorCalibration.h"
#include "DataLayer/ShadeAnalysis/Segmentation/CWatershedSegmentation.h"

namespace DataLayer {

namespace {

// Number of patches on every chart.
constexpr std::size_t kPatchCount = 20;

void writeWhite(const cv::Scalar& white, float* whiteOut) {
    if (whiteOut == nullptr) {
        return;
    }
    for (int c = 0; c < 3; ++c) {
        whiteOut[c] = static_cast<float>(white[c]);
    }
}

bool insideImage(const std::array<int, 2>& point, const cv::Mat& image) {
    return point[0] >= 0 && point[1] >= 0 && point[0] < image.cols && point[1] < image.rows;
}

}  // namespace

bool CColorCalibration::makeFloatImage(const float* data, int rows, int cols, cv::Mat& out) {
    if (data == nullptr || rows <= 0 || cols <= 0) {
        return false;
    }
    cv::Mat image;
    image.create(rows, cols, CV_32FC3);
    std::memcpy(image.data, data, image.total() * image.elemSize());
    out = image;
    return true;
}

bool CColorCalibration::makeFloatImage(const unsigned char* data, int rows, int cols,
                                       cv::Mat& out) {
    if (data == nullptr || rows <= 0 || cols <= 0) {
        return false;
    }
    // The view never writes: convertTo only reads its source.
    const cv::Mat view(rows, cols, CV_8UC3, const_cast<unsigned char*>(data));
    cv::Mat image;
    view.convertTo(image, CV_32FC3, 1.0, 0.0);
    out = image;
    return true;
}

bool CColorCalibration::precomputeSegmentation(float* whiteOut) {
    if (m_inputImage.empty()) {
        return false;
    }
    m_whiteAreaMask = cv::Mat::ones(m_inputImage.size(), CV_8UC1);

    CWatershedSegmentation segmentation(m_parameterSet);
    segmentation.setInputImage(m_inputImage);
    m_segmentSeeds.clear();
    const bool segmented = segmentation.segment();
    m_segmentationDiagnostics = segmentation.getDiagnostics();
    if (!segmented) {
        reset();
        return false;
    }

    const cv::Mat labels = segmentation.getLabels();
    if (labels.size() != m_inputImage.size() || labels.type() != CV_32SC1) {
        // Not a label image of this input: nothing below could use it safely.
        reset();
        return false;
    }
    m_segmentLabels = labels;
    m_pickedWhite = segmentation.getWhiteColor();
    m_segmentSeeds = segmentation.getPatchCenters();

    m_whiteAreaMask.setTo(0, m_segmentLabels > 1.0);

    if (m_segmentSeeds.size() != kPatchCount) {
        reset();
        return false;
    }
    writeWhite(m_pickedWhite, whiteOut);
    m_realWhite = m_pickedWhite;
    return true;
}

bool CColorCalibration::precomputeSegmentation(float* image, int rows, int cols, float* whiteOut) {
    if (!makeFloatImage(image, rows, cols, m_inputImage)) {
        return false;
    }
    return precomputeSegmentation(whiteOut);
}

bool CColorCalibration::precomputeSegmentation(const unsigned char* image, int rows, int cols,
                                               float* whiteOut) {
    if (!makeFloatImage(image, rows, cols, m_inputImage)) {
        return false;
    }
    return precomputeSegmentation(whiteOut);
}

bool CColorCalibration::updateSegmentation(float* whiteOut) {
    if (m_inputImage.empty() || m_inputImage.rows != m_whiteAreaMask.rows ||
        m_inputImage.cols != m_whiteAreaMask.cols) {
        return false;
    }

    CWatershedSegmentation segmentation(m_parameterSet);
    segmentation.setInputImage(m_inputImage);
    const bool segmented = segmentation.segment();
    m_segmentationDiagnostics = segmentation.getDiagnostics();
    if (!segmented) {
        reset();
        return false;
    }
    const cv::Mat labels = segmentation.getLabels();
    if (labels.size() != m_inputImage.size() || labels.type() != CV_32SC1) {
        reset();
        return false;
    }
    m_segmentLabels = labels;

    // The mask accumulates the patch pixels of every frame since the last
    // precomputeSegmentation.
    m_whiteAreaMask.setTo(0, m_segmentLabels > 1.0);

    const std::vector<std::array<int, 2>> newSeeds = segmentation.getPatchCenters();

    // Claim each patch once: a seed counts when it lies on patch pixels that no
    // earlier seed has flooded yet. Old seeds go first, so they keep their order.
    cv::Mat fill = m_whiteAreaMask.clone();
    int nextLabel = 2;
    std::vector<std::array<int, 2>> merged;
    const auto claim = [&](const std::array<int, 2>& seed) {
        if (merged.size() > kPatchCount || !insideImage(seed, fill) ||
            fill.at<unsigned char>(seed[1], seed[0]) != 0) {
            return;
        }
        merged.push_back(seed);
        cv::floodFill(fill, cv::Point(seed[0], seed[1]), cv::Scalar(nextLabel), nullptr,
                      cv::Scalar(0), cv::Scalar(0), 4);
        ++nextLabel;
    };
    for (const auto& seed : m_segmentSeeds) {
        claim(seed);
    }
    for (const auto& seed : newSeeds) {
        claim(seed);
    }

    // Another count than 20 leaves no label image behind, so that no later
    // run measures this frame's labels with the wrong seeds. The seeds stay
    // for the next frame: those merged so far when short, the old ones when
    // the frame brought too many.
    if (merged.size() > kPatchCount) {
        reset();
        return false;
    }
    m_segmentSeeds = merged;
    if (merged.size() < kPatchCount) {
        reset();
        return false;
    }
    cv::Mat mergedLabels;
    fill.convertTo(mergedLabels, CV_32S);
    m_segmentLabels = mergedLabels;
    computePickedWhite(m_inputImage);
    for (int c = 0; c < 3; ++c) {
        if (!std::isfinite(m_pickedWhite[c])) {
            reset();
            return false;
        }
    }
    writeWhite(m_pickedWhite, whiteOut);
    return true;
}

bool CColorCalibration::updateSegmentation(const unsigned char* image, int rows, int cols,
                                           float* whiteOut) {
    if (!makeFloatImage(image, rows, cols, m_inputImage)) {
        return false;
    }
    return updateSegmentation(whiteOut);
}

bool CColorCalibration::updateSegmentation(const float* image, int rows, int cols,
                                           float* whiteOut) {
    if (!makeFloatImage(image, rows, cols, m_inputImage)) {
        return false;
    }
    return updateSegmentation(whiteOut);
}

}  // namespace DataLayer
