// `colorcal apply`'s correction: one 24 MP photo with flat-field (into a new
// image, as apply corrects, and into a buffer kept across calls) beside one
// 19 x 19 Gaussian blur of it (float, and 8-bit), and a batch of 50 12 MP JPEG
// photos on two threads, with the times and shares of decoding, correcting and
// encoding one photo on one thread.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <tbb/global_control.h>
#include <unistd.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "CalibrationFile.h"
#include "PhotoCorrection.h"
#include "PhotoFiles.h"

namespace {

using namespace ColorCalFrontend;
namespace fs = std::filesystem;

CalibrationData calibration(cv::Size size) {
    CalibrationData c;
    c.encoding = Encoding::eSrgb;
    c.matrixBgr = {1.386,   -0.0758, -0.0253, -5.45,   -0.0669, 1.2126,
                   -0.0482, -3.75,   -0.0085, -0.0981, 1.1676,  2.94};
    c.realWhiteBgr = {224.31, 238.11, 241.82};
    c.imageSize = size;
    return c;
}

// A photo with smooth gradients and noise, as JPEG content compresses.
cv::Mat photoOf(cv::Size size) {
    cv::Mat small(size.height / 16, size.width / 16, CV_8UC3);
    cv::randu(small, 0, 256);
    cv::Mat photo;
    cv::resize(small, photo, size, 0, 0, cv::INTER_CUBIC);
    cv::Mat noise(size, CV_8UC3);
    cv::randn(noise, 0, 4);
    return photo + noise;
}

void BM_Correct24MpWithFlatField(benchmark::State& state) {
    const cv::Size size(6000, 4000);
    const CorrectionModel model(calibration(size));
    const cv::Mat photo = photoOf(size);
    cv::Mat white(size, CV_32FC3);
    cv::randu(white, 180.0, 240.0);
    const cv::Mat working = model.workingWhite(white);
    for (auto _ : state) {
        cv::Mat out = model.correct(photo, working);
        benchmark::DoNotOptimize(out.data);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(photo.total() * 3));
}
BENCHMARK(BM_Correct24MpWithFlatField)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same into one buffer kept across calls, as the blur below keeps its.
void BM_Correct24MpWithFlatFieldIntoBuffer(benchmark::State& state) {
    const cv::Size size(6000, 4000);
    const CorrectionModel model(calibration(size));
    const cv::Mat photo = photoOf(size);
    cv::Mat white(size, CV_32FC3);
    cv::randu(white, 180.0, 240.0);
    const cv::Mat working = model.workingWhite(white);
    cv::Mat out;
    for (auto _ : state) {
        model.correct(photo, working, out);
        benchmark::DoNotOptimize(out.data);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(photo.total() * 3));
}
BENCHMARK(BM_Correct24MpWithFlatFieldIntoBuffer)->Unit(benchmark::kMillisecond)->UseRealTime();

// The baselines: the same photo blurred as float (the size of the correction's
// working values), and as 8-bit.
void BM_GaussianBlur19x19Of24MpFloat(benchmark::State& state) {
    cv::Mat photo;
    photoOf(cv::Size(6000, 4000)).convertTo(photo, CV_32F);
    cv::Mat out;
    for (auto _ : state) {
        cv::GaussianBlur(photo, out, cv::Size(19, 19), 0);
        benchmark::DoNotOptimize(out.data);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(photo.total() * 3));
}
BENCHMARK(BM_GaussianBlur19x19Of24MpFloat)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GaussianBlur19x19Of24Mp8Bit(benchmark::State& state) {
    const cv::Mat photo = photoOf(cv::Size(6000, 4000));
    cv::Mat out;
    for (auto _ : state) {
        cv::GaussianBlur(photo, out, cv::Size(19, 19), 0);
        benchmark::DoNotOptimize(out.data);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(photo.total() * 3));
}
BENCHMARK(BM_GaussianBlur19x19Of24Mp8Bit)->Unit(benchmark::kMillisecond)->UseRealTime();

// 50 JPEG photos of 12 MP, corrected on two threads as `colorcal apply` does;
// written to a folder of their own, removed after each run.
class JpegBatch : public benchmark::Fixture {
  public:
    void SetUp(const benchmark::State&) override {
        dir = fs::temp_directory_path() / ("colorcal-apply-bench-" + std::to_string(::getpid()));
        fs::create_directories(dir / "out");
        const cv::Mat photo = photoOf(cv::Size(4000, 3000));
        std::vector<uchar> jpeg;
        cv::imencode(".jpg", photo, jpeg, {cv::IMWRITE_JPEG_QUALITY, 92});
        for (int i = 0; i < 50; ++i) {
            const std::string name = "photo" + std::to_string(i) + ".jpg";
            std::ofstream file(dir / name, std::ios::binary);
            file.write(reinterpret_cast<const char*>(jpeg.data()),
                       static_cast<std::streamsize>(jpeg.size()));
            if (!file) throw std::runtime_error("cannot write " + (dir / name).string());
            jobs.push_back({(dir / name).string(), (dir / "out" / name).string()});
        }
    }
    void TearDown(const benchmark::State&) override {
        jobs.clear();
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    fs::path dir;
    std::vector<PhotoJob> jobs;
};

double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

BENCHMARK_DEFINE_F(JpegBatch, FiftyJpegs12MpOnTwoThreads)(benchmark::State& state) {
    const tbb::global_control threads(tbb::global_control::max_allowed_parallelism, 2);
    const CorrectionModel model(calibration(cv::Size(4000, 3000)));
    ApplySettings settings;
    settings.model = &model;
    for (auto _ : state) {
        const std::vector<std::string> errors = applyToPhotoFiles(jobs, settings, nullptr);
        for (const std::string& error : errors) {
            if (!error.empty()) state.SkipWithError(error.c_str());
        }
        benchmark::DoNotOptimize(errors.data());
    }
    state.counters["photos_per_s"] = benchmark::Counter(
        static_cast<double>(jobs.size()) * state.iterations(), benchmark::Counter::kIsRate);
    // One photo's steps timed one after another on one thread, as `apply`
    // runs them (a new image for each result); the median of 9 photos each,
    // as other programs share the machine.
    using Clock = std::chrono::steady_clock;
    const auto ms = [](Clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    };
    const tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
    std::vector<double> decode;
    std::vector<double> correct;
    std::vector<double> encode;
    for (int i = 0; i < 9; ++i) {
        const auto t0 = Clock::now();
        const cv::Mat photo = cv::imread(jobs[i].input, cv::IMREAD_UNCHANGED);
        const auto t1 = Clock::now();
        const cv::Mat out = model.correct(photo, cv::Mat());
        const auto t2 = Clock::now();
        std::vector<uchar> bytes;
        cv::imencode(".jpg", out, bytes, {cv::IMWRITE_JPEG_QUALITY, 95});
        const auto t3 = Clock::now();
        decode.push_back(ms(t1 - t0));
        correct.push_back(ms(t2 - t1));
        encode.push_back(ms(t3 - t2));
    }
    const double d = median(decode);
    const double c = median(correct);
    const double e = median(encode);
    state.counters["decode_ms"] = d;
    state.counters["correct_ms"] = c;
    state.counters["encode_ms"] = e;
    state.counters["decode_share"] = d / (d + c + e);
    state.counters["correct_share"] = c / (d + c + e);
    state.counters["encode_share"] = e / (d + c + e);
}
BENCHMARK_REGISTER_F(JpegBatch, FiftyJpegs12MpOnTwoThreads)
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace
