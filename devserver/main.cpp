// brimwarden-devserver: a stand-in dedicated server that loads the plugin library the way the
// framework does and drives a world tick by tick. See the README for its modes and commands.
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "app.h"
#include "brimwarden/standin/standin.h"
#include "platform.h"

int main(int argc, char** argv) {
  using namespace brimwarden::devserver;
  const std::vector<std::string> arguments = ProgramArguments(argc, argv);
  for (const std::string& argument : arguments) {
    if (argument == "--help") {
      std::fputs(Usage().c_str(), stdout);
      return 0;
    }
    if (argument == "--version") {
      std::puts("brimwarden-devserver " BRIMWARDEN_VERSION);
      return 0;
    }
  }
  standin::SetUp();
  AppOptions options;
  try {
    options = ParseArguments(arguments);
  } catch (const std::invalid_argument& error) {
    std::fprintf(stderr, "brimwarden-devserver: %s\n%s", error.what(), Usage().c_str());
    return 2;
  }
  OnInterrupt(RequestStop);
  try {
    if (options.interactive) return RunPrompt(options);
    if (!options.script.empty()) return RunScript(options);
    if (!options.has_server_key) {
      // The plugin reads its key from the process's own command line: start again with one.
      std::fprintf(stderr,
                   "brimwarden-devserver: no -serverkey= given, using -serverkey=DevServer\n");
      std::fflush(stderr);
      const int code = RerunWithArgument(argc, argv, "-serverkey=DevServer");
      if (code >= 0) return code;
      std::fprintf(stderr, "brimwarden-devserver: cannot start again; pass -serverkey=KEY\n");
      return 1;
    }
    return RunScenario(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "brimwarden-devserver: %s\n", error.what());
    return 1;
  }
}
