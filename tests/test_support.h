// Helpers shared by the tests: scratch directories, files as bytes, recorded messages and the
// fault-injecting file system installed as the file-system object.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fault_file_system.h"
#include "llupdate/message_sinks.h"
#include "llupdate/report_ll_update.h"

namespace llupdate::testing {

// A progress observer that notes nothing: a test overrides what it watches.
struct QuietObserver : ProgressObserver {
  void TypeStarted(const std::string&, const std::string&, int) override {}
  void FormStarted(const std::string&, const std::string&, const std::string&,
                   const std::string&) override {}
  void FormFinished(const std::string&, const std::string&, const std::string&, bool) override {}
  void FormWritten(const std::string&) override {}
};

// The UTF-16LE file of a text whose characters are all below 256, with its byte-order mark.
std::string Utf16Le(const std::string& latin1);

// An error, shown to the user as one.
inline bool ShownAsError(const MessageRecord& r) { return r.level == 3 && r.flag; }

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A scratch database: a fresh directory with its form folder "BerichteLL".
class FormFolder : public TempDir {
 public:
  FormFolder();
  const std::string forms;  // the form folder's path
  // The path of a file in the form folder.
  std::string Form(const std::string& name) const { return forms + "/" + name; }
  // The names in the form folder, as the file system lists them (by name, ignoring case).
  std::vector<std::string> Listing() const;
  // Empties the form folder.
  void Clear() const;
};

// The number of the error call throws, 0 when it throws none.
int32_t ErrorNumber(const std::function<void()>& call);

void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);
// The files directly in a folder (none whose name begins with a dot), by name, as bytes.
std::map<std::string, std::string> Files(const std::string& folder);
// The names of the files in a folder, as the file system lists them.
std::vector<std::string> Names(FileSystem& fs, const std::string& folder);
// A file of a file system as bytes.
std::string ReadBytes(FileSystem& fs, const std::string& path);
// The memory file system with the demo database in its folder "mem"; its files (relative path,
// bytes) to *files when asked for.
std::shared_ptr<FileSystem> DemoInMemory(std::map<std::string, std::string>* files = nullptr);
bool Exists(const std::string& path);
// The file's device and inode, "DEV:INO" (as the run's records write them), "" when missing.
std::string Identity(const std::string& path);
bool IsReadOnly(const std::string& path);
void MakeReadOnly(const std::string& path);
unsigned Mode(const std::string& path);
// The file's status (stat); throws when it has none.
struct stat Stat(const std::string& path);

// Another account's files: this one may read them, but replace none, nor write into one unless
// writable says so.
struct OthersFiles : ForwardingFileSystem {
  using ForwardingFileSystem::ForwardingFileSystem;
  bool writable = false;
  bool MayReplace(const std::string&, const std::string&) override { return false; }
  bool MayWrite(const std::string&, const std::string&) override { return writable; }
  std::unique_ptr<InPlaceFile> OpenInPlace(const std::string& p, bool write, bool create) override {
    if (write && !writable) throw Error(kPermissionDenied, p);
    return ForwardingFileSystem::OpenInPlace(p, write, create);
  }
};

// Records every message shown on this thread while it lives.
class RecordedMessages {
 public:
  RecordedMessages();
  ~RecordedMessages();
  std::vector<llupdate::MessageRecord>& records() { return recorder_->records; }
  // The texts of the ShowMessage records.
  std::vector<std::string> texts() const;
  // The one text shown, or how many there were when not one.
  std::string only_text() const;

 private:
  std::shared_ptr<llupdate::RecordingMessages> recorder_;
  ScopedObjectRegistration registration_;
};

// The run journal for the tests while this lives (keep: the runs it keeps). Without one the
// tests run with keeping off: they check the forms' own sequences, in which the journal changes
// what happens to files a run did not make.
class JournalOn {
 public:
  explicit JournalOn(int keep = kDefaultKeptRuns);
  ~JournalOn();

 private:
  int before_;
};

// Installs a FaultFileSystem over the OS file system as "Scripting.FileSystemObject".
class FaultInjection {
 public:
  FaultInjection();
  FaultFileSystem& fs() { return *fs_; }

 private:
  std::shared_ptr<FaultFileSystem> fs_;
  ScopedObjectRegistration registration_;
};

// A component over a scratch form folder, its messages recorded and the fault-injecting file
// system installed.
class ComponentFixture : public ::testing::Test {
 protected:
  RecordedMessages messages_;
  FaultInjection faults_;
  FormFolder dir_;
  clsReportLLUpdate c_;
};

}  // namespace llupdate::testing
