// Pieces shared by the dev server's modes.
#pragma once

#include <filesystem>
#include <memory>

#include "app.h"
#include "rcon.h"
#include "server.h"

namespace brimwarden::devserver {

ServerOptions MakeServerOptions(const AppOptions& options, const std::filesystem::path& dir);
/// Creates a new directory under the system's temporary directory.
std::filesystem::path FreshTempDir();
/// Opens the RCON endpoint the options ask for, answering through `server`; null when none.
std::unique_ptr<RconEndpoint> OpenRcon(const AppOptions& options, DevServer& server);
/// Ticks at the server's rate and answers RCON clients until the user interrupts.
void ServeUntilStopped(DevServer& server, RconEndpoint* endpoint);

}  // namespace brimwarden::devserver
