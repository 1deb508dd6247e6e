#include "LogOutput.h"

#include <atomic>
#include <iostream>
#include <mutex>
#include <set>
#include <string>

#include <vrk/Log.h>

namespace vantor::cli {
namespace {

std::atomic<int> mutes{0};
std::mutex numbersLock;
std::set<std::string>& ownNumbers() {  // the record numbers the host words itself
  static std::set<std::string> numbers;
  return numbers;
}

// The number a record begins with ("473 Storage device ..."), or "".
std::string recordNumber(const std::string& text) {
  const std::size_t space = text.find(' ');
  if (space == 0 || space == std::string::npos) return "";
  for (std::size_t i = 0; i < space; ++i) {
    if (text[i] < '0' || text[i] > '9') return "";
  }
  return text.substr(0, space);
}

}  // namespace

void LogOutput::install(int verbosity) {
  vrk::LogFactory::setPriority(verbosity >= 2 ? vrk::LOG_TRACE : vrk::LOG_WARNING);
  vrk::LogFactory::setSink([verbosity](const vrk::String& logger, int priority, const vrk::String& text) {
    if (mutes.load() > 0) return;
    if (priority >= vrk::LOG_ERROR && verbosity == 0) return;
    std::string line = text.str();
    if (verbosity == 0) {
      const std::lock_guard<std::mutex> hold(numbersLock);
      if (ownNumbers().count(recordNumber(line)) != 0) return;
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    std::cerr << "vantor: [" << logger.str() << "] " << line << std::endl;
  });
}

void LogOutput::sayItself(const std::string& number) {
  const std::lock_guard<std::mutex> hold(numbersLock);
  ownNumbers().insert(number);
}

LogOutput::Mute::Mute() { ++mutes; }
LogOutput::Mute::~Mute() { --mutes; }

}  // namespace vantor::cli
