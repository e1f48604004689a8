// Conversions between the game's 16-bit text and the plugin's UTF-8: the system's own on Windows,
// utfcpp's elsewhere.
#include "brimwarden/host/text.h"

#include <utf8.h>

#include <iterator>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace brimwarden::host {

#if defined(_WIN32)

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

#else

namespace {

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

// Behaves as WideCharToMultiByte(CP_UTF8) does: a surrogate without its partner becomes U+FFFD.
// The pairing is done here because utfcpp's utf16to8 throws at a lone surrogate.
std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t code = text[i];
    if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<char32_t>(text[i + 1]) - 0xDC00);
      ++i;
    } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
      code = 0xFFFD;
    }
    utf8::append(code, std::back_inserter(out));
  }
  return out;
}

#endif

// The same on every platform, so a name shows alike in chat and over RCON whatever bytes it holds.
// Each byte that does not start a valid sequence becomes one U+FFFD, where utfcpp's
// replace_invalid would fold a bad sequence and the continuation bytes after it into one.
std::u16string ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  auto at = text.begin();
  for (;;) {
    const auto invalid = utf8::find_invalid(at, text.end());
    utf8::unchecked::utf8to16(at, invalid, std::back_inserter(out));
    if (invalid == text.end()) return out;
    out.push_back(u'\uFFFD');
    at = invalid + 1;
  }
}

}  // namespace brimwarden::host
