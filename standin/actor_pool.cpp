// Memory for actors: one page each, carved from large reservations ("arenas") made as the world
// grows, so that a million actors need only a handful of mappings. A destroyed actor's page is
// reclaimed by making it inaccessible, so a stale pointer to it faults for real. The system
// allows only so many separate mappings per process (each protected page splits its arena), so
// only the most recent reclaimed pages (4096 unless set otherwise) stay protected; older ones are
// made accessible again and reused for new actors.
#include <cstdint>
#include <cstring>
#include <deque>
#include <unordered_set>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#endif

#include "internal.h"

namespace standin {
namespace {

using internal::kActorPageBytes;

constexpr std::size_t kArenaBytes = std::size_t{1} << 30;  // 262144 actors
constexpr std::size_t kCommitStepBytes = std::size_t{16} << 20;
constexpr std::size_t kDefaultMaxProtectedPages = 4096;

struct Arena {
  char* base;
  std::size_t used_bytes;
  std::size_t committed_bytes;
};

struct Pool {
  std::vector<Arena> arenas;
  std::deque<void*> protected_pages;  // oldest first
  std::unordered_set<const void*> protected_set;
  std::vector<void*> free_pages;  // accessible again, ready for reuse
  std::size_t max_protected = kDefaultMaxProtectedPages;
};

Pool& ThePool() {
  static auto& pool = *new Pool;  // never destroyed: see internal.h
  return pool;
}

char* ReserveArena() {
#if defined(_WIN32)
  void* base = VirtualAlloc(nullptr, kArenaBytes, MEM_RESERVE, PAGE_NOACCESS);
  if (base == nullptr) internal::Fatal("cannot reserve address space for actors");
#else
  // Touched pages only take memory; MAP_NORESERVE keeps the reservation out of the commit charge.
  void* base = mmap(nullptr, kArenaBytes, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) internal::Fatal("cannot reserve address space for actors");
#endif
  return static_cast<char*>(base);
}

void Commit(char* address, std::size_t bytes) {
#if defined(_WIN32)
  if (VirtualAlloc(address, bytes, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
    internal::Fatal("cannot commit memory for actors");
  }
#else
  (void)address;
  (void)bytes;
#endif
}

void ReleaseArena(char* base) {
#if defined(_WIN32)
  VirtualFree(base, 0, MEM_RELEASE);
#else
  munmap(base, kArenaBytes);
#endif
}

/// Gives the page's memory back and makes every access to it fault.
void Protect(void* page) {
#if defined(_WIN32)
  if (VirtualFree(page, kActorPageBytes, MEM_DECOMMIT) == 0) {
    internal::Fatal("cannot decommit an actor page");
  }
#else
  madvise(page, kActorPageBytes, MADV_DONTNEED);
  if (mprotect(page, kActorPageBytes, PROT_NONE) != 0)
    internal::Fatal("cannot protect an actor page");
#endif
}

/// Makes a protected page accessible again, zeroed.
void Unprotect(void* page) {
#if defined(_WIN32)
  Commit(static_cast<char*>(page), kActorPageBytes);
#else
  if (mprotect(page, kActorPageBytes, PROT_READ | PROT_WRITE) != 0) {
    internal::Fatal("cannot unprotect an actor page");
  }
#endif
}

}  // namespace

namespace internal {

void* AcquireActorPage() {
  Pool& pool = ThePool();
  if (!pool.free_pages.empty()) {
    void* page = pool.free_pages.back();
    pool.free_pages.pop_back();
    std::memset(page, 0, kActorPageBytes);
    return page;
  }
  if (pool.arenas.empty() || pool.arenas.back().used_bytes == kArenaBytes) {
    pool.arenas.push_back(Arena{ReserveArena(), 0, 0});
  }
  Arena& arena = pool.arenas.back();
  if (arena.used_bytes == arena.committed_bytes) {
    Commit(arena.base + arena.committed_bytes, kCommitStepBytes);
    arena.committed_bytes += kCommitStepBytes;
  }
  void* page = arena.base + arena.used_bytes;
  arena.used_bytes += kActorPageBytes;
  return page;  // fresh pages read as zero
}

void ReclaimActorPage(void* page) {
  Pool& pool = ThePool();
  Protect(page);
  pool.protected_pages.push_back(page);
  pool.protected_set.insert(page);
  while (pool.protected_pages.size() > pool.max_protected) {
    void* oldest = pool.protected_pages.front();
    pool.protected_pages.pop_front();
    pool.protected_set.erase(oldest);
    Unprotect(oldest);
    pool.free_pages.push_back(oldest);
  }
}

bool IsActorPageAccessible(const void* pointer) {
  const Pool& pool = ThePool();
  const auto address = reinterpret_cast<std::uintptr_t>(pointer);
  if (address % kActorPageBytes != 0) return false;
  for (const Arena& arena : pool.arenas) {
    const auto base = reinterpret_cast<std::uintptr_t>(arena.base);
    if (address >= base && address < base + arena.used_bytes) {
      return pool.protected_set.count(pointer) == 0;
    }
  }
  return false;
}

void SetMaxProtectedPages(std::size_t pages) {
  ThePool().max_protected = pages == 0 ? kDefaultMaxProtectedPages : pages;
}

void ReleaseAllActorPages() {
  Pool& pool = ThePool();
  for (const Arena& arena : pool.arenas) ReleaseArena(arena.base);
  pool.arenas.clear();
  pool.protected_pages.clear();
  pool.protected_set.clear();
  pool.free_pages.clear();
}

}  // namespace internal
}  // namespace standin
