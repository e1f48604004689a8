// Compiled into every test program, benchmark and fuzzer that hosts the stand-in: sets it up
// before main, so that the plugin's Load finds it ready however the program starts.
#include "brimwarden/standin/standin.h"

namespace {
const bool kStandInSetUp = (standin::SetUp(), true);
}  // namespace
