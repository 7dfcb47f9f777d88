#include "files/profile_reader.h"

#include <set>
#include <string_view>

#include "platform/error.h"
#include "text/text.h"
#include "text/text_io.h"

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

std::string_view CutAtNul(std::string_view s) {
  size_t nul = s.find('\0');
  return nul == std::string_view::npos ? s : s.substr(0, nul);
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

// Answers the queries from the lines of one file, in file order.
class Scanner {
 public:
  explicit Scanner(const std::vector<ProfileQuery>& queries) {
    for (const ProfileQuery& q : queries) {
      pending_.push_back({text::FoldCase(q.section), text::FoldCase(q.key)});
      values_.push_back(q.default_value);
    }
    open_ = queries.size();
    seen_.insert("");  // the unnamed section before the first header
  }

  // Takes one physical line (it may still hold LF characters); false once every query is known.
  bool Feed(std::string_view text) {
    size_t start = 0;
    while (start <= text.size() && open_ > 0) {
      size_t end = text.find('\n', start);
      if (end == std::string_view::npos) end = text.size();
      Line(TrimRight(TrimLeft(text.substr(start, end - start))));
      start = end + 1;
    }
    return open_ > 0;
  }

  std::vector<std::string> Values() { return values_; }

 private:
  struct Pending {
    std::string section;
    std::string key;
    bool done = false;
  };

  void Line(std::string_view line) {
    if (line.empty()) return;
    size_t close = line.rfind(']');
    if (line.front() == '[' && close != std::string_view::npos) {
      // The section ends: what it did not answer, its later namesakes never will.
      if (first_) ResolveSection(section_);
      section_ = text::FoldCase(CutAtNul(TrimRight(TrimLeft(line.substr(1, close - 1)))));
      first_ = seen_.insert(section_).second;
      return;
    }
    if (!first_) return;
    size_t equals = line.find('=');
    bool has_value = equals != std::string_view::npos;
    std::string name =
        text::FoldCase(CutAtNul(has_value ? TrimRight(line.substr(0, equals)) : line));
    for (size_t i = 0; i < pending_.size(); ++i) {
      Pending& p = pending_[i];
      if (p.done || p.section != section_ || p.key != name) continue;
      if (has_value) values_[i] = Value(line.substr(equals + 1));
      Done(i);
    }
  }

  static std::string Value(std::string_view raw) {
    std::string_view value = TrimRight(CutAtNul(TrimLeft(raw)));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return std::string(FirstCharacters(value, kProfileValueLimit));
  }

  void ResolveSection(const std::string& section) {
    for (size_t i = 0; i < pending_.size(); ++i) {
      if (!pending_[i].done && pending_[i].section == section) Done(i);
    }
  }

  void Done(size_t i) {
    pending_[i].done = true;
    --open_;
  }

  std::vector<Pending> pending_;
  std::vector<std::string> values_;
  size_t open_;
  std::set<std::string> seen_;
  std::string section_;
  bool first_ = true;
};

std::vector<std::string> Defaults(const std::vector<ProfileQuery>& queries) {
  std::vector<std::string> values;
  for (const ProfileQuery& q : queries) values.push_back(q.default_value);
  return values;
}

}  // namespace

std::vector<std::string> ReadProfileValues(platform::FileSystem& fs, const std::string& file,
                                           const std::vector<ProfileQuery>& queries,
                                           bool* unreadable) {
  std::unique_ptr<platform::File> f;
  try {
    f = fs.Open(file, platform::OpenMode::kRead);
  } catch (const platform::Error& e) {
    // A file that cannot be found (or is a directory) reads as missing: every default.
    if (e.number() == platform::kFileNotFound || e.number() == platform::kPathNotFound ||
        e.number() == platform::kPathFileAccessError) {
      // A file that is there but could not be opened may hold values a job decides by.
      if (e.number() == platform::kPathFileAccessError && unreadable != nullptr) {
        *unreadable = true;
      }
      return Defaults(queries);
    }
    throw;
  }
  text::TextReader reader(std::move(f));
  Scanner scanner(queries);
  std::string line;
  while (reader.ReadLine(line) && scanner.Feed(line)) {
  }
  reader.Close();
  return scanner.Values();
}

}  // namespace llupdate::files
