// The plugin's logger handle and the containment of exceptions at every callback boundary. Every
// subsystem reports through these; the shell creates the logger in Load.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include <spdlog/logger.h>

namespace brimwarden {

/// Returns the process-wide handle of the plugin's logger, creating it empty on the first call.
std::shared_ptr<spdlog::logger>& PluginLogger();

/// Logs one line at error through the plugin's logger, if there is one.
void LogErrorLine(std::string_view text) noexcept;

/// Returns a name as replies and log lines show it: each control character (U+0000 to U+001F and
/// U+007F) as \u00XX with lower-case hex, everything else as it is, so that a name can never
/// break a line or send a terminal escape. Names are stored and saved unchanged.
std::string EscapedName(std::string_view name);

/// Runs `body` and contains anything it throws: the message goes to the log at error as
/// "<where>: <message>". Returns false when something was thrown.
template <typename Body>
bool ContainExceptions(std::string_view where, Body&& body) noexcept {
  try {
    body();
    return true;
  } catch (const std::exception& error) {
    try {
      LogErrorLine(std::string(where) + ": " + error.what());
    } catch (...) {  // out of memory while reporting: nothing more can be done
    }
  } catch (...) {
    try {
      LogErrorLine(std::string(where) + ": unknown exception");
    } catch (...) {  // out of memory while reporting: nothing more can be done
    }
  }
  return false;
}

}  // namespace brimwarden
