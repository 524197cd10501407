// The AVX2 kernels of the 9 x 9 median filter. Compiled only on x86, with
// -mavx2 (see CMakeLists.txt); only medianKernels() calls into this file,
// after checking that the processor has AVX2. The file includes no header
// with inline library code beyond the intrinsics, so no function compiled
// here for AVX2 can be picked by the linker for another source.

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "DataLayer/ShadeAnalysis/Segmentation/MedianFilter.h"

namespace DataLayer {
namespace MedianFilter {

const MedianKernels& avx2MedianKernelSet();

namespace {

__m256i load(const std::uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

void store(std::uint8_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

void runAvx2(std::uint8_t* arena, const MinMaxStep* steps, std::size_t count, std::size_t begin,
             std::size_t end) {
    constexpr std::size_t kLanes = 32;
    for (std::size_t s = 0; s < count; ++s) {
        const std::uint8_t* a = arena + steps[s].a;
        const std::uint8_t* b = arena + steps[s].b;
        std::uint8_t* lo = arena + steps[s].lo;
        std::uint8_t* hi = arena + steps[s].hi;
        if (steps[s].lo >= 0 && steps[s].hi >= 0) {
            for (std::size_t i = begin; i < end; i += kLanes) {
                const __m256i x = load(a + i);
                const __m256i y = load(b + i);
                store(lo + i, _mm256_min_epu8(x, y));
                store(hi + i, _mm256_max_epu8(x, y));
            }
        } else if (steps[s].lo >= 0) {
            for (std::size_t i = begin; i < end; i += kLanes) {
                store(lo + i, _mm256_min_epu8(load(a + i), load(b + i)));
            }
        } else {
            for (std::size_t i = begin; i < end; i += kLanes) {
                store(hi + i, _mm256_max_epu8(load(a + i), load(b + i)));
            }
        }
    }
}

}  // namespace

const MedianKernels& avx2MedianKernelSet() {
    static const MedianKernels kernels{"avx2", runAvx2};
    return kernels;
}

}  // namespace MedianFilter
}  // namespace DataLayer
