// The plugin's log and the containment of exceptions at every callback boundary. Every line the
// plugin writes goes through Log, at info, warning or error, into the one logger that the shell
// creates over the framework's sinks in Load. Writing a line never throws: a line that cannot be
// written is lost, so that logging can never turn a contained failure into a crash.
#pragma once

#include <exception>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>
#include <spdlog/logger.h>

namespace brimwarden {

/// The levels the plugin writes at.
enum class LogLevel { kInfo, kWarning, kError };

/// Returns the process-wide handle of the plugin's logger, creating it empty on the first call.
/// Its owner (the shell's Load, or a test) sets and resets it; lines are written through Log.
std::shared_ptr<spdlog::logger>& PluginLogger();

/// Tells whether there is a logger to write to: before the shell creates it, Log does nothing.
bool HasLogger() noexcept;

/// Writes `text` as it is, as one line at `level`.
void Log(LogLevel level, std::string_view text) noexcept;

/// Formats `format` with `args` as fmt does and writes the result as one line at `level`; formats
/// nothing while there is no logger.
template <typename... Args>
requires(sizeof...(Args) > 0) void Log(LogLevel level, fmt::format_string<Args...> format,
                                       Args&&... args) noexcept {
  if (!HasLogger()) return;
  try {
    fmt::memory_buffer line;  // a short line is formatted on the stack
    fmt::format_to(std::back_inserter(line), format, std::forward<Args>(args)...);
    Log(level, std::string_view(line.data(), line.size()));
  } catch (...) {  // out of memory while formatting: the line is lost
  }
}

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
    Log(LogLevel::kError, "{}: {}", where, error.what());
  } catch (...) {
    Log(LogLevel::kError, "{}: unknown exception", where);
  }
  return false;
}

}  // namespace brimwarden
