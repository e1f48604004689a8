// The dev server's output of what happens in the stand-in: JSON Lines for programs, or short
// readable lines for people.
//
// The JSON form is a stable interface (tests and users' scripts read it): one object a line, keys
// in a fixed order, no spaces, UTF-8 with any invalid byte replaced by U+FFFD.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "brimwarden/standin/standin.h"

namespace brimwarden::devserver {

/// Renders one stand-in event as its JSON line, without the newline.
std::string EventJson(const standin::Event& event);
/// Renders any ordered JSON object as one line the way events are written.
std::string JsonLine(const nlohmann::ordered_json& value);
/// Renders one stand-in event as a readable line, without the newline: control characters of
/// names and texts as \u00XX (an RCON reply keeps its line breaks).
std::string EventText(const standin::Event& event);
/// Returns text of several lines as readable output shows it: each line's control characters as
/// \u00XX, the line breaks kept.
std::string ShownLines(std::string_view text);

/// Where events go: a JSON Lines file or stream, readable lines, or nowhere.
class EventOutput {
 public:
  enum class Format { kNone, kJson, kText };

  EventOutput() = default;
  EventOutput(std::FILE* stream, Format format, bool owned, bool show_destroys = true)
      : stream_(stream), format_(format), owned_(owned), show_destroys_(show_destroys) {}
  EventOutput(const EventOutput&) = delete;
  EventOutput& operator=(const EventOutput&) = delete;
  EventOutput(EventOutput&& other) noexcept { *this = std::move(other); }
  EventOutput& operator=(EventOutput&& other) noexcept;
  ~EventOutput();

  /// Opens `path` ("-" is standard output) for JSON Lines. Throws std::runtime_error.
  static EventOutput OpenJson(const std::string& path);

  void Write(const standin::Event& event);
  /// Writes a JSON line (the summary); readable output prints it as it is.
  void WriteJson(const nlohmann::ordered_json& value);
  void Flush();
  Format GetFormat() const { return format_; }
  void SetShowDestroys(bool show) { show_destroys_ = show; }

 private:
  std::FILE* stream_ = nullptr;
  Format format_ = Format::kNone;
  bool owned_ = false;
  bool show_destroys_ = true;
};

}  // namespace brimwarden::devserver
