#include "Base/CImageData2D.h"

#include <algorithm>
#include <cstring>

namespace Base {

IImageData2D::~IImageData2D() = default;

CImageData2D::CImageData2D(int width, int height, int bytesPerPixel)
    : CImageData2D(width, height, bytesPerPixel, nullptr) {}

CImageData2D::CImageData2D(int width, int height, int bytesPerPixel, const void* data)
    : m_width(std::max(width, 0)),
      m_height(std::max(height, 0)),
      m_bytesPerPixel(std::max(bytesPerPixel, 0)) {
    const std::size_t bytes = static_cast<std::size_t>(m_width) *
                              static_cast<std::size_t>(m_height) *
                              static_cast<std::size_t>(m_bytesPerPixel);
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
