// The one way a caller's pixel buffer becomes an engine image: checked by
// `Base::checkHostImage` before a byte is read, then copied.
#include "DataLayer/ShadeAnalysis/HostImage.h"

#include <cstring>

#include "DataLayer/ShadeAnalysis/Memory/PhotoBuffers.h"

namespace DataLayer {

namespace {

/// Whether the caller's image passes the check; `problem` (optional) gets the outcome.
bool usable(const void* pixels, std::int64_t rows, std::int64_t cols, int bytesPerPixel,
            Base::HostImageProblem* problem) {
    const Base::HostImageCheck check = Base::checkHostImage(pixels, rows, cols, bytesPerPixel);
    if (problem != nullptr) {
        *problem = check.problem;
    }
    return check.usable();
}

}  // namespace

cv::Mat copyHostImage(const float* pixels, std::int64_t rows, std::int64_t cols,
                      Base::HostImageProblem* problem) {
    cv::Mat image;
    if (!usable(pixels, rows, cols, 3 * static_cast<int>(sizeof(float)), problem)) {
        return image;
    }
    createPhotoBuffer(image, cv::Size(static_cast<int>(cols), static_cast<int>(rows)), CV_32FC3);
    std::memcpy(image.data, pixels, image.total() * image.elemSize());
    return image;
}

cv::Mat copyHostImage(const unsigned char* pixels, std::int64_t rows, std::int64_t cols,
                      Base::HostImageProblem* problem) {
    cv::Mat image;
    // The engine's float copy is four times the caller's bytes: its size is the one to guard.
    if (!usable(pixels, rows, cols, 3 * static_cast<int>(sizeof(float)), problem)) {
        return image;
    }
    // The view never writes: convertTo only reads its source.
    const cv::Mat view(static_cast<int>(rows), static_cast<int>(cols), CV_8UC3,
                       const_cast<unsigned char*>(pixels));
    createPhotoBuffer(image, view.size(), CV_32FC3);
    view.convertTo(image, CV_32FC3, 1.0, 0.0);
    return image;
}

}  // namespace DataLayer
