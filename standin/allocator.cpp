// The game allocator ("FMemory.Malloc", "FMemory.Realloc", "FMemory.Free") with accounting: the
// live blocks and bytes, the calls of each kind, and frees of blocks it never handed out. Such a
// foreign block is reported on stderr and left alone, so a test sees the mistake instead of a
// corrupted heap.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#if defined(_WIN32)
#include <malloc.h>
#endif

#include "internal.h"

namespace standin {
namespace {

// Blocks at this alignment or below come from malloc, larger ones from the aligned allocator.
constexpr std::size_t kDefaultAlignment = alignof(std::max_align_t);

struct BlockInfo {
  std::size_t bytes;
  std::size_t alignment;
};

struct Allocator {
  std::mutex mutex;
  std::unordered_map<const void*, BlockInfo> live;
  AllocatorStats stats;
};

Allocator& State() {
  static auto& allocator = *new Allocator;  // never destroyed: see internal.h
  return allocator;
}

void* RawAllocate(std::size_t bytes, std::size_t alignment) {
  const std::size_t size = bytes == 0 ? 1 : bytes;  // every block has an address of its own
  if (alignment <= kDefaultAlignment) return std::malloc(size);
#if defined(_WIN32)
  return _aligned_malloc(size, alignment);
#else
  void* block = nullptr;
  return posix_memalign(&block, alignment, size) == 0 ? block : nullptr;
#endif
}

void RawFree(void* block, std::size_t alignment) {
#if defined(_WIN32)
  if (alignment > kDefaultAlignment) {
    _aligned_free(block);
    return;
  }
#else
  (void)alignment;
#endif
  std::free(block);
}

void ReportForeign(const char* operation, const void* block) {
  std::fprintf(stderr, "stand-in: %s of a block the game allocator did not hand out (%p)\n",
               operation, block);
  std::fflush(stderr);
}

std::size_t NormalAlignment(std::uint32_t alignment) {
  if (alignment <= kDefaultAlignment) return kDefaultAlignment;
  std::size_t power = kDefaultAlignment;
  while (power < alignment) power *= 2;
  return power;
}

}  // namespace

namespace internal {

void* MemoryMalloc(std::size_t bytes, std::uint32_t alignment) {
  EnterGameFunction(GameFunction::kMalloc);
  Allocator& state = State();
  const std::lock_guard<std::mutex> lock(state.mutex);
  ++state.stats.mallocs;
  const std::size_t align = NormalAlignment(alignment);
  void* block = RawAllocate(bytes, align);
  if (block == nullptr) return nullptr;
  state.live[block] = BlockInfo{bytes, align};
  ++state.stats.live_blocks;
  state.stats.live_bytes += static_cast<std::int64_t>(bytes);
  return block;
}

void* MemoryRealloc(void* block, std::size_t bytes) {
  EnterGameFunction(GameFunction::kRealloc);
  Allocator& state = State();
  const std::lock_guard<std::mutex> lock(state.mutex);
  ++state.stats.reallocs;
  BlockInfo old{0, kDefaultAlignment};
  if (block != nullptr) {
    const auto found = state.live.find(block);
    if (found == state.live.end()) {
      ++state.stats.foreign_frees;
      ReportForeign("FMemory.Realloc", block);
      return nullptr;
    }
    old = found->second;
  }
  if (bytes == 0) {  // the game's realloc to nothing frees the block
    if (block != nullptr) {
      state.live.erase(block);
      --state.stats.live_blocks;
      state.stats.live_bytes -= static_cast<std::int64_t>(old.bytes);
      RawFree(block, old.alignment);
    }
    return nullptr;
  }
  void* moved = RawAllocate(bytes, old.alignment);
  if (moved == nullptr) return nullptr;  // the old block stays, as with realloc
  if (block != nullptr) {
    std::memcpy(moved, block, old.bytes < bytes ? old.bytes : bytes);
    state.live.erase(block);
    --state.stats.live_blocks;
    state.stats.live_bytes -= static_cast<std::int64_t>(old.bytes);
    RawFree(block, old.alignment);
  }
  state.live[moved] = BlockInfo{bytes, old.alignment};
  ++state.stats.live_blocks;
  state.stats.live_bytes += static_cast<std::int64_t>(bytes);
  return moved;
}

void MemoryFree(void* block) {
  EnterGameFunction(GameFunction::kFree);
  GameFree(block);
}

void GameFree(void* block) noexcept {
  Allocator& state = State();
  const std::lock_guard<std::mutex> lock(state.mutex);
  ++state.stats.frees;
  if (block == nullptr) return;
  const auto found = state.live.find(block);
  if (found == state.live.end()) {
    ++state.stats.foreign_frees;
    ReportForeign("FMemory.Free", block);
    return;
  }
  const BlockInfo info = found->second;
  state.live.erase(found);
  --state.stats.live_blocks;
  state.stats.live_bytes -= static_cast<std::int64_t>(info.bytes);
  RawFree(block, info.alignment);
}

}  // namespace internal

AllocatorStats GetAllocatorStats() {
  Allocator& state = State();
  const std::lock_guard<std::mutex> lock(state.mutex);
  return state.stats;
}

bool IsLiveBlock(const void* block) {
  Allocator& state = State();
  const std::lock_guard<std::mutex> lock(state.mutex);
  return state.live.count(block) != 0;
}

void* GameMalloc(std::size_t bytes) { return internal::MemoryMalloc(bytes, 0); }

}  // namespace standin
