// The plugin shell: entry and exit, the logger's creation, and the process-wide objects. Everything
// here runs on the game thread, inside the framework's callbacks or the library's attach and
// detach notifications.
#pragma once

#include <string>

#include "brimwarden/host/game_types.h"
#include "brimwarden/logging/logging.h"

namespace brimwarden {

/// The name of the plugin's one logger.
extern const std::string LoggerName;

/// Creates the logger, loads the configuration, builds the roster and makes the registrations.
void Load();
/// Removes the registrations made by Load.
void Unload();

/// Describes the settings, the latest load and the sweep's counters: the "BWD.status" reply.
std::string StatusText();
/// The "BWD.status" RCON command: replies with StatusText().
void StatusCommand(RCONClientConnection* connection, RCONPacket* packet, UWorld* world);

/// Lists the sweep's last destroys, newest first: the "BWD.recent" reply.
std::string RecentDestroysText();
/// Ends a pause of the wipe guard if there is one, and says which: the "BWD.resume" reply.
std::string ResumeText();
/// The "BWD.resume" RCON command: replies with ResumeText().
void ResumeCommand(RCONClientConnection* connection, RCONPacket* packet, UWorld* world);
/// The "BWD.recent" RCON command: replies with RecentDestroysText().
void RecentCommand(RCONClientConnection* connection, RCONPacket* packet, UWorld* world);

/// Returns every process-wide object to its state at library load (settings zero, no zones, no
/// pending zones, roster without storage, document null). The logger handle is kept.
void ResetProcessObjects();

}  // namespace brimwarden
