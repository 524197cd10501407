#pragma once

// Test access to the internal steps of the chart segmentation.

#include <cstddef>
#include <memory>

#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/ChartConstants.h"
#include "DataLayer/ShadeAnalysis/Segmentation/CWatershedSegmentation.h"

namespace SegmentationTest {

/// Patches of every chart, as a count of centres.
constexpr std::size_t kPatchCount = DataLayer::kChartPatchCount;

class SegmentationProbe : public DataLayer::CWatershedSegmentation {
  public:
    using CWatershedSegmentation::CWatershedSegmentation;
    using CWatershedSegmentation::filterGridPositions;
    using CWatershedSegmentation::generateGridPositions;
    using CWatershedSegmentation::gridMatchesLayout;
    using CWatershedSegmentation::orderGridPositions;
    using CWatershedSegmentation::refineGridByAffineFit;
    using CWatershedSegmentation::selectPatchRegions;
    using CWatershedSegmentation::tryGridFromSeed;

    using CWatershedSegmentation::m_state;

    /// Sets the image size seen by the grid steps without running the filter.
    void setImageSize(int width, int height) {
        m_state.inputImage = cv::Mat::zeros(height, width, CV_8UC3);
        m_state.filteredImage = m_state.inputImage;
    }
    void setSteps(double x1, double y1, double x2, double y2) {
        m_state.gridStep1[0] = x1;
        m_state.gridStep1[1] = y1;
        m_state.gridStep2[0] = x2;
        m_state.gridStep2[1] = y2;
    }
};

inline std::shared_ptr<Base::IParameterSetColorCalibrationTarget> parameterSet(
    Base::IParameterSetColorCalibrationTarget::EParameterSet set =
        Base::IParameterSetColorCalibrationTarget::eCCTPrint) {
    return std::make_shared<DataLayer::CParameterSetColorCalibrationTarget>(set);
}

}  // namespace SegmentationTest
