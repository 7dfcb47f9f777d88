#include "test_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "host/objects.h"
#include "platform/file_system.h"

namespace llupdate::testing {
namespace {

const bool kJournalOffByDefault = [] {
  SetKeptRuns(0);
  return true;
}();

}  // namespace

JournalOn::JournalOn(int keep) : before_(KeptRuns()) { SetKeptRuns(keep); }
JournalOn::~JournalOn() { SetKeptRuns(before_); }

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "llupdate-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only entries must not stop the clean-up.
  for (auto& entry : std::filesystem::recursive_directory_iterator(path_, ec)) {
    ::chmod(entry.path().c_str(), 0755);
  }
  std::filesystem::remove_all(path_, ec);
}

FormFolder::FormFolder() : forms(path() + "/BerichteLL") {
  if (::mkdir(forms.c_str(), 0755) != 0) throw std::runtime_error("cannot make " + forms);
}

std::vector<std::string> FormFolder::Listing() const {
  return Names(*platform::NewOsFileSystem(), forms);
}

std::string Identity(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return "";
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

std::vector<std::string> Names(FileSystem& fs, const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs.ListFiles(folder)) names.push_back(e.name);
  return names;
}

void FormFolder::Clear() const {
  for (const std::string& name : Listing()) ::unlink(Form(name).c_str());
}

int32_t ErrorNumber(const std::function<void()>& call) {
  try {
    call();
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::map<std::string, std::string> Files(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    if (e.is_regular_file() && name[0] != '.') files[name] = ReadBytes(e.path().string());
  }
  return files;
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

struct stat Stat(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path);
  return st;
}

unsigned Mode(const std::string& path) { return Stat(path).st_mode & 07777; }

bool IsReadOnly(const std::string& path) { return (Mode(path) & S_IWUSR) == 0; }

void MakeReadOnly(const std::string& path) { ::chmod(path.c_str(), Mode(path) & ~0222u); }

RecordedMessages::RecordedMessages()
    : recorder_(std::make_shared<llupdate::RecordingMessages>()),
      registration_(host::kMessagesProgId, [r = recorder_] { return r; }) {
  ResetThreadHostMessages();
}

RecordedMessages::~RecordedMessages() { ResetThreadHostMessages(); }

std::vector<std::string> RecordedMessages::texts() const {
  std::vector<std::string> texts;
  for (const auto& r : recorder_->records) {
    if (r.call == "ShowMessage") texts.push_back(r.text);
  }
  return texts;
}

std::string Utf16Le(const std::string& latin1) {
  std::string wide("\xFF\xFE", 2);
  for (char ch : latin1) wide += std::string{ch, '\0'};
  return wide;
}

std::string RecordedMessages::only_text() const {
  const std::vector<std::string> all = texts();
  return all.size() == 1 ? all[0] : std::to_string(all.size()) + " texts shown";
}

FaultInjection::FaultInjection()
    : fs_(std::make_shared<FaultFileSystem>(platform::NewOsFileSystem())),
      registration_(host::kFileSystemProgId, [f = fs_] { return f; }) {}

std::string ReadBytes(FileSystem& fs, const std::string& path) {
  auto file = fs.Open(path, OpenMode::kRead);
  std::string bytes(1 << 20, '\0');
  bytes.resize(file->Read(bytes.data(), bytes.size()));
  return bytes;
}

std::shared_ptr<FileSystem> DemoInMemory(std::map<std::string, std::string>* files) {
  std::shared_ptr<FileSystem> memory = NewMemoryFileSystem();
  memory->CreateFolder("mem");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(LLUPDATE_DEMO_DB)) {
    const std::string rel = std::filesystem::relative(entry.path(), LLUPDATE_DEMO_DB).string();
    if (entry.is_directory()) {
      memory->CreateFolder("mem\\" + rel);
    } else {
      const std::string bytes = ReadBytes(entry.path().string());
      memory->Open("mem\\" + rel, OpenMode::kCreateNew)->Write(bytes.data(), bytes.size());
      if (files != nullptr) (*files)[rel] = bytes;
    }
  }
  return memory;
}

}  // namespace llupdate::testing
