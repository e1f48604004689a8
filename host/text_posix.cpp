// The game's 16-bit text as UTF-8 elsewhere than on Windows, through utfcpp, with the rule the
// system's conversion follows on Windows.
#if !defined(_WIN32)

#include <utf8.h>

#include <iterator>

#include "brimwarden/host/text.h"

namespace brimwarden::host {

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

}  // namespace brimwarden::host

#endif  // !_WIN32
