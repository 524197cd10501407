// `colorcal apply`'s correction: one 24 MP photo with flat-field beside one
// 19 x 19 Gaussian blur of it, and a batch of 50 12 MP JPEG photos on two
// threads, with the shares of decoding, correcting and encoding.

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
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

void BM_GaussianBlur19x19Of24Mp(benchmark::State& state) {
    const cv::Mat photo = photoOf(cv::Size(6000, 4000));
    cv::Mat out;
    for (auto _ : state) {
        cv::GaussianBlur(photo, out, cv::Size(19, 19), 0);
        benchmark::DoNotOptimize(out.data);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(photo.total() * 3));
}
BENCHMARK(BM_GaussianBlur19x19Of24Mp)->Unit(benchmark::kMillisecond)->UseRealTime();

// 50 JPEG photos of 12 MP, corrected on two threads as `colorcal apply` does.
class JpegBatch : public benchmark::Fixture {
  public:
    void SetUp(const benchmark::State&) override {
        if (!jobs.empty()) return;
        dir = fs::temp_directory_path() / ("colorcal-apply-bench-" + std::to_string(::getpid()));
        fs::create_directories(dir / "out");
        const cv::Mat photo = photoOf(cv::Size(4000, 3000));
        std::vector<uchar> jpeg;
        cv::imencode(".jpg", photo, jpeg, {cv::IMWRITE_JPEG_QUALITY, 92});
        for (int i = 0; i < 50; ++i) {
            const std::string name = (dir / ("photo" + std::to_string(i) + ".jpg")).string();
            FILE* file = std::fopen(name.c_str(), "wb");
            std::fwrite(jpeg.data(), 1, jpeg.size(), file);
            std::fclose(file);
            jobs.push_back({name, (dir / "out" / ("photo" + std::to_string(i) + ".jpg")).string()});
        }
    }
    static fs::path dir;
    static std::vector<PhotoJob> jobs;
};
fs::path JpegBatch::dir;
std::vector<PhotoJob> JpegBatch::jobs;

BENCHMARK_DEFINE_F(JpegBatch, FiftyJpegs12MpOnTwoThreads)(benchmark::State& state) {
    const tbb::global_control threads(tbb::global_control::max_allowed_parallelism, 2);
    const CorrectionModel model(calibration(cv::Size(4000, 3000)));
    ApplySettings settings;
    settings.model = &model;
    for (auto _ : state) {
        const std::vector<std::string> errors = applyToPhotoFiles(jobs, settings, nullptr);
        benchmark::DoNotOptimize(errors.data());
    }
    state.counters["photos_per_s"] = benchmark::Counter(
        static_cast<double>(jobs.size()) * state.iterations(), benchmark::Counter::kIsRate);
    // The shares of one photo's steps, timed one after another on one thread.
    using Clock = std::chrono::steady_clock;
    double decode = 0.0;
    double correct = 0.0;
    double encode = 0.0;
    for (int i = 0; i < 5; ++i) {
        const auto t0 = Clock::now();
        const cv::Mat photo = cv::imread(jobs[i].input, cv::IMREAD_UNCHANGED);
        const auto t1 = Clock::now();
        cv::Mat out;
        {
            const tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
            out = model.correct(photo, cv::Mat());
        }
        const auto t2 = Clock::now();
        std::vector<uchar> bytes;
        cv::imencode(".jpg", out, bytes, {cv::IMWRITE_JPEG_QUALITY, 95});
        const auto t3 = Clock::now();
        decode += std::chrono::duration<double>(t1 - t0).count();
        correct += std::chrono::duration<double>(t2 - t1).count();
        encode += std::chrono::duration<double>(t3 - t2).count();
    }
    const double total = decode + correct + encode;
    state.counters["decode_share"] = decode / total;
    state.counters["correct_share"] = correct / total;
    state.counters["encode_share"] = encode / total;
}
BENCHMARK_REGISTER_F(JpegBatch, FiftyJpegs12MpOnTwoThreads)
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace
