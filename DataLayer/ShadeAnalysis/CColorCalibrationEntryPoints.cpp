// The engine's entry points. Each one first checks what the host handed over
// (one prep step, which turns an unusable input into `false` and, for the
// calibration, the one logged line), then runs the stateless stages and keeps
// their results in the object:
//   segmentation: Segmentation/SegmentationStage (the chart search, the merge of frames)
//   white field:  Inpainting/WhiteEstimate (estimated), Calibration/ExternalWhite (the host's)
//   calibration:  Calibration/CalibrationStage (flat-field, measure, orientation, fit)
//   picked white: ChartWhite/PickedWhite
// The reference check, the external white and the logging of a failure or
// a turned chart are shared with the photo workflow (Workflow/CalibrationSteps).

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "Base/StringConversion.h"
#include "DataLayer/ShadeAnalysis/CColorCalibration.h"
#include "DataLayer/ShadeAnalysis/Calibration/CalibrationStage.h"
#include "DataLayer/ShadeAnalysis/ChartConstants.h"
#include "DataLayer/ShadeAnalysis/FailureMessage.h"
#include "DataLayer/ShadeAnalysis/HostImage.h"
#include "DataLayer/ShadeAnalysis/Inpainting/WhiteEstimate.h"
#include "DataLayer/ShadeAnalysis/Memory/PhotoBuffers.h"
#include "DataLayer/ShadeAnalysis/Segmentation/SegmentationStage.h"
#include "DataLayer/ShadeAnalysis/Workflow/CalibrationSteps.h"

