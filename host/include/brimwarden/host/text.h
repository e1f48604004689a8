// Conversions between the game's 16-bit text and the plugin's UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "brimwarden/host/game_types.h"

namespace brimwarden::host {

/// Converts UTF-16 to UTF-8; a lone surrogate becomes U+FFFD, so the result is always valid UTF-8.
std::string ToUtf8(std::u16string_view text);
/// Converts UTF-8 to UTF-16; each byte that does not start a valid sequence becomes U+FFFD.
std::u16string ToUtf16(std::string_view text);

}  // namespace brimwarden::host

namespace brimwarden {

/// Converts the characters of an FString before its terminator to UTF-8.
inline std::string ToUtf8(const FString& text) { return host::ToUtf8(text.View()); }

}  // namespace brimwarden
