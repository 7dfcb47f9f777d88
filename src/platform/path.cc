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

std::string FoldCase(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 'A' && c <= 'Z') {
      out.push_back(static_cast<char>(c + 32));
    } else if ((c == 0xC3 || c == 0xC4 || c == 0xC5) && i + 1 < text.size() &&
               (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80) {
      unsigned char d = static_cast<unsigned char>(text[i + 1]);
      unsigned code = ((c & 0x1Fu) << 6) | (d & 0x3Fu);
      if (code >= 0xC0 && code <= 0xDE && code != 0xD7) {
        code += 0x20;  // Latin-1 capitals
      } else if (code >= 0x100 && code <= 0x17E) {
        // Latin Extended-A: capitals and small letters alternate, with two changes of parity.
        bool odd_capitals = (code >= 0x139 && code <= 0x148) || code >= 0x179;
        bool capital = odd_capitals ? (code % 2 == 1) : (code % 2 == 0);
        if (capital && code != 0x130 && code != 0x138 && code != 0x149 && code != 0x178) ++code;
      }
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
      ++i;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return FoldCase(a) == FoldCase(b);
}

std::string TrimSpaces(std::string_view text) {
  size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return "";
  return std::string(text.substr(first, text.find_last_not_of(' ') - first + 1));
}

std::string UpperAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return text;
}

std::string UpperCase(std::string_view text) {
  std::string out(text);
  for (size_t i = 0; i < out.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(out[i]);
    if (c >= 'a' && c <= 'z') {
      out[i] = static_cast<char>(c - 32);
    } else if (c == 0xC3 && i + 1 < out.size()) {
      unsigned char d = static_cast<unsigned char>(out[i + 1]);
      if (d >= 0xA0 && d <= 0xBE && d != 0xB7) out[i + 1] = static_cast<char>(d - 0x20);
      ++i;
    }
  }
  return out;
}

std::string_view FirstCharacters(std::string_view text, size_t count) {
  size_t end = 0;
  for (size_t seen = 0; end < text.size() && seen < count; ++seen) {
    ++end;
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
  }
  return text.substr(0, end);
}

std::string_view LastCharacters(std::string_view text, size_t count) {
  size_t start = text.size();
  for (size_t seen = 0; seen < count && start > 0;) {
    --start;
    if ((static_cast<unsigned char>(text[start]) & 0xC0) != 0x80) ++seen;
  }
  return text.substr(start);
}

bool NameLess(std::string_view a, std::string_view b) {
  std::string fa = FoldCase(a), fb = FoldCase(b);
  if (fa != fb) return fa < fb;
  return a < b;
}

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
