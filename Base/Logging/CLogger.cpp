#include "Base/Logging/CLogger.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

#include "Base/Logging/WideFormat.h"
#include "Base/StringConversion.h"

namespace Logging {

namespace {

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

void writeToStderr(const LogRecord& record) {
    std::fprintf(stderr, "%s %s %s:%d %s: %s\n", levelName(record.level),
                 Base::WideToNarrow(record.logger).c_str(), record.file.c_str(), record.line,
                 record.function.c_str(), Base::WideToNarrow(record.message).c_str());
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
    std::shared_ptr<const LogSink> next;
    if (sink) {
        next = std::make_shared<const LogSink>(std::move(sink));
    }
    std::shared_ptr<const LogSink> previous;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        previous = std::exchange(m_sink, std::move(next));
    }
    return previous ? *previous : LogSink();
}

void CLogger::Error(const char* file, int line, const char* function, const wchar_t* format,
                    ...) const {
    std::va_list args;
    va_start(args, format);
    std::wstring message = FormatWide(format, args);
    va_end(args);
    write(eError, file, line, function, std::move(message));
}

void CLogger::Log(int level, const char* file, int line, const char* function,
                  const wchar_t* format, ...) const {
    std::va_list args;
    va_start(args, format);
    std::wstring message = FormatWide(format, args);
    va_end(args);
    write(level, file, line, function, std::move(message));
}

void CLogger::write(int level, const char* file, int line, const char* function,
                    std::wstring message) const {
    // The sink runs outside the lock, so that it may log or replace the sink
    // itself; it keeps the sink it was given alive while it runs.
    std::shared_ptr<const LogSink> sink;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (level < m_threshold) {
            return;
        }
        sink = m_sink;
    }
    LogRecord record;
    record.level = level;
    record.logger = m_name;
    record.file = file != nullptr ? file : "";
    record.line = line;
    record.function = function != nullptr ? function : "";
    record.message = std::move(message);
    if (sink) {
        try {
            (*sink)(record);
            return;
        } catch (...) {
            // Logging never throws into the caller: the line goes to stderr.
        }
    }
    writeToStderr(record);
}

}  // namespace Logging
