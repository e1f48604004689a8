// The fault guard's cost on the normal path: RunContained around a step that does nothing, against
// the same step called directly. The difference between the two is what the guard adds to every
// sweep step and every live count, whatever the step does; the ratio says little, its floor being
// a bare call.
#include "bench_support.h"
#include "brimwarden/sweep/sweep.h"

namespace {

// Out of line and called through a pointer the compiler cannot see through, in both benchmarks.
__attribute__((noinline)) void EmptyStep() { benchmark::ClobberMemory(); }
void (*volatile g_step)() = &EmptyStep;

void DirectCall(benchmark::State& state) {
  for (auto _ : state) g_step();
}

void GuardedCall(benchmark::State& state) {
  bool contained = false;
  for (auto _ : state) contained = !brimwarden::RunContained(g_step) || contained;
  if (contained) state.SkipWithError("the guard reported a fault in an empty step");
}

}  // namespace

int main(int argc, char** argv) {
  brimwarden::bench::RegisterFloor("EmptyStepCalledDirectly", DirectCall);
  brimwarden::bench::RegisterAgainst("RunContained/empty_step", "EmptyStepCalledDirectly",
                                     GuardedCall);
  return brimwarden::bench::RunBenchmarks(argc, argv);
}
