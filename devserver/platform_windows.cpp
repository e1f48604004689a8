// The dev server's platform layer on Windows: files, the plugin library, the program's arguments
// (as UTF-8 from the wide command line) and its restart, and console interrupts.
#if defined(_WIN32)

#include <windows.h>
// After windows.h, which they need.
#include <io.h>
#include <shellapi.h>

#include <stdexcept>

#include "platform.h"

namespace brimwarden::devserver {

std::FILE* OpenFile(const std::filesystem::path& path, const char* mode) {
  const std::wstring wide_mode(mode, mode + std::char_traits<char>::length(mode));
  return _wfopen(path.c_str(), wide_mode.c_str());
}

const char* PluginFileName() { return "Brimwarden.dll"; }

std::filesystem::path ProgramDir() {
  std::wstring buffer(32768, L'\0');
  const DWORD length =
      GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  buffer.resize(length);
  return std::filesystem::path(buffer).parent_path();
}

void LoadedLibrary::Open(const std::filesystem::path& path) {
  if (handle_ != nullptr) return;
  handle_ = reinterpret_cast<void*>(LoadLibraryW(path.c_str()));
  if (handle_ == nullptr) {
    throw std::runtime_error("cannot load " + PathToUtf8(path) + " (error " +
                             std::to_string(GetLastError()) + ")");
  }
}

void LoadedLibrary::Close() noexcept {
  if (handle_ == nullptr) return;
  FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

std::vector<std::string> ProgramArguments(int /*argc*/, char** /*argv*/) {
  std::vector<std::string> arguments;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return arguments;
  for (int i = 0; i < count; ++i) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string text(bytes > 0 ? bytes - 1 : 0, '\0');
    if (bytes > 1)
      WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text.data(), bytes, nullptr, nullptr);
    arguments.push_back(std::move(text));
  }
  LocalFree(wide);
  return arguments;
}

int RerunWithArgument(int /*argc*/, char** /*argv*/, const std::string& extra) {
  std::wstring command_line = GetCommandLineW();
  command_line += L" " + std::wstring(extra.begin(), extra.end());
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  std::wstring program(32768, L'\0');
  program.resize(GetModuleFileNameW(nullptr, program.data(), static_cast<DWORD>(program.size())));
  if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                      nullptr, &startup, &process)) {
    return -1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

namespace {
void (*g_interrupt_handler)() = nullptr;

BOOL WINAPI ConsoleHandler(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
    if (g_interrupt_handler != nullptr) g_interrupt_handler();
    return TRUE;
  }
  return FALSE;
}
}  // namespace

void OnInterrupt(void (*handler)()) {
  g_interrupt_handler = handler;
  SetConsoleCtrlHandler(ConsoleHandler, TRUE);
}

bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

}  // namespace brimwarden::devserver

#endif  // _WIN32
