#include <vrk/Log.h>

#include <iostream>
#include <map>
#include <memory>
#include <mutex>

namespace vrk {
namespace {

struct LogRegistry {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<Logger>> loggers;
  LogSink sink;
  std::atomic<int> globalPriority{LOG_WARNING};
};

LogRegistry& registry() {
  static LogRegistry* r = new LogRegistry;  // never destroyed: loggers outlive every static
  return *r;
}

}  // namespace

bool Logger::isEnabled(int priority) const {
  return priority >= registry().globalPriority.load() && priority >= priority_.load();
}

void Logger::log(int priority, const String& text) const {
  if (!isEnabled(priority)) return;
  LogRegistry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  if (r.sink) {
    r.sink(name_, priority, text);
  } else {
    std::cerr << name_ << ": " << text << std::endl;
  }
}

Logger& LogFactory::createLogger(const String& name) {
  LogRegistry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  auto& slot = r.loggers[name.str()];
  if (!slot) slot = std::make_unique<Logger>(name);
  return *slot;
}

void LogFactory::setPriority(int priority) { registry().globalPriority = priority; }
int LogFactory::getPriority() { return registry().globalPriority; }

void LogFactory::setSink(LogSink sink) {
  LogRegistry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  r.sink = std::move(sink);
}

TraceLogger::TraceLogger(const Logger& logger, const char* function, const char* file, int line)
    : logger_(logger), function_(function) {
  if (logger_.isEnabled(LOG_TRACE)) {
    logger_.log(LOG_TRACE, String("> ") + function + " (" + file + ":" + std::to_string(line) + ")");
  }
}

TraceLogger::~TraceLogger() {
  if (logger_.isEnabled(LOG_TRACE)) logger_.log(LOG_TRACE, String("< ") + function_);
}

}  // namespace vrk
