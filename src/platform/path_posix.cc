#include <dirent.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/file_system.h"
#include "platform/text.h"

namespace llupdate::platform {

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// The names of a directory by folded name, kept between lookups: a rewrite asks for names that
// do not exist (its temporary and backup files) again and again, and each such question would
// otherwise read the whole directory. A listing is used while the directory's identity and
// modification time are unchanged; this file system's own changes update it in place (see
// NoteCreated / NoteRemoved), others are seen through the modification time. Time stamps are
// coarse (a few milliseconds), so a listing read soon after the directory last changed is not
// trusted: another program may change it again within the same tick.
struct Listing {
  dev_t dev = 0;
  ino_t ino = 0;
  struct timespec mtime = {};
  bool trusted = false;
  std::map<std::string, std::set<std::string>> names;  // folded name -> names in the directory
};

constexpr int64_t kSettledNanoseconds = 50'000'000;

bool Settled(const struct timespec& mtime) {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  int64_t age = (static_cast<int64_t>(now.tv_sec) - mtime.tv_sec) * 1'000'000'000 +
                (now.tv_nsec - mtime.tv_nsec);
  return age >= kSettledNanoseconds;
}

constexpr size_t kMaxListings = 64;
thread_local std::unordered_map<std::string, Listing> listings;

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

Listing* ListingOf(const std::string& dir) {
  struct stat st;
  if (::stat(dir.empty() ? "." : dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return nullptr;
  auto it = listings.find(dir);
  if (it != listings.end() && it->second.trusted && it->second.dev == st.st_dev &&
      it->second.ino == st.st_ino && SameTime(it->second.mtime, st.st_mtim)) {
    return &it->second;
  }
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr) return nullptr;
  if (listings.size() >= kMaxListings) listings.clear();
  Listing& listing = listings[dir];
  listing = Listing{st.st_dev, st.st_ino, st.st_mtim, Settled(st.st_mtim), {}};
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") listing.names[FoldCase(name)].insert(name);
  }
  ::closedir(d);
  return &listing;
}

// The directory and the name of a path.
std::pair<std::string, std::string> Split(const std::string& os_path) {
  size_t slash = os_path.find_last_of('/');
  if (slash == std::string::npos) return {"", os_path};
  return {slash == 0 ? "/" : os_path.substr(0, slash), os_path.substr(slash + 1)};
}

// Brings a kept listing up to date after this thread changed its directory itself.
void NoteChange(const std::string& os_path, bool created) {
  auto [dir, name] = Split(os_path);
  auto it = listings.find(dir);
  if (it == listings.end()) return;
  struct stat st;
  if (!it->second.trusted || ::stat(dir.empty() ? "." : dir.c_str(), &st) != 0) {
    listings.erase(it);
    return;
  }
  std::set<std::string>& same = it->second.names[FoldCase(name)];
  if (created) {
    same.insert(name);
  } else {
    same.erase(name);
  }
  it->second.mtime = st.st_mtim;
}

// The entry of dir whose name equals name ignoring case; the first in name order when several do.
std::optional<std::string> FindIgnoringCase(const std::string& dir, const std::string& name) {
  Listing* listing = ListingOf(dir);
  if (listing == nullptr) return std::nullopt;
  auto it = listing->names.find(FoldCase(name));
  if (it == listing->names.end() || it->second.empty()) return std::nullopt;
  return *it->second.begin();
}

}  // namespace

void NoteCreated(const std::string& os_path) { NoteChange(os_path, true); }

void NoteRemoved(const std::string& os_path) { NoteChange(os_path, false); }

std::string ResolvePath(const std::string& component_path) {
  std::string path = component_path;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  if (path.empty() || Exists(path)) return path;

  bool absolute = path.front() == '/';
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  bool trailing_slash = path.back() == '/';

  std::string resolved = absolute ? "/" : "";
  bool searching = true;
  for (const std::string& part : parts) {
    std::string dir = resolved;
    std::string candidate = resolved;
    if (!candidate.empty() && candidate.back() != '/') candidate += '/';
    candidate += part;
    if (searching && part != "." && part != ".." && !Exists(candidate)) {
      if (auto found = FindIgnoringCase(dir, part)) {
        candidate = candidate.substr(0, candidate.size() - part.size()) + *found;
      } else {
        searching = false;  // the rest does not exist: keep it as given
      }
    }
    resolved = candidate;
  }
  if (trailing_slash && !resolved.empty() && resolved.back() != '/') resolved += '/';
  return resolved;
}

}  // namespace llupdate::platform
