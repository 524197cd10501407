#include "Base/CbException.h"

#include <functional>
#include <thread>

IObject::~IObject() = default;
IException::~IException() = default;

namespace {

std::uint64_t currentThreadId() {
    return static_cast<std::uint64_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
}

}  // namespace

CbException::CbException(const char* file, unsigned int line, const char* function,
                         const wchar_t* message)
    : m_file(file != nullptr ? file : ""),
      m_line(line),
      m_function(function != nullptr ? function : ""),
      m_message(message != nullptr ? message : L""),
      m_threadId(currentThreadId()) {}

CbException::CbException(const CbException& other) = default;
CbException& CbException::operator=(const CbException& other) = default;
CbException::~CbException() = default;

std::unique_ptr<IException> CbException::Clone() const {
    return std::make_unique<CbException>(*this);
}

const char* CbException::GetFilename() const { return m_file.c_str(); }
unsigned int CbException::GetCodeLine() const { return m_line; }
const char* CbException::GetFunctionName() const { return m_function.c_str(); }
std::uint64_t CbException::GetThreadID() const { return m_threadId; }
const std::type_info& CbException::GetRTTI() const { return typeid(*this); }
const wchar_t* CbException::GetClassNameW() const { return L"CbException"; }
const wchar_t* CbException::GetMessageW() const { return m_message.c_str(); }
