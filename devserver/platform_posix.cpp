// The dev server's platform layer on Linux: files, the plugin library, the program's arguments
// and its restart, and interrupts.
#if !defined(_WIN32)

#include <dlfcn.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>

#include "platform.h"

namespace brimwarden::devserver {

std::FILE* OpenFile(const std::filesystem::path& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

const char* PluginFileName() { return "Brimwarden.so"; }

std::filesystem::path ProgramDir() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::current_path() : self.parent_path();
}

void LoadedLibrary::Open(const std::filesystem::path& path) {
  if (handle_ != nullptr) return;
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* message = dlerror();
    throw std::runtime_error("cannot load " + path.string() + ": " +
                             (message != nullptr ? message : "unknown error"));
  }
}

void LoadedLibrary::Close() noexcept {
  if (handle_ == nullptr) return;
  dlclose(handle_);
  handle_ = nullptr;
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

int RerunWithArgument(int argc, char** argv, const std::string& extra) {
  std::vector<char*> arguments(argv, argv + argc);
  std::string copy = extra;
  arguments.push_back(copy.data());
  arguments.push_back(nullptr);
  execv("/proc/self/exe", arguments.data());
  return -1;
}

namespace {
void (*g_interrupt_handler)() = nullptr;

void SignalHandler(int /*signal*/) {
  if (g_interrupt_handler != nullptr) g_interrupt_handler();
}
}  // namespace

void OnInterrupt(void (*handler)()) {
  g_interrupt_handler = handler;
  struct sigaction action {};
  action.sa_handler = SignalHandler;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

}  // namespace brimwarden::devserver

#endif  // !_WIN32
