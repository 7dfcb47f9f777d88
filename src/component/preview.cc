// The preview of the command line and of hosts: the overlay file system, told which files of a
// run that holds a folder are that run's work.
#include "llupdate/preview.h"

#include "platform/file_system.h"
#include "platform/overlay_file_system.h"
#include "rewrites/form_names.h"
#include "text/text.h"

namespace llupdate {

std::shared_ptr<PreviewFileSystem> NewPreviewFileSystem(std::shared_ptr<FileSystem> base,
                                                        std::vector<std::string> roots) {
  auto preview = std::make_shared<platform::OverlayFileSystem>(std::move(base), std::move(roots));
  // What another run that holds a folder has in work there: its temporary files and backups.
  preview->HideWorkOfHolder([](const std::string& name) {
    const std::string folded = text::FoldCase(name);
    for (std::string_view prefix : {rewrites::kTemporaryPrefix, rewrites::kBackupPrefix}) {
      if (folded.starts_with(prefix)) return true;
    }
    return platform::IsPartialFileName(name);
  });
  return preview;
}

}  // namespace llupdate
