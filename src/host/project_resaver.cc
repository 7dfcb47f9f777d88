// The stand-in for the List & Label control: loads a text project and saves it unchanged.
#include <vector>

#include "host/list_label.h"
#include "host/objects.h"
#include "llupdate/progress.h"
#include "platform/text_io.h"

namespace llupdate::host {
namespace {

using platform::Error;

std::string TrimTabsAndSpaces(const std::string& line) {
  size_t first = line.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return line.substr(first, line.find_last_not_of(" \t") - first + 1);
}

Error NotATextProject(const std::string& path, size_t line, const std::string& reason) {
  return Error(kNotATextProject,
               path + ", Zeile " + std::to_string(line) + ": " + reason + " (kein Textprojekt)");
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Reads a project line by line and checks that it is a text project: no NUL byte in an 8-bit
// file, and block lines "{" / "}" that balance. The encoding goes to start, then every line to
// each_line.
template <class Start, class EachLine>
void CheckProject(platform::FileSystem& fs, const std::string& path, Start&& start,
                  EachLine&& each_line) {
  platform::TextReader reader(fs.Open(path, platform::OpenMode::kRead));
  platform::Encoding encoding = reader.encoding();
  start(encoding);
  std::vector<size_t> open_blocks;  // line numbers of the "{" not yet closed
  std::string line;
  for (size_t number = 1; reader.ReadLine(line); ++number) {
    if (encoding == platform::Encoding::kAnsi && line.find('\0') != std::string::npos) {
      throw NotATextProject(path, number, "NUL-Zeichen");
    }
    std::string content = TrimTabsAndSpaces(line);
    if (content == "{") {
      open_blocks.push_back(number);
    } else if (content == "}") {
      if (open_blocks.empty()) throw NotATextProject(path, number, "\"}\" ohne \"{\"");
      open_blocks.pop_back();
    }
    each_line(line);
  }
  reader.Close();
  if (!open_blocks.empty()) throw NotATextProject(path, open_blocks.back(), "\"{\" ohne \"}\"");
}

// Loads a project and saves it unchanged: the same lines, each ending CR LF, in the file's own
// encoding. The project is read again when it is saved, so that it never has to be held in
// memory whole.
class ProjectResaver : public ListLabelControl {
 public:
  void OpenProjectFile(int32_t, const std::string& path, int32_t) override {
    CloseProjectFile();  // a project left open by an earlier failure is closed first
    auto fs = CreateAs<platform::FileSystem>(kFileSystemProgId);
    CheckProject(
        *fs, path, [](platform::Encoding) {}, [](const std::string&) {});
    path_ = path;
    open_ = true;
  }

  void GetProjectHandle(int32_t& project) override {
    RequireOpen();
    project = 1;
  }

  void GetChildHandle(int32_t& project, const std::string&, int32_t& child) override {
    RequireOpen();
    if (project != 1) throw Error(platform::kInvalidProcedureCall, "Projekt-Handle");
    child = 2;
  }

  // The new content is written to a new partial file of the program's own beside the project
  // (never a name a user's file has) and then renamed over it, so that a failed save leaves the
  // project as it was and the project's name always holds a whole project.
  void SaveProjectFile(const std::string& path) override {
    RequireOpen();
    auto fs = CreateAs<platform::FileSystem>(kFileSystemProgId);
    std::string partial = platform::PartialFileName(path);
    try {
      std::unique_ptr<platform::TextWriter> writer;
      CheckProject(
          *fs, path_,
          [&](platform::Encoding encoding) {
            writer = std::make_unique<platform::TextWriter>(
                fs->Open(partial, platform::OpenMode::kCreateNew), encoding);
          },
          [&](const std::string& line) { writer->WriteLine(line); });
      writer->Close();
      writer.reset();
      if (fs->ReplaceFile(partial, path)) {
        platform::NoteFolderChanged(FolderOf(path));
      } else {
        fs->CopyFile(partial, path, true);
        fs->DeleteFile(partial, true);
      }
      if (ProgressObserver* progress = ThreadProgressObserver()) progress->FormWritten(path);
    } catch (...) {
      try {
        if (fs->FileExists(partial)) fs->DeleteFile(partial, true);
      } catch (...) {
      }
      throw;
    }
  }

  void CloseProjectFile() override {
    open_ = false;
    path_.clear();
  }

 private:
  void RequireOpen() {
    if (!open_) throw Error(platform::kObjectNotSet, "kein Projekt geöffnet");
  }

  bool open_ = false;
  std::string path_;
};

thread_local std::unique_ptr<frmListLabel> form;

}  // namespace

frmListLabel& frmListLabel::Instance() {
  if (!form) form.reset(new frmListLabel(CreateAs<ListLabelControl>(kListLabelProgId)));
  return *form;
}

void UnloadListLabelForm() { form.reset(); }

std::shared_ptr<ListLabelControl> NewProjectResaver() { return std::make_shared<ProjectResaver>(); }

}  // namespace llupdate::host
