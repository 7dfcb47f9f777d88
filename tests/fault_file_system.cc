#include "fault_file_system.h"

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

  void Check(FsOp op, const std::string& path) {
    ++calls[op];
    auto range = faults.equal_range(op);
    for (auto it = range.first; it != range.second; ++it) {
      if (path.find(it->second.path_part) == std::string::npos) continue;
      if (--it->second.remaining == 0) {
        int32_t error = it->second.error;
        faults.erase(it);
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

}  // namespace

FaultFileSystem::FaultFileSystem(std::shared_ptr<platform::FileSystem> base)
    : base_(std::move(base)), state_(std::make_shared<State>()) {}

void FaultFileSystem::FailOn(FsOp op, int nth, int32_t error, std::string path_part) {
  state_->faults.insert({op, {nth, error, std::move(path_part)}});
}

int FaultFileSystem::open_files() const { return state_->open_files; }

int FaultFileSystem::calls(FsOp op) const {
  auto it = state_->calls.find(op);
  return it == state_->calls.end() ? 0 : it->second;
}

bool FaultFileSystem::FileExists(const std::string& path) { return base_->FileExists(path); }

bool FaultFileSystem::FolderExists(const std::string& path) { return base_->FolderExists(path); }

void FaultFileSystem::CreateFolder(const std::string& path) {
  state_->Check(FsOp::kCreateFolder, path);
  base_->CreateFolder(path);
}

void FaultFileSystem::CopyFile(const std::string& source, const std::string& destination,
                               bool overwrite) {
  state_->Check(FsOp::kCopy, destination);
  base_->CopyFile(source, destination, overwrite);
}

void FaultFileSystem::MoveFile(const std::string& source, const std::string& destination) {
  state_->Check(FsOp::kMove, destination);
  base_->MoveFile(source, destination);
}

void FaultFileSystem::DeleteFile(const std::string& path, bool force) {
  state_->Check(FsOp::kDelete, path);
  base_->DeleteFile(path, force);
}

std::vector<platform::FileEntry> FaultFileSystem::ListFiles(const std::string& folder) {
  state_->Check(FsOp::kList, folder);
  return base_->ListFiles(folder);
}

std::unique_ptr<platform::File> FaultFileSystem::Open(const std::string& path,
                                                      platform::OpenMode mode) {
  state_->Check(FsOp::kOpen, path);
  return std::make_unique<FaultFile>(base_->Open(path, mode), state_, path);
}

uint32_t FaultFileSystem::GetAttributes(const std::string& path) {
  state_->Check(FsOp::kGetAttributes, path);
  return base_->GetAttributes(path);
}

void FaultFileSystem::SetAttributes(const std::string& path, uint32_t attributes) {
  state_->Check(FsOp::kSetAttributes, path);
  base_->SetAttributes(path, attributes);
}

}  // namespace llupdate::testing
