// Memory for actors, carved from large reservations ("arenas") made as the world grows, so that a
// million actors need only a handful of mappings.
//
// The first kActorsWithOwnPage actors (every world the tests and the built-in scenario make) get
// a page each, so that a reclaimed actor's page can be made inaccessible and a stale pointer to it
// faults for real. A page each would take 4 GiB for a million actors, so beyond that actors share
// pages, kActorBytes each. A shared actor's memory cannot be protected without its neighbours:
// when it is reclaimed it is filled with the address of a page that is never accessible
// (ReclaimedFill), so that whatever the game follows through it (the class, the root component)
// faults, as its functions do on a stale pointer.
//
// The system allows only so many separate mappings per process (each protected page splits its
// arena), so only the most recently reclaimed actors (4096 unless set otherwise) stay protected
// or filled; older ones are made accessible again and reused for new actors, pages first.
#include <cstdint>
#include <cstring>
#include <deque>
#include <unordered_set>
#include <vector>

#include "internal.h"
#include "pages.h"

namespace standin {
namespace {

using internal::kActorBytes;
using internal::kArenaBytes;
using internal::kPageBytes;

constexpr std::size_t kCommitStepBytes = std::size_t{16} << 20;
constexpr std::size_t kDefaultMaxProtected = 4096;
static_assert(kPageBytes % kActorBytes == 0 && kCommitStepBytes % kPageBytes == 0);

struct Arena {
  char* base;
  std::size_t used_bytes;
  std::size_t committed_bytes;
};

/// Actors of one size: a page each, or kActorBytes each.
struct Region {
  std::size_t slot_bytes;
  std::vector<Arena> arenas;
  std::vector<void*> free_slots;  // accessible again, ready for reuse

  std::size_t Carved() const {
    std::size_t bytes = 0;
    for (const Arena& arena : arenas) bytes += arena.used_bytes;
    return bytes / slot_bytes;
  }
  bool Holds(const void* pointer) const {
    const auto address = reinterpret_cast<std::uintptr_t>(pointer);
    for (const Arena& arena : arenas) {
      const auto base = reinterpret_cast<std::uintptr_t>(arena.base);
      if (address >= base && address < base + arena.used_bytes) {
        return (address - base) % slot_bytes == 0;
      }
    }
    return false;
  }
};

struct Pool {
  Region own_pages{kPageBytes, {}, {}};
  Region shared{kActorBytes, {}, {}};
  std::deque<void*> reclaimed;  // protected or filled, oldest first
  std::unordered_set<const void*> reclaimed_set;
  std::size_t max_reclaimed = kDefaultMaxProtected;
};

Pool& ThePool() {
  static auto& pool = *new Pool;  // never destroyed: see internal.h
  return pool;
}

void* Carve(Region& region) {
  if (region.arenas.empty() || region.arenas.back().used_bytes == kArenaBytes) {
    region.arenas.push_back(Arena{internal::ReserveArena(), 0, 0});
  }
  Arena& arena = region.arenas.back();
  if (arena.used_bytes == arena.committed_bytes) {
    internal::CommitArenaBytes(arena.base + arena.committed_bytes, kCommitStepBytes);
    arena.committed_bytes += kCommitStepBytes;
  }
  void* slot = arena.base + arena.used_bytes;
  arena.used_bytes += region.slot_bytes;
  return slot;  // fresh memory reads as zero
}

void* Reuse(Region& region) {
  void* slot = region.free_slots.back();
  region.free_slots.pop_back();
  std::memset(slot, 0, region.slot_bytes);
  return slot;
}

}  // namespace

namespace internal {

const void* ReclaimedFill() { return InaccessiblePage(); }

void* AcquireActorMemory() {
  Pool& pool = ThePool();
  if (!pool.own_pages.free_slots.empty()) return Reuse(pool.own_pages);
  if (pool.own_pages.Carved() < kActorsWithOwnPage) return Carve(pool.own_pages);
  if (!pool.shared.free_slots.empty()) return Reuse(pool.shared);
  return Carve(pool.shared);
}

void ReclaimActorMemory(void* actor) {
  Pool& pool = ThePool();
  if (pool.own_pages.Holds(actor)) {
    ProtectPage(actor);
  } else {
    const void* fill = ReclaimedFill();
    auto* words = static_cast<const void**>(actor);
    for (std::size_t i = 0; i < kActorBytes / sizeof(void*); ++i) words[i] = fill;
  }
  pool.reclaimed.push_back(actor);
  pool.reclaimed_set.insert(actor);
  while (pool.reclaimed.size() > pool.max_reclaimed) {
    void* oldest = pool.reclaimed.front();
    pool.reclaimed.pop_front();
    pool.reclaimed_set.erase(oldest);
    if (pool.own_pages.Holds(oldest)) {
      UnprotectPage(oldest);
      pool.own_pages.free_slots.push_back(oldest);
    } else {
      pool.shared.free_slots.push_back(oldest);  // zeroed when it is reused
    }
  }
}

bool IsActorMemoryAccessible(const void* pointer) {
  const Pool& pool = ThePool();
  if (!pool.own_pages.Holds(pointer) && !pool.shared.Holds(pointer)) return false;
  return pool.reclaimed_set.count(pointer) == 0;
}

void SetMaxReclaimedKept(std::size_t actors) {
  ThePool().max_reclaimed = actors == 0 ? kDefaultMaxProtected : actors;
}

void ReleaseAllActorMemory() {
  Pool& pool = ThePool();
  for (Region* region : {&pool.own_pages, &pool.shared}) {
    for (const Arena& arena : region->arenas) ReleaseArena(arena.base);
    region->arenas.clear();
    region->free_slots.clear();
  }
  pool.reclaimed.clear();
  pool.reclaimed_set.clear();
}

}  // namespace internal
}  // namespace standin
