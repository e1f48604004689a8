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

#include <cxxabi.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
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

// The threads with a guard armed, each with its innermost frame. The library keeps no thread-local
// storage: a dynamic thread-local block would stay in every thread's vector after the library is
// unloaded, where the C library and the sanitizers' leak checker still find it. A slot is claimed
// by a thread when it arms its outermost guard and given back when that guard disarms; only the
// thread that owns a slot writes its frame, and the handler reads only the slot of its own thread.
constexpr std::size_t kArmedSlots = 64;
struct ArmedThread {
  std::atomic<pid_t> thread{0};
  std::atomic<GuardFrame*> innermost{nullptr};
};
ArmedThread g_armed[kArmedSlots];

// The kernel's id of the calling thread: a system call, safe in a signal handler.
pid_t CurrentThread() noexcept { return static_cast<pid_t>(syscall(SYS_gettid)); }

// Out of line, as are ClaimSlot and EnsureAltStack: their loops must not share a frame with
// RunContained's jump point, where the jump could clobber them.
__attribute__((noinline)) ArmedThread* SlotOf(pid_t thread) noexcept {
  for (ArmedThread& slot : g_armed) {
    if (slot.thread.load() == thread) return &slot;
  }
  return nullptr;
}

__attribute__((noinline)) ArmedThread* ClaimSlot(pid_t thread) noexcept {
  for (ArmedThread& slot : g_armed) {
    pid_t free_slot = 0;
    if (slot.thread.compare_exchange_strong(free_slot, thread)) return &slot;
  }
  return nullptr;
}

// The alternate stacks this copy of the guard gave to threads, so that unloading can free the
// unloading thread's one.
constexpr std::size_t kAltStackSlots = 64;
struct GivenAltStack {
  std::atomic<pid_t> thread{0};
  void* memory = nullptr;
};
GivenAltStack g_alt_stacks[kAltStackSlots];

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
  if (ArmedThread* const slot = SlotOf(CurrentThread())) {
    if (GuardFrame* const frame = slot->innermost.load()) {
      slot->innermost.store(frame->outer);
      siglongjmp(frame->resume, 1);
    }
  }
  PassOn(signal, info, context);
}

void RemoveHandlers() noexcept;

struct HandlerRemoval {
  HandlerRemoval() = default;
  HandlerRemoval(const HandlerRemoval&) = delete;
  HandlerRemoval& operator=(const HandlerRemoval&) = delete;
  ~HandlerRemoval() { RemoveHandlers(); }
};

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
  // The handlers go at the library's teardown. Made here, at the first guarded step, rather than
  // when the library is mapped: objects are destroyed in the reverse order of their making, and
  // the object whose destruction runs Unload (itself guarded) is still being made around Load's
  // guarded steps, so it goes first and its Unload still finds the handlers in place.
  static const HandlerRemoval removal;
}

// Gives the calling thread an alternate signal stack unless it has one already. The stack is
// never freed while the thread may use it (see RemoveHandlers).
__attribute__((noinline)) void EnsureAltStack(pid_t thread) {
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) return;
  GivenAltStack* record = nullptr;
  for (GivenAltStack& slot : g_alt_stacks) {
    pid_t free_slot = 0;
    if (slot.thread.compare_exchange_strong(free_slot, thread)) {
      record = &slot;
      break;
    }
  }
  // Without an alternate stack every fault but a stack overflow is still contained.
  if (record == nullptr) return;
  const long suggested = sysconf(_SC_SIGSTKSZ);
  const std::size_t bytes = suggested > static_cast<long>(kMinimumAltStackBytes)
                                ? static_cast<std::size_t>(suggested)
                                : kMinimumAltStackBytes;
  void* const memory = std::malloc(bytes);
  stack_t stack{};
  stack.ss_sp = memory;
  stack.ss_size = bytes;
  if (memory == nullptr || sigaltstack(&stack, nullptr) != 0) {
    std::free(memory);
    record->thread.store(0);
    return;
  }
  record->memory = memory;
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
  // The unloading thread is normally the game thread, the one that ran the steps. The stacks
  // given to other threads stay: those threads may still be running.
  const pid_t self = CurrentThread();
  for (GivenAltStack& slot : g_alt_stacks) {
    if (slot.thread.load() != self) continue;
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == slot.memory &&
        (current.ss_flags & SS_ONSTACK) == 0) {
      stack_t off{};
      off.ss_flags = SS_DISABLE;
      if (sigaltstack(&off, nullptr) == 0) {
        std::free(slot.memory);
        slot.memory = nullptr;
        slot.thread.store(0);
      }
    }
  }
}

void Disarm(ArmedThread& slot, GuardFrame* outer) noexcept {
  slot.innermost.store(outer);
  if (outer == nullptr) slot.thread.store(0);
}

// Runs the step with every C++ exception caught but the forced unwind of a cancelled thread, which
// the C++ runtime requires to go on (it aborts the process when a handler swallows it): the guard
// is disarmed and the unwind passes. A separate frame with no owning locals, so that a jump back
// from a fault skips nothing that needs destroying. The forced unwind carries no object, which
// the undefined-behaviour sanitizer takes for a reference bound to null: the runtime's own idiom,
// so that check stays out of this frame.
__attribute__((noinline, no_sanitize("null"))) bool RunCatching(void (*step)(), ArmedThread* slot,
                                                                GuardFrame* outer) {
  try {
    step();
    return true;
  } catch (abi::__forced_unwind&) {
    if (slot != nullptr) Disarm(*slot, outer);
    throw;
  } catch (...) {
    return false;
  }
}

}  // namespace

bool RunContained(void (*step)()) {
  std::call_once(g_install_once, InstallHandlers);
  const pid_t self = CurrentThread();
  ArmedThread* slot = SlotOf(self);
  if (slot == nullptr) slot = ClaimSlot(self);
  // More threads in a step at once than there are slots: exceptions are still caught, a fault on
  // this thread goes to the handler that was there before.
  if (slot == nullptr) return RunCatching(step, nullptr, nullptr);
  EnsureAltStack(self);

  GuardFrame frame;
  frame.outer = slot->innermost.load();
  // The saved signal mask comes back with the jump.
  if (sigsetjmp(frame.resume, 1) != 0) {
    Disarm(*slot, frame.outer);
    return false;
  }
  slot->innermost.store(&frame);
  const bool completed = RunCatching(step, slot, frame.outer);
  Disarm(*slot, frame.outer);
  return completed;
}

}  // namespace brimwarden

#endif  // !defined(_WIN32)
