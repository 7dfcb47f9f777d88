#include "dry_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "host/message_sinks.h"
#include "host/objects.h"
#include "platform/file_system.h"
#include "text/encoding.h"
#include "text/text.h"
#include "unified_diff.h"

namespace llupdate::cli {
namespace {

namespace fsys = std::filesystem;

// Reading the originals: O_NOATIME where the system allows it, so that not even the access
// time of a form changes.
int OpenQuietly(const std::string& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_NOATIME | O_CLOEXEC);
  if (fd < 0) fd = ::open(path.c_str(), flags | O_CLOEXEC);
  return fd;
}

bool ReadFile(const std::string& path, std::string& bytes) {
  int fd = OpenQuietly(path, O_RDONLY);
  if (fd < 0) return false;
  bytes.clear();
  char buffer[1 << 16];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<size_t>(n));
  ::close(fd);
  return n == 0;
}

struct Entry {
  bool directory = false;
  mode_t mode = 0;
};

// The entries of a directory (names only), read without touching its access time.
std::map<std::string, Entry> ListDirectory(const std::string& dir) {
  std::map<std::string, Entry> entries;
  int fd = OpenQuietly(dir, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return entries;
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    ::close(fd);
    return entries;
  }
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (::fstatat(fd, name.c_str(), &st, 0) != 0) continue;
    entries[name] = {S_ISDIR(st.st_mode), st.st_mode & 07777};
  }
  ::closedir(d);
  return entries;
}

void CopyFile(const std::string& from, const std::string& to, mode_t mode) {
  std::string bytes;
  if (!ReadFile(from, bytes)) throw std::runtime_error("cannot read " + from);
  int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot write " + to);
  }
  ::close(fd);
  ::chmod(to.c_str(), mode);
}

// Copies the files of a directory, and with recursive its subdirectories, keeping their modes;
// only the entries that keep() accepts at the top.
using Keep = std::function<bool(const std::string&)>;

void CopyTree(const std::string& from, const std::string& to, bool recursive,
              const Keep& keep = nullptr) {
  ::mkdir(to.c_str(), 0755);
  for (const auto& [name, entry] : ListDirectory(from)) {
    if (keep != nullptr && !keep(name)) continue;
    if (entry.directory) {
      if (recursive) CopyTree(from + "/" + name, to + "/" + name, true);
    } else {
      CopyFile(from + "/" + name, to + "/" + name, entry.mode);
    }
  }
}

bool IsPrintCatalogue(const std::string& name) {
  return text::FoldCase(name).rfind("berichtell", 0) == 0;
}

// An original directory or file and its scratch copy.
struct Mapping {
  std::string original;
  std::string scratch;
  bool directory;
  bool recursive;
  Keep keep;  // which entries at the top count (all when empty)
};

// The form text for display: decoded from its own encoding.
std::string Decoded(const std::string& bytes) {
  size_t mark = 0;
  text::Encoding encoding = text::DetectEncoding(bytes, &mark);
  return text::DecodeText(std::string_view(bytes).substr(mark), encoding);
}

class Report {
 public:
  explicit Report(bool json) : json_(json) {}

  void Line(const std::string& kind, const std::string& path, const std::string& text) {
    if (json_) {
      std::printf("{\"dry_run\":%s,\"path\":%s,\"text\":%s}\n", host::JsonString(kind).c_str(),
                  host::JsonString(path).c_str(), host::JsonString(text).c_str());
    } else {
      std::printf("%s\n", text.c_str());
    }
  }

  void Diff(const std::string& path, const std::string& diff) {
    if (json_) {
      std::printf("{\"dry_run\":\"change\",\"path\":%s,\"diff\":%s}\n",
                  host::JsonString(path).c_str(), host::JsonString(diff).c_str());
    } else {
      std::printf("--- %s\n+++ %s (after)\n%s", path.c_str(), path.c_str(), diff.c_str());
    }
  }

 private:
  bool json_;
};

