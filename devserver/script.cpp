// Parsing of the dev server's command lines.
#include "script.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>

namespace brimwarden::devserver {
namespace {

constexpr std::int64_t kMaxTicksPerCommand = 100'000'000;
constexpr std::int64_t kMaxPopulateCount = 10'000'000;

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  return text;
}

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  return text;
}

// A '#' at the start of the line or after a blank starts a comment; one inside a word does not,
// so "Gate#2" stays whole.
std::string_view StripComment(std::string_view line) {
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '#' && (i == 0 || IsSpace(line[i - 1]))) return line.substr(0, i);
  }
  return line;
}

/// Splits off the first word of `rest` and leaves `rest` at the blank after it.
std::string_view NextWord(std::string_view& rest) {
  rest = TrimLeft(rest);
  std::size_t end = 0;
  while (end < rest.size() && !IsSpace(rest[end])) ++end;
  const std::string_view word = rest.substr(0, end);
  rest.remove_prefix(end);
  return word;
}

std::vector<std::string_view> Words(std::string_view rest) {
  std::vector<std::string_view> words;
  for (std::string_view word = NextWord(rest); !word.empty(); word = NextWord(rest)) {
    words.push_back(word);
  }
  return words;
}

class LineParser {
 public:
  explicit LineParser(int line) : line_(line) {}

  [[noreturn]] void Fail(const std::string& message) const { throw ScriptError(line_, message); }

  void ExpectCount(const std::vector<std::string_view>& words, std::size_t count,
                   const char* usage) const {
    if (words.size() != count) Fail("usage: " + std::string(usage));
  }

  template <typename Integer>
  Integer Int(std::string_view word, const char* what, Integer low, Integer high) const {
    Integer value{};
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end != word.data() + word.size() || value < low || value > high) {
      Fail(std::string(what) + " must be an integer from " + std::to_string(low) + " to " +
           std::to_string(high) + ", not \"" + std::string(word) + "\"");
    }
    return value;
  }

  double Real(std::string_view word, const char* what) const {
    const std::string copy(word);
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size() || errno == ERANGE) {
      Fail(std::string(what) + " must be a number, not \"" + copy + "\"");
    }
    return value;
  }

  float Coordinate(std::string_view word, const char* what) const {
    const double value = Real(word, what);
    if (std::isfinite(value) && std::fabs(value) > std::numeric_limits<float>::max()) {
      Fail(std::string(what) + " is out of range: \"" + std::string(word) + "\"");
    }
    return static_cast<float>(value);
  }

  double Percent(std::string_view word, const char* what) const {
    const double value = Real(word, what);
    if (!(value >= 0.0 && value <= 100.0)) {
      Fail(std::string(what) + " must be a percentage from 0 to 100, not \"" + std::string(word) +
           "\"");
    }
    return value;
  }

  /// Returns the rest of the line as typed, after the blanks that lead it; fails when it is empty.
  std::string Rest(std::string_view rest, const char* usage) const {
    const std::string_view text = TrimLeft(rest);
    if (text.empty()) Fail("usage: " + std::string(usage));
    return std::string(text);
  }

  Vector3 Position(const std::vector<std::string_view>& words, std::size_t first) const {
    return {Coordinate(words[first], "X"), Coordinate(words[first + 1], "Y"),
            Coordinate(words[first + 2], "Z")};
  }

 private:
  int line_;
};

}  // namespace

