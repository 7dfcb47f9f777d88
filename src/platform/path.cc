#include <dirent.h>
#include <sys/stat.h>

#include <optional>
#include <string>
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

// The entry of dir whose name equals name ignoring case; the first in name order when several do.
std::optional<std::string> FindIgnoringCase(const std::string& dir, const std::string& name) {
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr) return std::nullopt;
  std::string folded = FoldCase(name);
  std::optional<std::string> best;
  while (dirent* e = ::readdir(d)) {
    std::string candidate = e->d_name;
    if (candidate == "." || candidate == "..") continue;
    if (FoldCase(candidate) == folded && (!best || candidate < *best)) best = candidate;
  }
  ::closedir(d);
  return best;
}

}  // namespace

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
