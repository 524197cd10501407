#pragma once

#include <cstdint>

/// A rectangle given by its edges, as the host framework passes regions of
/// interest: `left` and `top` are the first column and row inside, `right` and
/// `bottom` the first column and row past the rectangle.
struct CRect {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t right = 0;
    std::int32_t bottom = 0;

    CRect() = default;
    CRect(std::int32_t l, std::int32_t t, std::int32_t r, std::int32_t b)
        : left(l), top(t), right(r), bottom(b) {}

    /// right - left, computed in 64 bits so that no edge values overflow.
    std::int64_t Width() const { return std::int64_t{right} - left; }
    /// bottom - top, computed in 64 bits so that no edge values overflow.
    std::int64_t Height() const { return std::int64_t{bottom} - top; }

    bool operator==(const CRect& o) const {
        return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
    }
    bool operator!=(const CRect& o) const { return !(*this == o); }
};
