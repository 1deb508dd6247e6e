// basekit/vrk/Log.h
// Named loggers. A record of priority P (1 trace .. 4 error; higher is more severe)
// is built and delivered only when P reaches both the global threshold and the
// logger's own. Records go to one process-wide sink, by default standard error as
// "name: text"; a host or a test installs its own with LogFactory::setSink. Loggers
// are created on first use and live until the process ends; every call is thread-safe.
// The sink gets one record at a time and never runs under the loggers' own lock: it may
// log (its records are delivered at once, three levels deep at most), create loggers or
// replace the sink. A sink that throws loses that record only. Once setSink returns, the
// sink it replaced is no longer called.
#pragma once
#include <atomic>
#include <functional>
#include <sstream>

#include <vrk/Export.h>
#include <vrk/String.h>

namespace vrk {

enum LogPriority : int { LOG_TRACE = 1, LOG_DEBUG = 2, LOG_WARNING = 3, LOG_ERROR = 4 };

using LogSink = std::function<void(const String& logger, int priority, const String& text)>;

class VRK_EXPORT Logger {
 public:
  explicit Logger(const String& name) : name_(name) {}
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  const String& name() const { return name_; }
  // The logger's own threshold; 0 (the default) lets everything through to the global one.
  void setPriority(int priority) { priority_ = priority; }
  int resolvePriority() const { return priority_; }
  bool isEnabled(int priority) const;
  // Delivers the record when the priority is enabled.
  void log(int priority, const String& text) const;

 private:
  String name_;
  std::atomic<int> priority_{0};
};

class VRK_EXPORT LogFactory {
 public:
  // The logger of that name, made on first use and kept.
  static Logger& createLogger(const String& name);
  static void setPriority(int priority);
  static int getPriority();
  // Replaces the sink; an empty function restores the default (standard error).
  static void setSink(LogSink sink);
};

// Builds a record with operator<< and logs it when destroyed, if enabled.
class LoggerStream {
 public:
  LoggerStream(const Logger& logger, int priority) : logger_(logger), priority_(priority) {}
  ~LoggerStream() {
    if (logger_.isEnabled(priority_)) logger_.log(priority_, out_.str());
  }
  template <class T>
  LoggerStream& operator<<(const T& value) {
    out_ << value;
    return *this;
  }

 private:
  const Logger& logger_;
  int priority_;
  std::ostringstream out_;
};

// Marks entry ("> function (file:line)") and exit ("< function") at trace priority.
// Made through VRK_TRACE, which fills in the file and line where it stands.
class VRK_EXPORT TraceLogger {
 public:
  TraceLogger(const Logger& logger, const char* function, const char* file, int line);
  ~TraceLogger();
  TraceLogger(const TraceLogger&) = delete;
  TraceLogger& operator=(const TraceLogger&) = delete;

 private:
  const Logger& logger_;
  const char* function_;
};

}  // namespace vrk

// Traces the enclosing scope on `logger` as `function`, at the source line it stands on.
#define VRK_TRACE(logger, function) ::vrk::TraceLogger vrkTraceScope(logger, function, __FILE__, __LINE__)
