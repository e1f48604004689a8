// Conversion of the plugin's UTF-8 to the game's 16-bit text, alike on every platform; the way
// back is in text_posix.cpp and text_windows.cpp.
#include "brimwarden/host/text.h"

#include <utf8.h>

#include <iterator>

namespace brimwarden::host {

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
