// Conversions between the game's 16-bit text and UTF-8, and game-side strings owned by the
// stand-in. The stand-in links none of the plugin's code, so it has conversions of its own.
#include <utf8.h>

#include <iterator>
#include <string>

#include "internal.h"

namespace standin::internal {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// How many bytes one U+FFFD stands for at a malformed sequence: the lead byte and the continuation
// bytes after it, as many as the lead byte announces. utfcpp's replace_invalid would take every
// continuation byte that follows instead, so this rule stays here.
std::ptrdiff_t MalformedLength(std::string_view::const_iterator lead,
                               std::string_view::const_iterator end) {
  const auto byte = static_cast<unsigned char>(*lead);
  const std::ptrdiff_t length = byte >= 0xF0 && byte <= 0xF7   ? 4
                                : byte >= 0xE0 && byte <= 0xEF ? 3
                                : byte >= 0xC0 && byte <= 0xDF ? 2
                                                               : 1;
  std::ptrdiff_t taken = 1;
  while (taken < length && lead + taken != end &&
         (static_cast<unsigned char>(lead[taken]) & 0xC0) == 0x80) {
    ++taken;
  }
  return taken;
}

}  // namespace

// The pairing is done here because utfcpp's utf16to8 throws at a lone surrogate.
std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t code = text[i];
    if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<char32_t>(text[i + 1]) - 0xDC00);
      ++i;
    } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
      code = kReplacement;
    }
    utf8::append(code, std::back_inserter(out));
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  auto at = text.begin();
  for (;;) {
    const auto invalid = utf8::find_invalid(at, text.end());
    utf8::unchecked::utf8to16(at, invalid, std::back_inserter(out));
    if (invalid == text.end()) return out;
    out.push_back(static_cast<char16_t>(kReplacement));
    at = invalid + MalformedLength(invalid, text.end());
  }
}

std::u16string_view GameStringView(const char16_t* data, std::int32_t count) {
  if (data == nullptr || count <= 0) return {};
  return {data, static_cast<std::size_t>(count - 1)};
}

GameString::GameString(std::u16string_view text) : storage_(text) {
  if (storage_.empty()) return;  // the game's empty string: no storage, count 0
  const auto count = static_cast<std::int32_t>(storage_.size() + 1);
  layout_ =
      GameStringLayout{storage_.data(), count, count};  // data() is followed by its terminator
}

}  // namespace standin::internal
