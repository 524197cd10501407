#include "DataLayer/Errors/OrvException.h"

#include <cstdarg>
#include <cwchar>

#include "Base/Logging/WideFormat.h"
#include "Base/StringConversion.h"

namespace DataLayer {

OrvException::OrvException(const char* file, unsigned int line, const char* function,
                           const wchar_t* message)
    : CbException(file, line, function, message),
      std::exception(),
      m_narrowMessage(Base::WideToNarrow(message != nullptr ? message : L"")),
      m_message(message != nullptr ? message : L"") {}

OrvException::OrvException(const OrvException& other) = default;
OrvException& OrvException::operator=(const OrvException& other) = default;
OrvException::~OrvException() = default;

const char* OrvException::what() const noexcept { return m_narrowMessage.c_str(); }

const CString& OrvException::GetMessageText() const { return m_message; }

void ThrowOrvException(const char* file, unsigned int line, const char* function,
                       const wchar_t* format, ...) {
    CString message;
    if (format != nullptr) {
        if (std::wcschr(format, L'%') == nullptr) {
            message = format;
        } else {
            std::va_list args;
            va_start(args, format);
            message = Logging::FormatWide(format, args);
            va_end(args);
        }
    }
    throw OrvException(file, line, function, message.c_str());
}

}  // namespace DataLayer
