// The stand-in for the List & Label control: loads a text project and saves it in the current
// format, which is the same lines with the file version of the current List & Label versions.
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/list_label.h"
#include "host/objects.h"
#include "llupdate/progress.h"
#include "text/text.h"
#include "text/text_io.h"

namespace llupdate::host {
namespace {

using platform::Error;

std::string_view TrimTabsAndSpaces(std::string_view line) {
  size_t first = line.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
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
// file, and block lines "{" / "}" that balance. The encoding goes to start, then every line with
// its number (from 1) to each_line.
template <class Start, class EachLine>
void CheckProjectLines(std::unique_ptr<text::ByteSource> bytes, const std::string& path,
                       Start&& start, EachLine&& each_line) {
  text::TextReader reader(std::move(bytes));
  reader.RefuseLossyText(path);
  text::Encoding encoding = reader.encoding();
  start(encoding);
  std::vector<size_t> open_blocks;  // line numbers of the "{" not yet closed
  std::string line;
  for (size_t number = 1; reader.ReadLine(line); ++number) {
    if (encoding == text::Encoding::kAnsi && line.find('\0') != std::string::npos) {
      throw NotATextProject(path, number, "NUL-Zeichen");
    }
    std::string_view content = TrimTabsAndSpaces(line);
    if (content == "{") {
      open_blocks.push_back(number);
    } else if (content == "}") {
      if (open_blocks.empty()) throw NotATextProject(path, number, "\"}\" ohne \"{\"");
      open_blocks.pop_back();
    }
    each_line(number, line);
  }
  reader.Close();
  if (!open_blocks.empty()) throw NotATextProject(path, open_blocks.back(), "\"{\" ohne \"}\"");
}

// The same, with a text refused as lossy refused as no text project, as the control refuses it.
template <class Start, class EachLine>
void CheckProject(std::unique_ptr<text::ByteSource> bytes, const std::string& path, Start&& start,
                  EachLine&& each_line) {
  try {
    CheckProjectLines(std::move(bytes), path, start, each_line);
  } catch (const text::LossyText& e) {
    throw Error(kNotATextProject, e.what());
  }
}

// Where a project's file version stands. Current List & Label versions write FileVersion=16 in
// the section [Description]; a save stamps that version unless the project has it or a newer one,
// so a project saved once is saved again byte for byte. Section and key are found ignoring case
// and the blanks and tabs around them, in the first [Description] section.
class VersionStamp {
 public:
  static constexpr int kCurrentVersion = 16;

  void See(size_t number, const std::string& line) {
    std::string_view content = TrimTabsAndSpaces(line);
    if (content.size() >= 2 && content.front() == '[' && content.back() == ']') {
      in_description_ = false;
      if (kind_ == Kind::kNoSection && text::FoldCase(TrimTabsAndSpaces(content.substr(
                                           1, content.size() - 2))) == "description") {
        kind_ = Kind::kNoKey;
        line_ = number;
        in_description_ = true;
      }
      return;
    }
    size_t equals = content.find('=');
    if (!in_description_ || equals == std::string_view::npos ||
        text::FoldCase(TrimTabsAndSpaces(content.substr(0, equals))) != "fileversion") {
      return;
    }
    in_description_ = false;
    line_ = number;
    kind_ = text::LeadingNumber(content.substr(equals + 1)) >= kCurrentVersion ? Kind::kCurrent
                                                                               : Kind::kOld;
  }

  // True when the save keeps every line as it is.
  bool KeepsLines() const { return kind_ == Kind::kCurrent; }

  // The lines that go before the project's first line.
  void WriteStart(text::TextWriter& writer) const {
    if (kind_ != Kind::kNoSection) return;
    writer.WriteLine("[Description]");
    writer.WriteLine(kLine);
  }

  // Writes line number as the save has it.
  void WriteLine(size_t number, const std::string& line, text::TextWriter& writer) const {
    if (number == line_ && kind_ == Kind::kOld) {
      writer.WriteLine(line.substr(0, line.find('=') + 1) + std::to_string(kCurrentVersion));
      return;
    }
    writer.WriteLine(line);
    if (number == line_ && kind_ == Kind::kNoKey) writer.WriteLine(kLine);
  }

 private:
  enum class Kind { kNoSection, kNoKey, kOld, kCurrent };
  static constexpr char kLine[] = " FileVersion=16";
  Kind kind_ = Kind::kNoSection;
  size_t line_ = 0;  // the section's header (kNoKey) or the key's line (kOld)
  bool in_description_ = false;
};

// Compares what is written with the bytes of the project instead of writing them. A difference
// ends the writing with Differs; after Close() without it, the writes gave exactly those bytes.
class ComparingBytes : public text::ByteSink {
 public:
  struct Differs {};

  explicit ComparingBytes(std::unique_ptr<text::ByteSource> original)
      : original_(std::move(original)) {}

  void Write(const char* data, size_t size) override {
    expected_.resize(size);
    size_t got = 0;
    while (got < size) {
      size_t n = original_->Read(expected_.data() + got, size - got);
      if (n == 0) break;
      got += n;
    }
    if (got != size || std::memcmp(expected_.data(), data, size) != 0) throw Differs{};
  }
  void Finish(const char* data, size_t size) override {
    Write(data, size);
    Close();
  }
  void Close() override {
    char extra = 0;
    bool longer = original_->Read(&extra, 1) != 0;
    original_->Close();
    if (longer) throw Differs{};
  }

 private:
  std::unique_ptr<text::ByteSource> original_;
  std::string expected_;
};

// Loads a project and saves it in the current format: the same lines (the file version stamped),
// each ending CR LF, in the file's own encoding. The project's bytes are read once, when it is
// opened, and kept up to kHeldBytes; a larger project is read again from its file when it is
// saved, so that it never has to be held in memory whole.
class ProjectResaver : public ListLabelControl, public JobControl {
 public:
  void JoinJob(platform::FileSystem* fs, platform::JobNotes* notes,
               ProgressObserver* progress) override {
    job_fs_ = fs;
    notes_ = notes;
    progress_ = progress;
  }

  void OpenProjectFile(int32_t, const std::string& path, int32_t) override {
    CloseProjectFile();  // a project left open by an earlier failure is closed first
    std::shared_ptr<platform::FileSystem> fs = JobFileSystem();
    {
      std::unique_ptr<File> file = fs->Open(path, platform::OpenMode::kRead);
      char buffer[1 << 16];
      held_ = true;
      for (size_t n; held_ && (n = file->Read(buffer, sizeof buffer)) > 0;) {
        bytes_.append(buffer, n);
        if (bytes_.size() > kHeldBytes) held_ = false;
      }
      file->Close();
      if (!held_) std::string().swap(bytes_);
    }
    path_ = path;
    VersionStamp stamp;
    CheckProject(
        Bytes(*fs), path, [](text::Encoding) {},
        [&](size_t number, const std::string& line) { stamp.See(number, line); });
    stamp_ = stamp;
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
  //
  // A project that is in the current format already is left as it is, time stamps and all: the
  // save would give the same bytes. Saved under another name, it writes nothing there then.
  void SaveProjectFile(const std::string& path) override {
    RequireOpen();
    std::shared_ptr<platform::FileSystem> fs = JobFileSystem();
    if (stamp_.KeepsLines() && SavesAsItIs(*fs)) return;
    // A save under a new name writes that new file itself: no half-written file takes a name
    // that holds something.
    const bool new_file = path != path_ && !fs->FileExists(path);
    const std::string written = new_file ? path : platform::PartialFileName(path);
    try {
      std::unique_ptr<text::TextWriter> writer;
      CheckProject(
          Bytes(*fs), path_,
          [&](text::Encoding encoding) {
            writer = std::make_unique<text::TextWriter>(
                fs->Open(written, platform::OpenMode::kCreateNew), encoding);
            stamp_.WriteStart(*writer);
          },
          [&](size_t number, const std::string& line) { stamp_.WriteLine(number, line, *writer); });
      writer->Close();
      writer.reset();
      try {
        if (new_file || fs->ReplaceFile(written, path)) {
          if (notes_ != nullptr) notes_->FolderChanged(FolderOf(path));
        } else {
          fs->CopyFile(written, path, true);
          fs->DeleteFile(written, true);
        }
      } catch (...) {
        if (notes_ != nullptr)
          ++notes_->io_failures;  // the saved project is whole but not in place
        throw;
      }
      if (progress_ != nullptr) progress_->FormWritten(path);
    } catch (...) {
      try {
        if (fs->FileExists(written)) fs->DeleteFile(written, true);
      } catch (...) {
      }
      throw;
    }
  }

  void CloseProjectFile() override {
    open_ = false;
    path_.clear();
    std::string().swap(bytes_);
    held_ = false;
  }

 private:
  // True when saving the open project would write the bytes it has now.
  bool SavesAsItIs(platform::FileSystem& fs) {
    try {
      std::unique_ptr<text::TextWriter> writer;
      CheckProject(
          Bytes(fs), path_,
          [&](text::Encoding encoding) {
            writer = std::make_unique<text::TextWriter>(
                std::unique_ptr<text::ByteSink>(new ComparingBytes(Bytes(fs))), encoding);
          },
          [&](size_t number, const std::string& line) { stamp_.WriteLine(number, line, *writer); });
      writer->Close();
      return true;
    } catch (const ComparingBytes::Differs&) {
      return false;
    }
  }

  // The open project's bytes: those held, or its file's.
  std::unique_ptr<text::ByteSource> Bytes(platform::FileSystem& fs) {
    if (held_) return std::make_unique<text::MemoryBytes>(bytes_);
    return std::make_unique<text::FileBytes<File>>(fs.Open(path_, platform::OpenMode::kRead));
  }

  // The job's file system, held without owning it, or a new one.
  std::shared_ptr<platform::FileSystem> JobFileSystem() const {
    if (job_fs_ != nullptr) {
      return std::shared_ptr<platform::FileSystem>(std::shared_ptr<void>(), job_fs_);
    }
    return CreateAs<platform::FileSystem>(kFileSystemProgId);
  }

  void RequireOpen() {
    if (!open_) throw Error(platform::kObjectNotSet, "kein Projekt geöffnet");
  }

  static constexpr size_t kHeldBytes = size_t{64} << 20;

  bool open_ = false;
  std::string path_;
  std::string bytes_;  // the project's bytes while held
  bool held_ = false;
  VersionStamp stamp_;
  platform::FileSystem* job_fs_ = nullptr;
  platform::JobNotes* notes_ = nullptr;
  ProgressObserver* progress_ = nullptr;
};

}  // namespace

std::unique_ptr<frmListLabel> frmListLabel::Load() {
  return std::unique_ptr<frmListLabel>(
      new frmListLabel(CreateAs<ListLabelControl>(kListLabelProgId)));
}

std::shared_ptr<ListLabelControl> NewProjectResaver() { return std::make_shared<ProjectResaver>(); }

}  // namespace llupdate::host
