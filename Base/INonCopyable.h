#pragma once

#include "Base/Export.h"

/// Base of interfaces whose objects must not be copied.
class COLORCAL_EXPORT INonCopyable {
  public:
    INonCopyable(const INonCopyable&) = delete;
    INonCopyable& operator=(const INonCopyable&) = delete;

  protected:
    INonCopyable() = default;
    ~INonCopyable() = default;
};
