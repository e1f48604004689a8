// The system's page mappings behind the actors' memory: one file per platform (pages_posix.cpp,
// pages_windows.cpp). Each failure is fatal: the stand-in cannot go on without its actors.
#pragma once

#include <cstddef>

namespace standin::internal {

inline constexpr std::size_t kPageBytes = 4096;
inline constexpr std::size_t kArenaBytes = std::size_t{1} << 30;

/// Reserves kArenaBytes of address space; nothing in it takes memory before it is committed.
char* ReserveArena();
/// Makes bytes of a reserved arena usable, reading as zero.
void CommitArenaBytes(char* address, std::size_t bytes);
/// Gives a whole arena back.
void ReleaseArena(char* base);
/// A page that is never accessible, reserved once and kept.
const void* InaccessiblePage();
/// Gives a page's memory back and makes every access to it fault.
void ProtectPage(void* page);
/// Makes a protected page accessible again, zeroed.
void UnprotectPage(void* page);

}  // namespace standin::internal
