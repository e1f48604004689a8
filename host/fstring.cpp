#include "brimwarden/host/game_types.h"

namespace brimwarden {

FString::FString(std::string_view narrow) {
  if (narrow.empty()) return;
  const auto count = static_cast<std::int32_t>(narrow.size() + 1);
  chars_.Reallocate(count);
  for (const char byte : narrow) {
    const auto code = static_cast<unsigned char>(byte);
    chars_.Add(code < 0x80 ? static_cast<char16_t>(code) : u'?');
  }
  chars_.Add(u'\0');
}

FString::FString(std::u16string_view wide) {
  if (wide.empty()) return;
  chars_.Reallocate(static_cast<std::int32_t>(wide.size() + 1));
  for (const char16_t character : wide) chars_.Add(character);
  chars_.Add(u'\0');
}

}  // namespace brimwarden
