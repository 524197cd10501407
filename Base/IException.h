#pragma once

#include <cstdint>
#include <memory>

#include "Base/Export.h"

/// Interface of the host framework's exceptions: where it was raised and by which thread.
class COLORCAL_EXPORT IException {
  public:
    virtual ~IException();
    /// A copy of the exception as its own dynamic type's base part.
    virtual std::unique_ptr<IException> Clone() const = 0;
    /// Source file of the raising site, as the build knows it.
    virtual const char* GetFilename() const = 0;
    /// Source line of the raising site.
    virtual unsigned int GetCodeLine() const = 0;
    /// Fully qualified name of the raising function.
    virtual const char* GetFunctionName() const = 0;
    /// Identifier of the thread that constructed the exception.
    virtual std::uint64_t GetThreadID() const = 0;
};
