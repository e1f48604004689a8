// Finding text after the first JSON value of a file: a partial lexer that reads only as far as the
// end of that value, as the library's parser does. The load warns about such text, and a save
// refuses to drop it.
#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>

#include "config_internal.h"

namespace brimwarden::config {
namespace {

bool IsJsonWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::size_t SkipDigits(std::string_view text, std::size_t i) {
  while (i < text.size() && IsDigit(text[i])) ++i;
  return i;
}

// The end of the number that starts at `i`, as the library's lexer reads it: "01" is the number 0
// followed by 1, "1e5e" the number 1e5 followed by e.
std::size_t EndOfNumber(std::string_view text, std::size_t i) {
  if (i < text.size() && text[i] == '-') ++i;
  if (i < text.size() && text[i] == '0') {
    ++i;
  } else {
    i = SkipDigits(text, i);
  }
  if (i + 1 < text.size() && text[i] == '.' && IsDigit(text[i + 1])) i = SkipDigits(text, i + 1);
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t exponent = i + 1;
    if (exponent < text.size() && (text[exponent] == '+' || text[exponent] == '-')) ++exponent;
    if (exponent < text.size() && IsDigit(text[exponent])) i = SkipDigits(text, exponent);
  }
  return i;
}

// The end of the first JSON value of a text the parser accepted: only its top level needs exact
// token ends, inside a container the separators bound every token.
std::size_t EndOfFirstValue(std::string_view text) {
  std::size_t i = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;  // the byte order mark
  while (i < text.size() && IsJsonWhitespace(text[i])) ++i;
  std::size_t depth = 0;
  do {
    if (i >= text.size()) break;
    const char c = text[i];
    if (c == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
      ++i;
    } else if (c == '{' || c == '[') {
      ++depth;
      ++i;
    } else if (c == '}' || c == ']') {
      --depth;
      ++i;
    } else if (c == 't' || c == 'n') {
      i += 4;  // true, null
    } else if (c == 'f') {
      i += 5;  // false
    } else if (c == '-' || IsDigit(c)) {
      i = EndOfNumber(text, i);
    } else {
      ++i;  // whitespace, commas and colons inside a container
    }
  } while (depth > 0);
  return std::min(i, text.size());
}

}  // namespace

std::optional<TextPosition> FindTextAfterFirstValue(std::string_view text) {
  std::size_t i = EndOfFirstValue(text);
  while (i < text.size() && IsJsonWhitespace(text[i])) ++i;
  if (i >= text.size()) return std::nullopt;
  const std::string_view before = text.substr(0, i);
  TextPosition position;
  position.line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t line_start = before.rfind('\n');
  position.column = i - (line_start == std::string_view::npos ? 0 : line_start + 1) + 1;
  return position;
}

}  // namespace brimwarden::config
