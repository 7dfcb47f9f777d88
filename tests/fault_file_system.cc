#include "fault_file_system.h"

#include <cctype>
#include <new>

#include "platform/error.h"

namespace llupdate::testing {

struct FaultFileSystem::State {
  struct Fault {
    int remaining;
    int32_t error;
    std::string path_part;
  };
  std::multimap<FsOp, Fault> faults;
  std::map<FsOp, int> calls;
  int open_files = 0;
  int total = 0;
  int crash_at = 0;  // 0: never
  int fail_at = 0;   // 0: never
  int32_t fail_error = 75;
  bool classic_only = false;
  std::map<std::string, std::string> unflushed;  // by folder, in lower case with '/'

  static std::string Key(std::string path) {
    for (char& c : path) c = c == '\\' ? '/' : static_cast<char>(std::tolower(c));
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
  }
  // A name changed in its folder; the program's temporary files, backups, lock and journal need
  // no flush of their own.
  void NameChanged(const std::string& path) {
    const std::string key = Key(path);
    const size_t slash = key.find_last_of('/');
    const std::string name = key.substr(slash + 1);
    if (name.rfind("xx_", 0) != 0 && name.rfind("alt_", 0) != 0 &&
        key.find(".llupdate-") == std::string::npos) {
      unflushed[key.substr(0, slash)] = name;
    }
  }

  void Check(FsOp op, const std::string& path) {
    ++calls[op];
    ++total;
    if (crash_at > 0 && total >= crash_at) throw platform::Error(75, "crashed: " + path);
    if (total == fail_at) throw platform::Error(fail_error, "injected: " + path);
    auto range = faults.equal_range(op);
    for (auto it = range.first; it != range.second; ++it) {
      if (path.find(it->second.path_part) == std::string::npos) continue;
      if (--it->second.remaining == 0) {
        int32_t error = it->second.error;
        faults.erase(it);
        if (error == kOutOfMemory) throw std::bad_alloc();
        throw platform::Error(error, "injected: " + path);
      }
    }
  }
};

namespace {

class FaultFile : public platform::File {
 public:
  FaultFile(std::unique_ptr<platform::File> base, std::shared_ptr<FaultFileSystem::State> state,
            std::string path)
      : base_(std::move(base)), state_(std::move(state)), path_(std::move(path)) {
    ++state_->open_files;
  }
  ~FaultFile() override { --state_->open_files; }

  size_t Read(char* buffer, size_t size) override {
    state_->Check(FsOp::kRead, path_);
    return base_->Read(buffer, size);
  }
  void Write(const char* data, size_t size) override {
    state_->Check(FsOp::kWrite, path_);
    base_->Write(data, size);
  }
  void Close() override {
    state_->Check(FsOp::kClose, path_);
    base_->Close();
  }

 private:
  std::unique_ptr<platform::File> base_;
  std::shared_ptr<FaultFileSystem::State> state_;
  std::string path_;
};

class FaultInPlaceFile : public InPlaceFile {
 public:
  FaultInPlaceFile(std::unique_ptr<InPlaceFile> base, std::shared_ptr<FaultFileSystem::State> state,
                   std::string path)
      : base_(std::move(base)), state_(std::move(state)), path_(std::move(path)) {
    ++state_->open_files;
  }
  ~FaultInPlaceFile() override { --state_->open_files; }
  size_t ReadAt(uint64_t offset, char* buffer, size_t size) override {
    state_->Check(FsOp::kRead, path_);
    return base_->ReadAt(offset, buffer, size);
  }
  void WriteAt(uint64_t offset, const char* data, size_t size) override {
    state_->Check(FsOp::kWrite, path_);
    base_->WriteAt(offset, data, size);
  }
  void Truncate(uint64_t size) override {
    state_->Check(FsOp::kWrite, path_);
    base_->Truncate(size);
  }
  uint64_t Size() override { return base_->Size(); }
  void Sync() override {
    state_->Check(FsOp::kSync, path_);
    base_->Sync();
  }
  // A process that dies lets its locks go: they are not counted as calls.
  bool Lock(int level) override { return base_->Lock(level); }
  void Unlock(int level) override { base_->Unlock(level); }
  bool Reserved() override { return base_->Reserved(); }

 private:
  std::unique_ptr<InPlaceFile> base_;
  std::shared_ptr<FaultFileSystem::State> state_;
  std::string path_;
};

class FaultLock : public platform::WriterLock {
 public:
  FaultLock(std::unique_ptr<platform::WriterLock> base,
            std::shared_ptr<FaultFileSystem::State> state)
      : base_(std::move(base)), state_(std::move(state)) {}
  bool previous_run_unfinished() const override { return base_->previous_run_unfinished(); }
  std::vector<platform::OwnFile> previous_own_files() const override {
    return base_->previous_own_files();
  }
  bool outermost() const override { return base_->outermost(); }
  std::vector<std::string> restored_in_place() const override { return base_->restored_in_place(); }
  std::vector<std::pair<std::string, std::string>> kept_in_place() const override {
    return base_->kept_in_place();
  }
  std::vector<std::string> refused_records() const override { return base_->refused_records(); }
  void MarkFinished() override {
    state_->Check(FsOp::kLock, platform::kLockFileName);
    base_->MarkFinished();
  }

