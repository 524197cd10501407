// Feeds the image-header probe (`probeImageDimensions`) with arbitrary bytes,
// read through the same kind of ReadAt callback the tool gives it over a
// file. It must never read outside what the callback hands over, must stop
// after a bounded number of reads, and a size it declares is never zero.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "ImageHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t reads = 0;
    const ColorCalCli::ReadAt read = [&](std::uint64_t offset, unsigned char* out,
                                         std::size_t count) -> std::size_t {
        ++reads;
        if (offset >= size) return 0;
        const std::size_t n = std::min<std::uint64_t>(count, size - offset);
        std::memcpy(out, data + offset, n);
        return n;
    };
    const auto dimensions = ColorCalCli::probeImageDimensions(read);
    if (dimensions && (dimensions->width == 0 || dimensions->height == 0)) __builtin_trap();
    if (reads > 20000) __builtin_trap();  // the probe's reads are bounded
    return 0;
}
