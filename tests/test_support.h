// Shared helpers for the test programs: a fresh server directory, the plugin library loaded the way
// the framework loads it, and readers for what reached the stand-in.
//
// Every test program is started with -serverkey=TestServer on its command line (see
// tests/CMakeLists.txt), so the plugin reads the section "TestServer" of config.json.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include "brimwarden/standin/standin.h"

namespace brimwarden::test {

inline constexpr const char* kTestServerKey = "TestServer";

/// A fresh server directory with the plugin's folder, removed at the end of the test.
class ServerDir {
 public:
  ServerDir() {
    static std::atomic<int> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
#if defined(_WIN32)
    const auto pid = static_cast<long long>(GetCurrentProcessId());
#else
    const auto pid = static_cast<long long>(getpid());
#endif
    path_ = std::filesystem::temp_directory_path() /
            ("brimwarden-test-" + std::to_string(pid) + "-" + std::to_string(stamp) + "-" +
             std::to_string(counter++));
    std::filesystem::create_directories(PluginDir());
    standin::SetServerDir(path_.generic_string());
  }
  ~ServerDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ServerDir(const ServerDir&) = delete;
  ServerDir& operator=(const ServerDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path PluginDir() const { return path_ / "ArkApi" / "Plugins" / "Brimwarden"; }
  std::filesystem::path ConfigPath() const { return PluginDir() / "config.json"; }

  /// Writes config.json with exactly these bytes.
  void WriteConfig(const std::string& text) const {
    std::ofstream out(ConfigPath(), std::ios::binary | std::ios::trunc);
    out << text;
  }
  /// Reads config.json whole; empty when it does not exist.
  std::string ReadConfig() const {
    std::ifstream in(ConfigPath(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

 private:
  std::filesystem::path path_;
};

/// The plugin library, loaded as the framework loads it (its entry point runs) and unloaded when
/// this object goes away.
class PluginLibrary {
 public:
  PluginLibrary() { LoadLibraryNow(); }
  ~PluginLibrary() { UnloadNow(); }
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  void LoadLibraryNow() {
    if (handle_ != nullptr) return;
#if defined(_WIN32)
    handle_ = ::LoadLibraryA(BRIMWARDEN_PLUGIN_FILE);
#else
    handle_ = ::dlopen(BRIMWARDEN_PLUGIN_FILE, RTLD_NOW | RTLD_LOCAL);
#endif
    if (handle_ == nullptr) throw std::runtime_error("cannot load " BRIMWARDEN_PLUGIN_FILE);
  }
  void UnloadNow() {
    if (handle_ == nullptr) return;
#if defined(_WIN32)
    ::FreeLibrary(static_cast<HMODULE>(handle_));
#else
    ::dlclose(handle_);
#endif
    handle_ = nullptr;
  }
  bool IsLoaded() const { return handle_ != nullptr; }
  void* Symbol(const char* name) const {
#if defined(_WIN32)
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
    return ::dlsym(handle_, name);
#endif
  }

 private:
  void* handle_ = nullptr;
};

/// The texts of the log lines at `level` that reached the framework's sinks.
inline std::vector<std::string> LogTexts(spdlog::level::level_enum level) {
  std::vector<std::string> texts;
  for (const standin::LogRecord& record : standin::LogRecords()) {
    if (record.level == level) texts.push_back(record.text);
  }
  return texts;
}

/// The chat texts the player named `to` has received, in order.
inline std::vector<std::string> ChatTo(const std::string& to) {
  std::vector<std::string> texts;
  for (const standin::Event& event : standin::Events()) {
    if (event.kind == standin::EventKind::kChat && event.to == to) texts.push_back(event.text);
  }
  return texts;
}

}  // namespace brimwarden::test
