// The actors' page mappings on POSIX systems: mmap, mprotect and madvise.
#if !defined(_WIN32)

#include <sys/mman.h>

#include "internal.h"
#include "pages.h"

namespace standin::internal {

char* ReserveArena() {
  // Touched pages only take memory; MAP_NORESERVE keeps the reservation out of the commit charge.
  void* base = mmap(nullptr, kArenaBytes, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) Fatal("cannot reserve address space for actors");
  return static_cast<char*>(base);
}

void CommitArenaBytes(char* /*address*/, std::size_t /*bytes*/) {
  // The reservation is readable and writable already; the kernel backs a page when it is touched.
}

void ReleaseArena(char* base) { munmap(base, kArenaBytes); }

const void* InaccessiblePage() {
  static const void* page =
      mmap(nullptr, kPageBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (page == MAP_FAILED) Fatal("cannot reserve an inaccessible page");
  return page;
}

void ProtectPage(void* page) {
  madvise(page, kPageBytes, MADV_DONTNEED);
  if (mprotect(page, kPageBytes, PROT_NONE) != 0) Fatal("cannot protect an actor page");
}

void UnprotectPage(void* page) {
  // The memory given back by MADV_DONTNEED reads as zero when it is touched again.
  if (mprotect(page, kPageBytes, PROT_READ | PROT_WRITE) != 0) {
    Fatal("cannot unprotect an actor page");
  }
}

}  // namespace standin::internal

#endif  // !defined(_WIN32)
