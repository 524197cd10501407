#pragma once

#include <cstddef>
#include <vector>

#include "Base/Export.h"
#include "Base/IImageData2D.h"

namespace Base {

/// An image that owns its pixels: width x height pixels of `bytesPerPixel`
/// bytes each, rows without padding. Hosts and tests use it to hand the engine
/// an 8-bit mask (1), 8-bit BGR (3) or float BGR (12) image.
class COLORCAL_EXPORT CImageData2D : public IImageData2D {
  public:
    /// A zero-filled image. Negative sizes are treated as 0; a size whose
    /// byte count does not fit the address space throws `std::length_error`.
    CImageData2D(int width, int height, int bytesPerPixel);
    /// An image holding a copy of width x height x bytesPerPixel bytes from `data`
    /// (zero-filled when `data` is null); sizes as above.
    CImageData2D(int width, int height, int bytesPerPixel, const void* data);
    ~CImageData2D() override;

    const unsigned char* GetData() const override;
    int GetBytesPerPixel() const override;
    int GetWidth() const override;
    int GetHeight() const override;

    /// Writable access to the pixels (null for an image without pixels).
    unsigned char* GetMutableData();
    /// Number of pixel bytes held.
    std::size_t GetByteCount() const;

  private:
    int m_width;
    int m_height;
    int m_bytesPerPixel;
    std::vector<unsigned char> m_pixels;
};

}  // namespace Base
