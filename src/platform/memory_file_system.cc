// A file system held in memory: for tests of the whole component without a disk, and for any
// host that wants one. Paths are split at "\" and "/"; names compare without regard to case.
#include <algorithm>
#include <map>
#include <set>

#include "platform/error.h"
#include "platform/file_system.h"
#include "text/text.h"

namespace llupdate {
namespace {

using platform::FolderLocks;
using platform::LockPeek;
using platform::WriterLock;

using platform::Error;

struct Node {
  bool folder = false;
  std::string name;                      // as created
  std::shared_ptr<std::string> content;  // files; shared by hard links
  bool read_only = false;
  std::map<std::string, std::shared_ptr<Node>> children;  // folded name -> node
};

std::vector<std::string> Parts(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path) {
    if (c == '\\' || c == '/') {
      if (!part.empty() && part != ".") parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty() && part != ".") parts.push_back(part);
  return parts;
}

class MemoryFile : public File {
 public:
  MemoryFile(std::shared_ptr<std::string> content, bool writing)
      : content_(std::move(content)), writing_(writing) {}
  size_t Read(char* buffer, size_t size) override {
    if (writing_) throw Error(platform::kBadFileNumber);
    size_t n = std::min(size, content_->size() - std::min(position_, content_->size()));
    content_->copy(buffer, n, position_);
    position_ += n;
    return n;
  }
  void Write(const char* data, size_t size) override {
    if (!writing_) throw Error(platform::kBadFileNumber);
    content_->append(data, size);
  }
  void Close() override {}

 private:
  std::shared_ptr<std::string> content_;
  bool writing_;
  size_t position_ = 0;
};

// A file changed in place: its content changes under every name it has.
class MemoryInPlaceFile : public InPlaceFile {
 public:
  MemoryInPlaceFile(std::shared_ptr<std::string> content, bool write)
      : content_(std::move(content)), write_(write) {}
  size_t ReadAt(uint64_t offset, char* buffer, size_t size) override {
    return content_->copy(buffer, size, std::min(static_cast<size_t>(offset), content_->size()));
  }
  void WriteAt(uint64_t offset, const char* data, size_t size) override {
    if (!write_) throw Error(platform::kBadFileNumber);
    if (content_->size() < offset + size) content_->resize(static_cast<size_t>(offset + size));
    content_->replace(static_cast<size_t>(offset), size, data, size);
  }
  void Truncate(uint64_t size) override {
    if (!write_) throw Error(platform::kBadFileNumber);
    content_->resize(static_cast<size_t>(size));
  }
  uint64_t Size() override { return content_->size(); }
  void Sync() override {}

 private:
  std::shared_ptr<std::string> content_;
  bool write_;
};

// A run that released its lock without marking it finished (it failed or was stopped) leaves
// the folder unfinished for the next one, as a lock record on a disk does.
class MemoryLock : public WriterLock {
 public:
  MemoryLock(std::shared_ptr<std::map<std::string, bool>> finished, std::string key)
      : finished_(std::move(finished)), key_(std::move(key)) {
    auto it = finished_->find(key_);
    unfinished_ = it != finished_->end() && !it->second;
    (*finished_)[key_] = false;
  }
  bool previous_run_unfinished() const override { return unfinished_; }
  void MarkFinished() override { (*finished_)[key_] = true; }

 private:
  std::shared_ptr<std::map<std::string, bool>> finished_;
  std::string key_;
  bool unfinished_;
};

class MemoryFileSystem : public FileSystem, public FolderLocks {
 public:
  MemoryFileSystem() : root_(std::make_shared<Node>()) {
    root_->folder = true;
    locks_ = std::make_shared<std::map<std::string, bool>>();
  }

