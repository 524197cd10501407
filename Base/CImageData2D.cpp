#include "Base/CImageData2D.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "Base/HostImageCheck.h"

namespace Base {

IImageData2D::~IImageData2D() = default;

CImageData2D::CImageData2D(int width, int height, int bytesPerPixel)
    : CImageData2D(width, height, bytesPerPixel, nullptr) {}

CImageData2D::CImageData2D(int width, int height, int bytesPerPixel, const void* data)
    : m_width(std::max(width, 0)),
      m_height(std::max(height, 0)),
      m_bytesPerPixel(std::max(bytesPerPixel, 0)) {
    const HostImageCheck check =
        checkHostImage(data, m_height, m_width, m_bytesPerPixel, /*allowNull=*/true);
    if (check.problem == HostImageProblem::eTooLarge) {
        // The byte count would wrap: an image claiming more pixels than it holds.
        throw std::length_error("CImageData2D: " + std::to_string(width) + " x " +
                                std::to_string(height) + " pixels of " +
                                std::to_string(bytesPerPixel) + " bytes exceed the address space");
    }
    const std::size_t bytes = check.bytes;  // 0 for an image with a side of 0
    m_pixels.assign(bytes, 0);
    if (data != nullptr && bytes > 0) {
        std::memcpy(m_pixels.data(), data, bytes);
    }
}

CImageData2D::~CImageData2D() = default;

const unsigned char* CImageData2D::GetData() const {
    return m_pixels.empty() ? nullptr : m_pixels.data();
}
int CImageData2D::GetBytesPerPixel() const { return m_bytesPerPixel; }
int CImageData2D::GetWidth() const { return m_width; }
int CImageData2D::GetHeight() const { return m_height; }
unsigned char* CImageData2D::GetMutableData() {
    return m_pixels.empty() ? nullptr : m_pixels.data();
}
std::size_t CImageData2D::GetByteCount() const { return m_pixels.size(); }

}  // namespace Base
