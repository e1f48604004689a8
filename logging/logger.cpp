// The plugin's log: the logger handle and the one way lines are written to it. The handle is a
// function-local static: created at its first use, at the start of Load, after every process-wide
// object of the shell, so it is destroyed before any of them.
#include "brimwarden/logging/logging.h"

namespace brimwarden {

std::shared_ptr<spdlog::logger>& PluginLogger() {
  static std::shared_ptr<spdlog::logger> handle;
  return handle;
}

namespace {

spdlog::level::level_enum SpdlogLevel(LogLevel level) {
  switch (level) {
    case LogLevel::kInfo:
      return spdlog::level::info;
    case LogLevel::kWarning:
      return spdlog::level::warn;
    case LogLevel::kError:
      break;
  }
  return spdlog::level::err;
}

}  // namespace

bool HasLogger() noexcept { return PluginLogger() != nullptr; }

void Log(LogLevel level, std::string_view text) noexcept {
  try {
    if (const auto& logger = PluginLogger()) logger->log(SpdlogLevel(level), text);
  } catch (...) {  // a failing sink: nowhere left to report
  }
}

std::string EscapedName(std::string_view name) {
  constexpr char kHexDigits[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(name.size());
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      shown += "\\u00";
      shown += kHexDigits[byte >> 4];
      shown += kHexDigits[byte & 0x0F];
    } else {
      shown += c;
    }
  }
  return shown;
}

}  // namespace brimwarden
