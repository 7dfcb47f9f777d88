#include "platform/path_posix.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/file_system.h"
#include "text/text.h"

namespace llupdate::platform {

namespace {

EntryType TypeOf(unsigned char d_type) {
  switch (d_type) {
    case DT_REG:
      return EntryType::kFile;
    case DT_DIR:
      return EntryType::kDirectory;
    case DT_LNK:
      return EntryType::kLink;
    case DT_UNKNOWN:
      return EntryType::kUnknown;
    default:
      return EntryType::kOther;
  }
}

std::string ToSlashes(const std::string& component_path) {
  std::string path;
  path.reserve(component_path.size());
  for (size_t i = 0; i < component_path.size(); ++i) {
    const char c = component_path[i];
    if (c == '\\') {
      path += '/';
    } else if (c == kBackslashInName[0] &&
               component_path.compare(i, sizeof kBackslashInName - 1, kBackslashInName) == 0) {
      path += '\\';  // a "\" inside a name from a listing stands for itself (see ComponentName)
      i += sizeof kBackslashInName - 2;
    } else {
      path += c;
    }
  }
  return path;
}

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

}  // namespace

std::string ComponentName(const std::string& os_name) {
  if (os_name.find('\\') == std::string::npos) return os_name;
  std::string name;
  for (char c : os_name) {
    if (c == '\\') {
      name += kBackslashInName;
    } else {
      name += c;
    }
  }
  return name;
}

std::pair<std::string, std::string> SplitPath(const std::string& os_path) {
  size_t slash = os_path.find_last_of('/');
  if (slash == std::string::npos) return {"", os_path};
  return {slash == 0 ? "/" : os_path.substr(0, slash), os_path.substr(slash + 1)};
}

void PathResolver::EndJob() {
  if (job_depth_ > 0 && --job_depth_ == 0) {
    folders_.clear();
    listings_.clear();
  }
}

PathResolver::Listing* PathResolver::ListingOf(const std::string& os_folder) {
  if (in_job()) {
    auto it = listings_.find(os_folder);
    if (it != listings_.end()) return &it->second;
  }
  DIR* d = ::opendir(os_folder.empty() ? "." : os_folder.c_str());
  if (d == nullptr) return nullptr;
  Listing listing;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..")
      listing.by_folded[text::FoldCase(name)][name] = TypeOf(e->d_type);
  }
  ::closedir(d);
  if (!in_job()) {
    scratch_ = std::move(listing);
    return &scratch_;
  }
  return &(listings_[os_folder] = std::move(listing));
}

bool PathResolver::Entries(const std::string& os_folder, std::vector<Entry>* entries) {
  Listing* listing = ListingOf(os_folder);
  if (listing == nullptr) return false;
  entries->clear();
  for (auto& [folded, names] : listing->by_folded) {
    for (auto& [name, type] : names) {
      if (type == EntryType::kUnknown || type == EntryType::kLink) {
        // What a link or an untyped entry is, is asked once: then the listing knows.
        struct stat st;
        std::string path = Join(os_folder, name);
        EntryType seen = EntryType::kOther;
        if (::stat(path.c_str(), &st) == 0) {
          seen = S_ISREG(st.st_mode)   ? EntryType::kFile
                 : S_ISDIR(st.st_mode) ? EntryType::kDirectory
                                       : EntryType::kOther;
        }
        type = seen;
      }
      entries->push_back({name, type});
    }
  }
  return true;
}

std::string PathResolver::ResolveFolder(const std::string& folder) {
  if (folder.empty() || folder == "/") return folder;
  if (in_job()) {
    auto it = folders_.find(folder);
    if (it != folders_.end()) return it->second;
  }
  std::string resolved;
  struct stat st;
  if (::lstat(folder.c_str(), &st) == 0) {
    resolved = folder;
  } else {
    auto [parent, name] = SplitPath(folder);
    std::string os_parent = ResolveFolder(parent);
    resolved = Join(os_parent, name);
    if (name != "." && name != ".." && !name.empty()) {
      if (Listing* listing = ListingOf(os_parent)) {
        auto found = listing->by_folded.find(text::FoldCase(name));
        if (found != listing->by_folded.end() && !found->second.empty()) {
          auto exact = found->second.find(name);
          resolved =
              Join(os_parent, exact != found->second.end() ? name : found->second.begin()->first);
        }
      }
    }
  }
  if (in_job()) folders_[folder] = resolved;
  return resolved;
}

PathResolver::Resolved PathResolver::Resolve(const std::string& component_path) {
  std::string path = ToSlashes(component_path);
  Resolved r;
  if (path.empty()) return r;
  bool trailing_slash = path.size() > 1 && path.back() == '/';
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  auto [folder, name] = SplitPath(path);
  r.folder = ResolveFolder(folder);
  r.os_path = Join(r.folder, name);
  if (name == "." || name == "..") return r;
  if (!in_job()) {
    // One question, an exact match first; the folder is read only when that fails.
    struct stat st;
    if (::lstat(r.os_path.c_str(), &st) == 0) {
      if (trailing_slash) r.os_path += '/';
      return r;
    }
  }
  if (Listing* listing = ListingOf(r.folder)) {
    auto found = listing->by_folded.find(text::FoldCase(name));
    if (found != listing->by_folded.end() && !found->second.empty()) {
      auto exact = found->second.find(name);
      if (exact == found->second.end()) exact = found->second.begin();
      r.os_path = Join(r.folder, exact->first);
      r.type = exact->second;
      r.listed = in_job();
      r.found = true;
    } else {
      r.listed = in_job();  // absent from the job's listing
    }
  }
  if (trailing_slash) r.os_path += '/';
  return r;
}

void PathResolver::NoteCreated(const std::string& os_path, EntryType type) {
  auto [folder, name] = SplitPath(os_path);
  auto it = listings_.find(folder);
  if (it != listings_.end()) it->second.by_folded[text::FoldCase(name)][name] = type;
}

void PathResolver::NoteRemoved(const std::string& os_path) {
  auto [folder, name] = SplitPath(os_path);
  auto it = listings_.find(folder);
  if (it == listings_.end()) return;
  auto found = it->second.by_folded.find(text::FoldCase(name));
  if (found == it->second.by_folded.end()) return;
  found->second.erase(name);
  if (found->second.empty()) it->second.by_folded.erase(found);
}

void PathResolver::Forget(const std::string& os_path) {
  auto [folder, name] = SplitPath(os_path);
  listings_.erase(folder);
  for (auto it = folders_.begin(); it != folders_.end();) {
    it = it->second == folder ? folders_.erase(it) : std::next(it);
  }
}

std::string ResolvePath(const std::string& component_path) {
  return PathResolver().Resolve(component_path).os_path;
}

}  // namespace llupdate::platform
