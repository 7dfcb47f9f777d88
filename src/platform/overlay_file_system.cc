#include "platform/overlay_file_system.h"

#include <algorithm>

#include "platform/error.h"
#include "text/encoding.h"
#include "text/text.h"
#include "text/unified_diff.h"

namespace llupdate::platform {
namespace {

// Reads the bytes of a file of the overlay, as they are when the file is opened.
class OverlayReader : public File {
 public:
  explicit OverlayReader(std::string bytes) : bytes_(std::move(bytes)) {}
  size_t Read(char* buffer, size_t size) override {
    size_t n = std::min(size, bytes_.size() - position_);
    bytes_.copy(buffer, n, position_);
    position_ += n;
    return n;
  }
  void Write(const char*, size_t) override { throw Error(kBadFileNumber); }
  void Close() override {}

 private:
  std::string bytes_;
  size_t position_ = 0;
};

template <class Content>
class OverlayWriter : public File {
 public:
  explicit OverlayWriter(std::shared_ptr<Content> content) : content_(std::move(content)) {}
  size_t Read(char*, size_t) override { throw Error(kBadFileNumber); }
  void Write(const char* data, size_t size) override { content_->bytes.append(data, size); }
  void Close() override {}

 private:
  std::shared_ptr<Content> content_;
};

// The lock of a preview: it takes nothing, but tells whether another run holds the database now
// and whether the last one finished.
class PreviewLock : public WriterLock {
 public:
  PreviewLock(bool unfinished, std::vector<OwnFile> own)
      : unfinished_(unfinished), own_(std::move(own)) {}
  bool previous_run_unfinished() const override { return unfinished_; }
  std::vector<OwnFile> previous_own_files() const override { return own_; }
  void MarkFinished() override {}

