#include "DataLayer/ShadeAnalysis/CWatershedSegmentation.h"

#include <utility>

#include "DataLayer/Errors/OrvException.h"

namespace DataLayer {

CWatershedSegmentation::CWatershedSegmentation(
    std::shared_ptr<Base::IParameterSetColorCalibrationTarget> parameterSet)
    : m_whiteColor(0.0, 0.0, 0.0, 0.0), m_parameterSet(std::move(parameterSet)) {
    if (!m_parameterSet) {
        ThrowOrvException("DataLayer/ShadeAnalysis/CWatershedSegmentation", 51,
                          "DataLayer::CWatershedSegmentation::CWatershedSegmentation",
                          L"invalid parameter set for color calibration target");
    }
}

CWatershedSegmentation::~CWatershedSegmentation() = default;

void CWatershedSegmentation::setInputImage(const cv::Mat& image) {
    m_inputImage = image;
    m_labels = cv::Mat();
    m_seeds.clear();
}

bool CWatershedSegmentation::segment() { return false; }

cv::Mat CWatershedSegmentation::getLabels() {
    segment();
    return m_labels;
}

std::vector<std::array<int, 2>> CWatershedSegmentation::getPatchCenters() {
    segment();
    return m_patchCenters;
}

cv::Scalar CWatershedSegmentation::getWhiteColor() {
    segment();
    return m_whiteColor;
}

bool CWatershedSegmentation::recluster(const float& /*radius*/) { return false; }

}  // namespace DataLayer
