// The fault guard on Windows: a structured-exception handler around a call into a function that
// catches every C++ exception. Both layers are needed: __except takes access violations and other
// hardware faults but would take a C++ throw without ever destroying the thrown object, and a C++
// catch never sees a hardware fault. The compiler accepts the two only in separate functions, and
// __except takes a fault only when it is raised inside a called function, not in its own frame.
// Frames skipped by __except run no destructors, so the guarded code keeps no owning locals.
// RunContained must not be noexcept: the terminate scope that adds claims the fault first.
//
// A stack overflow spends the thread's guard page, so a second one would end the process: once the
// handler has unwound the stack, _resetstkoflw puts the guard page back.
#if defined(_WIN32)

#include <malloc.h>
#include <windows.h>

#include "brimwarden/sweep/sweep.h"

namespace brimwarden {
namespace {

// Out of line: __except takes a fault only when it is raised inside a called function.
#if defined(_MSC_VER)
#define BRIMWARDEN_NOINLINE __declspec(noinline)
#else
#define BRIMWARDEN_NOINLINE __attribute__((noinline))
#endif

BRIMWARDEN_NOINLINE bool RunCatching(void (*step)()) {
  try {
    step();
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

bool RunContained(void (*step)()) {
  volatile bool completed = false;
  volatile DWORD code = 0;
  __try {
    completed = RunCatching(step);
  } __except (code = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
    completed = false;
  }
  // Here the stack is unwound back to this frame, where restoring the guard page is allowed.
  if (code == EXCEPTION_STACK_OVERFLOW) _resetstkoflw();
  return completed;
}

}  // namespace brimwarden

#endif  // defined(_WIN32)
