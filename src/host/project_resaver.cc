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

class ProjectResaver : public ListLabelControl {
 public:
  void OpenProjectFile(int32_t, const std::string& path, int32_t) override {
    CloseProjectFile();  // a project left open by an earlier failure is closed first
    auto fs = CreateAs<platform::FileSystem>(kFileSystemProgId);
    platform::TextReader reader(fs->Open(path, platform::OpenMode::kRead));
    platform::Encoding encoding = reader.encoding();
    std::vector<std::string> lines;
    std::vector<size_t> open_blocks;  // line numbers of the "{" not yet closed
    std::string line;
    while (reader.ReadLine(line)) {
      size_t number = lines.size() + 1;
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
      lines.push_back(std::move(line));
    }
    reader.Close();
    if (!open_blocks.empty()) {
      throw NotATextProject(path, open_blocks.back(), "\"{\" ohne \"}\"");
    }
    path_ = path;
    encoding_ = encoding;
    lines_ = std::move(lines);
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

  // The new content is written beside the file and then put in its place in one step, so that a
  // failed save leaves the project as it was.
  void SaveProjectFile(const std::string& path) override {
    RequireOpen();
    auto fs = CreateAs<platform::FileSystem>(kFileSystemProgId);
    std::string partial = path + "~";
    try {
      platform::TextWriter writer(fs->Open(partial, platform::OpenMode::kWrite), encoding_);
      for (const std::string& line : lines_) writer.WriteLine(line);
      writer.Close();
      fs->CopyFile(partial, path, true);
      fs->DeleteFile(partial, true);
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
    lines_.clear();
    path_.clear();
  }

 private:
  void RequireOpen() {
    if (!open_) throw Error(platform::kObjectNotSet, "kein Projekt geöffnet");
  }

  bool open_ = false;
  std::string path_;
  platform::Encoding encoding_ = platform::Encoding::kAnsi;
  std::vector<std::string> lines_;
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
