// brimwarden-check CONFIG_FILE [KEY...]: see config_check.h and the README's configuration section.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "brimwarden/standin/standin.h"
#include "config_check.h"
#include "platform.h"

int main(int argc, char** argv) {
  using namespace brimwarden::configcheck;
  std::vector<std::string> arguments = brimwarden::devserver::ProgramArguments(argc, argv);
  if (!arguments.empty()) arguments.erase(arguments.begin());
  if (arguments.size() == 1 && (arguments[0] == "--help" || arguments[0] == "-h")) {
    std::fputs(Usage().c_str(), stdout);
    return kAllLoaded;
  }
  if (arguments.size() == 1 && arguments[0] == "--version") {
    std::puts("brimwarden-check " BRIMWARDEN_VERSION);
    return kAllLoaded;
  }
  // The plugin's code reaches the framework only through the stand-in, which answers once set up.
  standin::SetUp();
  try {
    std::string report;
    const int code = RunCheck(arguments, report);
    if (code == kBadUsage) {
      std::fputs(Usage().c_str(), stderr);
      return code;
    }
    std::fwrite(report.data(), 1, report.size(), stdout);
    return code;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "brimwarden-check: %s\n", error.what());
    return kSomeFailed;
  }
}
