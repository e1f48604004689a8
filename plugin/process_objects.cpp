// The plugin's process-wide objects. They are defined here, in one translation unit, so that they
// are created in this order when the library is loaded and destroyed in the reverse order when it
// is unloaded; the logger handle is created at its first use in Load, so it goes first. The game
// names come before all of them (game_names.h): Load and Unload run inside this order and resolve
// names, and so does the roster's destruction.
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "brimwarden/config/config.h"
#include "brimwarden/host/game_names.h"
#include "brimwarden/plugin/plugin.h"
#include "brimwarden/sweep/sweep.h"
#include "brimwarden/zones/zones.h"

namespace brimwarden {

const std::string LoggerName = "Brimwarden";
std::map<AShooterPlayerController*, PendingZone> PendingZones;
Settings PluginSettings;
// Destroyed after Unload: its storage goes back through "FMemory.Free", so the framework's name
// resolution must still answer at that point.
HostArray<AActor*> CreatureRoster;
nlohmann::json ConfigDocument;
// Plain counts from the moment the library is loaded; a reload leaves them alone.
SweepCounters SweepStats;
DestroyHistory RecentDestroys;

void ResetProcessObjects() {
  PendingZones.clear();
  PluginSettings = Settings{};
  CreatureRoster.FreeStorage();
  ConfigDocument = nullptr;
  SweepStats = SweepCounters{};
  RecentDestroys = DestroyHistory{};
}

}  // namespace brimwarden

#if defined(BRIMWARDEN_PLUGIN_MODULE) && !defined(_WIN32)
// On Linux, dlopen and dlclose play the loader's attach and detach notifications: this object is
// defined after every other one, so it is created last and destroyed first.
extern "C" int DllMain(void* module, unsigned long reason, void* reserved);

namespace {

struct LoadNotifier {
  LoadNotifier() { DllMain(nullptr, 1, nullptr); }
  ~LoadNotifier() { DllMain(nullptr, 0, nullptr); }
  LoadNotifier(const LoadNotifier&) = delete;
  LoadNotifier& operator=(const LoadNotifier&) = delete;
};

const LoadNotifier kLoadNotifier;

}  // namespace
#endif
