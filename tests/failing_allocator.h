// Replaces the test program's operator new with one that can be told to fail at a chosen
// allocation, to show what the plugin's own code does when memory runs out half-way through an
// operation, or told to count allocations, to show where the plugin makes none. Include it in
// exactly one source file of a test program.
//
// Only the plugin's code is made to fail: on Linux the stand-in shares the program's operator new
// and its bookkeeping is left alone (on Windows it has a runtime of its own).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

namespace brimwarden::test {

/// Counted allocations left before the one that fails; negative when disarmed.
inline std::atomic<long> allocations_before_failure{-1};
/// Set when an armed failure has been thrown.
inline std::atomic<bool> allocation_failure_fired{false};
/// Smaller allocations are neither counted nor failed.
inline std::size_t smallest_failing_allocation = 0;

/// While set, every allocation is counted in allocations_counted, and those not made by the
/// stand-in (on Linux, where it shares the program's operator new) in own_allocations_counted.
inline std::atomic<bool> counting_allocations{false};
inline std::atomic<long> allocations_counted{0};
inline std::atomic<long> own_allocations_counted{0};

namespace detail {

inline bool CalledFromStandin([[maybe_unused]] void* caller) {
#if defined(_WIN32)
  return false;
#else
  Dl_info info{};
  return dladdr(caller, &info) != 0 && info.dli_fname != nullptr &&
         std::strstr(info.dli_fname, "BrimwardenStandin") != nullptr;
#endif
}

inline void* Allocate(std::size_t size, void* caller) {
  if (counting_allocations.load()) {
    ++allocations_counted;
    if (!CalledFromStandin(caller)) ++own_allocations_counted;
  }
  const long left = allocations_before_failure.load();
  const bool counted =
      left >= 0 && size >= smallest_failing_allocation && !CalledFromStandin(caller);
  if (counted && left == 0) {
    allocations_before_failure = -1;
    allocation_failure_fired = true;
    throw std::bad_alloc();
  }
  if (counted && left > 0) allocations_before_failure = left - 1;
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

}  // namespace detail
}  // namespace brimwarden::test

void* operator new(std::size_t size) {
  return brimwarden::test::detail::Allocate(size, __builtin_return_address(0));
}
void* operator new[](std::size_t size) {
  return brimwarden::test::detail::Allocate(size, __builtin_return_address(0));
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
