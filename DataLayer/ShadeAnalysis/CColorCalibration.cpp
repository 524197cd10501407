#include "DataLayer/ShadeAnalysis/CColorCalibration.h"

#include <cstdint>
#include <utility>

#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/Calibration/ColorFit.h"
#include "DataLayer/ShadeAnalysis/Calibration/FlatField.h"
#include "DataLayer/ShadeAnalysis/Calibration/PatchMeasurement.h"
#include "DataLayer/ShadeAnalysis/ChartWhite/PickedWhite.h"
#include "DataLayer/ShadeAnalysis/HostImage.h"
#include "DataLayer/ShadeAnalysis/Memory/PhotoBuffers.h"

namespace DataLayer {

namespace {

/// White assumed before anything is measured or set.
const cv::Scalar kDefaultWhite(200.0, 200.0, 200.0, 0.0);

}  // namespace

CColorCalibration::CColorCalibration(Base::IParameterSetColorCalibrationTarget::EParameterSet set)
    : m_pickedWhite(kDefaultWhite), m_realWhite(kDefaultWhite) {
    m_parameterSet = std::make_shared<CParameterSetColorCalibrationTarget>(set);
}

CColorCalibration::CColorCalibration(std::shared_ptr<Base::IParameterSetColorCalibrationTarget> set)
    : m_pickedWhite(kDefaultWhite), m_realWhite(kDefaultWhite), m_parameterSet(std::move(set)) {}

CColorCalibration::CColorCalibration(const CColorCalibration& other) = default;
CColorCalibration& CColorCalibration::operator=(const CColorCalibration& other) = default;
CColorCalibration::~CColorCalibration() = default;

void CColorCalibration::SetInputImage(float* image, CRect& roi, float* fullImage, int fullWidth,
                                      int fullHeight) {
    m_roi = roi;
    m_inputImage = copyHostImage(image, roi.Height(), roi.Width());
    m_fullImage = copyHostImage(fullImage, fullHeight, fullWidth);
}

void CColorCalibration::SetInputImage(float* image, int rows, int cols) {
    m_inputImage = copyHostImage(image, rows, cols);
    m_fullImage = clonePhotoBuffer(m_inputImage);
    m_roi = CRect(0, 0, cols, rows);
}

void CColorCalibration::SetColorImageRoi(std::shared_ptr<Base::IImageData2D> image) {
    m_colorImageRoi = std::move(image);
}

void CColorCalibration::SetExternalWhiteImg(std::shared_ptr<Base::IImageData2D> image) {
    m_externalWhiteImg = std::move(image);
}

void CColorCalibration::setRealWhite(const float* white) {
    if (white == nullptr) {
        return;
    }
    for (int c = 0; c < 3; ++c) {
        m_realWhite[c] = static_cast<double>(white[c]);
    }
}

void CColorCalibration::SetDebugFolder(CString folder) { m_debugFolder = std::move(folder); }

void CColorCalibration::reset() {
    m_segmentLabels = cv::Mat();
    m_whiteImage = cv::Mat();
}

void CColorCalibration::SetReferenceColorsRGB(const float* rgb) {
    if (rgb == nullptr) {
        return;
    }
    m_referenceColors = convertFloatListToRefColorList(rgb, false);
}

CColorCalibration::NxCColCalibReferenceColorsList CColorCalibration::GetReferenceColors() const {
    return m_referenceColors;
}

CColorCalibration::NxCColCalibReferenceColorsList CColorCalibration::convertFloatListToRefColorList(
    const float* values, bool keepOrder) const {
    NxCColCalibReferenceColorsList list;
    if (values == nullptr) {
        return list;
    }
    for (std::size_t k = 0; k < list.colors.size(); ++k) {
        const float* triple = values + 3 * k;
        list.colors[k] = keepOrder ? std::array<float, 3>{triple[0], triple[1], triple[2]}
                                   : std::array<float, 3>{triple[2], triple[1], triple[0]};
    }
    return list;
}

CColorCalibration::NxCColCalibFloatArray CColorCalibration::convertRefColorListToFloatBGRList(
    const NxCColCalibReferenceColorsList& list) const {
    NxCColCalibFloatArray flat;
    for (std::size_t k = 0; k < list.colors.size(); ++k) {
        for (std::size_t c = 0; c < 3; ++c) {
            flat.values[3 * k + c] = list.colors[k][c];
        }
    }
    return flat;
}

// ---- Chart analysis: forwards to the stages --------------------------------------

void CColorCalibration::computePickedWhite(cv::Mat& image) {
    m_pickedWhite = m_parameterSet ? measurePickedWhite(image, m_whiteAreaMask,
                                                        m_parameterSet->GetWhiteAreaStencilRadius())
                                   : cv::Scalar::all(0.0);
}

bool CColorCalibration::getMeanSegmentColor(std::vector<cv::Mat>& channels, const cv::Mat& mask,
                                            cv::Vec3d& meanColor) {
    return trimmedMeanColor(channels, mask, meanColor);
}

bool CColorCalibration::invertDirection(cv::Mat& measured, const std::vector<float>& reference) {
    return matchesInReverse(measured, reference);
}

void CColorCalibration::computeWhiteGain(const cv::Mat& whiteImage, const double realWhite[3],
                                         cv::Mat& gain) {
    DataLayer::computeWhiteGain(whiteImage, realWhite, gain);
}

void CColorCalibration::applyWhiteGain(const cv::Mat& image, const cv::Mat& gain, cv::Mat& result) {
    DataLayer::applyWhiteGain(image, gain, result);
}

void CColorCalibration::fitColorCorrection(const cv::Mat& measured,
                                           const std::vector<float>& reference,
                                           cv::Mat& coefficients) {
    DataLayer::fitColorCorrection(measured, reference, coefficients);
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

// ---- Read access -------------------------------------------------------------------

const std::vector<std::array<int, 2>>& CColorCalibration::GetSegmentSeeds() const {
    return m_segmentSeeds;
}
const cv::Mat& CColorCalibration::GetSegmentLabels() const { return m_segmentLabels; }
const cv::Mat& CColorCalibration::GetWhiteImage() const { return m_whiteImage; }
const cv::Mat& CColorCalibration::GetWhiteAreaMask() const { return m_whiteAreaMask; }
const cv::Mat& CColorCalibration::GetInputImage() const { return m_inputImage; }
const cv::Mat& CColorCalibration::GetFullImage() const { return m_fullImage; }
const std::vector<int>& CColorCalibration::GetSeedReferencePositions() const {
    return m_seedReferencePositions;
}
int CColorCalibration::GetChartOrientation() const { return m_chartOrientation; }
const std::string& CColorCalibration::GetCalibrationError() const { return m_calibrationError; }
const CRect& CColorCalibration::GetRegionOfInterest() const { return m_roi; }
cv::Scalar CColorCalibration::GetPickedWhite() const { return m_pickedWhite; }
cv::Scalar CColorCalibration::GetRealWhite() const { return m_realWhite; }
const CString& CColorCalibration::GetDebugFolder() const { return m_debugFolder; }
std::shared_ptr<Base::IParameterSetColorCalibrationTarget> CColorCalibration::GetParameterSet()
    const {
    return m_parameterSet;
}
const SegmentationDiagnostics& CColorCalibration::GetSegmentationDiagnostics() const {
    return m_segmentationDiagnostics;
}
const CalibrationError& CColorCalibration::GetCalibrationFailure() const {
    return m_calibrationFailure;
}

}  // namespace DataLayer