void Compare(const Mapping& m, const std::string& original, const std::string& scratch,
             Report& report, bool top) {
  std::map<std::string, Entry> before = ListDirectory(original), after = ListDirectory(scratch);
  std::set<std::string> names;
  for (const auto& [name, e] : before) names.insert(name);
  for (const auto& [name, e] : after) names.insert(name);
  for (const std::string& name : names) {
    if (top && m.keep != nullptr && !m.keep(name)) continue;
    std::string orig = original + "/" + name, copy = scratch + "/" + name;
    auto b = before.find(name), a = after.find(name);
    if (b == before.end()) {
      if (a->second.directory) {
        report.Line("create", orig, "would create the directory " + orig);
      } else {
        report.Line("create", orig, "would create " + orig);
      }
      if (a->second.directory && m.recursive) Compare(m, orig, copy, report, false);
      continue;
    }
    if (a == after.end()) {
      bool stranded = after.count("alt_" + name) > 0 && before.count("alt_" + name) == 0;
      if (stranded) {
        report.Line("stranded", orig,
                    "would leave " + orig + " missing; its content would be in " + original +
                        "/alt_" + name);
      } else {
        report.Line("delete", orig, "would delete " + orig);
      }
      continue;
    }
    if (b->second.directory || a->second.directory) {
      if (b->second.directory && a->second.directory && m.recursive) {
        Compare(m, orig, copy, report, false);
      }
      continue;
    }
    std::string old_bytes, new_bytes;
    ReadFile(orig, old_bytes);
    ReadFile(copy, new_bytes);
    if (old_bytes != new_bytes) {
      std::string diff = UnifiedDiff(Decoded(old_bytes), Decoded(new_bytes));
      if (diff.empty()) {
        report.Line("change", orig, "would rewrite " + orig + " (same text, other bytes)");
      } else {
        report.Diff(orig, diff);
      }
    }
    bool was_writable = (b->second.mode & S_IWUSR) != 0;
    bool is_writable = (a->second.mode & S_IWUSR) != 0;
    if (was_writable != is_writable) {
      report.Line("attributes", orig,
                  "would make " + orig + (is_writable ? " writable" : " read-only"));
    }
  }
}

std::string RecordedStep(const std::string& settings_file) {
  try {
    auto settings = host::CreateAs<VMSettings>(host::kSettingsProgId);
    std::shared_ptr<Object> connection = std::make_shared<SettingsConnection>(settings_file);
    settings->Init(0, connection, "Standard");
    std::string value;
    settings->GetSetting("CheckReportLL", "LetzterWert", value, "Standard", "Standard", "0");
    return value;
  } catch (...) {
    return "?";
  }
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  for (size_t pos = text.find(from); pos != std::string::npos;
       pos = text.find(from, pos + to.size())) {
    text.replace(pos, from.size(), to);
  }
  return text;
}

}  // namespace

