// The few operating-system services the dev server needs, behind one interface for Linux and
// Windows: loading the plugin library, finding this program, opening files by UTF-8 path.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace brimwarden::devserver {

/// Makes a path from UTF-8 text.
std::filesystem::path PathFromUtf8(const std::string& text);
/// Returns a path as UTF-8 text with forward slashes.
std::string PathToUtf8(const std::filesystem::path& path);
/// Opens a file by path, as std::fopen does.
std::FILE* OpenFile(const std::filesystem::path& path, const char* mode);

/// The directory that holds this program.
std::filesystem::path ProgramDir();
/// The plugin library's file name on this platform.
const char* PluginFileName();

/// A library loaded the way the framework loads plugins: its entry point runs on load and unload.
class LoadedLibrary {
 public:
  LoadedLibrary() = default;
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;
  ~LoadedLibrary() { Close(); }

  /// Loads the library. Throws std::runtime_error with the loader's message.
  void Open(const std::filesystem::path& path);
  void Close() noexcept;
  bool IsOpen() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;
};

/// The program's arguments as UTF-8 (on Windows from the wide command line).
std::vector<std::string> ProgramArguments(int argc, char** argv);

/// Tells whether an argument is a server key argument: "-serverkey=" in any letter case.
bool IsServerKeyArgument(const std::string& argument);

/// Runs this program again with `extra` appended to its arguments and returns its exit code
/// (on Linux it replaces this process and returns only on failure, with -1).
int RerunWithArgument(int argc, char** argv, const std::string& extra);

/// Calls `handler` (once) when the user interrupts the program or it is asked to terminate.
void OnInterrupt(void (*handler)());

/// Tells whether a stream is a terminal.
bool IsTerminal(std::FILE* stream);

/// A monotonic clock in nanoseconds.
long long NowNanoseconds();

}  // namespace brimwarden::devserver
