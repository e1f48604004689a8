// Our definitions of the game server's records as the plugin sees them: positions, the growable
// array with the game's growth rule and allocator, the wide string and the chat record. Layouts
// match the game byte for byte; storage always comes from and goes back to the game allocator
// ("FMemory.*"). They live in namespace brimwarden, beside the SDK's own types of the same names
// in a server build. Included through brimwarden/host/game_types.h, which decides what else to use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "brimwarden/host/native.h"
#include "brimwarden/host/seam.h"

namespace brimwarden {

/// A position in world units.
struct Vector3 {
  float X = 0.0F;
  float Y = 0.0F;
  float Z = 0.0F;
};

namespace host {

#define BRIMWARDEN_DEFINE_ALLOCATOR_FUNCTION(constant, signature, name, origin, ownership) \
  inline const NativeFunction<signature> constant{name};
BRIMWARDEN_GAME_ALLOCATOR(BRIMWARDEN_DEFINE_ALLOCATOR_FUNCTION)
#undef BRIMWARDEN_DEFINE_ALLOCATOR_FUNCTION

/// Returns the capacity the game's array takes when `count` outgrows `capacity`.
constexpr std::int32_t GrowCapacity(std::int32_t count, std::int32_t capacity) {
  if (capacity == 0 && count <= 4) return 4;
  const std::int64_t grown =
      static_cast<std::int64_t>(count) + 3 * static_cast<std::int64_t>(count) / 8 + 16;
  return grown > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(grown);
}

}  // namespace host

/// The game's growable array: element pointer, signed 32-bit count and capacity, in that order.
/// Owns its storage and returns it through "FMemory.Free".
template <typename T>
class HostArray {
 public:
  HostArray() = default;
  HostArray(const HostArray&) = delete;
  HostArray& operator=(const HostArray&) = delete;
  HostArray(HostArray&& other) noexcept { Swap(other); }
  HostArray& operator=(HostArray&& other) noexcept {
    HostArray(std::move(other)).Swap(*this);
    return *this;
  }
  ~HostArray() { FreeStorage(); }

  T* Data() const { return data_; }
  std::int32_t Num() const { return count_; }
  std::int32_t Max() const { return capacity_; }
  bool IsEmpty() const { return count_ == 0; }
  T& operator[](std::int32_t index) { return data_[index]; }
  const T& operator[](std::int32_t index) const { return data_[index]; }

  /// Appends one element, growing the storage by the game's rule when the count outgrows it.
  void Add(const T& value) {
    if (count_ == capacity_) {
      Reallocate(host::GrowCapacity(count_ + 1, capacity_));
    }
    data_[count_++] = value;
  }

  /// Removes the last element and returns it, without touching the storage. Needs Num() > 0.
  T Pop() { return data_[--count_]; }

  /// Sets the capacity, taking storage from "FMemory.Malloc" when there was none and from
  /// "FMemory.Realloc" otherwise. Needs capacity >= Num().
  void Reallocate(std::int32_t capacity) {
    const std::size_t bytes = static_cast<std::size_t>(capacity) * sizeof(T);
    data_ =
        static_cast<T*>(data_ == nullptr ? host::kMalloc(bytes, 0) : host::kRealloc(data_, bytes));
    capacity_ = capacity;
  }

  /// Gives up the storage without freeing it and leaves the array empty with no storage: for
  /// storage handed over to the game, which frees it through "FMemory.Free".
  T* Release() noexcept {
    T* const data = data_;
    data_ = nullptr;
    count_ = 0;
    capacity_ = 0;
    return data;
  }

  /// Returns the storage through "FMemory.Free" and leaves the array empty with no storage.
  void FreeStorage() noexcept {
    if (data_ != nullptr) host::kFree(data_);
    data_ = nullptr;
    count_ = 0;
    capacity_ = 0;
  }

  void Swap(HostArray& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(count_, other.count_);
    std::swap(capacity_, other.capacity_);
  }

 private:
  T* data_ = nullptr;
  std::int32_t count_ = 0;
  std::int32_t capacity_ = 0;
};

/// The game's wide string: a HostArray of 16-bit characters whose count includes the terminator.
/// Count 0 is the empty string.
class FString {
 public:
  FString() = default;
  /// Makes a string from narrow text, one character per byte: a byte below 0x80 is that
  /// character, any other byte becomes '?'.
  explicit FString(std::string_view narrow);
  /// Copies 16-bit text and adds the terminator.
  explicit FString(std::u16string_view wide);

  /// The characters before the terminator.
  std::u16string_view View() const {
    return chars_.Num() == 0 ? std::u16string_view{}
                             : std::u16string_view(chars_.Data(), chars_.Num() - 1);
  }
  /// Length in characters, without the terminator.
  std::int32_t Len() const { return chars_.Num() == 0 ? 0 : chars_.Num() - 1; }
  const HostArray<char16_t>& Array() const { return chars_; }
  /// Gives up the characters' storage without freeing it and leaves the string empty (see
  /// HandOverToChatField).
  void ReleaseStorage() noexcept { chars_.Release(); }

 private:
  HostArray<char16_t> chars_;
};

/// The game's chat record, fields in the game's order. Strings are held by value as the game
/// lays them out. The game takes a record by value and destroys it, so whoever receives one by
/// value owns its strings and frees them through "FMemory.Free": a sender hands them over.
struct FStringView16 {
  const char16_t* Data = nullptr;
  std::int32_t Count = 0;
  std::int32_t Capacity = 0;
};

struct ChatMessage {
  FStringView16 SenderName;
  FStringView16 SenderSteamName;
  FStringView16 SenderTribeName;
  std::uint32_t SenderId = 0;
  FStringView16 Message;
  FStringView16 Receiver;
  std::int32_t SenderTeamIndex = 0;
  double ReceivedTime = 0.0;
  std::uint8_t SendMode = 0;
  std::uint32_t RadioFrequency = 0;
  std::uint8_t ChatType = 0;
  std::uint64_t SenderIcon = 0;
  FStringView16 UserId;
};

static_assert(sizeof(HostArray<char16_t>) == 16 && sizeof(FString) == 16);
static_assert(sizeof(FStringView16) == 16);

/// Hands the characters of `text` over to a chat record's field and leaves `text` empty: the
/// record's receiver frees them through "FMemory.Free".
inline FStringView16 HandOverToChatField(FString& text) noexcept {
  const FStringView16 field{text.Array().Data(), text.Array().Num(), text.Array().Max()};
  text.ReleaseStorage();
  return field;
}

}  // namespace brimwarden
