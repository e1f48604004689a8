// The library's entry point: the loader's process attach runs Load, process detach runs Unload,
// and thread notifications run nothing. The answer is always TRUE, also when Load stopped early.
#include "brimwarden/plugin/plugin.h"

#if defined(_WIN32)
#include <windows.h>
#define BRIMWARDEN_ENTRY extern "C" __declspec(dllexport) BOOL WINAPI
using ModuleHandle = HINSTANCE;
using ReasonCode = DWORD;
#else
#define BRIMWARDEN_ENTRY extern "C" __attribute__((visibility("default"))) int
using ModuleHandle = void*;
using ReasonCode = unsigned long;
#endif

namespace {
constexpr ReasonCode kProcessDetach = 0;
constexpr ReasonCode kProcessAttach = 1;
}  // namespace

BRIMWARDEN_ENTRY DllMain(ModuleHandle /*module*/, ReasonCode reason, void* /*reserved*/) {
  switch (reason) {
    case kProcessAttach:
      brimwarden::Load();
      break;
    case kProcessDetach:
      brimwarden::Unload();
      break;
    default:
      break;
  }
  return 1;
}
