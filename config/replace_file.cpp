// Replacing "config.json" and its backup: two temporary files written whole and flushed, then
// three renames in one folder, each undone on failure. Several server instances share the file,
// so a crash at any moment leaves either the old or the new file, never a truncated one. Built on
// the file operations of each platform.
#include <optional>
#include <string>
#include <string_view>

#include "brimwarden/config/config.h"
#include "file_operations.h"

namespace brimwarden::config {

std::optional<std::string> ReplaceFileKeepingBackup(const std::string& path,
                                                    std::string_view contents,
                                                    std::string_view previous) {
  const std::string temp = path + ".tmp";
  const std::string backup = path + ".bak";
  const std::string backup_temp = backup + ".tmp";
  const std::string backup_aside = backup + ".old";
  auto step = [](SaveStep which, auto action) -> std::optional<std::string> {
    if (SaveStepFaultForTests != nullptr) {
      if (auto failure = SaveStepFaultForTests(which)) return failure;
    }
    return action();
  };

  // Both new files are whole on the disk before any name changes: running out of space, or any
  // other failure to write, leaves the file and its backup untouched.
  std::optional<std::string> failure =
      step(SaveStep::kWriteBackup, [&] { return WriteTemporaryFile(backup_temp, previous, path); });
  if (failure) return failure;
  failure = step(SaveStep::kWriteFile, [&] { return WriteTemporaryFile(temp, contents, path); });
  if (failure) {
    RemoveFile(backup_temp);
    return failure;
  }

  // Then three renames in one folder. The backup is replaced only right before the file, and the
  // one it replaces is kept aside until the file is replaced, so a failed rename can put it back.
  bool backup_set_aside = false;
  bool backup_placed = false;
  failure = step(SaveStep::kSetBackupAside,
                 [&] { return SetAside(backup, backup_aside, backup_set_aside); });
  if (!failure) {
    failure = step(SaveStep::kPlaceBackup, [&] { return RenameOver(backup_temp, backup); });
    backup_placed = !failure;
  }
  if (!failure) {
    failure = step(SaveStep::kPlaceFile, [&] { return RenameOver(temp, path); });
  }
  if (!failure) {
    SyncDirectoryOf(path);
    if (backup_set_aside) RemoveFile(backup_aside);
    return std::nullopt;
  }
  if (backup_set_aside) {
    if (auto undo = RenameOver(backup_aside, backup)) *failure += "; " + *undo;
  } else if (backup_placed) {
    RemoveFile(backup);  // there was no backup before this save
  }
  RemoveFile(temp);
  RemoveFile(backup_temp);
  return failure;
}

}  // namespace brimwarden::config

namespace brimwarden {

SaveStepFault SaveStepFaultForTests = nullptr;

}  // namespace brimwarden
