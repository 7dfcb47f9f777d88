// The rewrite of a form, on a file system in memory whose n-th call fails: the form is never
// lost (it holds its old or its new content, or its backup holds the old one), and a False result
// leaves every byte of it.
//
// Input: one byte that picks the failing call (0: none), one that picks the error, the form.
#include "fuzz_support.h"
#include "llupdate/report_ll_update.h"

using namespace llupdate;

namespace {

class FailingFile : public File {
 public:
  FailingFile(std::unique_ptr<File> file, std::function<void()> tick)
      : file_(std::move(file)), tick_(std::move(tick)) {}
  size_t Read(char* buffer, size_t size) override {
    tick_();
    return file_->Read(buffer, size);
  }
  void Write(const char* data, size_t size) override {
    tick_();
    file_->Write(data, size);
  }
  void Close() override {
    tick_();
    file_->Close();
  }

 private:
  std::unique_ptr<File> file_;
  std::function<void()> tick_;
};

// Fails its n-th call (every call of the file system and of its files counts) with error.
class FailingFileSystem : public ForwardingFileSystem {
 public:
  FailingFileSystem(std::shared_ptr<FileSystem> target, int n, int error)
      : ForwardingFileSystem(std::move(target)), n_(n), error_(error) {}

  bool FileExists(const std::string& p) override { return Tick(), target().FileExists(p); }
  bool FolderExists(const std::string& p) override { return Tick(), target().FolderExists(p); }
  void CopyFile(const std::string& s, const std::string& d, bool o) override {
    Tick();
    target().CopyFile(s, d, o);
  }
  void MoveFile(const std::string& s, const std::string& d) override {
    Tick();
    target().MoveFile(s, d);
  }
  void DeleteFile(const std::string& p, bool f) override {
    Tick();
    target().DeleteFile(p, f);
  }
  std::vector<FileEntry> ListFiles(const std::string& f) override {
    return Tick(), target().ListFiles(f);
  }
  std::unique_ptr<File> Open(const std::string& p, OpenMode m) override {
    Tick();
    return std::make_unique<FailingFile>(target().Open(p, m), [this] { Tick(); });
  }
  uint32_t GetAttributes(const std::string& p) override {
    return Tick(), target().GetAttributes(p);
  }
  void SetAttributes(const std::string& p, uint32_t a) override {
    Tick();
    target().SetAttributes(p, a);
  }
  bool LinkFile(const std::string& e, const std::string& n) override {
    return Tick(), target().LinkFile(e, n);
  }
  bool ReplaceFile(const std::string& s, const std::string& d) override {
    return Tick(), target().ReplaceFile(s, d);
  }

 private:
  void Tick() {
    if (++calls_ == n_) throw Error(error_, "injected");
  }
  int calls_ = 0;
  int n_;
  int error_;
};

const char kSelector[] = "Spacing.Paragraph=8";

// The form's bytes after the rewrite (empty optional when it is missing), and the result.
struct Outcome {
  bool result;
  bool form_there;
  std::string form, backup;
};

Outcome Run(const std::string& form, int fail_at, int error) {
  auto memory = fuzz::Database("a.bel", form);
  auto fs = std::make_shared<FailingFileSystem>(memory, fail_at, error);
  ScopedObjectRegistration files(host::kFileSystemProgId, [fs] { return fs; });
  Outcome outcome{};
  {
    clsReportLLUpdate c;
    outcome.result = c.Suche_ErsetzeProjektdatei("a.bel", "db", kSelector, "=8", "=Neu");
  }
  outcome.form_there = memory->FileExists("db\\BerichteLL\\a.bel");
  if (outcome.form_there) outcome.form = fuzz::ReadFile(*memory, "db\\BerichteLL\\a.bel");
  if (memory->FileExists("db\\BerichteLL\\alt_a.bel")) {
    outcome.backup = fuzz::ReadFile(*memory, "db\\BerichteLL\\alt_a.bel");
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int fail_at = data[0];
  const int errors[] = {kDiskFull, kPermissionDenied, kPathFileAccessError, kFileNotFound};
  const int error = errors[data[1] % 4];
  const std::string form = fuzz::Bytes(data + 2, size - 2);
  fuzz::QuietMessages quiet;

  const Outcome clean = Run(form, 0, error);
  FUZZ_CHECK(clean.form_there);
  if (!clean.result) FUZZ_CHECK(clean.form == form);
  const Outcome failed = Run(form, fail_at, error);
  if (failed.form_there) {
    FUZZ_CHECK(failed.form == form || failed.form == clean.form);
  } else {
    FUZZ_CHECK(failed.backup == form);  // stranded, and reported, but not lost
  }
  if (!failed.result) FUZZ_CHECK(failed.form_there && failed.form == form);
  return 0;
}
