#include "Base/Logging/CLogger.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <utility>
#include <vector>

#include "Base/StringConversion.h"

namespace Logging {

namespace {

constexpr std::size_t kMaxMessage = 8192;

std::wstring formatMessage(const wchar_t* format, std::va_list args) {
    if (format == nullptr) {
        return std::wstring();
    }
    std::vector<wchar_t> buffer(kMaxMessage, L'\0');
    const int n = std::vswprintf(buffer.data(), buffer.size(), format, args);
    if (n < 0) {
        // Too long or malformed: keep what was written (vswprintf leaves the
        // buffer terminated where it stopped on glibc, but make sure).
        buffer.back() = L'\0';
    }
    return std::wstring(buffer.data());
}

const char* levelName(int level) {
    switch (level) {
        case eTrace:
            return "TRACE";
        case eDebug:
            return "DEBUG";
        case eInfo:
            return "INFO";
        case eWarning:
            return "WARNING";
        case eError:
            return "ERROR";
        case eFatal:
            return "FATAL";
        default:
            return "LOG";
    }
}

}  // namespace

CLogger::CLogger(const wchar_t* name) : m_name(name != nullptr ? name : L""), m_threshold(eError) {}

CLogger::~CLogger() = default;

const std::wstring& CLogger::GetName() const { return m_name; }

bool CLogger::IsLogLevelEnabled(int level) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return level >= m_threshold;
}

void CLogger::SetLogLevel(int level) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_threshold = level;
}

int CLogger::GetLogLevel() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_threshold;
}

LogSink CLogger::SetSink(LogSink sink) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::swap(m_sink, sink);
    return sink;
}

void CLogger::Error(const char* file, int line, const char* function, const wchar_t* format,
                    ...) const {
    std::va_list args;
    va_start(args, format);
    std::wstring message = formatMessage(format, args);
    va_end(args);
    write(eError, file, line, function, std::move(message));
}

void CLogger::Log(int level, const char* file, int line, const char* function,
                  const wchar_t* format, ...) const {
    std::va_list args;
    va_start(args, format);
    std::wstring message = formatMessage(format, args);
    va_end(args);
    write(level, file, line, function, std::move(message));
}

void CLogger::write(int level, const char* file, int line, const char* function,
                    std::wstring message) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (level < m_threshold) {
        return;
    }
    LogRecord record;
    record.level = level;
    record.logger = m_name;
    record.file = file != nullptr ? file : "";
    record.line = line;
    record.function = function != nullptr ? function : "";
    record.message = std::move(message);
    if (m_sink) {
        m_sink(record);
        return;
    }
    std::fprintf(stderr, "%s %s %s:%d %s: %s\n", levelName(level),
                 Base::WideToNarrow(record.logger).c_str(), record.file.c_str(), record.line,
                 record.function.c_str(), Base::WideToNarrow(record.message).c_str());
}

}  // namespace Logging
