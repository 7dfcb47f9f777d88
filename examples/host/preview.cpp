// "What would change": the address switch-over run on a preview, its diffs shown, nothing
// changed on the disk.
//   preview DBPATH
#include <llupdate/preview.h>
#include <llupdate/report_ll_update.h>

#include <cstdio>
#include <memory>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string db = argv[1];
  std::shared_ptr<llupdate::PreviewFileSystem> preview =
      llupdate::NewPreviewFileSystem(llupdate::NewOsFileSystem(), {db});
  llupdate::clsReportLLUpdate component;
  llupdate::CallOptions options;
  options.file_system = preview;  // this instance's calls only, until the option is emptied
  component.SetCallOptions(options);
  bool ok = component.Umstellung_Auf_Neue_Anschrift(db);
  for (const llupdate::PreviewFileSystem::Change& change : preview->Changes()) {
    if (change.kind != llupdate::PreviewFileSystem::Change::kChanged) continue;
    std::printf("--- %s\n+++ %s (after)\n%s", change.os_path.c_str(), change.os_path.c_str(),
                llupdate::UnifiedDiff(llupdate::FormText(preview->BytesBefore(change.path)),
                                      llupdate::FormText(preview->BytesAfter(change.path)))
                    .c_str());
  }
  std::printf("would %s\n", ok ? "succeed" : "fail");
  return ok ? 0 : 1;
}
