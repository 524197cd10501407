#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Base/Export.h"
#include "Base/IException.h"
#include "Base/IObject.h"

/// The host framework's exception base class. Keeps the raising site (file,
/// line, function), a wide message and the identifier of the constructing thread.
class COLORCAL_EXPORT CbException : public IException, public IObject {
  public:
    CbException(const char* file, unsigned int line, const char* function, const wchar_t* message);
    CbException(const CbException& other);
    CbException& operator=(const CbException& other);
    ~CbException() override;

    std::unique_ptr<IException> Clone() const override;
    const char* GetFilename() const override;
    unsigned int GetCodeLine() const override;
    const char* GetFunctionName() const override;
    std::uint64_t GetThreadID() const override;

    const std::type_info& GetRTTI() const override;
    const wchar_t* GetClassNameW() const override;

    /// The message given to the constructor.
    const wchar_t* GetMessageW() const;

  private:
    std::string m_file;
    unsigned int m_line;
    std::string m_function;
    std::wstring m_message;
    std::uint64_t m_threadId;
};
