// Where "config.json" lies and which of its sections is this server's: the key comes from the
// server's own command line, read afresh on every call.
#include <memory>
#include <string>
#include <vector>

#include "brimwarden/config/config.h"
#include "brimwarden/host/framework.h"
#include "brimwarden/host/text.h"
#include "brimwarden/logging/logging.h"

#if defined(_WIN32)
#include <windows.h>
// shellapi.h needs windows.h before it.
#include <shellapi.h>
#else
#include <fstream>
#include <iterator>
#endif

namespace brimwarden {
namespace {

constexpr std::string_view kServerKeyPrefix = "-serverkey=";

template <typename Char>
std::basic_string<Char> FindServerKeyIn(const std::vector<std::basic_string<Char>>& arguments) {
  for (const std::basic_string<Char>& argument : arguments) {
    if (argument.size() < kServerKeyPrefix.size()) continue;
    bool matches = true;
    for (std::size_t i = 0; matches && i < kServerKeyPrefix.size(); ++i) {
      auto character = static_cast<char32_t>(argument[i]);
      if constexpr (sizeof(Char) == 1) character &= 0xFF;
      if (character >= U'A' && character <= U'Z') character += U'a' - U'A';
      matches = character == static_cast<char32_t>(kServerKeyPrefix[i]);
    }
    if (matches) return argument.substr(kServerKeyPrefix.size());
  }
  return {};
}

#if defined(_WIN32)

std::string ServerKeyFromCommandLine() {
  int count = 0;
  const std::unique_ptr<LPWSTR, decltype(&LocalFree)> arguments(
      CommandLineToArgvW(GetCommandLineW(), &count), &LocalFree);
  if (!arguments) return {};
  std::vector<std::u16string> list;
  list.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    list.emplace_back(reinterpret_cast<const char16_t*>(arguments.get()[i]));
  }
  return brimwarden::host::ToUtf8(FindServerKey(list));
}

#else

// The kernel keeps the arguments the process was started with, each ended by a NUL.
std::string ServerKeyFromCommandLine() {
  std::ifstream file("/proc/self/cmdline", std::ios::binary);
  const std::string all{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  std::vector<std::string> list;
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    list.emplace_back(all, start, end - start);
    start = end + 1;
  }
  return FindServerKey(list);
}

#endif

}  // namespace

std::string FindServerKey(const std::vector<std::string>& arguments) {
  return FindServerKeyIn(arguments);
}

std::u16string FindServerKey(const std::vector<std::u16string>& arguments) {
  return FindServerKeyIn(arguments);
}

std::string GetConfigPath() {
  return host::ServerDirectory() + "/ArkApi/Plugins/Brimwarden/" + "config.json";
}

std::string GetServerKey() {
  std::string key = ServerKeyFromCommandLine();
  Log(LogLevel::kInfo, "Server Key: " + key);
  return key;
}

}  // namespace brimwarden
