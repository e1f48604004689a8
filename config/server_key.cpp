// Where "config.json" lies and which of its sections is this server's: the key comes from the
// server's own command line (command_line_posix.cpp, command_line_windows.cpp), read afresh on
// every call.
#include <string>
#include <string_view>
#include <vector>

#include "brimwarden/config/config.h"
#include "brimwarden/host/framework.h"
#include "brimwarden/logging/logging.h"
#include "config_internal.h"

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
  std::string key = config::ServerKeyFromCommandLine();
  Log(LogLevel::kInfo, "Server Key: " + key);
  return key;
}

}  // namespace brimwarden
