// Path resolution of the POSIX file system: component paths ("\" between parts, existing parts
// found without regard to letter case, an exact match first) become operating-system paths.
//
// Inside a job (BeginJob .. EndJob) the resolver keeps what it learnt: each folder is resolved
// once, and each folder's entries are read once, with their types, and then serve every lookup
// and listing of the job; this file system's own changes keep them up to date. Nothing is kept
// beyond the job. A change by another program during the job is noticed when an operation on a
// resolved name fails: the caller forgets the folder (Forget) and resolves again.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace llupdate::platform {

enum class EntryType : uint8_t { kUnknown, kFile, kDirectory, kLink, kOther };

class PathResolver {
 public:
  struct Resolved {
    std::string os_path;
    std::string folder;  // the OS path of the folder that holds it
    EntryType type = EntryType::kUnknown;
    bool listed = false;  // the job's listing of the folder answered (type and found are known)
    bool found = false;   // the listing holds the name
  };

  void BeginJob() { ++job_depth_; }
  void EndJob();
  bool in_job() const { return job_depth_ > 0; }

  Resolved Resolve(const std::string& component_path);

  // The files and their types of an OS folder, read now or kept from earlier in the job; false
  // when the folder cannot be read (errno tells why).
  struct Entry {
    std::string name;
    EntryType type;
  };
  bool Entries(const std::string& os_folder, std::vector<Entry>* entries);

  // This file system created or removed an OS path.
  void NoteCreated(const std::string& os_path, EntryType type);
  void NoteRemoved(const std::string& os_path);
  // Drops what is known of the folder of an OS path (after an outside change).
  void Forget(const std::string& os_path);

 private:
  struct Listing {
    std::map<std::string, std::map<std::string, EntryType>> by_folded;  // folded -> name -> type
  };
  Listing* ListingOf(const std::string& os_folder);
  std::string ResolveFolder(const std::string& folder);

  int job_depth_ = 0;
  std::unordered_map<std::string, std::string> folders_;  // component folder -> OS folder
  std::unordered_map<std::string, Listing> listings_;     // OS folder -> entries
  Listing scratch_;                                       // outside a job: the one just read
};

// In component paths "\" separates the parts, but a POSIX name may hold a "\" of its own (a file
// copied from elsewhere, or made to escape its folder: "a\..\..\x"). Such a name is given to the
// component with each of its "\" as U+F05C (as Cygwin names the characters Windows forbids), so
// that it stays one part wherever it is joined, and turned back when the path is resolved.
inline constexpr char kBackslashInName[] = "\xEF\x81\x9C";
std::string ComponentName(const std::string& os_name);

// The folder and the name of an OS path.
std::pair<std::string, std::string> SplitPath(const std::string& os_path);

}  // namespace llupdate::platform
