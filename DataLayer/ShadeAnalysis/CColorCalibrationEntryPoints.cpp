// The engine's entry points. Each one first checks what the host handed over
// (one prep step, which turns an unusable input into `false` and, for the
// calibration, the one logged line), then runs the stateless stages and keeps
// their results in the object:
//   segmentation: Segmentation/ChartLayoutStage (the chart layout, the merge of frames)
//   white field:  Inpainting/WhiteEstimate (estimated), Calibration/ExternalWhite (the host's)
//   calibration:  Calibration/CalibrationStage (flat-field, measure, orientation, fit)
//   picked white: Calibration/PickedWhite

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "Base/StringConversion.h"
#include "DataLayer/ShadeAnalysis/CColorCalibration.h"
#include "DataLayer/ShadeAnalysis/Calibration/CalibrationStage.h"
#include "DataLayer/ShadeAnalysis/Calibration/ExternalWhite.h"
#include "DataLayer/ShadeAnalysis/Inpainting/WhiteEstimate.h"
#include "DataLayer/ShadeAnalysis/Loggers.h"
#include "DataLayer/ShadeAnalysis/Segmentation/ChartLayoutStage.h"

namespace DataLayer {

namespace {

constexpr const char* kLogFile = "DataLayer/ShadeAnalysis/CColorCalibration";
constexpr const char* kLogFunction = "DataLayer::CColorCalibration::startColorCalibration";
constexpr std::size_t kPatchCount = 20;

// Source lines reported with the calibration's messages.
constexpr int kLineReferencesNotSet = 436;
constexpr int kLineReferencesEqual = 437;
constexpr int kLineInvalidImageArguments = 440;
constexpr int kLineMissingParameterSet = 445;
constexpr int kLineInpaintingFailed = 450;
constexpr int kLineMissingExternalWhite = 462;
constexpr int kLineExternalWhiteWithoutPixels = 470;
constexpr int kLineInvalidExternalWhite = 480;
constexpr int kLineChartUpsideDown = 512;
constexpr int kLineChartQuarterTurn = 513;

/// The line reported with each failure of the calibration stage.
int reportedLine(CalibrationFailure failure) {
    switch (failure) {
        case CalibrationFailure::eRegionOutsideWhite:
            return 490;
        case CalibrationFailure::eLabelSize:
            return 492;
        case CalibrationFailure::eTooManySeeds:
            return 494;
        case CalibrationFailure::eTooFewSeeds:
            return 495;
        case CalibrationFailure::eSeedOutside:
            return 496;
        case CalibrationFailure::eSeedNotOnPatch:
            return 497;
        case CalibrationFailure::eColorIndex:
            return 498;
        case CalibrationFailure::ePositionRepeated:
            return 499;
        case CalibrationFailure::eInputNotFinite:
            return 500;
        case CalibrationFailure::eSeedsShareAPatch:
            return 501;
        case CalibrationFailure::eMeasuredNotFinite:
            return 505;
        case CalibrationFailure::ePatchNotMeasured:
            return 506;
        case CalibrationFailure::eMatrixNotFinite:
            return 510;
        case CalibrationFailure::eResidualTooLarge:
            return 515;
        case CalibrationFailure::ePairingAmbiguous:
            return 516;
        case CalibrationFailure::eNone:
            break;
    }
    return 0;
}

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

// ---- The prep step -----------------------------------------------------------

/// A new CV_32FC3 matrix of rows x cols pixels copied from an interleaved BGR
/// float buffer; empty for a null buffer or a non-positive size, so that
/// nothing is read from the buffer.
cv::Mat hostImage(const float* data, int rows, int cols) {
    cv::Mat image;
    if (data == nullptr || rows <= 0 || cols <= 0) {
        return image;
    }
    image.create(rows, cols, CV_32FC3);
    std::memcpy(image.data, data, image.total() * image.elemSize());
    return image;
}

/// As above from 8-bit BGR pixels, converted without scaling.
cv::Mat hostImage(const unsigned char* data, int rows, int cols) {
    cv::Mat image;
    if (data == nullptr || rows <= 0 || cols <= 0) {
        return image;
    }
    // The view never writes: convertTo only reads its source.
    const cv::Mat view(rows, cols, CV_8UC3, const_cast<unsigned char*>(data));
    view.convertTo(image, CV_32FC3, 1.0, 0.0);
    return image;
}

/// The 8-bit input of a region's size; empty when the region's sides do not fit an int.
cv::Mat hostRegionImage(const unsigned char* data, const CRect& roi) {
    const std::int64_t width = roi.Width();
    const std::int64_t height = roi.Height();
    if (width > INT32_MAX || height > INT32_MAX) {
        return cv::Mat();
    }
    return hostImage(data, static_cast<int>(height), static_cast<int>(width));
}

/// Whether the reference colours leave something to fit; logs why not. Colours
/// never set (all zero) or all the same cannot be fitted.
bool referencesUsable(const CColorCalibration::NxCColCalibReferenceColorsList& references,
                      std::string& why) {
    const auto& colours = references.colors;
    const bool allZero = std::all_of(colours.begin(), colours.end(), [](const auto& c) {
        return c[0] == 0.0f && c[1] == 0.0f && c[2] == 0.0f;
    });
    if (allZero) {
        logError(kLineReferencesNotSet, L"reference colours are not set (all zero)");
        why = "reference colours are not set (all zero)";
        return false;
    }
    if (std::all_of(colours.begin(), colours.end(),
                    [&colours](const auto& c) { return c == colours[0]; })) {
        logError(kLineReferencesEqual, L"all %i reference colours are equal",
                 static_cast<int>(kPatchCount));
        why = "all " + std::to_string(kPatchCount) + " reference colours are equal";
        return false;
    }
    return true;
}

/// Hands `white` (continuous CV_32FC3) to the host's array without a copy:
/// the array shares the image's pixels and keeps them alive, and copies them
/// only before it is first written. The engine in turn never writes pixels
/// the host may still hold (see `heldElsewhere`).
void shareWhiteImage(const cv::Mat& white, CbArray<float>& whiteImageOut) {
    CV_Assert(white.isContinuous() && white.type() == CV_32FC3);
    cv::Mat keep = white;
    const std::shared_ptr<const float> block(keep.ptr<float>(),
                                             [keep](const float*) mutable { keep.release(); });
    whiteImageOut.Share(block, keep.total() * 3);
}

/// Whether someone besides the engine holds `white`'s pixels (a host's array
/// they were shared with): they must then not be written.
bool heldElsewhere(const cv::Mat& white) {
    return white.u != nullptr && CV_XADD(&white.u->refcount, 0) > 1;
}

void writeWhite(const cv::Scalar& white, float* whiteOut) {
    if (whiteOut == nullptr) {
        return;
    }
    for (int c = 0; c < 3; ++c) {
        whiteOut[c] = static_cast<float>(white[c]);
    }
}

}  // namespace

// ---- Calibration ---------------------------------------------------------------

bool CColorCalibration::startColorCalibration(CbArray<float>& whiteImageOut,
                                              NxCColCalibMatrix& matrix,
                                              std::vector<std::vector<float>>* measuredColors,
                                              std::vector<float>* pickedWhite) {
    m_seedReferencePositions.clear();
    m_chartOrientation = -1;
    m_calibrationError.clear();
    if (!referencesUsable(m_referenceColors, m_calibrationError)) {
        return false;
    }

    // The white field: estimated when missing, or the host's when the chart asks for it.
    if (m_whiteImage.empty() && !precomputeInpainting(whiteImageOut)) {
        logError(kLineInpaintingFailed, L"precomputeInpainting failed");
        m_calibrationError = "precomputeInpainting failed";
        return false;
    }
    if (!m_parameterSet) {
        logError(kLineMissingParameterSet, L"no parameter set for the calibration target");
        m_calibrationError = "no parameter set for the calibration target";
        return false;
    }
    if (m_parameterSet->IsUseExternalWhiteImg()) {
        if (!m_externalWhiteImg) {
            logError(kLineMissingExternalWhite, L"missing external white image");
            m_calibrationError = "missing external white image";
            return false;
        }
        // An unusable host image is reported; the estimated white stays. The
        // estimated white the host received stays as it was too.
        cv::Mat external = heldElsewhere(m_whiteImage)
                               ? cv::Mat(m_whiteImage.size(), m_whiteImage.type())
                               : m_whiteImage;
        switch (copyExternalWhite(*m_externalWhiteImg, external)) {
            case ExternalWhiteOutcome::eCopied:
                m_whiteImage = external;
                break;
            case ExternalWhiteOutcome::eNoPixels:
                logError(kLineExternalWhiteWithoutPixels,
                         L"external white image has no pixel data");
                break;
            case ExternalWhiteOutcome::eUnusable:
                logError(kLineInvalidExternalWhite, L"invalid size of external white image");
                break;
        }
    }

    // Flat-field, measure and fit.
    const NxCColCalibFloatArray referenceArray =
        convertRefColorListToFloatBGRList(m_referenceColors);
    const std::vector<float> reference(std::begin(referenceArray.values),
                                       std::end(referenceArray.values));
    const CalibrationInput input{m_inputImage,
                                 m_whiteImage,
                                 cv::Point(m_roi.left, m_roi.top),
                                 m_segmentLabels,
                                 m_segmentSeeds,
                                 m_parameterSet->GetColorIndexLut(),
                                 m_parameterSet->GetNumberOfClusters(),
                                 reference,
                                 m_realWhite,
                                 m_parameterSet->GetGridRows(),
                                 m_parameterSet->GetGridColumns(),
                                 m_segmentGridRows,
                                 m_segmentGridColumns};
    const CalibrationResult result = calibrateChart(input, sc_dMaxResidualRatio);
    if (result.failure != CalibrationFailure::eNone) {
        logError(reportedLine(result.failure), L"%ls", result.message.c_str());
        m_calibrationError = Base::WideToNarrow(result.message);
        return false;
    }
    if (result.orientation == 180) {
        logWarning(kLineChartUpsideDown,
                   L"the chart lies upside down: its patches are paired with the references in "
                   L"reverse order");
    } else if (result.orientation == 90 || result.orientation == 270) {
        logWarning(kLineChartQuarterTurn,
                   result.orientation == 90
                       ? L"the chart lies turned a quarter clockwise: its patches are paired "
                         L"with the references accordingly"
                       : L"the chart lies turned a quarter counter-clockwise: its patches are "
                         L"paired with the references accordingly");
    }
    std::copy(result.matrix.begin(), result.matrix.end(), std::begin(matrix.m));
    m_seedReferencePositions = result.positions;
    m_chartOrientation = result.orientation;

    if (measuredColors != nullptr) {
        measuredColors->resize(kPatchCount);
        for (std::size_t p = 0; p < kPatchCount; ++p) {
            const cv::Vec3f& colour = result.measured.at<cv::Vec3f>(static_cast<int>(p), 0);
            (*measuredColors)[p] = {colour[2], colour[1], colour[0]};
        }
    }
    if (pickedWhite != nullptr) {
        computePickedWhite(m_inputImage);
        pickedWhite->resize(3);
        for (std::size_t c = 0; c < 3; ++c) {
            (*pickedWhite)[c] = static_cast<float>(m_pickedWhite[static_cast<int>(c)]);
        }
    }
    return true;
}

bool CColorCalibration::startColorCalibration(float* image, int rows, int cols,
                                              CbArray<float>& whiteImageOut,
                                              NxCColCalibMatrix& matrix,
                                              std::vector<std::vector<float>>* measuredColors,
                                              std::vector<float>* pickedWhite) {
    return startOnWholeImage(hostImage(image, rows, cols), rows, cols, whiteImageOut, matrix,
                             measuredColors, pickedWhite);
}

bool CColorCalibration::startOnWholeImage(const cv::Mat& input, int rows, int cols,
                                          CbArray<float>& whiteImageOut, NxCColCalibMatrix& matrix,
                                          std::vector<std::vector<float>>* measuredColors,
                                          std::vector<float>* pickedWhite) {
    if (input.empty()) {
        logError(kLineInvalidImageArguments, L"no image data or invalid image size %i x %i", cols,
                 rows);
        return false;
    }
    m_inputImage = input;
    m_fullImage = input.clone();
    m_roi = CRect(0, 0, cols, rows);
    return startColorCalibration(whiteImageOut, matrix, measuredColors, pickedWhite);
}

bool CColorCalibration::startColorCalibration(const unsigned char* image, CRect& roi,
                                              const unsigned char* fullImage, int fullRows,
                                              int fullCols, CbArray<float>& whiteImageOut,
                                              NxCColCalibMatrix& matrix,
                                              std::vector<std::vector<float>>* measuredColors,
                                              std::vector<float>* pickedWhite) {
    const cv::Mat input = hostRegionImage(image, roi);
    const cv::Mat full = input.empty() ? cv::Mat() : hostImage(fullImage, fullRows, fullCols);
    if (full.empty()) {
        logError(
            kLineInvalidImageArguments,
            L"no image data or invalid image size: region (%i, %i, %i, %i), full image %i x %i",
            roi.left, roi.top, roi.right, roi.bottom, fullCols, fullRows);
        return false;
    }
    m_inputImage = input;
    m_fullImage = full;
    m_roi = roi;
    return startColorCalibration(whiteImageOut, matrix, measuredColors, pickedWhite);
}

bool CColorCalibration::startColorCalibration(const unsigned char* image, int rows, int cols,
                                              CbArray<float>& whiteImageOut,
                                              NxCColCalibMatrix& matrix,
                                              std::vector<std::vector<float>>* measuredColors,
                                              std::vector<float>* pickedWhite) {
    return startOnWholeImage(hostImage(image, rows, cols), rows, cols, whiteImageOut, matrix,
                             measuredColors, pickedWhite);
}

// ---- Segmentation ----------------------------------------------------------------

bool CColorCalibration::precomputeSegmentation(float* whiteOut) {
    if (m_inputImage.empty()) {
        return false;
    }
    m_whiteAreaMask = cv::Mat::ones(m_inputImage.size(), CV_8UC1);
    const SegmentedChart layout = segmentChartLayout(m_inputImage, m_parameterSet);
    m_segmentSeeds.clear();
    m_segmentationDiagnostics = layout.diagnostics;
    m_segmentGridRows = layout.diagnostics.gridRows;
    m_segmentGridColumns = layout.diagnostics.gridColumns;
    if (!layout.found) {
        reset();
        return false;
    }
    m_segmentLabels = layout.labels;
    m_pickedWhite = layout.pickedWhite;
    m_segmentSeeds = layout.seeds;
    excludePatches(m_whiteAreaMask, m_segmentLabels);
    if (m_segmentSeeds.size() != kPatchCount) {
        reset();
        return false;
    }
    writeWhite(m_pickedWhite, whiteOut);
    m_realWhite = m_pickedWhite;
    return true;
}

bool CColorCalibration::precomputeSegmentation(float* image, int rows, int cols, float* whiteOut) {
    const cv::Mat input = hostImage(image, rows, cols);
    if (input.empty()) {
        return false;
    }
    m_inputImage = input;
    return precomputeSegmentation(whiteOut);
}

bool CColorCalibration::precomputeSegmentation(const unsigned char* image, int rows, int cols,
                                               float* whiteOut) {
    const cv::Mat input = hostImage(image, rows, cols);
    if (input.empty()) {
        return false;
    }
    m_inputImage = input;
    return precomputeSegmentation(whiteOut);
}

bool CColorCalibration::updateSegmentation(float* whiteOut) {
    if (m_inputImage.empty() || m_inputImage.size() != m_whiteAreaMask.size()) {
        return false;
    }
    const SegmentedChart layout = segmentChartLayout(m_inputImage, m_parameterSet);
    m_segmentationDiagnostics = layout.diagnostics;
    if (!layout.found) {
        reset();
        return false;
    }
    // The mask accumulates the patch pixels of every frame since the last
    // precomputeSegmentation.
    excludePatches(m_whiteAreaMask, layout.labels);
    const MergedLayout merged = mergeFrameLayout(m_segmentSeeds, layout.seeds, m_whiteAreaMask);

    // Another count than 20 leaves no label image behind, so that no later
    // run measures this frame's labels with the wrong seeds. The seeds stay
    // for the next frame: those merged so far when short, the old ones when
    // the frame brought too many.
    if (merged.seeds.size() > kPatchCount) {
        reset();
        return false;
    }
    // The seeds stay in one grid's order only when they are all the old ones
    // or all this frame's; a merge of frames has no grid shape to pair by.
    if (merged.seeds == layout.seeds && m_segmentSeeds.empty()) {
        m_segmentGridRows = layout.diagnostics.gridRows;
        m_segmentGridColumns = layout.diagnostics.gridColumns;
    } else if (merged.seeds != m_segmentSeeds) {
        m_segmentGridRows = 0;
        m_segmentGridColumns = 0;
    }
    m_segmentSeeds = merged.seeds;
    if (merged.seeds.size() < kPatchCount) {
        reset();
        return false;
    }
    m_segmentLabels = merged.labels;
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
    const cv::Mat input = hostImage(image, rows, cols);
    if (input.empty()) {
        return false;
    }
    m_inputImage = input;
    return updateSegmentation(whiteOut);
}

bool CColorCalibration::updateSegmentation(const float* image, int rows, int cols,
                                           float* whiteOut) {
    const cv::Mat input = hostImage(image, rows, cols);
    if (input.empty()) {
        return false;
    }
    m_inputImage = input;
    return updateSegmentation(whiteOut);
}

// ---- White field -----------------------------------------------------------------

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
    const bool regionInside = m_roi.left >= 0 && m_roi.top >= 0 &&
                              std::int64_t{m_roi.left} + m_inputImage.cols <= m_fullImage.cols &&
                              std::int64_t{m_roi.top} + m_inputImage.rows <= m_fullImage.rows;
    if (m_fullImage.empty() || m_fullImage.type() != CV_32FC3 || m_inputImage.empty() ||
        !regionInside || m_segmentLabels.size() != m_inputImage.size()) {
        reset();
        return false;
    }
    const cv::Rect region(m_roi.left, m_roi.top, m_inputImage.cols, m_inputImage.rows);
    cv::Mat white;
    if (!estimateChartWhite(m_fullImage, region, m_segmentLabels, m_colorImageRoi.get(), white,
                            m_whiteEstimateDiagnostics, m_whiteEstimator)) {
        reset();
        return false;
    }
    m_whiteImage = white;
    shareWhiteImage(m_whiteImage, whiteImageOut);
    return true;
}

bool CColorCalibration::precomputeInpainting(float* image, int rows, int cols,
                                             CbArray<float>& whiteImageOut) {
    const cv::Mat input = hostImage(image, rows, cols);
    if (input.empty()) {
        return false;
    }
    m_inputImage = input;
    return precomputeInpainting(whiteImageOut);
}

}  // namespace DataLayer
