#pragma once

// Test helpers for the engine's entry points: a log sink, a chart parameter
// set with switchable details, and rendered chart photos set up as a host
// would hand them to the engine.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "Base/CImageData2D.h"
#include "DataLayer/ShadeAnalysis/CColorCalibration.h"
#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/Loggers.h"
#include "synth/SyntheticChart.h"

namespace EngineTest {

using EChart = Base::IParameterSetColorCalibrationTarget::EParameterSet;

/// Collects the engine logger's lines while it lives; restores the previous sink.
class LogCapture {
  public:
    LogCapture() {
        m_previous = DataLayer::ColorCalibrationLogger().SetSink(
            [this](const Logging::LogRecord& record) { m_records.push_back(record); });
    }
    ~LogCapture() { DataLayer::ColorCalibrationLogger().SetSink(m_previous); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::vector<Logging::LogRecord>& records() const { return m_records; }
    /// The record carrying `message`, or null.
    const Logging::LogRecord* find(const std::wstring& message) const {
        const auto it =
            std::find_if(m_records.begin(), m_records.end(),
                         [&](const Logging::LogRecord& r) { return r.message == message; });
        return it == m_records.end() ? nullptr : &*it;
    }

  private:
    std::vector<Logging::LogRecord> m_records;
    Logging::LogSink m_previous;
};

/// A chart's parameter set with the external-white flag and the colour index
/// table replaceable, as a host implementation of the interface could do.
class TestParameterSet : public Base::IParameterSetColorCalibrationTarget {
  public:
    explicit TestParameterSet(EChart chart) : m_base(chart), m_lut(m_base.GetColorIndexLut()) {}

    std::optional<bool> externalWhite;
    void setLut(std::vector<int> lut) { m_lut = std::move(lut); }

    float GetSegmentSideLength() const override { return m_base.GetSegmentSideLength(); }
    float GetGridLength() const override { return m_base.GetGridLength(); }
    float GetScaledPatchSize() const override { return m_base.GetScaledPatchSize(); }
    int GetNumberOfClusters() const override { return m_base.GetNumberOfClusters(); }
    unsigned int GetWhiteAreaStencilRadius() const override {
        return m_base.GetWhiteAreaStencilRadius();
    }
    float GetDownsamplingScale() const override { return m_base.GetDownsamplingScale(); }
    int GetBlurKernelSize() const override { return m_base.GetBlurKernelSize(); }
    float GetLabClusterRadius() const override { return m_base.GetLabClusterRadius(); }
    unsigned int GetMinimalClusterSize() const override { return m_base.GetMinimalClusterSize(); }
    unsigned int GetMaximalClusterSize() const override { return m_base.GetMaximalClusterSize(); }
    unsigned int GetMaximumNumberOfReclusteringOperations() const override {
        return m_base.GetMaximumNumberOfReclusteringOperations();
    }
    float GetAcceptedHoleRatio() const override { return m_base.GetAcceptedHoleRatio(); }
    const std::vector<int>& GetColorIndexLut() const override { return m_lut; }
    bool IsUseExternalWhiteImg() const override {
        return externalWhite.value_or(m_base.IsUseExternalWhiteImg());
    }

  private:
    DataLayer::CParameterSetColorCalibrationTarget m_base;
    std::vector<int> m_lut;
};

/// A host image that reports a size but has no pixel data.
class NoPixelsImage : public Base::IImageData2D {
  public:
    NoPixelsImage(int width, int height, int bytesPerPixel)
        : m_width(width), m_height(height), m_bytes(bytesPerPixel) {}
    const unsigned char* GetData() const override { return nullptr; }
    int GetBytesPerPixel() const override { return m_bytes; }
    int GetWidth() const override { return m_width; }
    int GetHeight() const override { return m_height; }

  private:
    int m_width;
    int m_height;
    int m_bytes;
};

/// Reference colours as `SetReferenceColorsRGB` reads them: 20 (R, G, B) triples.
inline std::vector<float> referenceFloats(const std::array<ChartSynth::Rgb, 20>& rgb) {
    std::vector<float> values;
    for (const ChartSynth::Rgb& c : rgb) {
        values.insert(values.end(), c.begin(), c.end());
    }
    return values;
}

/// Options for a chart photo of moderate size with the chart near the centre.
inline ChartSynth::RenderOptions photoOptions(EChart chart) {
    ChartSynth::RenderOptions options;
    options.chart = chart;
    options.referenceRgb = ChartSynth::defaultReferenceColors();
    return options;
}

/// The host's support image for a photo: 0 on the chart card (usable white
/// ground; the engine itself excludes the patches), 255 elsewhere.
inline std::shared_ptr<Base::CImageData2D> chartSupport(const ChartSynth::RenderedChart& r) {
    cv::Mat support(r.photo.size(), CV_8UC1, cv::Scalar(255));
    support(r.chartRegion).setTo(0);
    return std::make_shared<Base::CImageData2D>(support.cols, support.rows, 1, support.data);
}

/// A float image as a host image of 12 bytes per pixel.
inline std::shared_ptr<Base::CImageData2D> floatHostImage(const cv::Mat& image) {
    const cv::Mat continuous = image.clone();
    return std::make_shared<Base::CImageData2D>(continuous.cols, continuous.rows, 12,
                                                continuous.data);
}

/// Hands the photo to the engine: the chart region as input image inside the
/// full photo, and the chart support as colour image ROI.
inline void setPhoto(DataLayer::CColorCalibration& engine, const ChartSynth::RenderedChart& r) {
    cv::Mat input = r.photo(r.chartRegion).clone();
    cv::Mat full = r.photo.clone();
    CRect roi(r.chartRegion.x, r.chartRegion.y, r.chartRegion.x + r.chartRegion.width,
              r.chartRegion.y + r.chartRegion.height);
    engine.SetInputImage(input.ptr<float>(), roi, full.ptr<float>(), full.cols, full.rows);
    engine.SetColorImageRoi(chartSupport(r));
}

/// Paints the patch of found index `index` with the card's white ground around it.
inline void washOutPatch(ChartSynth::RenderedChart& r, int index, EChart chart) {
    const double side = ChartSynth::chartSideLength(chart);
    const double pitch = ChartSynth::chartPitch(chart);
    const cv::Point2d c = r.centers[static_cast<std::size_t>(index)];
    // The ground between two patches, half a pitch from the centre.
    const cv::Point ground(static_cast<int>(c.x + 0.5 * pitch), static_cast<int>(c.y));
    const int half = static_cast<int>(0.5 * side) + 6;
    const cv::Rect box =
        cv::Rect(static_cast<int>(c.x) - half, static_cast<int>(c.y) - half, 2 * half, 2 * half) &
        cv::Rect(0, 0, r.photo.cols, r.photo.rows);
    // The illumination over the box is smooth: take it from the white field,
    // scaled to the ground's value where it was read.
    const cv::Vec3f g = r.photo.at<cv::Vec3f>(ground);
    const cv::Vec3f w = r.whiteField.at<cv::Vec3f>(ground);
    cv::Mat patch = r.photo(box);
    const cv::Mat field = r.whiteField(box);
    for (int y = 0; y < box.height; ++y) {
        for (int x = 0; x < box.width; ++x) {
            const cv::Vec3f f = field.at<cv::Vec3f>(y, x);
            for (int ch = 0; ch < 3; ++ch) {
                patch.at<cv::Vec3f>(y, x)[ch] = std::round(f[ch] * g[ch] / w[ch]);
            }
        }
    }
    r.photo.convertTo(r.photo8u, CV_8UC3);
}

}  // namespace EngineTest
