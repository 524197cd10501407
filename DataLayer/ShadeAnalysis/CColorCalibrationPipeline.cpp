// The calibration pipeline: white image, flat-field correction, trimmed patch
// means in reference order and the 3 x 4 colour-correction fit.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CColorCalibration.h"
#include "DataLayer/ShadeAnalysis/Loggers.h"
#include "DataLayer/ShadeAnalysis/Calibration/PatchMasks.h"

namespace DataLayer {

namespace {

constexpr const char* kLogFile = "DataLayer/ShadeAnalysis/CColorCalibration";
constexpr const char* kLogFunction = "DataLayer::CColorCalibration::startColorCalibration";
constexpr int kPatchCount = 20;

// Source lines reported with the pipeline's messages.
constexpr int kLineReferencesNotSet = 436;
constexpr int kLineReferencesEqual = 437;
constexpr int kLineInvalidImageArguments = 440;
constexpr int kLineMissingParameterSet = 445;
constexpr int kLineInpaintingFailed = 450;
constexpr int kLineMissingExternalWhite = 462;
constexpr int kLineExternalWhiteWithoutPixels = 470;
constexpr int kLineInvalidExternalWhite = 480;
constexpr int kLineRegionOutsideWhite = 490;
constexpr int kLineLabelSize = 492;
constexpr int kLineTooManySeeds = 494;
constexpr int kLineTooFewSeeds = 495;
constexpr int kLineSeedOutside = 496;
constexpr int kLineSeedNotOnPatch = 497;
constexpr int kLineColorIndex = 498;
constexpr int kLinePositionRepeated = 499;
constexpr int kLineInputNotFinite = 500;
constexpr int kLineSeedsShareAPatch = 501;
constexpr int kLineMeasuredNotFinite = 505;
constexpr int kLinePatchNotMeasured = 506;
constexpr int kLineMatrixNotFinite = 510;
constexpr int kLineChartUpsideDown = 512;
constexpr int kLineResidualTooLarge = 515;

template <typename... Args>
void logError(int line, const wchar_t* format, Args... args) {
    Logging::CLogger& logger = ColorCalibrationLogger();
    if (logger.IsLogLevelEnabled(Logging::eError)) {
        logger.Error(kLogFile, line, kLogFunction, format, args...);
    }
}

void logWarning(int line, const wchar_t* message) {
    Logging::CLogger& logger = ColorCalibrationLogger();
    if (logger.IsLogLevelEnabled(Logging::eWarning)) {
        logger.Log(Logging::eWarning, kLogFile, line, kLogFunction, L"%ls", message);
    }
}

/// One pairing of the measured patches with the reference positions, and its fit.
struct PairedFit {
    cv::Mat measured;       ///< 20 x 1 CV_32FC3, the measured colours by reference position
    cv::Mat coefficients;   ///< 12 x 1 CV_32F
    double residual = 0.0;  ///< `residualRatio` of the fit
    bool finite = false;    ///< whether the coefficients are 12 finite floats
};

/// sqrt(sum_p |M (c_p, 1) - r_p|^2 / sum_p |r_p - mean r|^2) over the 20
/// reference positions p, in double precision: infinite where the references
/// do not spread, NaN where the matrix or a colour is not a number.
double residualRatio(const cv::Mat& measured, const std::vector<float>& reference,
                     const cv::Mat& coefficients) {
    const cv::Matx34d m = cv::Matx34f(coefficients.ptr<float>());
    std::vector<cv::Vec3d> target(static_cast<std::size_t>(kPatchCount));
    cv::Vec3d mean(0.0, 0.0, 0.0);
    for (std::size_t p = 0; p < target.size(); ++p) {
        target[p] = cv::Vec3d(reference[3 * p], reference[3 * p + 1], reference[3 * p + 2]);
        mean += target[p] / static_cast<double>(kPatchCount);
    }
    double missed = 0.0;
    double spread = 0.0;
    for (std::size_t p = 0; p < target.size(); ++p) {
        const cv::Vec3f& c = measured.at<cv::Vec3f>(static_cast<int>(p), 0);
        const cv::Vec3d corrected = m * cv::Vec4d(c[0], c[1], c[2], 1.0);
        missed += cv::norm(corrected - target[p], cv::NORM_L2SQR);
        spread += cv::norm(target[p] - mean, cv::NORM_L2SQR);
    }
    return spread > 0.0 ? std::sqrt(missed / spread) : std::numeric_limits<double>::infinity();
}

/// The colours `found` (one per seed) placed at their seeds' reference
/// positions `positions` (a permutation of 0 .. 19): 20 x 1 CV_32FC3.
cv::Mat byPosition(const std::vector<cv::Vec3f>& found, const std::vector<int>& positions) {
    cv::Mat measured = cv::Mat::zeros(kPatchCount, 1, CV_32FC3);
    for (std::size_t i = 0; i < found.size(); ++i) {
        measured.at<cv::Vec3f>(positions[i], 0) = found[i];
    }
    return measured;
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
    m_seedReferencePositions.clear();

    // Reference colours that were never set (all zero) or are all the same
    // leave nothing to fit: checked before any work.
    const auto& colours = m_referenceColors.colors;
    const bool allZero = std::all_of(colours.begin(), colours.end(), [](const auto& c) {
        return c[0] == 0.0f && c[1] == 0.0f && c[2] == 0.0f;
    });
    if (allZero) {
        logError(kLineReferencesNotSet, L"reference colours are not set (all zero)");
        return false;
    }
    if (std::all_of(colours.begin(), colours.end(),
                    [&colours](const auto& c) { return c == colours[0]; })) {
        logError(kLineReferencesEqual, L"all %i reference colours are equal", kPatchCount);
        return false;
    }

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
    // Exactly one seed per patch: the fit needs all 20 colours in reference order.
    const int seedCount = static_cast<int>(m_segmentSeeds.size());
    if (m_segmentSeeds.size() > static_cast<std::size_t>(kPatchCount)) {
        logError(kLineTooManySeeds, L"%i seed points, at most %i allowed", seedCount, kPatchCount);
        return false;
    }
    if (seedCount < kPatchCount) {
        logError(kLineTooFewSeeds, L"%i seed points, the chart has %i patches", seedCount,
                 kPatchCount);
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
        const int label = m_segmentLabels.at<int>(seed[1], seed[0]);
        if (label <= 1) {
            logError(kLineSeedNotOnPatch,
                     L"seed point %i (%i, %i) does not lie on a patch (label %i)", i, seed[0],
                     seed[1], label);
            return false;
        }
        seedLabels[static_cast<std::size_t>(i)] = label;
    }
    // Each reference position and each patch is taken by one seed only.
    for (int i = 0; i < seedCount; ++i) {
        for (int j = 0; j < i; ++j) {
            const std::size_t a = static_cast<std::size_t>(i);
            const std::size_t b = static_cast<std::size_t>(j);
            if (positions[a] == positions[b]) {
                logError(kLinePositionRepeated,
                         L"colour index %i of patch %i repeats that of patch %i", positions[a], i,
                         j);
                return false;
            }
            if (seedLabels[a] == seedLabels[b]) {
                logError(kLineSeedsShareAPatch,
                         L"seed points %i and %i lie on one patch (label %i)", j, i, seedLabels[a]);
                return false;
            }
        }
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

    // 8.-9. Trimmed mean colour of each patch inside its opened and eroded
    // mask. A patch that keeps no pixel there is not measured: one seed pixel
    // of the uncorrected image cannot stand in for it.
    const std::vector<PatchMask> masks = computePatchMasks(m_segmentLabels, seedLabels);
    std::vector<cv::Vec3f> found(m_segmentSeeds.size());
    for (int i = 0; i < seedCount; ++i) {
        const std::size_t k = static_cast<std::size_t>(i);
        cv::Vec3d mean(0.0, 0.0, 0.0);
        bool measuredPatch = !masks[k].box.empty();
        if (measuredPatch) {
            std::vector<cv::Mat> boxPlanes = {planes[0](masks[k].box), planes[1](masks[k].box),
                                              planes[2](masks[k].box)};
            measuredPatch = getMeanSegmentColor(boxPlanes, masks[k].mask, mean);
        }
        if (!measuredPatch) {
            logError(kLinePatchNotMeasured,
                     L"patch %i (seed point (%i, %i)) keeps no pixel to measure after erosion", i,
                     m_segmentSeeds[k][0], m_segmentSeeds[k][1]);
            return false;
        }
        found[k] = cv::Vec3f(static_cast<float>(mean[0]), static_cast<float>(mean[1]),
                             static_cast<float>(mean[2]));
    }
    if (!cv::checkRange(cv::Mat(found, false))) {
        logError(kLineMeasuredNotFinite, L"measured patch colours are not finite");
        return false;
    }

    // 10.-11. The pairing and the fit. A chart photographed upside down is
    // found with its patches in reverse order: seed i then shows the colour of
    // seed 19 - i's reference position. The direction test compares the
    // measured colours with the references in both orders; the residual rule
    // below arbitrates when only the other order fits.
    std::vector<int> reversedPositions(positions.rbegin(), positions.rend());
    std::vector<float> referenceBySeed(static_cast<std::size_t>(3 * kPatchCount));
    for (std::size_t i = 0; i < positions.size(); ++i) {
        for (std::size_t c = 0; c < 3; ++c) {
            referenceBySeed[3 * i + c] = reference[3 * static_cast<std::size_t>(positions[i]) + c];
        }
    }
    cv::Mat foundColours = cv::Mat(found, true);
    bool reversed = invertDirection(foundColours, referenceBySeed);

    const auto fitPairing = [&](const std::vector<int>& pairing) {
        PairedFit fit;
        fit.measured = byPosition(found, pairing);
        fit.coefficients = cv::Mat(12, 1, CV_32F);
        fitColorCorrection(fit.measured, reference, fit.coefficients);
        fit.finite = fit.coefficients.rows * fit.coefficients.cols == 12 &&
                     fit.coefficients.type() == CV_32F && cv::checkRange(fit.coefficients);
        fit.residual = fit.finite ? residualRatio(fit.measured, reference, fit.coefficients)
                                  : std::numeric_limits<double>::quiet_NaN();
        return fit;
    };
    PairedFit fit = fitPairing(reversed ? reversedPositions : positions);
    if (!fit.finite) {
        logError(kLineMatrixNotFinite, L"the fitted colour matrix is not finite");
        return false;
    }
    if (!(fit.residual <= sc_dMaxResidualRatio)) {
        PairedFit other = fitPairing(reversed ? positions : reversedPositions);
        if (other.residual <= sc_dMaxResidualRatio) {
            fit = other;
            reversed = !reversed;
        }
    }
    if (!(fit.residual <= sc_dMaxResidualRatio)) {
        logError(kLineResidualTooLarge,
                 L"the corrected colours miss the references: residual %.3f of the references' "
                 L"spread, at most %.2f allowed",
                 fit.residual, sc_dMaxResidualRatio);
        return false;
    }
    if (reversed) {
        logWarning(kLineChartUpsideDown,
                   L"the chart lies upside down: its patches are paired with the references in "
                   L"reverse order");
    }
    const cv::Mat& measured = fit.measured;
    for (int k = 0; k < 12; ++k) {
        matrix.m[k] = fit.coefficients.at<float>(k);
    }
    m_seedReferencePositions = reversed ? reversedPositions : positions;

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
