#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"

#include <algorithm>
#include <thread>

namespace DataLayer {

void CRBFInpainting::FastFree::operator()(double* p) const { cv::fastFree(p); }

CRBFInpainting::CRBFInpainting() : CRBFInpainting(Config{}) {}

CRBFInpainting::CRBFInpainting(const Config& config) : m_config(config) {
    if (m_config.threadCount <= 0) {
        m_config.threadCount = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    }
}

CRBFInpainting::~CRBFInpainting() = default;

void CRBFInpainting::setInputImage(const cv::Mat& image) {
    m_inputImage = image;
    releaseFit();
}

void CRBFInpainting::setInputSupportMask(const cv::Mat& mask) {
    m_supportMask = mask;
    releaseFit();
}

void CRBFInpainting::reset() { releaseFit(); }

void CRBFInpainting::releaseFit() {
    for (auto& w : m_weights) w.reset();
    m_weightCache.reset();
}

bool CRBFInpainting::approximate() { return false; }

void CRBFInpainting::fillValues(const cv::Mat&, cv::Mat&) {}

void CRBFInpainting::fillValuesAVX(const cv::Mat&, cv::Mat&) { approximate(); }

void CRBFInpainting::maskedGaussian(const cv::Mat&, cv::Mat&, cv::Mat) {}

}  // namespace DataLayer
