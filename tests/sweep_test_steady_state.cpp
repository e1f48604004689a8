// What the sweep costs once it runs: a step, a roster build and a live count allocate nothing of
// their own, and on Linux a step makes no system call once its thread has run a step before.
//
// The allocations are counted by this program's operator new (failing_allocator.h), which every
// allocation of the process reaches: the plugin's units linked in here, and on Linux the shared
// libraries too (they bind to the program's operator new), the plugin library's and the
// stand-in's. What the stand-in allocates for the game's own bookkeeping is told apart by its
// caller.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#endif

#include "failing_allocator.h"
#include "sweep_test_fixture.h"

namespace brimwarden::test {
namespace {

using SteadyStateTest = SweepFixture;

constexpr float kSpacing = 100.0F;

struct Allocations {
  long all;
  long own;  // the plugin's, not the stand-in's
};

/// The operator new calls made during `work`.
template <typename Work>
Allocations AllocationsIn(Work work) {
  allocations_counted = 0;
  own_allocations_counted = 0;
  counting_allocations = true;
  work();
  counting_allocations = false;
  return {allocations_counted.load(), own_allocations_counted.load()};
}

std::int64_t GameAllocatorCalls() {
  const standin::AllocatorStats stats = standin::GetAllocatorStats();
  return stats.mallocs + stats.reallocs + stats.frees;
}

/// 100 wild creatures sunk below the ground in a row, the last 50 inside a kill zone, a roster of
/// them, and two steps taken: each visit condemns its creature, those in the zone for both causes.
/// After these steps the stand-in's event log has room for the destroys of the next two (it keeps
/// its storage when cleared), and the roster, shrunk once, has room for 65 entries, so the next two
/// steps (down to 20) do not shrink it.
void MakeSunkWorldAndTakeTwoSteps() {
  PluginSettings.MaxDestroyShare = 1.0;  // a world where every creature goes: no wipe guard
  PluginSettings.KillZones = {
      {"Pit", {50.5F * kSpacing, -1000.0F, -100000.0F}, {200.0F * kSpacing, 1000.0F, 100000.0F}}};
  for (int id = 1; id <= 100; ++id) {
    standin::SpawnCreature(id, 0, {static_cast<float>(id) * kSpacing, 0.0F, kSunk});
  }
  BuildCreatureRoster();
  CastRayTickCallback(0.0F);
  CastRayTickCallback(0.0F);
  standin::ClearEvents();
}

// The normal path: a step that visits DinosPerTick creatures and destroys each for one cause or
// both; a roster build over a world of creatures, tamed ones among them; a count over the same
// world. None may allocate for itself: not for a game name (each keeps its text), not for a count.
// The roster's own storage and the game's list come from the game allocator, as they must.
TEST_F(SteadyStateTest, StepBuildAndCountAllocateNothingOfTheirOwn) {
  MakeSunkWorldAndTakeTwoSteps();
  ASSERT_EQ(CreatureRoster.Max(), 65);
  const std::int64_t game_calls_before = GameAllocatorCalls();
  const Allocations step = AllocationsIn([] {
    CastRayTickCallback(0.0F);
    CastRayTickCallback(0.0F);
  });
  EXPECT_EQ(step.own, 0);
  EXPECT_EQ(GameAllocatorCalls(), game_calls_before);  // nor the game allocator
  // The steps did their work: 80 visits in all, the last 40 of them measured.
  EXPECT_EQ(SweepStats.Visits, 80U);
  EXPECT_EQ(SweepStats.DestroyedInKillZones, 50U);
  EXPECT_EQ(SweepStats.DestroyedNoGround, 30U);
  EXPECT_EQ(DestroyRequests().size(), 10U * 2 + 30U);

  FreshWorld();
  for (int id = 100; id < 400; ++id) {
    standin::SpawnCreature(id, id % 3 == 0 ? 50000 : 0, {static_cast<float>(id), 0.0F, kStanding});
  }
#if !defined(_WIN32)
  // The stand-in's allocations reach this program's operator new, and are told apart.
  EXPECT_GT(step.all, 0);  // it records each destroy
#endif
  EXPECT_EQ(AllocationsIn(&BuildCreatureRoster).own, 0);
  EXPECT_EQ(CreatureRoster.Num(), 200);

  std::optional<CreatureCount> count;
  EXPECT_EQ(AllocationsIn([&count] {
              count = CountCreaturesInBox({99, -1, 0}, {400, 1, 1000});
            }).own,
            0);
  ASSERT_TRUE(count.has_value());
  EXPECT_EQ(count->Wild, 200);
  EXPECT_EQ(count->Tamed, 100);
}

#if !defined(_WIN32)
// What a child process reports through memory it shares with the test.
struct SystemCallReport {
  int unavailable_errno = 0;
  std::atomic<int> trapped{0};
  int numbers[16] = {};
  std::uint64_t visits = 0;
  bool done = false;
};
SystemCallReport* g_report = nullptr;

void RecordSystemCall(int /*signal*/, siginfo_t* info, void* /*context*/) {
  const int index = g_report->trapped.fetch_add(1);
  if (index < static_cast<int>(std::size(g_report->numbers))) {
    g_report->numbers[index] = info->si_syscall;
  }
}

// Traps every system call of the calling process but the return from a signal handler and the
// exit of the process.
int TrapSystemCalls() {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_sigaction = RecordSystemCall;
  action.sa_flags = SA_SIGINFO;
  if (sigaction(SIGSYS, &action, nullptr) != 0) return errno;
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_rt_sigreturn, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_exit_group, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program {};
  program.len = static_cast<unsigned short>(std::size(filter));
  program.filter = filter;
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) return errno;
  return 0;
}

// Once a thread has run a step, its next steps make no system call: every one is trapped in a
// child process (a filter cannot be taken off again) around a step of the normal path. The
// creatures stand on the ground outside the zones, so that nothing is destroyed: the stand-in's
// bookkeeping of a destroy allocates, and its allocator may ask the kernel for memory.
TEST_F(SteadyStateTest, AStepMakesNoSystemCallOnceItsThreadHasRunOne) {
  PluginSettings.KillZones = {
      {"Pit", {-3000.0F, -1000.0F, -100000.0F}, {-2000.0F, 1000.0F, 100000.0F}},
      {"Quarry", {9000.0F, -1000.0F, -100000.0F}, {9900.0F, 1000.0F, 100000.0F}}};
  for (int id = 1; id <= 80; ++id) {
    standin::SpawnCreature(id, 0, {static_cast<float>(id) * kSpacing, 0.0F, kStanding});
  }
  BuildCreatureRoster();
  CastRayTickCallback(0.0F);
  void* const shared = mmap(nullptr, sizeof(SystemCallReport), PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  g_report = new (shared) SystemCallReport{};
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    // The child's thread is a new one to the guard: its first step may make system calls.
    CastRayTickCallback(0.0F);
    g_report->unavailable_errno = TrapSystemCalls();
    if (g_report->unavailable_errno == 0) {
      CastRayTickCallback(0.0F);
      g_report->visits = SweepStats.Visits;
      g_report->done = true;
    }
    // The system call itself, not _exit: the address sanitizer prepares for a call that does not
    // return with a system call of its own.
    syscall(SYS_exit_group, 0);
    __builtin_unreachable();
  }
  // A step whose system call fails may leave the child hanging: it is given a minute.
  int status = 0;
  pid_t waited = 0;
  for (int tries = 0; tries < 6000 && waited == 0; ++tries) {
    waited = waitpid(child, &status, WNOHANG);
    if (waited == 0) usleep(10000);
  }
  if (waited == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  EXPECT_EQ(waited, child) << "the child did not end: a system call in the step failed";
  const int unavailable_errno = g_report->unavailable_errno;
  const int trapped = g_report->trapped.load();
  const std::uint64_t visits = g_report->visits;
  const bool done = g_report->done;
  std::ostringstream numbers;
  for (int i = 0; i < trapped && i < static_cast<int>(std::size(g_report->numbers)); ++i) {
    numbers << ' ' << g_report->numbers[i];
  }
  munmap(shared, sizeof(SystemCallReport));
  g_report = nullptr;
  if (unavailable_errno != 0) {
    GTEST_SKIP() << "the kernel refuses a seccomp filter: errno " << unavailable_errno;
  }
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_TRUE(done);
  EXPECT_EQ(visits, 60U);  // the steps ran: 20 before the fork, 40 in the child
  EXPECT_EQ(trapped, 0) << "system calls made in the step:" << numbers.str();
}
#endif

}  // namespace
}  // namespace brimwarden::test
