#pragma once

#include <exception>
#include <string>

#include "Base/CString.h"
#include "Base/CbException.h"
#include "Base/Export.h"

namespace DataLayer {

/// The library's exception for set-up faults (an unknown chart type, a missing
/// parameter set). It carries the raising site and a wide message and can be
/// caught as `OrvException`, `CbException`, `IException`, `IObject` or
/// `std::exception`; `what()` gives the message as a narrow string in the
/// process locale's multibyte encoding (UTF-8 where the locale cannot
/// represent it; pure ASCII unchanged).
class COLORCAL_EXPORT OrvException : public CbException, public std::exception {
  public:
    OrvException(const char* file, unsigned int line, const char* function, const wchar_t* message);
    OrvException(const OrvException& other);
    OrvException& operator=(const OrvException& other);
    ~OrvException() override;

    /// The message as a narrow string.
    const char* what() const noexcept override;
    /// The message as given.
    const CString& GetMessageText() const;

  private:
    std::string m_narrowMessage;
    CString m_message;
};

/// Builds the message and throws an `OrvException`. A `format` without '%' is
/// the message verbatim (any length); otherwise it is formatted with the
/// arguments and cut to 8191 characters.
[[noreturn]] COLORCAL_EXPORT void ThrowOrvException(const char* file, unsigned int line,
                                                    const char* function, const wchar_t* format,
                                                    ...);

}  // namespace DataLayer
