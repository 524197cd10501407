#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"

#include <cmath>

#include "DataLayer/Errors/OrvException.h"
#include "DataLayer/ShadeAnalysis/ChartConstants.h"

namespace DataLayer {

const int CParameterSetColorCalibrationTarget::s_iNumberOfClusters = kChartPatchCount;

const int CParameterSetColorCalibrationTarget::sc_aiColorIndexLUTCCTPrint[20] = {
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
const int CParameterSetColorCalibrationTarget::sc_aiColorIndexLUTCCTXRite[20] = {
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
// The printed QCC chart is read column by column: entry i is (i mod 4) * 5 + (i div 4).
const int CParameterSetColorCalibrationTarget::sc_aiColorIndexLUTQCCPrint[20] = {
    0, 5, 10, 15, 1, 6, 11, 16, 2, 7, 12, 17, 3, 8, 13, 18, 4, 9, 14, 19};
const int CParameterSetColorCalibrationTarget::sc_aiColorIndexLUTQCCXRite[20] = {
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};

namespace {

constexpr const char* kSourceFile = "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget";
constexpr unsigned int kUnknownSetLine = 89;
constexpr const char* kConstructorName =
    "DataLayer::CParameterSetColorCalibrationTarget::CParameterSetColorCalibrationTarget";

/// Stencil radius reported by the X-Rite charts. They take their white from an
/// external image, but the white measurement on the chart still draws a circle
/// of this radius, so it is a fixed valid value (that of the printed CCT chart).
constexpr unsigned int kXRiteStencilRadius = 85;

/// Blur kernel size derived from the downsampling scale, in single precision
/// with truncation toward zero: 1 - trunc(scale * -9) (3 for the scale 0.25).
int derivedBlurKernelSize(float downsamplingScale) {
    return 1 - static_cast<int>(downsamplingScale * -9.0f);
}

/// Side length times the square root of two, both in single precision.
float diagonalGrid(float sideLength) { return sideLength * static_cast<float>(std::sqrt(2.0)); }

}  // namespace

CParameterSetColorCalibrationTarget::CParameterSetColorCalibrationTarget(
    Base::IParameterSetColorCalibrationTarget::EParameterSet set)
    : m_downsamplingScale(0.25f),
      m_blurKernelSize(5),
      m_maxReclusteringOperations(5),
      m_acceptedHoleRatio(0.03f) {
    const int* lut = nullptr;
    switch (set) {
        case eCCTPrint:
            m_segmentSideLength = 56.0f;
            m_gridLength = diagonalGrid(m_segmentSideLength);
            m_whiteAreaStencilRadius = 85;
            lut = sc_aiColorIndexLUTCCTPrint;
            m_labClusterRadius = 15.0f;
            m_blurKernelSize = derivedBlurKernelSize(m_downsamplingScale);
            m_useExternalWhiteImg = false;
            break;
        case eQCCPrint:
            m_segmentSideLength = 76.0f;
            m_gridLength = diagonalGrid(m_segmentSideLength);
            m_whiteAreaStencilRadius = 115;
            lut = sc_aiColorIndexLUTQCCPrint;
            m_labClusterRadius = 25.0f;
            m_useExternalWhiteImg = false;
            break;
        case eCCTXRite:
            m_segmentSideLength = 60.0f;
            m_gridLength = 107.0f;
            m_whiteAreaStencilRadius = kXRiteStencilRadius;
            lut = sc_aiColorIndexLUTCCTXRite;
            m_labClusterRadius = 15.0f;
            m_blurKernelSize = derivedBlurKernelSize(m_downsamplingScale);
            m_useExternalWhiteImg = true;
            break;
        case eQCCXRite:
            m_segmentSideLength = 60.0f;
            m_gridLength = 105.0f;
            m_whiteAreaStencilRadius = kXRiteStencilRadius;
            lut = sc_aiColorIndexLUTQCCXRite;
            m_labClusterRadius = 15.0f;
            m_blurKernelSize = derivedBlurKernelSize(m_downsamplingScale);
            m_useExternalWhiteImg = true;
            break;
        case eQCCPrintSmall:
            m_segmentSideLength = 60.0f;
            m_gridLength = diagonalGrid(m_segmentSideLength);
            m_whiteAreaStencilRadius = 85;
            lut = sc_aiColorIndexLUTQCCPrint;
            m_labClusterRadius = 25.0f;
            m_useExternalWhiteImg = false;
            break;
        default:
            ThrowOrvException(kSourceFile, kUnknownSetLine, kConstructorName,
                              L"unknown enumereation");
    }
    m_colorIndexLut.assign(lut, lut + s_iNumberOfClusters);
    const bool cct = set == eCCTPrint || set == eCCTXRite;
    m_gridRows = cct ? kChartGridShortSide : kChartGridLongSide;
    m_gridColumns = cct ? kChartGridLongSide : kChartGridShortSide;

    // Patch side and area in the downsampled image, then the cluster size window.
    const float side = m_segmentSideLength * m_downsamplingScale;
    const float area = side * side;
    m_minimalClusterSize = static_cast<unsigned int>(area * 0.33f);
    m_maximalClusterSize = static_cast<unsigned int>(area * 1.33f);
    m_scaledPatchSize = side * m_segmentSideLength;
}

CParameterSetColorCalibrationTarget::~CParameterSetColorCalibrationTarget() = default;

int CParameterSetColorCalibrationTarget::GetGridRows() const { return m_gridRows; }
int CParameterSetColorCalibrationTarget::GetGridColumns() const { return m_gridColumns; }

float CParameterSetColorCalibrationTarget::GetSegmentSideLength() const {
    return m_segmentSideLength;
}
float CParameterSetColorCalibrationTarget::GetGridLength() const { return m_gridLength; }
float CParameterSetColorCalibrationTarget::GetScaledPatchSize() const { return m_scaledPatchSize; }
int CParameterSetColorCalibrationTarget::GetNumberOfClusters() const { return s_iNumberOfClusters; }
unsigned int CParameterSetColorCalibrationTarget::GetWhiteAreaStencilRadius() const {
    return m_whiteAreaStencilRadius;
}
float CParameterSetColorCalibrationTarget::GetDownsamplingScale() const {
    return m_downsamplingScale;
}
int CParameterSetColorCalibrationTarget::GetBlurKernelSize() const { return m_blurKernelSize; }
float CParameterSetColorCalibrationTarget::GetLabClusterRadius() const {
    return m_labClusterRadius;
}
unsigned int CParameterSetColorCalibrationTarget::GetMinimalClusterSize() const {
    return m_minimalClusterSize;
}
unsigned int CParameterSetColorCalibrationTarget::GetMaximalClusterSize() const {
    return m_maximalClusterSize;
}
unsigned int CParameterSetColorCalibrationTarget::GetMaximumNumberOfReclusteringOperations() const {
    return m_maxReclusteringOperations;
}
float CParameterSetColorCalibrationTarget::GetAcceptedHoleRatio() const {
    return m_acceptedHoleRatio;
}
const std::vector<int>& CParameterSetColorCalibrationTarget::GetColorIndexLut() const {
    return m_colorIndexLut;
}
bool CParameterSetColorCalibrationTarget::IsUseExternalWhiteImg() const {
    return m_useExternalWhiteImg;
}

}  // namespace DataLayer
