#pragma once

#include <vector>

#include "Base/Export.h"
#include "Base/IParameterSetColorCalibrationTarget.h"

namespace DataLayer {

/// The library's chart parameter sets, one per `EParameterSet` value.
/// Immutable after construction; any thread may read it.
class COLORCAL_EXPORT CParameterSetColorCalibrationTarget
    : public Base::IParameterSetColorCalibrationTarget {
  public:
    /// Number of patches of every chart type.
    static const int s_iNumberOfClusters;
    /// Colour index tables: found patch i (grid order) -> reference position.
    static const int sc_aiColorIndexLUTCCTPrint[20];
    static const int sc_aiColorIndexLUTCCTXRite[20];
    static const int sc_aiColorIndexLUTQCCPrint[20];
    static const int sc_aiColorIndexLUTQCCXRite[20];

    /// Fills every constant of `set`. Throws `OrvException` ("unknown enumereation")
    /// for any value outside 0..4.
    explicit CParameterSetColorCalibrationTarget(
        Base::IParameterSetColorCalibrationTarget::EParameterSet set);
    ~CParameterSetColorCalibrationTarget() override;

    float GetSegmentSideLength() const override;
    float GetGridLength() const override;
    float GetScaledPatchSize() const override;
    int GetNumberOfClusters() const override;
    unsigned int GetWhiteAreaStencilRadius() const override;
    float GetDownsamplingScale() const override;
    int GetBlurKernelSize() const override;
    float GetLabClusterRadius() const override;
    unsigned int GetMinimalClusterSize() const override;
    unsigned int GetMaximalClusterSize() const override;
    unsigned int GetMaximumNumberOfReclusteringOperations() const override;
    float GetAcceptedHoleRatio() const override;
    const std::vector<int>& GetColorIndexLut() const override;
    bool IsUseExternalWhiteImg() const override;
    /// 4 rows of 5 patches for the CCT charts, 5 rows of 4 for the QCC charts.
    int GetGridRows() const override;
    int GetGridColumns() const override;

  private:
    float m_segmentSideLength = 0.0f;
    float m_gridLength = 0.0f;
    float m_scaledPatchSize = 0.0f;
    unsigned int m_whiteAreaStencilRadius = 0;
    float m_downsamplingScale = 0.0f;
    int m_blurKernelSize = 0;
    float m_labClusterRadius = 0.0f;
    unsigned int m_minimalClusterSize = 0;
    unsigned int m_maximalClusterSize = 0;
    unsigned int m_maxReclusteringOperations = 0;
    float m_acceptedHoleRatio = 0.0f;
    bool m_useExternalWhiteImg = false;
    int m_gridRows = 0;
    int m_gridColumns = 0;
    std::vector<int> m_colorIndexLut;
};

}  // namespace DataLayer
