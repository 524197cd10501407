#pragma once

#include "Base/Export.h"

namespace Base {

/// The host's image interface: interleaved pixels, rows stored one after
/// another without padding.
class COLORCAL_EXPORT IImageData2D {
  public:
    virtual ~IImageData2D();
    /// Pointer to the first pixel byte; null for an image without pixels.
    virtual const unsigned char* GetData() const = 0;
    /// 1 for an 8-bit mask, 3 for 8-bit three-channel colour, 12 for float three-channel colour.
    virtual int GetBytesPerPixel() const = 0;
    /// Pixels per row.
    virtual int GetWidth() const = 0;
    /// Number of rows.
    virtual int GetHeight() const = 0;
};

}  // namespace Base
