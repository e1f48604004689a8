// Linux and Windows implementations of platform.h.
#include "platform.h"

#include <chrono>
#include <csignal>
#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
// After windows.h, which they need.
#include <io.h>
#include <shellapi.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace brimwarden::devserver {

std::filesystem::path PathFromUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string PathToUtf8(const std::filesystem::path& path) {
  const std::u8string text = path.generic_u8string();
  return std::string(text.begin(), text.end());
}

std::FILE* OpenFile(const std::filesystem::path& path, const char* mode) {
#if defined(_WIN32)
  const std::wstring wide_mode(mode, mode + std::char_traits<char>::length(mode));
  return _wfopen(path.c_str(), wide_mode.c_str());
#else
  return std::fopen(path.c_str(), mode);
#endif
}

const char* PluginFileName() {
#if defined(_WIN32)
  return "Brimwarden.dll";
#else
  return "Brimwarden.so";
#endif
}

std::filesystem::path ProgramDir() {
#if defined(_WIN32)
  std::wstring buffer(32768, L'\0');
  const DWORD length =
      GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  buffer.resize(length);
  return std::filesystem::path(buffer).parent_path();
#else
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::current_path() : self.parent_path();
#endif
}

void LoadedLibrary::Open(const std::filesystem::path& path) {
  if (handle_ != nullptr) return;
#if defined(_WIN32)
  handle_ = reinterpret_cast<void*>(LoadLibraryW(path.c_str()));
  if (handle_ == nullptr) {
    throw std::runtime_error("cannot load " + PathToUtf8(path) + " (error " +
                             std::to_string(GetLastError()) + ")");
  }
#else
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* message = dlerror();
    throw std::runtime_error("cannot load " + path.string() + ": " +
                             (message != nullptr ? message : "unknown error"));
  }
#endif
}

void LoadedLibrary::Close() noexcept {
  if (handle_ == nullptr) return;
#if defined(_WIN32)
  FreeLibrary(static_cast<HMODULE>(handle_));
#else
  dlclose(handle_);
#endif
  handle_ = nullptr;
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  std::vector<std::string> arguments;
#if defined(_WIN32)
  (void)argc;
  (void)argv;
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
#else
  arguments.assign(argv, argv + argc);
#endif
  return arguments;
}

bool IsServerKeyArgument(const std::string& argument) {
  static constexpr char kPrefix[] = "-serverkey=";
  constexpr std::size_t kLength = sizeof(kPrefix) - 1;
  if (argument.size() < kLength) return false;
  for (std::size_t i = 0; i < kLength; ++i) {
    char c = argument[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kPrefix[i]) return false;
  }
  return true;
}

int RerunWithArgument(int argc, char** argv, const std::string& extra) {
#if defined(_WIN32)
  (void)argc;
  (void)argv;
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
#else
  std::vector<char*> arguments(argv, argv + argc);
  std::string copy = extra;
  arguments.push_back(copy.data());
  arguments.push_back(nullptr);
  execv("/proc/self/exe", arguments.data());
  return -1;
#endif
}

namespace {
void (*g_interrupt_handler)() = nullptr;

#if defined(_WIN32)
BOOL WINAPI ConsoleHandler(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
    if (g_interrupt_handler != nullptr) g_interrupt_handler();
    return TRUE;
  }
  return FALSE;
}
#else
void SignalHandler(int /*signal*/) {
  if (g_interrupt_handler != nullptr) g_interrupt_handler();
}
#endif
}  // namespace

void OnInterrupt(void (*handler)()) {
  g_interrupt_handler = handler;
#if defined(_WIN32)
  SetConsoleCtrlHandler(ConsoleHandler, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = SignalHandler;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
#endif
}

bool IsTerminal(std::FILE* stream) {
#if defined(_WIN32)
  return _isatty(_fileno(stream)) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}

long long NowNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace brimwarden::devserver
