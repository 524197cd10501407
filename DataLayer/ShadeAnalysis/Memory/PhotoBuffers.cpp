#include "DataLayer/ShadeAnalysis/Memory/PhotoBuffers.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define COLORCAL_PLAIN_BUFFERS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define COLORCAL_PLAIN_BUFFERS 1
#endif
#endif
#if !defined(__linux__) || !defined(MADV_HUGEPAGE)
#define COLORCAL_PLAIN_BUFFERS 1
#endif

namespace DataLayer {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
/// `UMatData::allocatorFlags_` of a buffer that is a mapping of its own.
constexpr int kMapped = 1;
/// OpenCV's marker of a step to be computed from the row's width.
constexpr std::size_t kAutoStep = 0x7fffffff;

std::size_t roundUp(std::size_t bytes, std::size_t to) { return (bytes + to - 1) / to * to; }

#ifndef COLORCAL_PLAIN_BUFFERS
/// Whether the process's environment turns the huge-page buffers off
/// (`COLORCAL_HUGE_PAGES=0`), read once: on a system whose memory is badly
/// fragmented, the kernel may compact memory while a huge page is first
/// touched, and a host that cannot afford such a pause once in a while opts
/// out.
bool hugePagesWanted() {
    static const bool wanted = [] {
        const char* setting = std::getenv("COLORCAL_HUGE_PAGES");
        return setting == nullptr || std::strcmp(setting, "0") != 0;
    }();
    return wanted;
}
#endif

/// A mapping of `bytes` (a multiple of 2 MiB) on a 2 MiB boundary, marked for
/// huge pages; null where the system gives none or the host opted out.
void* mapHugeAligned(std::size_t bytes) {
#ifdef COLORCAL_PLAIN_BUFFERS
    (void)bytes;
    return nullptr;
#else
    if (!hugePagesWanted()) return nullptr;
    // Map 2 MiB more than needed and return the unaligned ends.
    const std::size_t span = bytes + kHugePage;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = roundUp(start, kHugePage);
    const std::size_t head = aligned - start;
    const std::size_t tail = span - head - bytes;
    if (head > 0) munmap(raw, head);
    if (tail > 0) munmap(reinterpret_cast<void*>(aligned + bytes), tail);
    void* block = reinterpret_cast<void*>(aligned);
    // Advice only: where the kernel declines, the pages stay ordinary ones.
    (void)madvise(block, bytes, MADV_HUGEPAGE);
    return block;
#endif
}

void unmapHugeAligned(void* block, std::size_t bytes) {
#ifdef COLORCAL_PLAIN_BUFFERS
    (void)block;
    (void)bytes;
#else
    munmap(block, bytes);
#endif
}

/// OpenCV's allocator contract for continuous matrices (as its own standard
/// allocator lays them out), with large buffers mapped on huge pages.
class PhotoBufferAllocator final : public cv::MatAllocator {
  public:
    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data0, size_t* step,
                           cv::AccessFlag /*flags*/,
                           cv::UMatUsageFlags /*usageFlags*/) const override {
        std::size_t total = CV_ELEM_SIZE(type);
        for (int i = dims - 1; i >= 0; --i) {
            if (step != nullptr) {
                if (data0 != nullptr && step[i] != kAutoStep) {
                    CV_Assert(total <= step[i]);
                    total = step[i];
                } else {
                    step[i] = total;
                }
            }
            total *= static_cast<std::size_t>(sizes[i]);
        }
        auto u = std::make_unique<cv::UMatData>(this);
        u->size = total;
        if (data0 != nullptr) {
            u->data = u->origdata = static_cast<uchar*>(data0);
            u->flags |= cv::UMatData::USER_ALLOCATED;
            return u.release();
        }
        void* mapped =
            total >= kPhotoBufferMinBytes ? mapHugeAligned(roundUp(total, kHugePage)) : nullptr;
        if (mapped != nullptr) {
            u->data = u->origdata = static_cast<uchar*>(mapped);
            u->allocatorFlags_ = kMapped;
        } else {
            u->data = u->origdata = static_cast<uchar*>(cv::fastMalloc(total));
        }
        return u.release();
    }

    bool allocate(cv::UMatData* data, cv::AccessFlag /*accessflags*/,
                  cv::UMatUsageFlags /*usageFlags*/) const override {
        return data != nullptr;
    }

    void deallocate(cv::UMatData* data) const override {
        if (data == nullptr) return;
        const std::unique_ptr<cv::UMatData> owned(data);
        CV_Assert(data->urefcount == 0 && data->refcount == 0);
        if ((data->flags & cv::UMatData::USER_ALLOCATED) == 0) {
            if (data->allocatorFlags_ == kMapped) {
                unmapHugeAligned(data->origdata, roundUp(data->size, kHugePage));
            } else {
                cv::fastFree(data->origdata);
            }
            data->origdata = nullptr;
        }
    }
};

cv::MatAllocator* photoBufferAllocator() {
    // Stateless: one instance serves every thread and outlives every matrix.
    static PhotoBufferAllocator instance;
    return &instance;
}

}  // namespace

void createPhotoBuffer(cv::Mat& image, cv::Size size, int type) {
    const bool reusable = isPhotoBuffer(image) && image.size() == size && image.type() == type &&
                          image.isContinuous() && image.u->refcount == 1;
    if (reusable) return;
    image.release();
    image.allocator = photoBufferAllocator();
    image.create(size, type);
}

cv::Mat newPhotoBuffer(cv::Size size, int type) {
    cv::Mat image;
    createPhotoBuffer(image, size, type);
    return image;
}

cv::Mat clonePhotoBuffer(const cv::Mat& image) {
    cv::Mat copy = newPhotoBuffer(image.size(), image.type());
    image.copyTo(copy);
    return copy;
}

bool isPhotoBuffer(const cv::Mat& image) {
    return image.u != nullptr && image.u->currAllocator == photoBufferAllocator();
}

}  // namespace DataLayer
