#include "platform/file_system.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <random>

#include "llupdate/call.h"

namespace llupdate::platform {
namespace {

std::atomic<bool> durable{true};

constexpr char kPartialMarker[] = ".llupdate-";
constexpr char kPartialSuffix[] = ".tmp";
constexpr size_t kPartialDigits = 16;

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

}  // namespace

bool IsIoFailure(int32_t number) {
  switch (number) {
    case kOutOfMemory:
    case kFileAlreadyOpen:
    case kFileAlreadyExists:
    case kDiskFull:
    case kTooManyFiles:
    case kPermissionDenied:
    case kPathFileAccessError:
      return true;
    default:
      return false;
  }
}

void SetDurableWrites(bool on) { durable.store(on); }
bool DurableWrites() { return durable.load(); }

std::string PartialFileName(const std::string& path) {
  // A random start per process, so that two processes never pick the same name, then a counter.
  static std::atomic<uint64_t> next{(static_cast<uint64_t>(std::random_device{}()) << 32) ^
                                    std::random_device{}()};
  char digits[kPartialDigits + 1];
  std::snprintf(digits, sizeof digits, "%016llx",
                static_cast<unsigned long long>(next.fetch_add(1)));
  return path + kPartialMarker + digits + kPartialSuffix;
}

bool IsPartialFileName(const std::string& name) {
  static const std::string kOldCopy = ".llupdate-copy";
  if (name.size() > kOldCopy.size() &&
      name.compare(name.size() - kOldCopy.size(), kOldCopy.size(), kOldCopy) == 0) {
    return true;
  }
  const size_t tail = sizeof kPartialMarker - 1 + kPartialDigits + sizeof kPartialSuffix - 1;
  if (name.size() <= tail) return false;
  size_t at = name.size() - tail;
  if (name.compare(at, sizeof kPartialMarker - 1, kPartialMarker) != 0) return false;
  at += sizeof kPartialMarker - 1;
  for (size_t i = 0; i < kPartialDigits; ++i) {
    if (!IsHexDigit(name[at + i])) return false;
  }
  return name.compare(at + kPartialDigits, std::string::npos, kPartialSuffix) == 0;
}

// Names in a record stand on one line: the characters that would break it are escaped.
std::string Escape(const std::string& name) {
  std::string out;
  for (char c : name) {
    switch (c) {
      case '%':
        out += "%25";
        break;
      case '\n':
        out += "%0A";
        break;
      case '\r':
        out += "%0D";
        break;
      case '\t':
        out += "%09";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string LockRecordHeader(const std::string& host, const std::string& pid,
                             const std::string& uid, const std::string& since, bool running) {
  return "host=" + host + "\npid=" + pid + (uid.empty() ? "" : "\nuid=" + uid) +
         "\nsince=" + since + "\n" + (running ? kRecordRunning : kRecordFinished) + "\n";
}

bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

namespace {

// The fields of a record line after its key, split at tabs.
std::vector<std::string> Fields(const std::string& line, size_t from) {
  std::vector<std::string> fields;
  for (size_t at = from;;) {
    size_t tab = line.find('\t', at);
    fields.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
    if (tab == std::string::npos) return fields;
    at = tab + 1;
  }
}

}  // namespace

LockRecord ParseLockRecord(const std::string& text) {
  LockRecord record;
  auto refuse = [&](const std::string& name) {
    if (record.invalid.empty()) {
      record.invalid = "der Name \"" + Escape(name) + "\" ist kein Name im Formularordner";
    }
  };
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) break;  // a line being written is not yet part of the record
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line == kRecordRunning) record.running = true;
    const bool own = line.starts_with("own=");
    const bool in_place = line.starts_with("inplace=");
    if (!own && !in_place) continue;
    std::vector<std::string> fields = Fields(line, own ? 4 : 8);
    for (std::string& field : fields) field = Unescape(field);
    if (own) {
      // An own file may be recorded without a name (made before its name was known).
      if (fields.size() != 2 || fields[1].empty()) continue;
      if (!fields[0].empty() && !IsPlainName(fields[0])) refuse(fields[0]);
      record.own.push_back({fields[0], fields[1], ""});
      continue;
    }
    if (fields.size() < 2 || fields[0].empty() || fields[1].empty()) continue;
    if (!IsPlainName(fields[0])) refuse(fields[0]);
    if (!IsPlainName(fields[1])) refuse(fields[1]);
    if (fields.size() > 2 && !fields[2].empty() && !IsPlainName(fields[2])) refuse(fields[2]);
    fields.resize(4);
    record.in_place.push_back({fields[0], fields[1], fields[2], fields[3]});
  }
  if (!record.running || !record.invalid.empty()) {  // nothing of it is acted on
    record.own.clear();
    record.in_place.clear();
  }
  return record;
}

bool CouldBeLeftByRewrite(const std::string& now, const std::string& old_content,
                          const std::string& new_content) {
  if (now == old_content || now == new_content) return true;
  // Beyond the old content's end only new content was written: now is a beginning of it.
  if (now.size() > old_content.size()) return new_content.compare(0, now.size(), now) == 0;
  // The writes never shorten the file; only the last step cuts it to the new content's length.
  if (now.size() != old_content.size()) return false;
  // A beginning of the new content, then the rest of the old: new up to some point k, old from k.
  size_t same_as_new = 0;
  while (same_as_new < now.size() && same_as_new < new_content.size() &&
         now[same_as_new] == new_content[same_as_new]) {
    ++same_as_new;
  }
  size_t old_from = now.size();
  while (old_from > 0 && now[old_from - 1] == old_content[old_from - 1]) --old_from;
  return old_from <= same_as_new;
}

std::string LockRecordValue(const std::string& text, const std::string& key) {
  size_t at = text.find(key + "=");
  if (at == std::string::npos) return "?";
  at += key.size() + 1;
  return text.substr(at, text.find('\n', at) - at);
}

std::string InPlaceLine(const InPlaceRewrite& r) {
  return "inplace=" + Escape(r.form) + "\t" + Escape(r.backup) + "\t" + Escape(r.source) + "\t" +
         r.identity + "\n";
}

std::string RecordLine(const OwnFile& file) {
  return "own=" + Escape(file.name) + "\t" + file.identity + "\n";
}

bool IdentityMatches(const std::string& now, const std::string& recorded) {
  if (now.empty() || recorded.empty()) return false;
  if (recorded == kIdentityOfEmptyFile) {  // "device:inode:0:time": nothing in it yet
    const size_t size = now.find(':', now.find(':') + 1);
    return size != std::string::npos && now.compare(size, 3, ":0:") == 0;
  }
  return now == recorded ||
         (now.size() > recorded.size() && now.compare(0, recorded.size(), recorded) == 0 &&
          now[recorded.size()] == ':');
}

FolderLocks* LocksOf(FileSystem& fs) {
  if (auto* locks = dynamic_cast<FolderLocks*>(&fs)) return locks;
  if (auto* wrapper = dynamic_cast<ForwardingFileSystem*>(&fs)) return LocksOf(wrapper->target());
  return nullptr;
}

std::unique_ptr<WriterLock> LockFormFolder(FileSystem& fs, const std::string& folder,
                                           double wait_seconds) {
  FolderLocks* locks = LocksOf(fs);
  return locks != nullptr ? locks->LockFormFolder(folder, wait_seconds) : nullptr;
}

LockPeek PeekFormFolderLock(FileSystem& fs, const std::string& folder) {
  FolderLocks* locks = LocksOf(fs);
  return locks != nullptr ? locks->PeekFormFolderLock(folder) : LockPeek{};
}

}  // namespace llupdate::platform

std::string llupdate::FileSystem::WhyNotAName(const std::string& name) {
  if (name.empty()) return "der Name ist leer";
  if (name == "." || name == "..") return "der Name ist \"" + name + "\"";
  if (name.find_first_of(std::string("/\\\0", 3)) != std::string::npos) {
    return "der Name enthält ein Trennzeichen";
  }
  return "";
}

void llupdate::FileSystem::RemoveFolder(const std::string& path) {
  throw Error(kPathFileAccessError, path);
}

// The process's stop request lives here, below every room, so that a file system that waits (for
// the lock of a form folder) stops waiting when it is asked to.
namespace {
std::atomic<bool> stop_requested{false};
}  // namespace

void llupdate::RequestStop() noexcept { stop_requested.store(true); }
bool llupdate::StopRequested() noexcept { return stop_requested.load(); }
void llupdate::ClearStopRequest() noexcept { stop_requested.store(false); }
