// brimwarden-check: the configuration check for admins who edit the shared "config.json" by hand.
// It runs the plugin's own load of each section against the file and reports what the plugin
// would hold and log, without writing anything.
#pragma once

#include <string>
#include <vector>

namespace brimwarden::configcheck {

/// Exit codes: every section loaded, one did not, the command line was wrong.
inline constexpr int kAllLoaded = 0;
inline constexpr int kSomeFailed = 1;
inline constexpr int kBadUsage = 2;

/// The command line's help text.
std::string Usage();

/// Checks the file named by `arguments[0]` for each key that follows (every section of the file
/// when none does): appends the report to `report` and returns the exit code. `arguments` are the
/// program's arguments without the program's name, in UTF-8. Changes no file.
int RunCheck(const std::vector<std::string>& arguments, std::string& report);

}  // namespace brimwarden::configcheck
