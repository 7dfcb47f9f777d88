// SQLite's files through a FileSystem: a VFS registered (not as the default) while the object
// lives. Open a database with name() as its VFS, and its file and journal are InPlaceFiles of the
// file system.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

#include "llupdate/file_system.h"

namespace llupdate::host {

class SettingsVfs {
 public:
  explicit SettingsVfs(std::shared_ptr<FileSystem> fs);
  ~SettingsVfs();
  SettingsVfs(const SettingsVfs&) = delete;
  SettingsVfs& operator=(const SettingsVfs&) = delete;

  const char* name() const { return name_.c_str(); }
  FileSystem& fs() { return *fs_; }
  // Why the last open of a file failed, as the file system said it (number 0: it did not).
  const Error& open_failure() const { return open_failure_; }
  void set_open_failure(const Error& failure) { open_failure_ = failure; }

 private:
  std::shared_ptr<FileSystem> fs_;
  Error open_failure_{0, ""};
  std::string name_;
  sqlite3_vfs vfs_;
};

}  // namespace llupdate::host
