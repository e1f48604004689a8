// The fault guard on Linux: a step runs with a jump point armed for its thread, and a handler for
// the fault signals jumps back to it. The handlers are installed once and stay installed; while no
// guard is armed on the faulting thread they pass the signal on to whatever handled it before (or
// to the default action), so a fault outside a step still ends the process as it would have.
//
// A jump back skips every frame between the fault and the guard without running destructors, so
// the guarded code keeps no owning locals, and nothing is logged from the handler itself: the
// caller logs after RunContained has returned.
#if !defined(_WIN32)

#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <iterator>
#include <mutex>

#include <setjmp.h>
#include <signal.h>
#include <unistd.h>

#include "brimwarden/sweep/sweep.h"

namespace brimwarden {
namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr std::size_t kSignalCount = std::size(kFaultSignals);
// The handler runs on an alternate stack so that a stack overflow can be contained too. It also
// has to hold any handler it passes a signal on to.
constexpr std::size_t kMinimumAltStackBytes = std::size_t{256} * 1024;

// One armed guard: where a fault on its thread resumes, and the guard it is nested in.
struct GuardFrame {
  sigjmp_buf resume;
  GuardFrame* outer;
};

thread_local GuardFrame* t_armed = nullptr;
// The alternate stack this copy of the guard gave the thread, if any.
thread_local void* t_alt_stack = nullptr;
thread_local bool t_alt_stack_checked = false;
// Threads with a guard armed. The handler reads the thread-local frame only when this is nonzero:
// the first touch of a loaded library's thread-local storage on a thread may allocate, which a
// signal handler must not do on a thread that never armed a guard.
std::atomic<int> g_armed_threads{0};

struct sigaction g_previous[kSignalCount];
bool g_installed = false;
std::once_flag g_install_once;

void HandleFault(int signal, siginfo_t* info, void* context);

bool IsOurs(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == HandleFault;
}

// Hands a fault that no guard takes to the handler that was there before ours.
void PassOn(int signal, siginfo_t* info, void* context) {
  std::size_t slot = 0;
  while (slot < kSignalCount && kFaultSignals[slot] != signal) ++slot;
  const struct sigaction& previous = g_previous[slot];
  const bool sent = info == nullptr || info->si_code <= 0;  // by kill or raise, not the hardware
  if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
    previous.sa_sigaction(signal, info, context);
    return;
  }
  if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
    return;
  }
  if (previous.sa_handler == SIG_IGN && sent) return;
  // The default action. A hardware fault happens again when the handler returns and now ends the
  // process (an ignored one would repeat forever); a sent signal is raised again.
  struct sigaction fallback {};
  sigemptyset(&fallback.sa_mask);
  fallback.sa_handler = SIG_DFL;
  sigaction(signal, &fallback, nullptr);
  if (sent) raise(signal);
}

void HandleFault(int signal, siginfo_t* info, void* context) {
  if (g_armed_threads.load() > 0) {
    if (GuardFrame* const frame = t_armed) {
      t_armed = frame->outer;
      siglongjmp(frame->resume, 1);
    }
  }
  PassOn(signal, info, context);
}

void InstallHandlers() {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_sigaction = HandleFault;
  // SA_NODEFER: the jump leaves the handler for good, so the signal must not stay blocked.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  for (std::size_t slot = 0; slot < kSignalCount; ++slot) {
    sigaction(kFaultSignals[slot], &action, &g_previous[slot]);
  }
  g_installed = true;
}

// Gives the calling thread an alternate signal stack unless it has one already. The stack is
// never freed while the thread may use it (see RemoveHandlers).
void EnsureAltStack() {
  if (t_alt_stack_checked) return;
  t_alt_stack_checked = true;
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) return;
  const long suggested = sysconf(_SC_SIGSTKSZ);
  const std::size_t bytes = suggested > static_cast<long>(kMinimumAltStackBytes)
                                ? static_cast<std::size_t>(suggested)
                                : kMinimumAltStackBytes;
  // Without an alternate stack every fault but a stack overflow is still contained.
  void* const memory = std::malloc(bytes);
  if (memory == nullptr) return;
  stack_t stack{};
  stack.ss_sp = memory;
  stack.ss_size = bytes;
  if (sigaltstack(&stack, nullptr) != 0) {
    std::free(memory);
    return;
  }
  t_alt_stack = memory;
}

// At unload the handlers must go, or a later fault would jump into unmapped code. Handlers that
// someone installed over ours stay: they were told ours was the previous one.
void RemoveHandlers() noexcept {
  if (g_installed) {
    for (std::size_t slot = 0; slot < kSignalCount; ++slot) {
      struct sigaction current {};
      if (sigaction(kFaultSignals[slot], nullptr, &current) == 0 && IsOurs(current)) {
        sigaction(kFaultSignals[slot], &g_previous[slot], nullptr);
      }
    }
  }
  // The unloading thread is normally the game thread, the one that ran the steps.
  if (t_alt_stack != nullptr) {
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == t_alt_stack &&
        (current.ss_flags & SS_ONSTACK) == 0) {
      stack_t off{};
      off.ss_flags = SS_DISABLE;
      if (sigaltstack(&off, nullptr) == 0) {
        std::free(t_alt_stack);
        t_alt_stack = nullptr;
      }
    }
  }
}

struct HandlerRemoval {
  HandlerRemoval() = default;
  HandlerRemoval(const HandlerRemoval&) = delete;
  HandlerRemoval& operator=(const HandlerRemoval&) = delete;
  ~HandlerRemoval() { RemoveHandlers(); }
};
const HandlerRemoval kHandlerRemoval;

// Runs the step with every C++ exception caught. A separate frame with no owning locals, so that
// a jump back from a fault skips nothing that needs destroying.
__attribute__((noinline)) bool RunCatching(void (*step)()) noexcept {
  try {
    step();
    return true;
  } catch (...) {
    return false;
  }
}

void Disarm(GuardFrame* outer) {
  t_armed = outer;
  if (outer == nullptr) g_armed_threads.fetch_sub(1);
}

}  // namespace

bool RunContained(void (*step)()) {
  std::call_once(g_install_once, InstallHandlers);
  EnsureAltStack();

  GuardFrame frame;
  frame.outer = t_armed;
  if (frame.outer == nullptr) g_armed_threads.fetch_add(1);
  // The saved signal mask comes back with the jump.
  if (sigsetjmp(frame.resume, 1) != 0) {
    Disarm(frame.outer);
    return false;
  }
  t_armed = &frame;
  const bool completed = RunCatching(step);
  Disarm(frame.outer);
  return completed;
}

}  // namespace brimwarden

#endif  // !defined(_WIN32)
