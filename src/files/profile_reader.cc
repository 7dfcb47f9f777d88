#include "files/profile_reader.h"

#include "files/encoding.h"
#include "platform/text.h"

namespace llupdate::files {
namespace {

bool IsBlank(char c) {
  return c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == '\x1A' || c == ' ';
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

std::string_view CutAtNul(std::string_view s) {
  size_t nul = s.find('\0');
  return nul == std::string_view::npos ? s : s.substr(0, nul);
}

std::string Decode(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return std::string(bytes.substr(3));
  std::string text;
  if (bytes.substr(0, 2) == "\xFF\xFE") {
    AppendUtf16AsUtf8(text, bytes.substr(2), false, true);
  } else if (bytes.substr(0, 2) == "\xFE\xFF") {
    AppendUtf16AsUtf8(text, bytes.substr(2), true, true);
  } else {
    AppendCp1252AsUtf8(text, bytes);
  }
  return text;
}

// The first limit characters (code points) of a UTF-8 text.
std::string_view FirstCharacters(std::string_view s, size_t limit) {
  size_t count = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (count == limit) return s.substr(0, i);
      ++count;
    }
  }
  return s;
}

}  // namespace

ProfileFile::ProfileFile(std::string_view bytes) {
  std::string text = Decode(bytes);
  sections_.push_back({"", {}});  // the unnamed section before the first header
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line = Trim(std::string_view(text).substr(pos, end - pos));
    pos = text.find_first_not_of("\r\n", end);
    if (pos == std::string::npos) pos = text.size();
    if (line.empty()) continue;

    size_t close = line.rfind(']');
    if (line.front() == '[' && close != std::string_view::npos) {
      std::string_view name = Trim(line.substr(1, close - 1));
      sections_.push_back({platform::FoldCase(CutAtNul(name)), {}});
      continue;
    }
    size_t equals = line.find('=');
    Entry entry;
    entry.has_value = equals != std::string_view::npos;
    std::string_view name = entry.has_value ? TrimRight(line.substr(0, equals)) : line;
    entry.folded_name = platform::FoldCase(CutAtNul(name));
    if (entry.has_value) {
      std::string_view value = TrimRight(CutAtNul(TrimLeft(line.substr(equals + 1))));
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
      entry.value = std::string(FirstCharacters(value, kProfileValueLimit));
    }
    sections_.back().entries.push_back(std::move(entry));
  }
}

std::string ProfileFile::Get(std::string_view section, std::string_view key,
                             const std::string& default_value) const {
  std::string folded_section = platform::FoldCase(section);
  std::string folded_key = platform::FoldCase(key);
  for (const Section& s : sections_) {
    if (s.folded_name != folded_section) continue;
    for (const Entry& e : s.entries) {
      if (e.folded_name == folded_key) return e.has_value ? e.value : default_value;
    }
    return default_value;  // only the first section of that name counts
  }
  return default_value;
}

}  // namespace llupdate::files
