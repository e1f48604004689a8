// The dev server's three ways to run: the default scenario, a script, and the live prompt.
#pragma once

#include <string>
#include <vector>

namespace brimwarden::devserver {

struct AppOptions {
  std::string dir;     // server directory; empty: a fresh temporary one
  std::string script;  // script file; empty: no script
  std::string events;  // events file, "-" for standard output; empty: readable lines
  std::string map;     // map picture to write at the end; empty: none (scenario: DIR/map.svg)
  std::string plugin;  // plugin library; empty: beside this program
  bool interactive = false;
  int rcon_port = 0;  // 0: no RCON endpoint
  std::string rcon_password;
  bool has_server_key = false;
  std::string server_key;  // as the plugin reads it: the first -serverkey= argument
};

/// Parses the command line. Throws std::invalid_argument for an unknown or incomplete option.
AppOptions ParseArguments(const std::vector<std::string>& arguments);
std::string Usage();

int RunScenario(const AppOptions& options);
int RunScript(const AppOptions& options);
int RunPrompt(const AppOptions& options);

/// Set when the user interrupts (Ctrl-C) or the program is asked to terminate.
bool StopRequested();
void RequestStop();

}  // namespace brimwarden::devserver