 private:
  std::unique_ptr<platform::WriterLock> base_;
  std::shared_ptr<FaultFileSystem::State> state_;
};

}  // namespace

FaultFileSystem::FaultFileSystem(std::shared_ptr<platform::FileSystem> base)
    : ForwardingFileSystem(std::move(base)), state_(std::make_shared<State>()) {}

void FaultFileSystem::FailOn(FsOp op, int nth, int32_t error, std::string path_part) {
  state_->faults.insert({op, {nth, error, std::move(path_part)}});
}

int FaultFileSystem::open_files() const { return state_->open_files; }

int FaultFileSystem::calls(FsOp op) const {
  return state_->calls.count(op) ? state_->calls[op] : 0;
}

int FaultFileSystem::total_calls() const { return state_->total; }

void FaultFileSystem::CrashAt(int nth) { state_->crash_at = state_->total + nth; }

std::map<std::string, std::string> FaultFileSystem::unflushed_names() const {
  return state_->unflushed;
}

int FaultFileSystem::faults_left() const { return static_cast<int>(state_->faults.size()); }

std::unique_ptr<InPlaceFile> FaultFileSystem::OpenInPlace(const std::string& path, bool write,
                                                          bool create) {
  if (state_->classic_only) return nullptr;
  state_->Check(FsOp::kOpen, path);
  std::unique_ptr<InPlaceFile> file = target().OpenInPlace(path, write, create);
  if (!file) return nullptr;
  return std::make_unique<FaultInPlaceFile>(std::move(file), state_, path);
}

bool FaultFileSystem::crashed() const {
  return state_->crash_at > 0 && state_->total >= state_->crash_at;
}

void FaultFileSystem::FailAt(int nth, int32_t error) {
  state_->fail_at = state_->total + nth;
  state_->fail_error = error;
}

void FaultFileSystem::SetClassicOnly(bool classic_only) { state_->classic_only = classic_only; }

bool FaultFileSystem::FileExists(const std::string& path) {
  state_->Check(FsOp::kExists, path);
  return target().FileExists(path);
}

bool FaultFileSystem::FolderExists(const std::string& path) {
  state_->Check(FsOp::kExists, path);
  return target().FolderExists(path);
}

bool FaultFileSystem::LinkFile(const std::string& existing, const std::string& new_name) {
  if (state_->classic_only) return false;
  state_->Check(FsOp::kLink, new_name);
  return target().LinkFile(existing, new_name);
}

bool FaultFileSystem::ReplaceFile(const std::string& source, const std::string& destination) {
  if (state_->classic_only) return false;
  state_->Check(FsOp::kReplace, destination);
  const bool replaced = target().ReplaceFile(source, destination);
  if (replaced) {
    state_->NameChanged(source);
    state_->NameChanged(destination);
  }
  return replaced;
}

void FaultFileSystem::SyncFolder(const std::string& path) {
  state_->Check(FsOp::kSyncFolder, path);
  target().SyncFolder(path);
  state_->unflushed.erase(State::Key(path));
}

void FaultFileSystem::FlushWritten() {
  state_->Check(FsOp::kFlushWritten, "");
  target().FlushWritten();
}

std::unique_ptr<platform::WriterLock> FaultFileSystem::LockFormFolder(const std::string& folder,
                                                                      double wait_seconds) {
  state_->Check(FsOp::kLock, folder);
  std::unique_ptr<platform::WriterLock> lock =
      platform::LockFormFolder(target(), folder, wait_seconds);
  if (!lock) return nullptr;
  return std::make_unique<FaultLock>(std::move(lock), state_);
}

void FaultFileSystem::CreateFolder(const std::string& path) {
  state_->Check(FsOp::kCreateFolder, path);
  target().CreateFolder(path);
}

void FaultFileSystem::CopyFile(const std::string& source, const std::string& destination,
                               bool overwrite) {
  state_->Check(FsOp::kCopy, destination);
  target().CopyFile(source, destination, overwrite);
  state_->NameChanged(destination);
}

void FaultFileSystem::MoveFile(const std::string& source, const std::string& destination) {
  state_->Check(FsOp::kMove, destination);
  target().MoveFile(source, destination);
  state_->NameChanged(source);
  state_->NameChanged(destination);
}

void FaultFileSystem::DeleteFile(const std::string& path, bool force) {
  state_->Check(FsOp::kDelete, path);
  target().DeleteFile(path, force);
  state_->NameChanged(path);
}

std::vector<platform::FileEntry> FaultFileSystem::ListFiles(const std::string& folder) {
  state_->Check(FsOp::kList, folder);
  return target().ListFiles(folder);
}

std::unique_ptr<platform::File> FaultFileSystem::Open(const std::string& path,
                                                      platform::OpenMode mode) {
  state_->Check(FsOp::kOpen, path);
  auto file = std::make_unique<FaultFile>(target().Open(path, mode), state_, path);
  if (mode != platform::OpenMode::kRead) state_->NameChanged(path);
  return file;
}

uint32_t FaultFileSystem::GetAttributes(const std::string& path) {
  state_->Check(FsOp::kGetAttributes, path);
  return target().GetAttributes(path);
}

void FaultFileSystem::SetAttributes(const std::string& path, uint32_t attributes) {
  state_->Check(FsOp::kSetAttributes, path);
  target().SetAttributes(path, attributes);
}

}  // namespace llupdate::testing
