// What the dev server's platform layer does alike on Linux and Windows: paths as UTF-8, the
// server key argument and the clock. The rest of platform.h is in platform_posix.cpp and
// platform_windows.cpp.
#include "platform.h"

#include <chrono>

namespace brimwarden::devserver {

std::filesystem::path PathFromUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string PathToUtf8(const std::filesystem::path& path) {
  const std::u8string text = path.generic_u8string();
  return std::string(text.begin(), text.end());
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

long long NowNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace brimwarden::devserver