int DryRun(const Command& command, const std::vector<std::string>& args, const Options& options,
           Progress& progress) {
  std::string root_pattern = (fsys::temp_directory_path() / "llupdate-dry-run-XXXXXX").string();
  if (::mkdtemp(root_pattern.data()) == nullptr) {
    std::fprintf(stderr, "llupdate: cannot make a scratch directory for the dry run\n");
    return 1;
  }
  const std::string root = root_pattern;
  std::vector<Mapping> mappings;
  std::vector<std::pair<std::string, std::string>> renames;  // scratch argument -> original
  std::vector<std::string> scratch_args = args;
  Options scratch_options = options;
  int exit_status = 1;
  try {
    for (size_t i = 0; i < args.size(); ++i) {
      Role role = command.params[std::min(i, command.params.size() - 1)].role;
      std::string slot = root + "/arg" + std::to_string(i);
      std::string original = platform::ResolvePath(args[i]);
      struct stat st;
      bool exists = ::stat(original.c_str(), &st) == 0;
      if (role == Role::kPaths) role = exists && S_ISDIR(st.st_mode) ? Role::kDir : Role::kFile;
      switch (role) {
        case Role::kDbPath:
          ::mkdir(slot.c_str(), 0755);
          for (const char* sub : {"BerichteLL", "BerichteLLOrg"}) {
            std::string dir = platform::ResolvePath(args[i] + "\\" + sub);
            struct stat ds;
            if (::stat(dir.c_str(), &ds) != 0 || !S_ISDIR(ds.st_mode)) continue;
            std::string copy = slot + "/" + fsys::path(dir).filename().string();
            CopyTree(dir, copy, true);
            mappings.push_back({dir, copy, true, true, nullptr});
          }
          break;
        case Role::kExeDir:
          ::mkdir(slot.c_str(), 0755);
          if (exists) {
            CopyTree(original, slot, true, IsPrintCatalogue);
            mappings.push_back({original, slot, true, true, IsPrintCatalogue});
          }
          break;
        case Role::kDir:
          if (exists) {
            CopyTree(original, slot, false);
            mappings.push_back({original, slot, true, false, nullptr});
          }
          break;
        case Role::kFile: {
          ::mkdir(slot.c_str(), 0755);
          fsys::path p(original);
          std::string name = p.filename().string();
          std::string parent = p.parent_path().empty() ? "." : p.parent_path().string();
          if (exists && S_ISREG(st.st_mode))
            CopyFile(original, slot + "/" + name, st.st_mode & 07777);
          // Only this file of its directory counts.
          mappings.push_back(
              {parent, slot, true, false, [name](const std::string& n) { return n == name; }});
          slot += "/" + name;
          break;
        }
        default:
          continue;
      }
      scratch_args[i] = slot;
      renames.push_back({slot, args[i]});
    }
    std::string settings_before;
    if (command.uses_settings) {
      scratch_options.settings_file = root + "/settings.sqlite";
      std::string bytes;
      if (ReadFile(options.settings_file, bytes)) {
        CopyFile(options.settings_file, scratch_options.settings_file, 0644);
      }
      settings_before = RecordedStep(scratch_options.settings_file);
      renames.push_back({scratch_options.settings_file, options.settings_file});
    }

    // The operation runs on the copies; its messages are kept for the end.
    auto recorder = std::make_shared<host::RecordingMessages>();
    Results results;
    {
      ScopedObjectRegistration messages(host::kMessagesProgId, [recorder] { return recorder; });
      ResetThreadHostMessages();
      clsReportLLUpdate component;
      results = command.operation(component, scratch_args, scratch_options);
    }
    ResetThreadHostMessages();
    progress.Clear();

    Report report(options.json);
    for (const Mapping& m : mappings) Compare(m, m.original, m.scratch, report, true);
    if (command.uses_settings) {
      std::string after = RecordedStep(scratch_options.settings_file);
      if (after != settings_before) {
        report.Line("setting", options.settings_file,
                    "would record step " + after + " in " + options.settings_file + " (now " +
                        settings_before + ")");
      }
    }
    // The messages as the operation would show them, with the original paths in them.
    auto shown = [&](std::string text) {
      for (const auto& [scratch, original] : renames) text = ReplaceAll(text, scratch, original);
      return text;
    };
    auto sink = options.json ? host::NewJsonMessages(stdout) : host::NewConsoleMessages(stdout);
    for (const host::MessageRecord& r : recorder->records) {
      if (r.call == "ReportError") {
        sink->ReportError(r.title, r.routine, r.number, shown(r.description), r.flag);
      } else {
        sink->ShowMessage(shown(r.text), r.level, r.title, r.number, r.flag);
      }
    }
    exit_status = 0;
    for (const auto& [operation, result] : results) {
      std::string value = result.IsEmpty() ? "null" : (result == Variant(true) ? "true" : "false");
      if (options.json) {
        std::printf("{\"operation\":%s,\"result\":%s,\"dry_run\":true}\n",
                    host::JsonString(operation).c_str(), value.c_str());
      } else {
        std::printf("%s would return %s\n", operation.c_str(),
                    result.IsEmpty() ? "nothing" : (result == Variant(true) ? "True" : "False"));
      }
      if (!result.IsEmpty() && !(result == Variant(true))) exit_status = 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "llupdate: dry run: %s\n", e.what());
    exit_status = 1;
  }
  std::error_code ec;
  for (auto& entry : fsys::recursive_directory_iterator(root, ec)) {
    ::chmod(entry.path().c_str(), entry.is_directory() ? 0755 : 0644);
  }
  fsys::remove_all(root, ec);
  return exit_status;
}

}  // namespace llupdate::cli
