// The dev server's command language: one command a line, shared by script files and the live
// prompt. Parsing is separate from running so that a script is checked whole before anything runs.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "brimwarden/host/game_types.h"

namespace brimwarden::devserver {

enum class CommandKind {
  kTerrainFlat,
  kTerrainHills,
  kCreature,
  kPopulate,
  kPlayer,
  kMove,
  kChat,
  kRcon,
  kTick,
  kUnload,
  kLoad,
  kWrite,
  kDestroy,
  kTeam,
  kChaos,
  // Only at the live prompt.
  kHelp,
  kStatus,
  kMap,
  kRun,
  kQuit,
};

/// One parsed command. Only the fields its kind uses are set.
struct Command {
  CommandKind kind = CommandKind::kTick;
  int line = 0;              // line number in the script (1-based)
  std::string name;          // player name; path of write and map
  std::string text;          // chat and RCON text; content of write
  std::int64_t id = 0;       // creature id
  std::int32_t team = 0;     // creature, team: the team
  Vector3 position;          // creature, move
  float height = 0.0F;       // terrain flat
  std::uint32_t seed = 0;    // terrain hills, populate, chaos
  std::int64_t count = 0;    // tick, populate
  double sunk_percent = 0;   // populate
  double tamed_percent = 0;  // populate
  double rate = 0;           // chaos: percent of the living creatures the game destroys a tick
  double fault_rate = 0;     // chaos: percent of ground queries that fail
  bool admin = false;        // player
};

/// A script line that cannot be parsed or run; `line` is 1-based.
class ScriptError : public std::runtime_error {
 public:
  ScriptError(int line, const std::string& message) : std::runtime_error(message), line_(line) {}
  int Line() const { return line_; }

 private:
  int line_;
};

/// Turns lines into commands, one line at a time. A `write PATH` line opens a block whose lines
/// are taken verbatim until a line that reads `end`.
class ScriptParser {
 public:
  /// `prompt` admits the commands of the live prompt (help, status, map, run, quit).
  explicit ScriptParser(bool prompt = false) : prompt_(prompt) {}

  /// Takes the next line; returns the command it completes, if any. Throws ScriptError.
  std::optional<Command> Feed(std::string_view line);
  /// Reports a `write` block left open at the end of the input. Throws ScriptError.
  void Finish() const;
  /// Tells whether a `write` block is open.
  bool InBlock() const { return block_.has_value(); }
  int LineNumber() const { return line_number_; }

 private:
  Command ParseLine(std::string_view line) const;

  bool prompt_;
  int line_number_ = 0;
  std::optional<Command> block_;
};

/// Parses a whole script. Throws ScriptError for the first bad line.
std::vector<Command> ParseScript(std::string_view text);

}  // namespace brimwarden::devserver
