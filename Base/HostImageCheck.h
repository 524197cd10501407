#pragma once

#include <cstddef>
#include <cstdint>

namespace Base {

/// What makes a caller's image buffer and size unusable. Checked before any
/// pixel is read, so that nothing is read from a buffer that cannot hold the
/// pixels its size claims.
enum class HostImageProblem {
    eNone,
    eNullBuffer,       ///< no buffer
    eNonPositiveSize,  ///< a width or height of zero or less
    eTooLarge,         ///< a side beyond `INT_MAX`, or a byte count beyond `PTRDIFF_MAX`
};

/// The outcome of `checkHostImage`.
struct HostImageCheck {
    HostImageProblem problem = HostImageProblem::eNone;
    /// rows x cols x bytesPerPixel when there is no problem, otherwise 0.
    std::size_t bytes = 0;

    bool usable() const { return problem == HostImageProblem::eNone; }
};

/// Checks a caller's image of `rows` x `cols` pixels of `bytesPerPixel` (> 0)
/// bytes each at `data`: the sides must be positive and fit an int, and the
/// byte count must fit `PTRDIFF_MAX`, computed without overflow. A null `data`
/// is `eNullBuffer` unless `allowNull` (for images that are zero-filled then).
HostImageCheck checkHostImage(const void* data, std::int64_t rows, std::int64_t cols,
                              int bytesPerPixel, bool allowNull = false);

/// `problem` in words, for messages ("no image data", ...).
const char* describeHostImageProblem(HostImageProblem problem);

}  // namespace Base
