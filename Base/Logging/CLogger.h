#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Base/Export.h"

namespace Logging {

/// Log levels. A logger writes a message when its level is at least the
/// logger's threshold; the default threshold is `eError`.
enum ELogLevel : int {
    eTrace = 0,
    eDebug = 1,
    eInfo = 2,
    eWarning = 3,
    eError = 4,
    eFatal = 5,
};

/// One logged line, as a sink receives it.
struct LogRecord {
    int level = eError;
    std::wstring logger;   ///< the logger's name
    std::string file;      ///< source file of the logging site
    int line = 0;          ///< source line of the logging site
    std::string function;  ///< fully qualified function name
    std::wstring message;  ///< the formatted message
};

/// Receives every line a logger writes. Called on the logging thread and
/// outside the logger's lock: a sink may log (to this logger too) or replace
/// the sink, and when several threads log it may run on them at the same time.
/// What a sink throws is caught; that line is then written to stderr.
using LogSink = std::function<void(const LogRecord&)>;

/// A named logger. Lines go to its sink; without a sink set, each line is
/// written to stderr as "LEVEL name file:line function: message".
/// Setting the sink or the threshold and logging may happen on different threads.
class COLORCAL_EXPORT CLogger {
  public:
    explicit CLogger(const wchar_t* name);
    ~CLogger();
    CLogger(const CLogger&) = delete;
    CLogger& operator=(const CLogger&) = delete;

    /// The name given to the constructor.
    const std::wstring& GetName() const;

    /// True when a message of `level` would be written.
    bool IsLogLevelEnabled(int level) const;
    /// Messages below `level` are dropped from now on.
    void SetLogLevel(int level);
    /// The current threshold.
    int GetLogLevel() const;

    /// Replaces the sink; an empty function restores the stderr sink.
    /// Returns the previous sink (empty when it was the stderr sink). Lines
    /// that other threads started before the call may still reach the
    /// previous sink.
    LogSink SetSink(LogSink sink);

    /// Writes an error line: `format` with printf-style wide arguments, cut to
    /// 8191 characters (`FormatWide`, as `ThrowOrvException` formats).
    void Error(const char* file, int line, const char* function, const wchar_t* format, ...) const;
    /// Writes a line of any level (the variadic formatting as for Error).
    void Log(int level, const char* file, int line, const char* function, const wchar_t* format,
             ...) const;

  private:
    void write(int level, const char* file, int line, const char* function,
               std::wstring message) const;

    std::wstring m_name;
    mutable std::mutex m_mutex;
    int m_threshold;
    std::shared_ptr<const LogSink> m_sink;
};

}  // namespace Logging
