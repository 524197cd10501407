#pragma once

#include <cstdint>

#include <opencv2/core.hpp>

#include "Base/HostImageCheck.h"

namespace DataLayer {

/// A new CV_32FC3 matrix of `rows` x `cols` pixels copied from a caller's
/// interleaved BGR buffer of rows * cols * 3 floats. Empty, with `problem`
/// (optional) saying why, when `Base::checkHostImage` refuses the buffer and
/// size (null, a side not positive or beyond an int, a byte count beyond the
/// address space): nothing is read from the buffer then.
cv::Mat copyHostImage(const float* pixels, std::int64_t rows, std::int64_t cols,
                      Base::HostImageProblem* problem = nullptr);

/// As above from 8-bit BGR pixels (rows * cols * 3 bytes), converted without
/// scaling; the byte count guarded is that of the float copy.
cv::Mat copyHostImage(const unsigned char* pixels, std::int64_t rows, std::int64_t cols,
                      Base::HostImageProblem* problem = nullptr);

}  // namespace DataLayer