 private:
  bool unfinished_;
  std::vector<OwnFile> own_;
};

std::string LastPart(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

OverlayFileSystem::OverlayFileSystem(std::shared_ptr<FileSystem> base,
                                     std::vector<std::string> roots)
    : base_(std::move(base)) {
  for (const std::string& root : roots) {
    std::string real = base_->RealPath(root);
    if (!real.empty()) roots_.push_back(real);
  }
}

// Paths name the same file when they have the same parts, ignoring case.
std::string OverlayFileSystem::Key(const std::string& path) {
  std::string key;
  if (!path.empty() && (path[0] == '\\' || path[0] == '/')) key = "\\";
  std::string part;
  auto flush = [&] {
    if (!part.empty() && part != ".") {
      if (!key.empty() && key.back() != '\\') key += '\\';
      key += text::FoldCase(part);
    }
    part.clear();
  };
  for (char c : path) {
    if (c == '\\' || c == '/') {
      flush();
    } else {
      part += c;
    }
  }
  flush();
  return key;
}

std::string OverlayFileSystem::FolderOf(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

OverlayFileSystem::Node* OverlayFileSystem::Find(const std::string& path) {
  auto it = nodes_.find(Key(path));
  return it == nodes_.end() ? nullptr : &it->second;
}

bool OverlayFileSystem::Hidden(const std::string& path) {
  return work_ && !held_folders_.empty() && held_folders_.count(Key(FolderOf(path))) > 0 &&
         work_(LastPart(path));
}

bool OverlayFileSystem::BaseFile(const std::string& path) {
  return !Hidden(path) && base_->FileExists(path);
}

void OverlayFileSystem::CheckMayReplace(const std::string& path, bool or_write_into) {
  if (!BaseFile(path) || base_->MayReplace(path, account_)) return;
  // Where another file may not take its name, a new content is written into the file itself.
  if (or_write_into && base_->MayWrite(path, account_)) return;
  throw Error(kPermissionDenied, path);
}

bool OverlayFileSystem::IsFile(const std::string& path) {
  Node* node = Find(path);
  return node != nullptr ? node->present && !node->folder : BaseFile(path);
}

bool OverlayFileSystem::IsFolder(const std::string& path) {
  if (FolderOf(path).empty() && path.empty()) return true;
  Node* node = Find(path);
  return node != nullptr ? node->present && node->folder : base_->FolderExists(path);
}

// Whether anything at all has the name: also a dangling link or a pipe.
bool OverlayFileSystem::NameTaken(const std::string& path) {
  if (Node* node = Find(path)) return node->present;
  return !Hidden(path) && base_->KindOf(path) != EntryKind::kNone;
}

// Whether the folder exists in the preview only: nothing in it is on the disk, so the disk
// cannot tell what is missing there.
bool OverlayFileSystem::MadeHere(const std::string& folder) {
  Node* node = Find(folder);
  return node != nullptr && node->present && node->folder && !base_->FolderExists(folder);
}

Error OverlayFileSystem::Missing(const std::string& path) {
  std::string folder = FolderOf(path);
  return Error(folder.empty() || IsFolder(folder) ? kFileNotFound : kPathNotFound, path);
}

OverlayFileSystem::Node& OverlayFileSystem::RequireFile(const std::string& path) {
  if (!IsFile(path)) throw Missing(path);
  return Put(path);
}

// The node of a path, made from what the disk has there when the overlay has none yet.
OverlayFileSystem::Node& OverlayFileSystem::Put(const std::string& path) {
  auto [it, inserted] = nodes_.try_emplace(Key(path));
  Node& node = it->second;
  if (inserted) {
    if (BaseFile(path)) {
      node.content = std::make_shared<Content>();
      node.content->origin = path;
      node.read_only = (base_->GetAttributes(path) & kAttrReadOnly) != 0;
    } else if (base_->FolderExists(path)) {
      node.folder = true;
    } else {
      node.present = false;
    }
  }
  node.path = path;
  return node;
}

// Only regular files are read, and through a link only when it leads into one of the roots: a
// preview never waits on a pipe and never reads what lies outside the directories it was given.
void OverlayFileSystem::CheckReadable(const std::string& path) {
  EntryKind kind = base_->KindOf(path);
  if (kind == EntryKind::kNone) return;  // the read itself tells what is missing
  const std::string os_path = base_->ShownPath(path);
  if (kind == EntryKind::kLink) {
    const std::string target = base_->RealPath(path);
    if (target.empty()) {
      throw Error(kPathFileAccessError, os_path + " (ein Verweis ins Leere oder im Kreis)");
    }
    bool inside = std::any_of(roots_.begin(), roots_.end(), [&](const std::string& root) {
      return target == root || target.starts_with(root == "/" ? root : root + "/");
    });
    if (!inside) {
      throw Error(
          kPathFileAccessError,
          os_path + " (ein Verweis aus der Datenbank heraus: die Vorschau folgt ihm nicht)");
    }
    kind = base_->KindOf(target);
    if (kind == EntryKind::kNone) throw Error(kPathFileAccessError, os_path);
  }
  if (kind != EntryKind::kFile) throw Error(kPathFileAccessError, os_path + " (keine Datei)");
}

std::string OverlayFileSystem::ReadBase(const std::string& path) {
  CheckReadable(path);
  std::unique_ptr<File> file = base_->Open(path, OpenMode::kRead);
  std::string bytes;
  char buffer[1 << 16];
  while (size_t n = file->Read(buffer, sizeof buffer)) bytes.append(buffer, n);
  return bytes;
}

const std::string& OverlayFileSystem::Load(Content& content) {
  if (!content.loaded) {
    content.bytes = ReadBase(content.origin);
    content.loaded = true;
  }
  return content.bytes;
}

bool OverlayFileSystem::FileExists(const std::string& path) { return IsFile(path); }

bool OverlayFileSystem::FolderExists(const std::string& path) { return IsFolder(path); }

void OverlayFileSystem::CreateFolder(const std::string& path) {
  if (NameTaken(path)) throw Error(kFileAlreadyExists, path);
  if (!FolderOf(path).empty() && !IsFolder(FolderOf(path))) throw Error(kPathNotFound, path);
  Node& node = Put(path);
  node = Node{true, true, path, nullptr};  // a folder is never read-only here
}

// Only a folder the preview made can go again (the journal's, pruned in the same run).
void OverlayFileSystem::RemoveFolder(const std::string& path) {
  Node* node = Find(path);
  if (KindOf(path) == EntryKind::kNone) throw Error(kFileNotFound, path);
  if (node == nullptr || !node->present || !node->folder) throw Error(kPermissionDenied, path);
  if (!ListFiles(path).empty()) throw Error(kPathFileAccessError, path);
  nodes_.erase(Key(path));
}

void OverlayFileSystem::CopyFile(const std::string& source, const std::string& destination,
                                 bool overwrite) {
  Node& from = RequireFile(source);
  if (IsFolder(destination)) throw Error(kPermissionDenied, destination);
  if (IsFile(destination)) {
    if (!overwrite) throw Error(kFileAlreadyExists, destination);
    CheckMayReplace(destination, true);
    if (Put(destination).read_only || Key(source) == Key(destination)) {
      throw Error(kPermissionDenied, destination);
    }
  } else if (!IsFolder(FolderOf(destination))) {
    throw Error(kPathNotFound, destination);
  }
  // A copy of a file that is still the disk's reads the disk when it is read: nothing copied.
  auto content = std::make_shared<Content>();
  if (from.content->loaded) {
    content->loaded = true;
    content->bytes = from.content->bytes;
  } else {
    content->origin = from.content->origin;
  }
  bool read_only = from.read_only;
  Node& to = Put(destination);
  to.present = true;
  to.folder = false;
  to.content = content;
  to.read_only = read_only;
}

// Gives the content of from the name destination; the old name goes unless keep_source.
void OverlayFileSystem::Rename(Node& from, const std::string& destination, bool keep_source) {
  std::shared_ptr<Content> content = from.content;
  bool read_only = from.read_only;
  if (!keep_source) {
    from.present = false;
    from.content = nullptr;
  }
  Node& to = Put(destination);
  to = Node{true, false, destination, content, read_only};
}

void OverlayFileSystem::MoveFile(const std::string& source, const std::string& destination) {
  Node& from = RequireFile(source);
  if (NameTaken(destination)) throw Error(kFileAlreadyExists, destination);
  if (!IsFolder(FolderOf(destination))) throw Error(kPathNotFound, destination);
  CheckMayReplace(source, false);
  Rename(from, destination, false);
}

void OverlayFileSystem::DeleteFile(const std::string& path, bool force) {
  Node& node = RequireFile(path);
  if (node.read_only && !force) throw Error(kPermissionDenied, path);
  CheckMayReplace(path, false);
  node.present = false;
  node.content = nullptr;
}

std::vector<FileEntry> OverlayFileSystem::ListFiles(const std::string& folder) {
  if (!IsFolder(folder)) throw Error(kPathNotFound, folder);
  std::vector<FileEntry> files;
  if (base_->FolderExists(folder)) {
    for (FileEntry& entry : base_->ListFiles(folder)) {
      const std::string path = folder + "\\" + entry.name;
      if (Find(path) == nullptr && !Hidden(path)) files.push_back(std::move(entry));
    }
  }
  const std::string key = Key(folder);
  for (const auto& [node_key, node] : nodes_) {
    if (!node.present || node.folder || Key(FolderOf(node.path)) != key) continue;
    std::string name = LastPart(node.path);
    files.push_back({name, folder + "\\" + name});
  }
  std::sort(files.begin(), files.end(),
            [](const FileEntry& a, const FileEntry& b) { return text::NameLess(a.name, b.name); });
  return files;
}

std::unique_ptr<File> OverlayFileSystem::Open(const std::string& path, OpenMode mode) {
  if (IsFolder(path)) throw Error(kPathFileAccessError, path);
  if (mode == OpenMode::kRead) {
    Node* node = Find(path);
    if (node == nullptr) {
      if (MadeHere(FolderOf(path)) || Hidden(path)) throw Missing(path);
      CheckReadable(path);
      return base_->Open(path, OpenMode::kRead);
    }
    if (!node->present) throw Missing(path);
    if (node->content->loaded) return std::make_unique<OverlayReader>(node->content->bytes);
    CheckReadable(node->content->origin);
    return base_->Open(node->content->origin, OpenMode::kRead);
  }
  if (mode == OpenMode::kCreateNew && NameTaken(path)) throw Error(kFileAlreadyExists, path);
  if (IsFile(path)) {
    if (Put(path).read_only) throw Error(kPermissionDenied, path);
  } else if (!IsFolder(FolderOf(path))) {
    throw Error(kPathNotFound, path);
  }
  Node& node = Put(path);
  bool read_only = node.present && node.read_only;
  node = Node{true, false, path, std::make_shared<Content>(), read_only};
  node.content->loaded = true;  // emptied; a second name keeps the old content
  return std::make_unique<OverlayWriter<Content>>(node.content);
}

std::unique_ptr<InPlaceFile> OverlayFileSystem::OpenInPlace(const std::string& path, bool write,
                                                            bool create) {
  if (IsFolder(path)) throw Error(kPathFileAccessError, path);
  if (!IsFile(path)) {
    if (!write || !create) throw Missing(path);
    if (!IsFolder(FolderOf(path))) throw Error(kPathNotFound, path);
    Node& node = Put(path);
    node = Node{true, false, path, std::make_shared<Content>(), false};
    node.content->loaded = true;
  }
  Node* node = Find(path);
  if (write && (node != nullptr ? node->read_only
                                : ((base_->GetAttributes(path) & kAttrReadOnly) != 0 ||
                                   !base_->MayWrite(path, account_)))) {
    throw Error(kPermissionDenied, path);
  }
  class Opened : public InPlaceFile {
   public:
    Opened(OverlayFileSystem& fs, std::string path, std::shared_ptr<Content> content, bool write,
           bool own)
        : fs_(fs), path_(std::move(path)), content_(std::move(content)), write_(write), own_(own) {}
    size_t ReadAt(uint64_t offset, char* buffer, size_t size) override {
      const std::string& bytes = content_->bytes;
      return offset >= bytes.size() ? 0 : bytes.copy(buffer, size, static_cast<size_t>(offset));
    }
    void WriteAt(uint64_t offset, const char* data, size_t size) override {
      std::string& bytes = Changed();
      if (bytes.size() < offset + size) bytes.resize(static_cast<size_t>(offset + size));
      bytes.replace(static_cast<size_t>(offset), size, data, size);
    }
    void Truncate(uint64_t size) override { Changed().resize(static_cast<size_t>(size)); }
    uint64_t Size() override { return content_->bytes.size(); }
    void Sync() override {}

   private:
    // The first change makes the content the overlay's.
    std::string& Changed() {
      if (!write_) throw Error(kBadFileNumber, path_);
      if (!own_) {
        fs_.Put(path_).content = content_;
        own_ = true;
      }
      return content_->bytes;
    }
    OverlayFileSystem& fs_;
    std::string path_;
    std::shared_ptr<Content> content_;
    bool write_, own_;
  };
  if (node != nullptr && node->content->loaded) {
    return std::make_unique<Opened>(*this, path, node->content, write, true);
  }
  auto copy = std::make_shared<Content>();
  copy->bytes = ReadBase(node != nullptr ? node->content->origin : path);
  copy->loaded = true;
  return std::make_unique<Opened>(*this, path, copy, write, false);
}

uint32_t OverlayFileSystem::GetAttributes(const std::string& path) {
  Node* node = Find(path);
  if (node == nullptr) {
    if (MadeHere(FolderOf(path))) throw Missing(path);
    return base_->GetAttributes(path);
  }
  if (!node->present) throw Missing(path);
  if (node->folder) return kAttrDirectory;
  return node->read_only ? kAttrReadOnly : kAttrNormal;
}

void OverlayFileSystem::SetAttributes(const std::string& path, uint32_t attributes) {
  if (!IsFile(path) && !IsFolder(path)) throw Missing(path);
  // Only the owner of a file of the disk may change its attributes.
  if (Find(path) == nullptr && BaseFile(path) && !account_.empty() && account_ != "0" &&
      ((base_->GetAttributes(path) ^ attributes) & kAttrReadOnly) != 0 &&
      base_->FileOwner(path) != account_) {
    throw Error(kPermissionDenied, path);
  }
  Node& node = Put(path);
  if (!node.folder) node.read_only = (attributes & kAttrReadOnly) != 0;
}

bool OverlayFileSystem::LinkFile(const std::string& existing, const std::string& new_name) {
  Node& from = RequireFile(existing);
  if (NameTaken(new_name)) throw Error(kFileAlreadyExists, new_name);
  if (!IsFolder(FolderOf(new_name))) throw Error(kPathNotFound, new_name);
  Rename(from, new_name, true);
  return true;
}

bool OverlayFileSystem::ReplaceFile(const std::string& source, const std::string& destination) {
  Node& from = RequireFile(source);
  if (IsFolder(destination)) throw Error(kPermissionDenied, destination);
  if (!IsFolder(FolderOf(destination))) throw Error(kPathNotFound, destination);
  CheckMayReplace(destination, true);
  Rename(from, destination, false);
  return true;
}

std::unique_ptr<WriterLock> OverlayFileSystem::LockFormFolder(const std::string& folder, double) {
  if (!IsFolder(folder)) return nullptr;
  // A preview reads only, so another run's lock does not stop it. That run may be in the middle
  // of a form: its files are its own, and none of them is shown as healed.
  LockPeek peek = platform::PeekFormFolderLock(*base_, folder);
  if (peek.held) {
    held_by_ = peek.text.empty() ? "?" : peek.text;
    held_folders_.insert(Key(folder));
    return std::make_unique<PreviewLock>(false, std::vector<OwnFile>{});
  }
  // The real run writes its record in the folder: where it may not, neither does the preview
  // go on, and it says what the real run would say.
  if (!base_->MayWrite(folder, account_)) {
    throw Error(kPathFileAccessError,
                "der Sperrvermerk " + base_->ShownPath(folder) + "/" + kLockFileName +
                    " kann nicht angelegt werden (" + ErrorDescription(kPermissionDenied) +
                    "); der Formularordner muss für diesen Benutzer beschreibbar sein");
  }
  return std::make_unique<PreviewLock>(peek.unfinished, std::move(peek.own));
}

std::vector<OverlayFileSystem::Change> OverlayFileSystem::Changes() {
  std::vector<Change> changes;
  for (auto& [key, node] : nodes_) {
    Change change{
        Change::kChanged, node.path, base_->ShownPath(node.path), false, false, false, false};
    if (node.folder) {
      if (!node.present || base_->FolderExists(node.path)) continue;
      change.kind = Change::kCreatedFolder;
    } else if (node.present) {
      if (!BaseFile(node.path)) {
        change.kind = Change::kCreated;
      } else {
        change.content_changed = node.content->loaded || Key(node.content->origin) != key;
        change.read_only_before = (base_->GetAttributes(node.path) & kAttrReadOnly) != 0;
        change.read_only_after = node.read_only;
        if (!change.content_changed && change.read_only_before == change.read_only_after) {
          continue;
        }
      }
    } else {
      if (!BaseFile(node.path)) continue;
      change.kind = Change::kDeleted;
      std::string backup = FolderOf(node.path) + "\\alt_" + LastPart(node.path);
      Node* saved = Find(backup);
      change.stranded = saved != nullptr && saved->present && !BaseFile(backup);
    }
    changes.push_back(std::move(change));
  }
  std::sort(changes.begin(), changes.end(),
            [](const Change& a, const Change& b) { return a.os_path < b.os_path; });
  return changes;
}

std::string OverlayFileSystem::BytesBefore(const std::string& path) { return ReadBase(path); }

std::string OverlayFileSystem::BytesAfter(const std::string& path) {
  Node* node = Find(path);
  if (node == nullptr) return ReadBase(path);
  if (!node->present || node->folder) return "";
  return Load(*node->content);
}

}  // namespace llupdate::platform

std::string llupdate::UnifiedDiff(const std::string& before, const std::string& after) {
  return text::Diff(before, after);
}

std::string llupdate::FormText(const std::string& bytes) {
  size_t mark = 0;
  const text::Encoding encoding = text::DetectEncoding(bytes, &mark);
  return text::DecodeText(std::string_view(bytes).substr(mark), encoding);
}