  bool FileExists(const std::string& path) override {
    auto node = Find(path);
    return node && !node->folder;
  }
  bool FolderExists(const std::string& path) override {
    auto node = Find(path);
    return node && node->folder;
  }
  void CreateFolder(const std::string& path) override {
    auto [parent, name] = Parent(path);
    if (parent->children.count(text::FoldCase(name))) {
      throw Error(platform::kFileAlreadyExists, path);
    }
    auto node = std::make_shared<Node>();
    node->folder = true;
    node->name = name;
    parent->children[text::FoldCase(name)] = node;
  }
  void CopyFile(const std::string& source, const std::string& destination,
                bool overwrite) override {
    auto from = RequireFile(source);
    auto [parent, name] = Parent(destination);
    auto& slot = parent->children[text::FoldCase(name)];
    if (slot) {
      if (slot->folder) throw Error(platform::kPermissionDenied, destination);
      if (!overwrite) throw Error(platform::kFileAlreadyExists, destination);
      if (slot->read_only || slot == from) throw Error(platform::kPermissionDenied, destination);
    }
    auto copy = std::make_shared<Node>(*from);
    copy->name = slot ? slot->name : name;
    copy->content = std::make_shared<std::string>(*from->content);
    slot = copy;
  }
  void MoveFile(const std::string& source, const std::string& destination) override {
    auto [from_parent, from_name] = Parent(source);
    auto from = RequireFile(source);
    auto [parent, name] = Parent(destination);
    if (parent->children.count(text::FoldCase(name))) {
      throw Error(platform::kFileAlreadyExists, destination);
    }
    from_parent->children.erase(text::FoldCase(from_name));
    from->name = name;
    parent->children[text::FoldCase(name)] = from;
  }
  void DeleteFile(const std::string& path, bool force) override {
    auto [parent, name] = Parent(path);
    auto node = RequireFile(path);
    if (node->read_only && !force) throw Error(platform::kPermissionDenied, path);
    parent->children.erase(text::FoldCase(name));
  }
  std::vector<FileEntry> ListFiles(const std::string& folder) override {
    auto node = Find(folder);
    if (!node || !node->folder) throw Error(platform::kPathNotFound, folder);
    std::vector<FileEntry> files;
    for (const auto& [folded, child] : node->children) {
      if (!child->folder) files.push_back({child->name, folder + "\\" + child->name});
    }
    std::sort(files.begin(), files.end(), [](const FileEntry& a, const FileEntry& b) {
      return text::NameLess(a.name, b.name);
    });
    return files;
  }
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    if (mode == OpenMode::kRead) {
      auto node = Find(path);
      if (node && node->folder) throw Error(platform::kPathFileAccessError, path);
      return std::make_unique<MemoryFile>(RequireFile(path)->content, false);
    }
    auto [parent, name] = Parent(path);
    auto& slot = parent->children[text::FoldCase(name)];
    if (slot && mode == OpenMode::kCreateNew) throw Error(platform::kFileAlreadyExists, path);
    if (slot && slot->folder) throw Error(platform::kPathFileAccessError, path);
    if (slot && slot->read_only) throw Error(platform::kPermissionDenied, path);
    if (!slot) {
      slot = std::make_shared<Node>();
      slot->name = name;
    }
    slot->content = std::make_shared<std::string>();  // emptied; links keep the old content
    return std::make_unique<MemoryFile>(slot->content, true);
  }
  std::unique_ptr<InPlaceFile> OpenInPlace(const std::string& path, bool write,
                                           bool create) override {
    auto node = Find(path);
    if (!node && create && write) {
      auto [parent, name] = Parent(path);
      node = std::make_shared<Node>();
      node->name = name;
      node->content = std::make_shared<std::string>();
      parent->children[text::FoldCase(name)] = node;
    }
    if (!node) throw Missing(path);
    if (node->folder) throw Error(platform::kPathFileAccessError, path);
    if (write && node->read_only) throw Error(platform::kPermissionDenied, path);
    return std::make_unique<MemoryInPlaceFile>(node->content, write);
  }
  uint32_t GetAttributes(const std::string& path) override {
    auto node = Find(path);
    if (!node) throw Missing(path);
    return (node->folder ? kAttrDirectory : 0u) | (node->read_only ? kAttrReadOnly : 0u);
  }
  void SetAttributes(const std::string& path, uint32_t attributes) override {
    auto node = Find(path);
    if (!node) throw Missing(path);
    node->read_only = (attributes & kAttrReadOnly) != 0;
  }
  bool LinkFile(const std::string& existing, const std::string& new_name) override {
    auto from = RequireFile(existing);
    auto [parent, name] = Parent(new_name);
    auto& slot = parent->children[text::FoldCase(name)];
    if (slot) throw Error(platform::kFileAlreadyExists, new_name);
    slot = std::make_shared<Node>(*from);  // a second node that shares the content
    slot->name = name;
    return true;
  }
  bool ReplaceFile(const std::string& source, const std::string& destination) override {
    auto [from_parent, from_name] = Parent(source);
    auto from = RequireFile(source);
    auto [parent, name] = Parent(destination);
    auto& slot = parent->children[text::FoldCase(name)];
    if (slot && slot->folder) throw Error(platform::kPermissionDenied, destination);
    from_parent->children.erase(text::FoldCase(from_name));
    from->name = slot ? slot->name : name;
    parent->children[text::FoldCase(name)] = from;
    return true;
  }
  void RemoveFolder(const std::string& path) override {
    auto [parent, name] = Parent(path);
    auto node = Find(path);
    if (!node || !node->folder) throw Missing(path);
    if (!node->children.empty()) throw Error(platform::kPathFileAccessError, path);
    parent->children.erase(text::FoldCase(name));
  }
  // The content a name refers to now, and its size: a rewrite gives a name new content.
  std::string FileIdentity(const std::string& path) override {
    auto node = Find(path);
    if (!node || node->folder) return "";
    return std::string("m") + std::to_string(reinterpret_cast<uintptr_t>(node->content.get())) +
           ":" + std::to_string(node->content->size());
  }
  LockPeek PeekFormFolderLock(const std::string&) override { return {}; }
  std::unique_ptr<WriterLock> LockFormFolder(const std::string& folder, double) override {
    auto node = Find(folder);
    if (!node || !node->folder) return nullptr;
    std::string key = text::FoldCase(folder);
    if (held_.count(key)) throw Error(platform::kPermissionDenied, folder + " ist gesperrt");
    held_.insert(key);
    struct Lock : MemoryLock {
      Lock(MemoryFileSystem* fs, std::string key)
          : MemoryLock(fs->locks_, key), fs_(fs), key_(std::move(key)) {}
      ~Lock() override { fs_->held_.erase(key_); }
      MemoryFileSystem* fs_;
      std::string key_;
    };
    return std::make_unique<Lock>(this, key);
  }

