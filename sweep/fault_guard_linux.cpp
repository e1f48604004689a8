// The fault guard on Linux: a step runs with a jump point armed for its thread, and a handler for
// the fault signals jumps back to it. The handlers are installed once and stay installed; while no
// guard is armed on the faulting thread they pass the signal on to whatever handled it before (or
// to the default action), so a fault outside a step still ends the process as it would have.
//
// A jump back skips every frame between the fault and the guard without running destructors, so
// the guarded code keeps no owning locals, and nothing is logged from the handler itself: the
// caller logs after RunContained has returned.
//
// After its thread's first step, a step makes no system call: the thread is told apart without
// asking the kernel, its alternate signal stack is checked at its first step only, and no signal
// mask is saved at the jump point (the handler sets one before it jumps).
#if !defined(_WIN32)

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <mutex>

#include <cxxabi.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <ucontext.h>
#include <unistd.h>

#include "brimwarden/sweep/sweep.h"

namespace brimwarden {
namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr std::size_t kSignalCount = std::size(kFaultSignals);
// The handler runs on an alternate stack so that a stack overflow can be contained too. It also
// has to hold any handler it passes a signal on to.
constexpr std::size_t kMinimumAltStackBytes = std::size_t{256} * 1024;

// A thread as the guard tells threads apart: the id of its CPU-time clock, one per live thread,
// which the C library computes from the thread id it keeps, with no system call (checked by the
// sweep's tests), where asking the kernel for the thread id is one. Safe in a signal handler: it
// only reads the calling thread's own descriptor. 0 (the real-time clock, never a thread's) marks
// a free slot below.
using ThreadKey = clockid_t;
constexpr ThreadKey kNoThread = 0;

ThreadKey CurrentThread() noexcept {
  ThreadKey clock = kNoThread;
  pthread_getcpuclockid(pthread_self(), &clock);
  return clock;
}

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
  std::atomic<ThreadKey> thread{kNoThread};
  std::atomic<GuardFrame*> innermost{nullptr};
};
ArmedThread g_armed[kArmedSlots];

// Out of line, as are ClaimSlot, IsKnownThread and MeetThread: their loops must not share a frame
// with RunContained's jump point, where the jump could clobber them.
__attribute__((noinline)) ArmedThread* SlotOf(ThreadKey thread) noexcept {
  for (ArmedThread& slot : g_armed) {
    if (slot.thread.load() == thread) return &slot;
  }
  return nullptr;
}

__attribute__((noinline)) ArmedThread* ClaimSlot(ThreadKey thread) noexcept {
  for (ArmedThread& slot : g_armed) {
    ThreadKey free_slot = kNoThread;
    if (slot.thread.compare_exchange_strong(free_slot, thread)) return &slot;
  }
  return nullptr;
}

// The threads that have run a step, each with the alternate stack this copy of the guard gave it
// (null where the thread had one of its own). A thread's first step checks its alternate stack,
// which takes system calls; its later steps find the thread here and make none. A record matches
// on the thread's clock and its handle both: only a thread that took over both the id and the
// stack of an ended thread could be taken for it, and only until that record is given back. The
// records of ended threads are given back, their stacks freed, at the next first step of any
// thread and at unload. Records are written under g_known_mutex; a thread reads them without it,
// looking only for its own.
constexpr std::size_t kKnownThreadSlots = 64;
struct KnownThread {
  std::atomic<ThreadKey> thread{kNoThread};
  std::atomic<pthread_t> handle{};
  pid_t id = 0;  // the kernel's, to tell whether the thread still runs
  void* alt_stack = nullptr;
};
KnownThread g_known[kKnownThreadSlots];
std::mutex g_known_mutex;

struct sigaction g_previous[kSignalCount];
std::atomic<bool> g_installed{false};
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

// Sets the signal mask the faulting code ran with, with the fault signals unblocked, before the
// jump back to the guard. The jump restores no mask: saving one at every step would cost a system
// call, and the handler has the one it needs. Entered by the kernel, the handler runs with that
// very mask already (SA_NODEFER, nothing added), but a handler installed over ours that passes the
// fault on may run with more blocked, the fault signal among them, and a fault signal left blocked
// ends the process at the next fault. So this system call is made on the fault path only.
void RestoreFaultingMask(int signal, const void* context) noexcept {
  sigset_t mask;
  if (context != nullptr) {
    mask = static_cast<const ucontext_t*>(context)->uc_sigmask;
  } else if (pthread_sigmask(SIG_SETMASK, nullptr, &mask) != 0) {
    return;
  }
  for (const int fault_signal : kFaultSignals) sigdelset(&mask, fault_signal);
  sigdelset(&mask, signal);
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
}

