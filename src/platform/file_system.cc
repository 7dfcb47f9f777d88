#include "platform/file_system.h"

#include <atomic>
#include <cstdio>
#include <random>
#include <utility>

namespace llupdate::platform {
namespace {

std::atomic<bool> durable{true};

constexpr char kPartialMarker[] = ".llupdate-";
constexpr char kPartialSuffix[] = ".tmp";
constexpr size_t kPartialDigits = 16;

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

thread_local std::vector<std::string> changed_folders;
thread_local bool left_behind = false;
thread_local int forms_unread = 0;
thread_local int io_failures = 0;

}  // namespace

void NoteFolderChanged(const std::string& folder) {
  for (const std::string& known : changed_folders) {
    if (known == folder) return;
  }
  changed_folders.push_back(folder);
}

std::vector<std::string> TakeChangedFolders() { return std::exchange(changed_folders, {}); }

void NoteLeftBehind() { left_behind = true; }

bool TakeLeftBehind() { return std::exchange(left_behind, false); }

void NoteFormUnread() { ++forms_unread; }

int TakeFormsUnread() { return std::exchange(forms_unread, 0); }

void NoteIoFailure() { ++io_failures; }

int TakeIoFailures() { return std::exchange(io_failures, 0); }

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

}  // namespace llupdate::platform
