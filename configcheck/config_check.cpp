// The check of each section: the plugin's process-wide objects are reset, its logger is pointed at
// a sink that keeps the lines, and the plugin's own load runs against the file. What the load left
// is then described with the texts of "BWD.status" and "BWD.zones".
#include "config_check.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include "brimwarden/config/config.h"
#include "brimwarden/logging/logging.h"
#include "brimwarden/plugin/plugin.h"
#include "brimwarden/zones/zones.h"

namespace brimwarden::configcheck {
namespace {

struct LoggedLine {
  spdlog::level::level_enum level;
  std::string text;
};

// Keeps every line the load logs, as the server's log would show its text.
class KeepingSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<LoggedLine> lines;

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    lines.push_back({message.level, std::string(message.payload.begin(), message.payload.end())});
  }
  void flush_() override {}
};

// The first line of "BWD.status": the settings as configured.
std::string SettingsLine() {
  const std::string status = StatusText();
  return status.substr(0, status.find('\n'));
}

// Loads one section and reports it under `heading`; returns whether it loaded.
bool CheckSection(const std::string& path, const std::string& key, const std::string& heading,
                  std::string& report) {
  ResetProcessObjects();
  const auto sink = std::make_shared<KeepingSink>();
  PluginLogger() = std::make_shared<spdlog::logger>(LoggerName, sink);
  const std::optional<std::string> failure = LoadConfigSection(path, key);
  PluginLogger().reset();

  report += fmt::format("{}: {}\n", heading, failure ? "fails to load" : "loads");
  if (!failure) {
    report += "  " + SettingsLine() + "\n";
    const std::string zones = ZoneListText();
    std::size_t start = 0;
    while (start <= zones.size()) {
      const std::size_t end = std::min(zones.find('\n', start), zones.size());
      report += "  " + zones.substr(start, end - start) + "\n";
      start = end + 1;
    }
  }
  for (const LoggedLine& line : sink->lines) {
    if (line.level < spdlog::level::warn) continue;
    report += fmt::format("  [{}] {}\n", spdlog::level::to_string_view(line.level), line.text);
  }
  ResetProcessObjects();
  return !failure;
}

}  // namespace

std::string Usage() {
  return "usage: brimwarden-check CONFIG_FILE [KEY...]\n"
         "  Loads each server section KEY of CONFIG_FILE (every section when no KEY is given) as\n"
         "  the plugin does, and prints its settings, its kill zones and every warning and error\n"
         "  the load logs. Writes nothing. Exit code: 0 when every section loads, 1 when one does\n"
         "  not, 2 on bad usage.\n";
}

int RunCheck(const std::vector<std::string>& arguments, std::string& report) {
  if (arguments.empty() || arguments[0].empty() || arguments[0].starts_with('-')) {
    return kBadUsage;
  }
  const std::string& path = arguments[0];
  std::vector<std::string> keys(arguments.begin() + 1, arguments.end());
  if (keys.empty()) {
    const std::optional<std::vector<std::string>> names = ReadSectionNames(path);
    if (!names) {
      // The load says why the file cannot be had, whatever the key.
      CheckSection(path, std::string(), "File " + EscapedName(path), report);
      return kSomeFailed;
    }
    if (names->empty()) {
      report += "No server sections in " + path + "\n";
      return kSomeFailed;
    }
    keys = *names;
  }
  bool all_loaded = true;
  for (const std::string& key : keys) {
    all_loaded = CheckSection(path, key, "Section " + EscapedName(key), report) && all_loaded;
  }
  return all_loaded ? kAllLoaded : kSomeFailed;
}

}  // namespace brimwarden::configcheck
