// Event rendering. The JSON keys are written in the order the format promises.
#include "events.h"

#include <stdexcept>
#include <string_view>
#include <utility>

#include "brimwarden/logging/logging.h"
#include "platform.h"

namespace brimwarden::devserver {

using nlohmann::ordered_json;

std::string JsonLine(const ordered_json& value) {
  return value.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

namespace {

const char* KindName(standin::EventKind kind) {
  switch (kind) {
    case standin::EventKind::kLog:
      return "log";
    case standin::EventKind::kChat:
      return "chat";
    case standin::EventKind::kRcon:
      return "rcon";
    case standin::EventKind::kDestroy:
      return "destroy";
    case standin::EventKind::kRegister:
      return "register";
    case standin::EventKind::kRemove:
      return "remove";
  }
  return "unknown";
}

ordered_json EventObject(const standin::Event& event) {
  ordered_json object;
  object["event"] = KindName(event.kind);
  switch (event.kind) {
    case standin::EventKind::kLog:
      object["level"] = event.level;
      object["text"] = event.text;
      break;
    case standin::EventKind::kChat:
      object["to"] = event.to;
      object["from"] = event.from;
      object["text"] = event.text;
      break;
    case standin::EventKind::kRcon:
      object["id"] = event.id;
      object["text"] = event.text;
      break;
    case standin::EventKind::kDestroy:
      object["creature"] = event.creature;
      object["tick"] = event.tick;
      break;
    case standin::EventKind::kRegister:
    case standin::EventKind::kRemove:
      object["kind"] = event.registration;
      object["name"] = event.name;
      break;
  }
  return object;
}

}  // namespace

std::string EventJson(const standin::Event& event) { return JsonLine(EventObject(event)); }

std::string ShownLines(std::string_view text) {
  std::string shown;
  std::size_t from = 0;
  for (;;) {
    const std::size_t end = text.find('\n', from);
    shown += EscapedName(text.substr(from, end - from));
    if (end == std::string_view::npos) return shown;
    shown += '\n';
    from = end + 1;
  }
}

std::string EventText(const standin::Event& event) {
  // Through the JSON writer's replacement so that invalid UTF-8 never reaches a terminal raw, and
  // with control characters escaped, so that a name can neither forge a line nor send a terminal
  // escape. Log lines, chat messages and names are one line each; an RCON reply keeps its lines.
  const auto clean = [](const std::string& text) {
    const std::string quoted = JsonLine(ordered_json(text));
    return ordered_json::parse(quoted).get<std::string>();
  };
  const auto line = [&clean](const std::string& text) { return EscapedName(clean(text)); };
  switch (event.kind) {
    case standin::EventKind::kLog:
      return "[log " + line(event.level) + "] " + line(event.text);
    case standin::EventKind::kChat:
      return "[chat to " + line(event.to) + " from " + line(event.from) + "] " + line(event.text);
    case standin::EventKind::kRcon:
      return "[rcon reply #" + std::to_string(event.id) + "] " + ShownLines(clean(event.text));
    case standin::EventKind::kDestroy:
      return "[destroy] creature " + std::to_string(event.creature) + " at tick " +
             std::to_string(event.tick);
    case standin::EventKind::kRegister:
      return "[register " + event.registration + "] " + line(event.name);
    case standin::EventKind::kRemove:
      return "[remove " + event.registration + "] " + line(event.name);
  }
  return {};
}

EventOutput& EventOutput::operator=(EventOutput&& other) noexcept {
  if (this != &other) {
    if (owned_ && stream_ != nullptr) std::fclose(stream_);
    stream_ = std::exchange(other.stream_, nullptr);
    format_ = std::exchange(other.format_, Format::kNone);
    owned_ = std::exchange(other.owned_, false);
    show_destroys_ = other.show_destroys_;
  }
  return *this;
}

EventOutput::~EventOutput() {
  if (owned_ && stream_ != nullptr) std::fclose(stream_);
}

EventOutput EventOutput::OpenJson(const std::string& path) {
  if (path == "-") return EventOutput(stdout, Format::kJson, false);
  std::FILE* stream = OpenFile(PathFromUtf8(path), "wb");
  if (stream == nullptr) throw std::runtime_error("cannot open the events file " + path);
  return EventOutput(stream, Format::kJson, true);
}

void EventOutput::Write(const standin::Event& event) {
  if (stream_ == nullptr) return;
  if (format_ == Format::kText && event.kind == standin::EventKind::kDestroy && !show_destroys_) {
    return;
  }
  const std::string line = format_ == Format::kJson ? EventJson(event) : EventText(event);
  std::fwrite(line.data(), 1, line.size(), stream_);
  std::fputc('\n', stream_);
}

void EventOutput::WriteJson(const ordered_json& value) {
  if (stream_ == nullptr) return;
  const std::string line = JsonLine(value);
  std::fwrite(line.data(), 1, line.size(), stream_);
  std::fputc('\n', stream_);
}

void EventOutput::Flush() {
  if (stream_ != nullptr) std::fflush(stream_);
}

}  // namespace brimwarden::devserver