 private:
  std::shared_ptr<Node> Find(const std::string& path) {
    std::shared_ptr<Node> node = root_;
    for (const std::string& part : Parts(path)) {
      if (!node->folder) return nullptr;
      auto it = node->children.find(text::FoldCase(part));
      if (it == node->children.end()) return nullptr;
      node = it->second;
    }
    return node;
  }
  Error Missing(const std::string& path) {
    auto [folder, name] = Split(path);
    auto parent = Find(folder);
    return Error(parent && parent->folder ? platform::kFileNotFound : platform::kPathNotFound,
                 path);
  }
  std::shared_ptr<Node> RequireFile(const std::string& path) {
    auto node = Find(path);
    if (!node || node->folder) throw Missing(path);
    return node;
  }
  static std::pair<std::string, std::string> Split(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos) return {"", path};
    return {path.substr(0, slash), path.substr(slash + 1)};
  }
  std::pair<std::shared_ptr<Node>, std::string> Parent(const std::string& path) {
    auto [folder, name] = Split(path);
    auto parent = Find(folder);
    if (!parent || !parent->folder || name.empty()) throw Error(platform::kPathNotFound, path);
    return {parent, name};
  }

  std::shared_ptr<Node> root_;
  std::shared_ptr<std::map<std::string, bool>> locks_;  // whether each folder's last run finished
  std::set<std::string> held_;
};

}  // namespace

std::shared_ptr<FileSystem> NewMemoryFileSystem() { return std::make_shared<MemoryFileSystem>(); }

}  // namespace llupdate
