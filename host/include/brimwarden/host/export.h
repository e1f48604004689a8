// Symbol visibility for the framework's exports. The framework library (here, the stand-in)
// defines BRIMWARDEN_BUILDING_FRAMEWORK; the plugin imports the same symbols.
#pragma once

#if defined(_WIN32)
#if defined(BRIMWARDEN_BUILDING_FRAMEWORK)
#define BRIMWARDEN_FRAMEWORK_API __declspec(dllexport)
#else
#define BRIMWARDEN_FRAMEWORK_API __declspec(dllimport)
#endif
#else
#define BRIMWARDEN_FRAMEWORK_API __attribute__((visibility("default")))
#endif
