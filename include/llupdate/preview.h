// "What would change": a file system on which an operation runs without changing anything on the
// disk, and a unified diff to show a person the changes. The command line's --dry-run is built
// from these; a host shows the same preview before it converts. The preview is a choice of the
// instance's calls (CallOptions::file_system), never of the process:
//
//   llupdate::clsReportLLUpdate component;
//   auto preview = llupdate::NewPreviewFileSystem(llupdate::NewOsFileSystem(), {db});
//   llupdate::CallOptions options = component.call_options();
//   options.file_system = preview;
//   component.SetCallOptions(options);
//   ...  // any operation on db: it changes nothing
//   for (const auto& change : preview->Changes())
//     if (change.kind == llupdate::PreviewFileSystem::Change::kChanged)
//       show(change.os_path,
//            llupdate::UnifiedDiff(llupdate::FormText(preview->BytesBefore(change.path)),
//                                  llupdate::FormText(preview->BytesAfter(change.path))));
//   options.file_system = nullptr;  // the next call of the instance writes
//   component.SetCallOptions(options);
//
// A preview registered with the object factory (kFileSystemProgId) serves only the call that
// obtained it, but a registration is seen by every instance of the process: prefer the options.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "llupdate/file_system.h"
#include "llupdate/host.h"

namespace llupdate {

class PreviewFileSystem : public FileSystem {
 public:
  // One path that the operation would have changed.
  struct Change {
    enum Kind { kCreatedFolder, kCreated, kDeleted, kChanged } kind;
    std::string path;       // the component path
    std::string os_path;    // the path as it is (or would be) on the disk
    bool content_changed;   // kChanged: the bytes differ (maybe)
    bool read_only_before;  // kChanged: the attribute before and after
    bool read_only_after;
    bool stranded;  // kDeleted: its backup "alt_" + name would be all that is left of it
  };
  // The changes, ordered by operating-system path.
  virtual std::vector<Change> Changes() = 0;
  // The content of a path before the operation (from the disk) and after it (with the changes).
  virtual std::string BytesBefore(const std::string& path) = 0;
  virtual std::string BytesAfter(const std::string& path) = 0;
  // The lock record of a form folder that another run held while the operation previewed it
  // ("" when none): a preview only reads, so it goes on, but what it shows may change when that
  // run ends.
  virtual const std::string& held_by() const = 0;
};

// A preview over base (the operating system's file system): reads come from base, every change
// stays in memory. Reads open only regular files and follow a symbolic link only when it leads
// into one of roots (operating-system paths: the directories the operation was given).
std::shared_ptr<PreviewFileSystem> NewPreviewFileSystem(std::shared_ptr<FileSystem> base,
                                                        std::vector<std::string> roots);

// A settings store in memory that starts as a copy of a settings file (read, never written): the
// conversion driver previews with it (CallOptions::settings) and records nothing.
std::shared_ptr<VMSettings> NewSettingsSnapshot(const std::string& file);

// The text of a form's bytes for display, in UTF-8, decoded as the program reads it: after a
// byte-order mark UTF-8 or UTF-16 (little or big endian), without one Windows-1252 (all 256 byte
// values kept). Diff the texts, not the bytes, so that every form can be read.
std::string FormText(const std::string& bytes);

// The hunks (with three lines of context) that turn before into after, or "" when the texts are
// equal. The texts are UTF-8 with their line ends; a line end is shown only in hunks where line
// ends change ("[CR LF]", "[CR]", "[LF]", "[no line end]").
std::string UnifiedDiff(const std::string& before, const std::string& after);

}  // namespace llupdate