void HandleFault(int signal, siginfo_t* info, void* context) {
  if (ArmedThread* const slot = SlotOf(CurrentThread())) {
    if (GuardFrame* const frame = slot->innermost.load()) {
      slot->innermost.store(frame->outer);
      RestoreFaultingMask(signal, context);
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
  // The handlers go at the library's teardown. Made here, at the first guarded step, rather than
  // when the library is mapped: objects are destroyed in the reverse order of their making, and
  // the object whose destruction runs Unload (itself guarded) is still being made around Load's
  // guarded steps, so it goes first and its Unload still finds the handlers in place.
  static const HandlerRemoval removal;
  g_installed.store(true, std::memory_order_release);
}

// Whether the calling thread has run a step before (and so has had its alternate stack checked).
__attribute__((noinline)) bool IsKnownThread(ThreadKey thread) noexcept {
  const pthread_t handle = pthread_self();
  for (KnownThread& known : g_known) {
    if (known.thread.load(std::memory_order_acquire) == thread &&
        pthread_equal(known.handle.load(std::memory_order_relaxed), handle) != 0) {
      return true;
    }
  }
  return false;
}

// Gives back the record of each thread that has ended, with the alternate stack it was given. The
// calling thread may have inherited one of those stacks across a fork (its id is a new one then):
// that record becomes its own. Needs g_known_mutex.
void ForgetEndedThreads(ThreadKey self, const stack_t& own_stack) {
  const pid_t process = getpid();
  for (KnownThread& known : g_known) {
    if (known.thread.load() == kNoThread || known.thread.load() == self) continue;
    if (syscall(SYS_tgkill, process, known.id, 0) == 0 || errno != ESRCH) continue;
    if (known.alt_stack != nullptr && own_stack.ss_sp == known.alt_stack &&
        (own_stack.ss_flags & SS_DISABLE) == 0) {
      known.id = static_cast<pid_t>(syscall(SYS_gettid));
      known.handle.store(pthread_self(), std::memory_order_relaxed);
      known.thread.store(self, std::memory_order_release);
      continue;
    }
    known.thread.store(kNoThread);
    std::free(known.alt_stack);
    known.alt_stack = nullptr;
  }
}

// The first step of a thread: gives it an alternate signal stack unless it has one already, and
// records it. The stack is never freed while the thread may use it (see RemoveHandlers). A thread
// that finds no free record, or no memory for its stack, goes through this again at its next step.
__attribute__((noinline)) void MeetThread(ThreadKey self) {
  const std::lock_guard<std::mutex> lock(g_known_mutex);
  stack_t current{};
  if (sigaltstack(nullptr, &current) != 0) return;
  ForgetEndedThreads(self, current);
  if (IsKnownThread(self)) return;  // the stack it inherited
  KnownThread* record = nullptr;
  for (KnownThread& known : g_known) {
    if (known.thread.load() == kNoThread) {
      record = &known;
      break;
    }
  }
  // Without an alternate stack every fault but a stack overflow is still contained.
  if (record == nullptr) return;
  void* given = nullptr;
  if ((current.ss_flags & SS_DISABLE) != 0) {
    const long suggested = sysconf(_SC_SIGSTKSZ);
    const std::size_t bytes = suggested > static_cast<long>(kMinimumAltStackBytes)
                                  ? static_cast<std::size_t>(suggested)
                                  : kMinimumAltStackBytes;
    given = std::malloc(bytes);
    stack_t stack{};
    stack.ss_sp = given;
    stack.ss_size = bytes;
    if (given == nullptr || sigaltstack(&stack, nullptr) != 0) {
      std::free(given);
      return;
    }
  }
  record->id = static_cast<pid_t>(syscall(SYS_gettid));
  record->alt_stack = given;
  record->handle.store(pthread_self(), std::memory_order_relaxed);
  record->thread.store(self, std::memory_order_release);
}

// At unload the handlers must go, or a later fault would jump into unmapped code. Handlers that
// someone installed over ours stay: they were told ours was the previous one.
void RemoveHandlers() noexcept {
  if (g_installed.load()) {
    for (std::size_t slot = 0; slot < kSignalCount; ++slot) {
      struct sigaction current {};
      if (sigaction(kFaultSignals[slot], nullptr, &current) == 0 && IsOurs(current)) {
        sigaction(kFaultSignals[slot], &g_previous[slot], nullptr);
      }
    }
  }
  // The unloading thread is normally the game thread, the one that ran the steps. The stacks of
  // threads that have ended go too; those given to other threads stay: they may still be running.
  const std::lock_guard<std::mutex> lock(g_known_mutex);
  stack_t current{};
  if (sigaltstack(nullptr, &current) != 0) return;
  const ThreadKey self = CurrentThread();
  ForgetEndedThreads(self, current);
  for (KnownThread& known : g_known) {
    if (known.thread.load() != self || known.alt_stack == nullptr) continue;
    if (current.ss_sp == known.alt_stack && (current.ss_flags & SS_ONSTACK) == 0) {
      stack_t off{};
      off.ss_flags = SS_DISABLE;
      if (sigaltstack(&off, nullptr) == 0) {
        std::free(known.alt_stack);
        known.alt_stack = nullptr;
        known.thread.store(kNoThread);
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
  if (!g_installed.load(std::memory_order_acquire)) std::call_once(g_install_once, InstallHandlers);
  const ThreadKey self = CurrentThread();
  if (!IsKnownThread(self)) MeetThread(self);
  ArmedThread* slot = SlotOf(self);
  if (slot == nullptr) slot = ClaimSlot(self);
  // More threads in a step at once than there are slots: exceptions are still caught, a fault on
  // this thread goes to the handler that was there before.
  if (slot == nullptr) return RunCatching(step, nullptr, nullptr);

  GuardFrame frame;
  frame.outer = slot->innermost.load();
  // No mask is saved here: the handler sets the faulting code's before it jumps.
  if (sigsetjmp(frame.resume, 0) != 0) {
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