namespace DataLayer {

namespace {

constexpr std::size_t kPatchCount = kChartPatchCount;

// ---- The prep step -----------------------------------------------------------

/// The 8-bit input of a region's size (see `copyHostImage`).
cv::Mat hostRegionImage(const unsigned char* data, const CRect& roi) {
    return copyHostImage(data, roi.Height(), roi.Width());
}

/// What a segmentation entry point reports for a caller's image it could not
/// take: no seeds, no grid, and the reason in words.
SegmentationDiagnostics refusedImage(Base::HostImageProblem problem, int rows, int cols) {
    SegmentationDiagnostics diagnostics;
    diagnostics.reason = std::string("the image was not taken: ") +
                         Base::describeHostImageProblem(problem) + " (" + std::to_string(cols) +
                         " x " + std::to_string(rows) + ")";
    return diagnostics;
}

/// Copies a segmentation entry point's image into `input`; false (and the
/// reason in `diagnostics`, `input` untouched) when it cannot be taken.
template <typename Pixel>
bool takeHostImage(const Pixel* image, int rows, int cols, cv::Mat& input,
                   SegmentationDiagnostics& diagnostics) {
    Base::HostImageProblem problem = Base::HostImageProblem::eNone;
    cv::Mat copy = copyHostImage(image, rows, cols, &problem);
    if (copy.empty()) {
        diagnostics = refusedImage(problem, rows, cols);
        return false;
    }
    input = std::move(copy);
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
    // OpenCV counts references with atomic adds on a plain int; an atomic
    // load reads it the same way without OpenCV's C11 macro.
    return white.u != nullptr && __atomic_load_n(&white.u->refcount, __ATOMIC_ACQUIRE) > 1;
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

void CColorCalibration::setCalibrationFailure(const CalibrationError& error) {
    m_calibrationFailure = error;
    m_calibrationError = Base::WideToNarrow(error.message);
}

bool CColorCalibration::failCalibration(const CalibrationError& error) {
    logCalibrationFailure(error);
    setCalibrationFailure(error);
    m_seedReferencePositions.clear();
    m_chartOrientation = -1;
    return false;
}

bool CColorCalibration::startColorCalibration(CbArray<float>& whiteImageOut,
                                              NxCColCalibMatrix& matrix,
                                              std::vector<std::vector<float>>* measuredColors,
                                              std::vector<float>* pickedWhite) {
    setCalibrationFailure(CalibrationError{});
    const CalibrationError references = checkReferenceColours(m_referenceColors.colors);
    if (references.failed()) {
        return failCalibration(references);
    }

    // The white field: estimated when missing, or the host's when the chart asks for it.
    if (m_whiteImage.empty() && !precomputeInpainting(whiteImageOut)) {
        return failCalibration(failureWithMessage(CalibrationFailure::eWhiteEstimateFailed,
                                                  L"precomputeInpainting failed"));
    }
    if (!m_parameterSet) {
        return failCalibration(failureWithMessage(CalibrationFailure::eMissingParameterSet,
                                                  L"no parameter set for the calibration target"));
    }
    // The host's white where the chart asks for it; the estimated white the
    // host received stays as it was.
    const CalibrationError external = takeExternalWhite(*m_parameterSet, m_externalWhiteImg.get(),
                                                        m_whiteImage, heldElsewhere(m_whiteImage));
    if (external.failed()) {
        return failCalibration(external);
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
    if (result.failure.failed()) {
        return failCalibration(result.failure);
    }
    logPairingWarning(result.orientation);
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
    return startOnWholeImage(copyHostImage(image, rows, cols), rows, cols, whiteImageOut, matrix,
                             measuredColors, pickedWhite);
}

bool CColorCalibration::startOnWholeImage(const cv::Mat& input, int rows, int cols,
                                          CbArray<float>& whiteImageOut, NxCColCalibMatrix& matrix,
                                          std::vector<std::vector<float>>* measuredColors,
                                          std::vector<float>* pickedWhite) {
    if (input.empty()) {
        return failCalibration(failureWithMessage(CalibrationFailure::eInvalidImageArguments,
                                                  L"no image data or invalid image size %i x %i",
                                                  cols, rows));
    }
    m_inputImage = input;
    m_fullImage = clonePhotoBuffer(input);
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
    const cv::Mat full = input.empty() ? cv::Mat() : copyHostImage(fullImage, fullRows, fullCols);
    if (full.empty()) {
        return failCalibration(failureWithMessage(
            CalibrationFailure::eInvalidImageArguments,
            L"no image data or invalid image size: region (%i, %i, %i, %i), full image %i x %i",
            roi.left, roi.top, roi.right, roi.bottom, fullCols, fullRows));
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
    return startOnWholeImage(copyHostImage(image, rows, cols), rows, cols, whiteImageOut, matrix,
                             measuredColors, pickedWhite);
}

// ---- Segmentation ----------------------------------------------------------------

bool CColorCalibration::precomputeSegmentation(float* whiteOut) {
    if (m_inputImage.empty()) {
        return false;
    }
    m_whiteAreaMask = cv::Mat::ones(m_inputImage.size(), CV_8UC1);
    const SegmentationResult layout = segmentChart({m_inputImage, m_parameterSet});
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
    return takeHostImage(image, rows, cols, m_inputImage, m_segmentationDiagnostics) &&
           precomputeSegmentation(whiteOut);
}

bool CColorCalibration::precomputeSegmentation(const unsigned char* image, int rows, int cols,
                                               float* whiteOut) {
    return takeHostImage(image, rows, cols, m_inputImage, m_segmentationDiagnostics) &&
           precomputeSegmentation(whiteOut);
}

bool CColorCalibration::updateSegmentation(float* whiteOut) {
    if (m_inputImage.empty() || m_inputImage.size() != m_whiteAreaMask.size()) {
        return false;
    }
    const SegmentationResult layout = segmentChart({m_inputImage, m_parameterSet});
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
    return takeHostImage(image, rows, cols, m_inputImage, m_segmentationDiagnostics) &&
           updateSegmentation(whiteOut);
}

bool CColorCalibration::updateSegmentation(const float* image, int rows, int cols,
                                           float* whiteOut) {
    return takeHostImage(image, rows, cols, m_inputImage, m_segmentationDiagnostics) &&
           updateSegmentation(whiteOut);
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
    const cv::Mat input = copyHostImage(image, rows, cols);
    if (input.empty()) {
        return false;
    }
    m_inputImage = input;
    return precomputeInpainting(whiteImageOut);
}

}  // namespace DataLayer
