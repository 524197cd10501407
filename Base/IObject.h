#pragma once

#include <typeinfo>

#include "Base/Export.h"

/// Root interface of the host framework's objects: run-time type and class name.
class COLORCAL_EXPORT IObject {
  public:
    virtual ~IObject();
    /// The dynamic type of the object.
    virtual const std::type_info& GetRTTI() const = 0;
    /// The class name, as a wide string.
    virtual const wchar_t* GetClassNameW() const = 0;
};
