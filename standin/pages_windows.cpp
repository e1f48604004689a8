// The actors' page mappings on Windows: VirtualAlloc and VirtualFree.
#if defined(_WIN32)

#include <windows.h>

#include "internal.h"
#include "pages.h"

namespace standin::internal {

char* ReserveArena() {
  void* base = VirtualAlloc(nullptr, kArenaBytes, MEM_RESERVE, PAGE_NOACCESS);
  if (base == nullptr) Fatal("cannot reserve address space for actors");
  return static_cast<char*>(base);
}

void CommitArenaBytes(char* address, std::size_t bytes) {
  if (VirtualAlloc(address, bytes, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
    Fatal("cannot commit memory for actors");
  }
}

void ReleaseArena(char* base) { VirtualFree(base, 0, MEM_RELEASE); }

const void* InaccessiblePage() {
  static const void* page = VirtualAlloc(nullptr, kPageBytes, MEM_RESERVE, PAGE_NOACCESS);
  if (page == nullptr) Fatal("cannot reserve an inaccessible page");
  return page;
}

void ProtectPage(void* page) {
  if (VirtualFree(page, kPageBytes, MEM_DECOMMIT) == 0) Fatal("cannot decommit an actor page");
}

void UnprotectPage(void* page) {
  // A page committed afresh reads as zero.
  CommitArenaBytes(static_cast<char*>(page), kPageBytes);
}

}  // namespace standin::internal

#endif  // defined(_WIN32)
