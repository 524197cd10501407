// The calibration pipeline: white image, flat-field correction, trimmed patch
// means in reference order and the 3 x 4 colour-correction fit.

#include <cstdint>
#include <cstring>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CColorCalibration.h"
#include "DataLayer/ShadeAnalysis/Loggers.h"
#include "DataLayer/ShadeAnalysis/PatchMasks.h"

namespace DataLayer {

namespace {

constexpr const char* kLogFile = "DataLayer/ShadeAnalysis/CColorCalibration";
constexpr const char* kLogFunction = "DataLayer::CColorCalibration::startColorCalibration";
constexpr int kErrorLevel = 4;
constexpr int kPatchCount = 20;

// Source lines reported with the pipeline's error messages.
constexpr int kLineInvalidImageArguments = 440;
constexpr int kLineMissingParameterSet = 445;
constexpr int kLineInpaintingFailed = 450;
constexpr int kLineMissingExternalWhite = 462;
constexpr int kLineExternalWhiteWithoutPixels = 470;
constexpr int kLineInvalidExternalWhite = 480;
constexpr int kLineRegionOutsideWhite = 490;
constexpr int kLineLabelSize = 492;
constexpr int kLineTooManySeeds = 494;
constexpr int kLineSeedOutside = 496;
constexpr int kLineColorIndex = 498;
constexpr int kLineInputNotFinite = 500;
constexpr int kLineMeasuredNotFinite = 505;
constexpr int kLineMatrixNotFinite = 510;

template <typename... Args>
void logError(int line, const wchar_t* format, Args... args) {
    Logging::CLogger& logger = ColorCalibrationLogger();
    if (logger.IsLogLevelEnabled(kErrorLevel)) {
        logger.Error(kLogFile, line, kLogFunction, format, args...);
    }
}

}  // namespace

bool CColorCalibration::startColorCalibration(CbArray<float>& whiteImageOut,
                                              NxCColCalibMatrix& matrix,
                                              std::vector<std::vector<float>>* measuredColors,
                                              std::vector<float>* pickedWhite) {
    return runCalibrationCore(whiteImageOut, matrix, measuredColors, pickedWhite);
}

bool CColorCalibration::startColorCalibration(float* image, int rows, int cols,
                                              CbArray<float>& whiteImageOut,
                                              NxCColCalibMatrix& matrix,
                                              std::vector<std::vector<float>>* measuredColors,
                                              std::vector<float>* pickedWhite) {
    cv::Mat input;
    if (!makeFloatImage(image, rows, cols, input)) {
        logError(kLineInvalidImageArguments, L"no image data or invalid image size %i x %i", cols,
                 rows);
        return false;
    }
    m_inputImage = input;
    m_fullImage = input.clone();
    m_roi = CRect(0, 0, cols, rows);
    return runCalibrationCore(whiteImageOut, matrix, measuredColors, pickedWhite);
}

bool CColorCalibration::startColorCalibration(const unsigned char* image, CRect& roi,
                                              const unsigned char* fullImage, int fullRows,
                                              int fullCols, CbArray<float>& whiteImageOut,
                                              NxCColCalibMatrix& matrix,
                                              std::vector<std::vector<float>>* measuredColors,
                                              std::vector<float>* pickedWhite) {
    const std::int64_t width = roi.Width();
    const std::int64_t height = roi.Height();
    cv::Mat input;
    cv::Mat full;
    if (width > INT32_MAX || height > INT32_MAX ||
        !makeFloatImage(image, static_cast<int>(height), static_cast<int>(width), input) ||
        !makeFloatImage(fullImage, fullRows, fullCols, full)) {
        logError(
            kLineInvalidImageArguments,
            L"no image data or invalid image size: region (%i, %i, %i, %i), full image %i x %i",
            roi.left, roi.top, roi.right, roi.bottom, fullCols, fullRows);
        return false;
    }
    m_inputImage = input;
    m_fullImage = full;
    m_roi = roi;
    return runCalibrationCore(whiteImageOut, matrix, measuredColors, pickedWhite);
}

bool CColorCalibration::startColorCalibration(const unsigned char* image, int rows, int cols,
                                              CbArray<float>& whiteImageOut,
                                              NxCColCalibMatrix& matrix,
                                              std::vector<std::vector<float>>* measuredColors,
                                              std::vector<float>* pickedWhite) {
    cv::Mat input;
    if (!makeFloatImage(image, rows, cols, input)) {
        logError(kLineInvalidImageArguments, L"no image data or invalid image size %i x %i", cols,
                 rows);
        return false;
    }
    m_inputImage = input;
    m_fullImage = input.clone();
    m_roi = CRect(0, 0, cols, rows);
    return runCalibrationCore(whiteImageOut, matrix, measuredColors, pickedWhite);
}

bool CColorCalibration::runCalibrationCore(CbArray<float>& whiteImageOut, NxCColCalibMatrix& matrix,
                                           std::vector<std::vector<float>>* measuredColors,
                                           std::vector<float>* pickedWhite) {
    // 1. The white image, inpainted when missing.
    if (m_whiteImage.empty()) {
        if (!precomputeInpainting(whiteImageOut)) {
            logError(kLineInpaintingFailed, L"precomputeInpainting failed");
            return false;
        }
    }
    if (!m_parameterSet) {
        logError(kLineMissingParameterSet, L"no parameter set for the calibration target");
        return false;
    }

    // 2. The host's white image replaces the inpainted one when the chart asks for it.
    if (m_parameterSet->IsUseExternalWhiteImg()) {
        if (!m_externalWhiteImg) {
            logError(kLineMissingExternalWhite, L"missing external white image");
            return false;
        }
        const Base::IImageData2D& external = *m_externalWhiteImg;
        const int bytesPerPixel = external.GetBytesPerPixel();
        // The host image must have the white image's shape, not merely its
        // pixel count: a transposed or reshaped image would scramble the white.
        const bool sameShape = external.GetWidth() == m_whiteImage.cols &&
                               external.GetHeight() == m_whiteImage.rows &&
                               m_whiteImage.type() == CV_32FC3;
        const unsigned char* data = external.GetData();
        if ((bytesPerPixel == 12 || bytesPerPixel == 3) && sameShape && data == nullptr) {
            logError(kLineExternalWhiteWithoutPixels, L"external white image has no pixel data");
        } else if (bytesPerPixel == 12 && sameShape) {
            const std::size_t rowBytes = static_cast<std::size_t>(m_whiteImage.cols) * 12;
            for (int r = 0; r < m_whiteImage.rows; ++r) {
                std::memcpy(m_whiteImage.ptr(r), data + rowBytes * static_cast<std::size_t>(r),
                            rowBytes);
            }
        } else if (bytesPerPixel == 3 && sameShape) {
            const cv::Mat view(m_whiteImage.rows, m_whiteImage.cols, CV_8UC3,
                               const_cast<unsigned char*>(data));
            view.convertTo(m_whiteImage, CV_32FC3, 1.0, 0.0);
        } else {
            logError(kLineInvalidExternalWhite, L"invalid size of external white image");
        }
    }

    // Preconditions of the measurement: checked before any pixel is read.
    const cv::Mat& input = m_inputImage;
    if (input.empty() || input.type() != CV_32FC3 || m_whiteImage.type() != CV_32FC3 ||
        m_roi.left < 0 || m_roi.top < 0 ||
        std::int64_t{m_roi.left} + input.cols > std::int64_t{m_whiteImage.cols} ||
        std::int64_t{m_roi.top} + input.rows > std::int64_t{m_whiteImage.rows}) {
        logError(kLineRegionOutsideWhite,
                 L"input image %i x %i at (%i, %i) does not lie inside the white image %i x %i",
                 input.cols, input.rows, m_roi.left, m_roi.top, m_whiteImage.cols,
                 m_whiteImage.rows);
        return false;
    }
    if (m_segmentLabels.size() != input.size() || m_segmentLabels.type() != CV_32SC1) {
        logError(kLineLabelSize, L"label image %i x %i does not match the input image %i x %i",
                 m_segmentLabels.cols, m_segmentLabels.rows, input.cols, input.rows);
        return false;
    }
    const int seedCount = static_cast<int>(m_segmentSeeds.size());
    if (m_segmentSeeds.size() > static_cast<std::size_t>(kPatchCount)) {
        logError(kLineTooManySeeds, L"%i seed points, at most %i allowed", seedCount, kPatchCount);
        return false;
    }
    const std::vector<int>& lut = m_parameterSet->GetColorIndexLut();
    const int clusters = m_parameterSet->GetNumberOfClusters();
    std::vector<int> positions(m_segmentSeeds.size(), 0);
    std::vector<int> seedLabels(m_segmentSeeds.size(), 0);
    for (int i = 0; i < seedCount; ++i) {
        const std::array<int, 2>& seed = m_segmentSeeds[static_cast<std::size_t>(i)];
        if (seed[0] < 0 || seed[1] < 0 || seed[0] >= input.cols || seed[1] >= input.rows) {
            logError(kLineSeedOutside, L"seed point %i (%i, %i) lies outside the image %i x %i", i,
                     seed[0], seed[1], input.cols, input.rows);
            return false;
        }
        if (i < clusters) {
            const int p =
                static_cast<std::size_t>(i) < lut.size() ? lut[static_cast<std::size_t>(i)] : -1;
            if (p < 0 || p >= kPatchCount) {
                logError(kLineColorIndex, L"colour index %i of patch %i lies outside 0 .. %i", p, i,
                         kPatchCount - 1);
                return false;
            }
            positions[static_cast<std::size_t>(i)] = p;
        }
        seedLabels[static_cast<std::size_t>(i)] = m_segmentLabels.at<int>(seed[1], seed[0]);
    }

    // Sorting values that are not numbers has no defined order: such input
    // cannot be measured.
    if (!cv::checkRange(input)) {
        logError(kLineInputNotFinite, L"input image holds values that are not finite");
        return false;
    }

    // 3.-5. Flat-field correction of the input image by its part of the white image.
    const cv::Mat regionWhite =
        m_whiteImage(cv::Rect(m_roi.left, m_roi.top, input.cols, input.rows));
    cv::Mat gain;
    const double realWhite[3] = {m_realWhite[0], m_realWhite[1], m_realWhite[2]};
    computeWhiteGain(regionWhite, realWhite, gain);
    cv::Mat corrected = input.clone();
    applyWhiteGain(input, gain, corrected);

    // 6.-7.
    const NxCColCalibFloatArray referenceArray =
        convertRefColorListToFloatBGRList(m_referenceColors);
    const std::vector<float> reference(std::begin(referenceArray.values),
                                       std::end(referenceArray.values));
    std::vector<cv::Mat> planes;
    cv::split(corrected, planes);

    // 8.-9. Trimmed mean colour per patch, at its reference position. The seed's
    // own input pixel stands in when the eroded patch keeps no pixel.
    cv::Mat measured = cv::Mat::zeros(kPatchCount, 1, CV_32FC3);
    const std::vector<PatchMask> masks = computePatchMasks(m_segmentLabels, seedLabels);
    for (int i = 0; i < seedCount; ++i) {
        const std::size_t k = static_cast<std::size_t>(i);
        const int p = positions[k];
        const std::array<int, 2>& seed = m_segmentSeeds[k];
        cv::Vec3f& colour = measured.at<cv::Vec3f>(p, 0);
        colour = input.at<cv::Vec3f>(seed[1], seed[0]);
        if (masks[k].box.empty()) {
            continue;
        }
        std::vector<cv::Mat> boxPlanes = {planes[0](masks[k].box), planes[1](masks[k].box),
                                          planes[2](masks[k].box)};
        cv::Vec3d mean(0.0, 0.0, 0.0);
        if (getMeanSegmentColor(boxPlanes, masks[k].mask, mean)) {
            colour = cv::Vec3f(static_cast<float>(mean[0]), static_cast<float>(mean[1]),
                               static_cast<float>(mean[2]));
        }
    }
    if (!cv::checkRange(measured)) {
        logError(kLineMeasuredNotFinite, L"measured patch colours are not finite");
        return false;
    }

    // 10.-11. The fit.
    cv::Mat coefficients(12, 1, CV_32F);
    fitColorCorrection(measured, reference, coefficients);
    if (coefficients.rows * coefficients.cols != 12 || coefficients.type() != CV_32F ||
        !cv::checkRange(coefficients)) {
        logError(kLineMatrixNotFinite, L"the fitted colour matrix is not finite");
        return false;
    }
    for (int k = 0; k < 12; ++k) {
        matrix.m[k] = coefficients.at<float>(k);
    }

    // 12. Optional results.
    if (measuredColors != nullptr) {
        measuredColors->resize(kPatchCount);
        for (int p = 0; p < kPatchCount; ++p) {
            const cv::Vec3f& colour = measured.at<cv::Vec3f>(p, 0);
            std::vector<float>& entry = (*measuredColors)[static_cast<std::size_t>(p)];
            entry.resize(3);
            entry[0] = colour[2];
            entry[1] = colour[1];
            entry[2] = colour[0];
        }
    }
    if (pickedWhite != nullptr) {
        computePickedWhite(m_inputImage);
        pickedWhite->resize(3);
        for (int c = 0; c < 3; ++c) {
            (*pickedWhite)[static_cast<std::size_t>(c)] = static_cast<float>(m_pickedWhite[c]);
        }
    }
    return true;
}

}  // namespace DataLayer
