#include "LogOutput.h"

#include <atomic>
#include <iostream>

#include <vrk/Log.h>

namespace vantor::cli {
namespace {

std::atomic<int> mutes{0};

}  // namespace

void LogOutput::install(int verbosity) {
  vrk::LogFactory::setPriority(verbosity >= 2 ? vrk::LOG_TRACE : vrk::LOG_WARNING);
  vrk::LogFactory::setSink([verbosity](const vrk::String& logger, int priority, const vrk::String& text) {
    if (mutes.load() > 0) return;
    if (priority >= vrk::LOG_ERROR && verbosity == 0) return;
    std::string line = text.str();
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    std::cerr << "vantor: [" << logger.str() << "] " << line << std::endl;
  });
}

LogOutput::Mute::Mute() { ++mutes; }
LogOutput::Mute::~Mute() { --mutes; }

}  // namespace vantor::cli
