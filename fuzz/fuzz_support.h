// Shared set-up of the fuzz targets: a server directory on a memory file system, the plugin loaded
// into the stand-in the way the framework loads it, and the server key on the process's real
// command line.
//
// The plugin reads its key from the command line the kernel keeps for the process
// (/proc/self/cmdline), and that is exactly what the targets exercise: each target starts itself
// again with one extra argument, "-serverkey=" followed by room for a long key, and later writes
// each key into that argument's own bytes. The kernel reports the argument area as it stands in
// memory, so the plugin sees the new key through its ordinary read path, with no hook in its code.
// libFuzzer prints one harmless "unrecognized flag" warning for that argument.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "brimwarden/plugin/plugin.h"
#include "brimwarden/standin/standin.h"

namespace brimwarden::fuzz {

inline constexpr std::string_view kKeyArgumentPrefix = "-serverkey=";
/// Bytes of room for a key; longer keys are cut to this length.
inline constexpr std::size_t kMaxKeyBytes = 200;

/// The bytes of the command-line argument that carries the key (prefix, room and terminator).
struct KeyArgument {
  char* bytes = nullptr;
  std::size_t room = 0;  // bytes after the prefix, not counting the argument's terminating NUL
};

inline KeyArgument& TheKeyArgument() {
  static KeyArgument argument;
  return argument;
}

/// Makes sure the process runs with the key argument, starting itself again with it if needed.
/// Call from LLVMFuzzerInitialize with its arguments.
inline void EnsureKeyArgument(int* argc, char*** argv) {
  const std::string placeholder = std::string(kKeyArgumentPrefix) + std::string(kMaxKeyBytes, 'k');
  for (int i = 0; i < *argc; ++i) {
    if (placeholder == (*argv)[i]) {
      TheKeyArgument() = {(*argv)[i] + kKeyArgumentPrefix.size(), kMaxKeyBytes};
      return;
    }
  }
  std::vector<char*> arguments((*argv), (*argv) + *argc);
  arguments.push_back(const_cast<char*>(placeholder.c_str()));
  arguments.push_back(nullptr);
  execv("/proc/self/exe", arguments.data());
  std::perror("fuzz target: cannot start itself again with the key argument");
  std::abort();
}

/// Puts `key` on the command line as the value of -serverkey=. A NUL inside the key ends the
/// argument there, as it would on a real command line; the rest of the room becomes empty
/// arguments, which match nothing.
inline void SetServerKey(std::string_view key) {
  KeyArgument& argument = TheKeyArgument();
  if (argument.bytes == nullptr) {
    std::fputs("fuzz target: SetServerKey before EnsureKeyArgument\n", stderr);
    std::abort();
  }
  const std::size_t length = key.size() < argument.room ? key.size() : argument.room;
  std::memcpy(argument.bytes, key.data(), length);
  std::memset(argument.bytes + length, 0, argument.room - length);
}

/// The key the plugin sees for `key` after SetServerKey: cut at the room and at the first NUL.
inline std::string EffectiveServerKey(std::string_view key) {
  std::string effective(key.substr(0, kMaxKeyBytes));
  const std::size_t nul = effective.find('\0');
  if (nul != std::string::npos) effective.resize(nul);
  return effective;
}

/// A server directory on a memory file system where there is one (the save flushes every file to
/// the disk, which tmpfs makes free), removed at exit.
class FuzzServerDir {
 public:
  FuzzServerDir() {
    std::error_code ignored;
    std::filesystem::path base = "/dev/shm";
    if (!std::filesystem::is_directory(base, ignored))
      base = std::filesystem::temp_directory_path();
    path_ = base / ("brimwarden-fuzz-" + std::to_string(getpid()));
    std::filesystem::remove_all(path_, ignored);
    std::filesystem::create_directories(PluginDir());
    standin::SetServerDir(path_.generic_string());
  }
  ~FuzzServerDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  FuzzServerDir(const FuzzServerDir&) = delete;
  FuzzServerDir& operator=(const FuzzServerDir&) = delete;

  std::filesystem::path PluginDir() const { return path_ / "ArkApi" / "Plugins" / "Brimwarden"; }
  std::string ConfigPath() const { return (PluginDir() / "config.json").string(); }
  std::filesystem::path LogPath() const { return path_ / "ArkApi" / "Logs" / "server.log"; }

  /// Forgets what the stand-in recorded, and empties the server log now and then, so that a long
  /// run keeps a flat memory and disk footprint.
  void ForgetHistory() {
    standin::ClearEvents();
    standin::ClearLogRecords();
    if (++runs_ % 4096 == 0) {
      std::error_code ignored;
      std::filesystem::resize_file(LogPath(), 0, ignored);
    }
  }

 private:
  std::filesystem::path path_;
  std::uint64_t runs_ = 0;
};

/// Tells whether `text` is valid UTF-8: shortest forms only, no surrogates, nothing past U+10FFFF.
inline bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    char32_t code = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, code = lead & 0x07, minimum = 0x10000;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += 1 + extra;
  }
  return true;
}

/// Stops the run with a message: libFuzzer records the input that led here as a crash.
[[noreturn]] inline void Violation(const std::string& what) {
  std::fprintf(stderr, "\n==== invariant violated: %s\n", what.c_str());
  std::abort();
}

/// Reads one JSON value from the start of `text` as the plugin does: whatever follows it is not
/// examined.
inline nlohmann::json ParseFirstValue(const std::string& text) {
  std::istringstream in(text);
  nlohmann::json document;
  in >> document;
  return document;
}

}  // namespace brimwarden::fuzz
