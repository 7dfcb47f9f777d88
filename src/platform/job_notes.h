// What the routines of one job learn about its files on their way and its writer acts on when
// the job ends. The job keeps one; the routines it calls are handed it.
#pragma once

#include <string>
#include <vector>

namespace llupdate::platform {

struct JobNotes {
  // The folders whose entries changed (a file replaced, a file copied in) and that are still to
  // be put on the disk: the writer flushes them before it reports success.
  std::vector<std::string> changed_folders;
  // A file of the program's own could not be removed: the writer leaves its run marked
  // unfinished, so that the next writer resolves it.
  bool left_behind = false;
  // Files whose header could not be read (an I/O error, not a missing value): the distribution
  // replaces no installed form and forgets no delivered one by values it could not read.
  int unread = 0;
  // Files that an I/O failure (a full disk, a failing device, refused access, a file in the way)
  // left unconverted, after the user was told: the driver records no step in which that happened,
  // so that a rerun does it again. A file refused for its content is not counted: a rerun would
  // refuse it again.
  int io_failures = 0;

  void FolderChanged(const std::string& folder) {
    for (const std::string& known : changed_folders) {
      if (known == folder) return;
    }
    changed_folders.push_back(folder);
  }
};

}  // namespace llupdate::platform
