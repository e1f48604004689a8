// The logger handle. It is a function-local static: created at its first use, at the start of
// Load, after every process-wide object of the shell, so it is destroyed before any of them.
#include "brimwarden/logging/logging.h"

namespace brimwarden {

std::shared_ptr<spdlog::logger>& PluginLogger() {
  static std::shared_ptr<spdlog::logger> handle;
  return handle;
}

void LogErrorLine(std::string_view text) noexcept {
  try {
    if (const auto& logger = PluginLogger()) logger->error(text);
  } catch (...) {  // nowhere left to report
  }
}

}  // namespace brimwarden