Command ScriptParser::ParseLine(std::string_view line) const {
  std::string_view rest = line;
  const std::string_view word = NextWord(rest);
  const LineParser p(line_number_);
  Command command;
  command.line = line_number_;

  if (word == "chat") {
    command.kind = CommandKind::kChat;
    command.name = std::string(NextWord(rest));
    command.text = p.Rest(rest, "chat NAME TEXT...");  // no name leaves no text either
    return command;
  }
  if (word == "rcon") {
    command.kind = CommandKind::kRcon;
    command.text = p.Rest(rest, "rcon TEXT...");
    return command;
  }
  if (word == "write") {
    command.kind = CommandKind::kWrite;
    command.name = p.Rest(rest, "write PATH (then the lines of the file, then end)");
    const std::filesystem::path path(command.name);
    if (path.is_absolute() || path.has_root_name() || path.has_root_directory()) {
      p.Fail("write: the path must be relative to the server directory: \"" + command.name + "\"");
    }
    for (const auto& part : path) {
      if (part == "..") p.Fail("write: the path must stay inside the server directory");
    }
    return command;
  }

  const std::vector<std::string_view> words = Words(rest);
  if (word == "terrain") {
    if (!words.empty() && words[0] == "flat") {
      p.ExpectCount(words, 2, "terrain flat HEIGHT");
      command.kind = CommandKind::kTerrainFlat;
      command.height = p.Coordinate(words[1], "HEIGHT");
      if (!std::isfinite(command.height)) p.Fail("HEIGHT must be finite");
      return command;
    }
    if (!words.empty() && words[0] == "hills") {
      p.ExpectCount(words, 2, "terrain hills SEED");
      command.kind = CommandKind::kTerrainHills;
      command.seed = p.Int<std::uint32_t>(words[1], "SEED", 0, UINT32_MAX);
      return command;
    }
    p.Fail("usage: terrain flat HEIGHT | terrain hills SEED");
  }
  if (word == "creature") {
    p.ExpectCount(words, 5, "creature ID TEAM X Y Z");
    command.kind = CommandKind::kCreature;
    command.id = p.Int<std::int64_t>(words[0], "ID", 0, INT64_MAX);
    command.team = p.Int<std::int32_t>(words[1], "TEAM", INT32_MIN, INT32_MAX);
    command.position = p.Position(words, 2);
    return command;
  }
  if (word == "populate") {
    p.ExpectCount(words, 4, "populate COUNT SUNK_PERCENT TAMED_PERCENT SEED");
    command.kind = CommandKind::kPopulate;
    command.count = p.Int<std::int64_t>(words[0], "COUNT", 0, kMaxPopulateCount);
    command.sunk_percent = p.Percent(words[1], "SUNK_PERCENT");
    command.tamed_percent = p.Percent(words[2], "TAMED_PERCENT");
    command.seed = p.Int<std::uint32_t>(words[3], "SEED", 0, UINT32_MAX);
    return command;
  }
  if (word == "player") {
    if (words.size() == 2 && words[1] != "admin") p.Fail("usage: player NAME [admin]");
    if (words.empty() || words.size() > 2) p.Fail("usage: player NAME [admin]");
    command.kind = CommandKind::kPlayer;
    command.name = std::string(words[0]);
    command.admin = words.size() == 2;
    return command;
  }
  if (word == "move") {
    p.ExpectCount(words, 4, "move NAME X Y Z");
    command.kind = CommandKind::kMove;
    command.name = std::string(words[0]);
    command.position = p.Position(words, 1);
    return command;
  }
  if (word == "tick") {
    if (words.size() > 1) p.Fail("usage: tick [N]");
    command.kind = CommandKind::kTick;
    command.count = words.empty() ? 1 : p.Int<std::int64_t>(words[0], "N", 0, kMaxTicksPerCommand);
    return command;
  }
  if (word == "destroy") {
    p.ExpectCount(words, 1, "destroy ID");
    command.kind = CommandKind::kDestroy;
    command.id = p.Int<std::int64_t>(words[0], "ID", 0, INT64_MAX);
    return command;
  }
  if (word == "team") {
    p.ExpectCount(words, 2, "team ID TEAM");
    command.kind = CommandKind::kTeam;
    command.id = p.Int<std::int64_t>(words[0], "ID", 0, INT64_MAX);
    command.team = p.Int<std::int32_t>(words[1], "TEAM", INT32_MIN, INT32_MAX);
    return command;
  }
  if (word == "chaos") {
    if (words.size() != 2 && words.size() != 3) p.Fail("usage: chaos RATE SEED [FAULT_RATE]");
    command.kind = CommandKind::kChaos;
    command.rate = p.Percent(words[0], "RATE");
    command.seed = p.Int<std::uint32_t>(words[1], "SEED", 0, UINT32_MAX);
    command.fault_rate = words.size() == 3 ? p.Percent(words[2], "FAULT_RATE") : 0.0;
    return command;
  }
  if (word == "unload" || word == "load") {
    p.ExpectCount(words, 0, word == "load" ? "load" : "unload");
    command.kind = word == "load" ? CommandKind::kLoad : CommandKind::kUnload;
    return command;
  }
  if (prompt_) {
    if (word == "help" || word == "status" || word == "run" || word == "quit" || word == "exit") {
      p.ExpectCount(words, 0, std::string(word).c_str());
      command.kind = word == "help"     ? CommandKind::kHelp
                     : word == "status" ? CommandKind::kStatus
                     : word == "run"    ? CommandKind::kRun
                                        : CommandKind::kQuit;
      return command;
    }
    if (word == "map") {
      command.kind = CommandKind::kMap;
      command.name = p.Rest(rest, "map FILE");
      return command;
    }
  }
  p.Fail("unknown command \"" + std::string(word) + "\"");
}

std::optional<Command> ScriptParser::Feed(std::string_view line) {
  ++line_number_;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (block_) {
    if (TrimRight(TrimLeft(line)) == "end") {
      Command done = std::move(*block_);
      block_.reset();
      return done;
    }
    block_->text.append(line);
    block_->text.push_back('\n');
    return std::nullopt;
  }
  const std::string_view content = TrimRight(TrimLeft(StripComment(line)));
  if (content.empty()) return std::nullopt;
  Command command = ParseLine(content);
  if (command.kind == CommandKind::kWrite) {
    block_ = std::move(command);
    return std::nullopt;
  }
  return command;
}

void ScriptParser::Finish() const {
  if (block_) throw ScriptError(block_->line, "write without a closing end line");
}

std::vector<Command> ParseScript(std::string_view text) {
  ScriptParser parser;
  std::vector<Command> commands;
  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    const std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    if (auto command = parser.Feed(line)) commands.push_back(std::move(*command));
  }
  parser.Finish();
  return commands;
}

}  // namespace brimwarden::devserver
