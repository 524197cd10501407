#include "Base/HostImageCheck.h"

#include <climits>

namespace Base {

HostImageCheck checkHostImage(const void* data, std::int64_t rows, std::int64_t cols,
                              int bytesPerPixel, bool allowNull) {
    HostImageCheck check;
    if (data == nullptr && !allowNull) {
        check.problem = HostImageProblem::eNullBuffer;
    } else if (rows <= 0 || cols <= 0 || bytesPerPixel <= 0) {
        check.problem = HostImageProblem::eNonPositiveSize;
    } else if (rows > INT_MAX || cols > INT_MAX ||
               rows * cols > PTRDIFF_MAX / std::int64_t{bytesPerPixel}) {
        // Both sides fit an int, so rows * cols fits 62 bits and cannot overflow.
        check.problem = HostImageProblem::eTooLarge;
    } else {
        check.bytes = static_cast<std::size_t>(rows * cols * bytesPerPixel);
    }
    return check;
}

const char* describeHostImageProblem(HostImageProblem problem) {
    switch (problem) {
        case HostImageProblem::eNone:
            return "usable";
        case HostImageProblem::eNullBuffer:
            return "no image data";
        case HostImageProblem::eNonPositiveSize:
            return "a width or height that is not positive";
        case HostImageProblem::eTooLarge:
            return "a size whose byte count does not fit the address space";
    }
    return "unusable";
}

}  // namespace Base
