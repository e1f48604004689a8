// The game's 16-bit text as UTF-8 on Windows: the system's own conversion.
#if defined(_WIN32)

#include <windows.h>

#include "brimwarden/host/text.h"

namespace brimwarden::host {

std::string ToUtf8(std::u16string_view text) {
  if (text.empty()) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int length = static_cast<int>(text.size());
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) {
    WideCharToMultiByte(CP_UTF8, 0, wide, length, result.data(), bytes, nullptr, nullptr);
  }
  return result;
}

}  // namespace brimwarden::host

#endif  // _WIN32
