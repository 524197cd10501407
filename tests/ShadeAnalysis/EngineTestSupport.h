#pragma once

// Test helpers for the engine's entry points: a log sink, a chart parameter
// set with switchable details, and rendered chart photos (rendered once per
// test program) set up as a host would hand them to the engine.

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "Base/CImageData2D.h"
#include "DataLayer/ShadeAnalysis/CColorCalibration.h"
#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"
#include "DataLayer/ShadeAnalysis/Loggers.h"
#include "common/ChartPhotos.h"
#include "synth/SyntheticChart.h"

namespace EngineTest {

using EChart = Base::IParameterSetColorCalibrationTarget::EParameterSet;
using Matrix = DataLayer::CColorCalibration::NxCColCalibMatrix;

using TestPhotos::kAllCharts;

/// Collects the engine logger's lines while it lives; restores the previous sink.
class LogCapture {
  public:
    LogCapture() {
        m_previous = DataLayer::ColorCalibrationLogger().SetSink(
            [this](const Logging::LogRecord& record) { records.push_back(record); });
    }
    ~LogCapture() { DataLayer::ColorCalibrationLogger().SetSink(m_previous); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Logging::LogRecord> records;

  private:
    Logging::LogSink m_previous;
};

/// A chart's parameter set with the colour index table replaceable, as a
/// host implementation of the interface could do.
class TestParameterSet : public DataLayer::CParameterSetColorCalibrationTarget {
  public:
    explicit TestParameterSet(EChart chart)
        : CParameterSetColorCalibrationTarget(chart),
          lut(CParameterSetColorCalibrationTarget::GetColorIndexLut()) {}
    std::vector<int> lut;
    const std::vector<int>& GetColorIndexLut() const override { return lut; }
};

/// A host image that reports a size but has no pixel data.
struct NoPixelsImage : Base::CImageData2D {
    using CImageData2D::CImageData2D;
    const unsigned char* GetData() const override { return nullptr; }
};

/// A matrix filled with -7, to see whether a run wrote it.
inline Matrix sentinelMatrix() {
    Matrix m;
    std::fill(std::begin(m.m), std::end(m.m), -7.0f);
    return m;
}

inline bool isSentinel(const Matrix& m) {
    return std::all_of(std::begin(m.m), std::end(m.m), [](float v) { return v == -7.0f; });
}

/// The patch measurement's trimmed mean written plainly: `values` sorted, the
/// lowest and highest fifth dropped (bounds truncated from single-precision
/// products, at least one value kept), the rest summed in double in ascending order.
inline float trimmedMean(std::vector<float> values) {
    std::sort(values.begin(), values.end());
    const float n = static_cast<float>(values.size());
    const auto lo = static_cast<std::size_t>(n * 0.2f);
    const auto hi = std::max(lo + 1, static_cast<std::size_t>(n * 0.8f));
    double sum = 0.0;
    for (std::size_t i = lo; i < hi; ++i) sum += values[i];
    return static_cast<float>(sum / static_cast<double>(hi - lo));
}

/// The render options of the shared photos: 800 x 700, 30 % light falloff,
/// noise, and a camera that mixes the channels.
inline ChartSynth::RenderOptions photoOptions(EChart chart) {
    ChartSynth::RenderOptions options;
    options.chart = chart;
    options.referenceRgb = ChartSynth::defaultReferenceColors();
    options.falloff = 0.3;
    options.noiseSigma = 2.0;
    options.cameraTransform =
        cv::Matx34d(0.86, 0.08, 0.03, 4.0, 0.05, 0.9, 0.06, 2.0, 0.02, 0.1, 0.84, 3.0);
    options.photoWidth = 800;
    options.photoHeight = 700;
    return options;
}

/// The photo of `chart` with `photoOptions`, rendered once per test program.
inline const ChartSynth::RenderedChart& photo(EChart chart) {
    static std::map<EChart, ChartSynth::RenderedChart> cache;
    auto it = cache.find(chart);
    if (it == cache.end()) {
        it = cache.emplace(chart, ChartSynth::renderChart(photoOptions(chart))).first;
    }
    return it->second;
}

inline CRect toCRect(const cv::Rect& r) { return CRect(r.x, r.y, r.x + r.width, r.y + r.height); }

/// A float image as a host image of 12 bytes per pixel.
inline std::shared_ptr<Base::CImageData2D> floatHostImage(const cv::Mat& image) {
    const cv::Mat continuous = image.clone();
    return std::make_shared<Base::CImageData2D>(continuous.cols, continuous.rows, 12,
                                                continuous.data);
}

/// The host's support image for a photo: 0 on the chart card (usable white
/// ground; the engine itself excludes the patches), 255 elsewhere.
inline std::shared_ptr<Base::CImageData2D> chartSupport(const ChartSynth::RenderedChart& r) {
    cv::Mat support(r.photo.size(), CV_8UC1, cv::Scalar(255));
    support(r.chartRegion).setTo(0);
    return std::make_shared<Base::CImageData2D>(support.cols, support.rows, 1, support.data);
}

/// Hands the photo to the engine as a host does: the chart region as input
/// image inside the full photo, the chart support, and the reference colours.
inline void setPhoto(DataLayer::CColorCalibration& engine, const ChartSynth::RenderedChart& r) {
    cv::Mat input = r.photo(r.chartRegion).clone();
    cv::Mat full = r.photo.clone();
    CRect roi = toCRect(r.chartRegion);
    engine.SetInputImage(input.ptr<float>(), roi, full.ptr<float>(), full.cols, full.rows);
    engine.SetColorImageRoi(chartSupport(r));
    std::vector<float> reference;
    for (const ChartSynth::Rgb& c : ChartSynth::defaultReferenceColors()) {
        reference.insert(reference.end(), c.begin(), c.end());
    }
    engine.SetReferenceColorsRGB(reference.data());
}

// The white image computed step by step, the support mask pixel by pixel,
// column after column, straight from the host image's bytes: with two
// dilations and the surround fit, or with one dilation and the ridge fit.
inline cv::Mat referenceWhite(const DataLayer::CColorCalibration& engine,
                              const Base::IImageData2D& host, bool ridge) {
    const cv::Mat& full = engine.GetFullImage();
    const cv::Mat& labels = engine.GetSegmentLabels();
    const CRect& roi = engine.GetRegionOfInterest();
    cv::Mat support(full.rows, full.cols, CV_8UC1);
    for (int x = 0; x < support.cols; ++x) {
        for (int y = 0; y < support.rows; ++y) {
            support.at<uchar>(y, x) = host.GetData()[y * host.GetWidth() + x];
        }
    }
    for (int r = 0; r < labels.rows; ++r) {
        for (int c = 0; c < labels.cols; ++c) {
            uchar& s = support.at<uchar>(r + roi.top, c + roi.left);
            if (s == 0) {
                s = labels.at<int>(r, c) > 1 ? 255 : 0;
            }
        }
    }
    cv::dilate(support, support, cv::Mat::ones(11, 11, CV_8U), cv::Point(-1, -1), ridge ? 1 : 2);
    DataLayer::CRBFInpainting::Config config;
    config.estimator = ridge ? DataLayer::CRBFInpainting::Config::Estimator::eRidge
                             : DataLayer::CRBFInpainting::Config::Estimator::eSurround;
    DataLayer::CRBFInpainting inpainting{config};
    inpainting.setInputImage(full);
    inpainting.setInputSupportMask(support);
    cv::Mat white;
    if (!inpainting.approximate()) {
        return white;
    }
    inpainting.fillValues(cv::Mat(), white);
    cv::GaussianBlur(white, white, cv::Size(19, 19), 9.0, 0.0, cv::BORDER_REFLECT_101);
    return white;
}

/// Paints the patch of found index `index` with the card's white ground around it.
inline void washOutPatch(ChartSynth::RenderedChart& r, int index, EChart chart) {
    const cv::Point2d c = r.centers[static_cast<std::size_t>(index)];
    // The ground between two patches, half a pitch from the centre.
    const cv::Point ground(static_cast<int>(c.x + 0.5 * ChartSynth::chartPitch(chart)),
                           static_cast<int>(c.y));
    const int half = static_cast<int>(0.5 * ChartSynth::chartSideLength(chart)) + 6;
    const cv::Rect box =
        cv::Rect(static_cast<int>(c.x) - half, static_cast<int>(c.y) - half, 2 * half, 2 * half) &
        cv::Rect(0, 0, r.photo.cols, r.photo.rows);
    // The illumination over the box is smooth: take it from the white field,
    // scaled to the ground's value where it was read.
    const cv::Vec3f g = r.photo.at<cv::Vec3f>(ground);
    const cv::Vec3f w = r.whiteField.at<cv::Vec3f>(ground);
    cv::Mat patch = r.photo(box);
    cv::multiply(r.whiteField(box), cv::Scalar(g[0] / w[0], g[1] / w[1], g[2] / w[2]), patch);
    r.photo.convertTo(r.photo8u, CV_8UC3);
}

}  // namespace EngineTest
