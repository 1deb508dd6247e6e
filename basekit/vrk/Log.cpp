#include <vrk/Log.h>

#include <iostream>
#include <map>
#include <memory>
#include <mutex>

namespace vrk {
namespace {

struct LogRegistry {
  std::mutex mutex;  // guards `loggers`; never held while a sink runs
  std::map<std::string, std::unique_ptr<Logger>> loggers;
  // One record is delivered at a time, and setSink waits for the one being delivered,
  // so a sink that has been replaced is never called again.
  std::mutex delivery;
  LogSink sink;
  std::atomic<int> globalPriority{LOG_WARNING};
};

// How deep this thread is inside a sink: a sink that logs, or replaces the sink, already
// holds the delivery lock.
thread_local int deliveryDepth = 0;
constexpr int MAX_DELIVERY_DEPTH = 4;

class DeliveryLock {
 public:
  explicit DeliveryLock(std::mutex& m) : lock_(m, std::defer_lock) {
    if (deliveryDepth == 0) lock_.lock();
  }

 private:
  std::unique_lock<std::mutex> lock_;
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
  if (deliveryDepth >= MAX_DELIVERY_DEPTH) return;  // a sink that logs every record it gets
  LogRegistry& r = registry();
  DeliveryLock guard(r.delivery);
  // The sink may log (delivered at once, inside this delivery), create loggers or replace
  // itself. A sink that throws loses that one record, nothing else.
  ++deliveryDepth;
  try {
    if (r.sink) {
      const LogSink sink = r.sink;  // a sink that replaces itself runs to its end
      sink(name_, priority, text);
    } else {
      std::cerr << name_ << ": " << text << std::endl;
    }
  } catch (...) {
  }
  --deliveryDepth;
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
  if (deliveryDepth >= MAX_DELIVERY_DEPTH) return;  // a sink that logs every record it gets
  LogRegistry& r = registry();
  DeliveryLock guard(r.delivery);
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
