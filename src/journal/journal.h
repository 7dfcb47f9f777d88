// The journal of a database's runs (the public side is llupdate/journal.h): the record each
// writing run leaves, the files it keeps, and taking a run back. Everything goes through the
// file-system interface, so every file system (the disk, Windows, memory, the preview) keeps the
// same journal.
//
// A record ("ID.run" in the journal folder) is text, one fact per line, fields separated by tabs
// and escaped as the lock's records are:
//   llupdate-journal <tab> 1
//   run <tab> ID
//   who <tab> USER <tab> ACCOUNT <tab> HOST <tab> PROCESS
//   started <tab> SECONDS-SINCE-1970 <tab> YYYY-MM-DD HH:MM:SS
//   command <tab> TEXT
//   undo-of <tab> ID                                           (a run that took another back)
//   replaced <tab> PLACE <tab> NAME <tab> KEPT <tab> IDENTITY <tab> ATTRIBUTES
//   created <tab> PLACE <tab> NAME <tab> IDENTITY
//   removed <tab> PLACE <tab> NAME <tab> KEPT <tab> ATTRIBUTES
//   attributes <tab> PLACE <tab> NAME <tab> BEFORE <tab> AFTER
//   setting <tab> STORE <tab> SECTION <tab> KEY <tab> BEFORE <tab> AFTER
//   ended <tab> ok|failed|cancelled <tab> EXAMINED <tab> REWRITTEN <tab> UNCHANGED <tab> FAILED
// PLACE is "forms" (BerichteLL) or "delivery" (BerichteLLOrg); NAME a plain name there; KEPT the
// name of the old content in the run's folder "ID"; IDENTITY the file as the run left it;
// ATTRIBUTES its attributes before. Changes stand in the order they happened; a run without an
// "ended" line was interrupted. Lines of kinds this release does not know are skipped.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/error_convention.h"
#include "llupdate/call.h"
#include "llupdate/journal.h"
#include "llupdate/progress.h"
#include "platform/file_system.h"

namespace llupdate::journal {

inline constexpr const char* kFolderName = kJournalFolderName;
inline constexpr char kRecordSuffix[] = ".run";
inline constexpr int kFormatVersion = 1;

enum class Place { kForms, kDelivery };

// The two folders of a database whose files a run changes: the forms (BerichteLL) and the
// delivered forms (BerichteLLOrg), as component paths.
struct Folders {
  std::string forms, delivery;
};

struct Change {
  enum class Kind { kReplaced, kCreated, kRemoved, kSetting, kAttributes };
  Kind kind = Kind::kReplaced;
  Place place = Place::kForms;
  std::string name;               // the file's name in its folder
  std::string kept;               // its old content in the run's folder (replaced, removed)
  std::string identity;           // the file as the run left it (replaced, created)
  uint32_t attributes = 0;        // its attributes before the run (replaced, removed, attributes)
  uint32_t attributes_after = 0;  // and after (attributes)
  std::string store, section, key, before, after;  // a setting
};

struct Record {
  std::string id;
  int version = 0;
  platform::Who who;
  int64_t started = 0;
  std::string started_text;
  std::string command;
  std::string undo_of;
  std::vector<Change> changes;
  std::string ended;  // "" while it runs or after it was interrupted
  CallSummary counts;
  std::string refused;  // why the record is not followed ("" when it is)
  bool blank = false;   // nothing in it yet: its run was killed as it began
};

std::string FormatHeader(const Record& record);
std::string FormatChange(const Change& change);
std::string FormatEnd(const Record& record);
// The record a text holds; refused says why when the text is no record this release follows.
Record ParseRecord(const std::string& text);

// The journal folder of a database, and a run's folder of kept files in it.
std::string JournalFolder(const Folders& db);

// The records of a database's journal, oldest first, each checked: refused says why one is not
// followed (another account owns it or may change it, a name that is no plain name, a later
// format). A missing journal has none.
std::vector<Record> ReadRecords(platform::FileSystem& fs, const Folders& db);

// What history shows of a record (kept_bytes read from the kept files).
JournalRun Describe(platform::FileSystem& fs, const Folders& db, const Record& record,
                    const std::vector<Record>& all);

// True for a run that did not end (killed, a crash, or still running).
bool Interrupted(const Record& record);

// True when a later run took this one back (it ended and changed something), and was not itself
// taken back.
bool TakenBack(const std::vector<Record>& all, size_t index);

// The record of the run in work. The writer begins it when it holds the lock (after healing);
// the routines hand it what they replace or remove; the writer ends it.
class Run {
 public:
  // Begins the record of a run of db: older runs are pruned first so that, with this one,
  // keep_runs stay. nullptr when keep_runs is 0, or when the journal cannot be written: the
  // reporter shows why, and the run goes on as without a journal.
  static std::unique_ptr<Run> Begin(platform::FileSystem& fs, host::Reporter* reporter,
                                    const Folders& db, const std::string& command, int keep_runs);
  ~Run();

  const std::string& id() const { return record_.id; }
  // The place of a path of the database, false for a path outside its two folders.
  bool PlaceOf(const std::string& path, Place* place, std::string* name) const;

  // The form at form_path now has new content; its old content is at old_path (the backup the
  // rewrite made), and attributes were the form's before the rewrite began: the backup is moved
  // into the journal. False when it could not be kept (the caller removes it as before).
  bool KeepReplaced(const std::string& form_path, const std::string& old_path, uint32_t attributes);
  // A file the run is about to overwrite in place of its own (a delivered form copied over an
  // installed one): a copy is kept now, and Replaced() records it once the new file is there.
  // Returns the kept name, "" when nothing was kept.
  std::string KeepCopy(const std::string& path, uint32_t* attributes);
  void Replaced(const std::string& path, const std::string& kept, uint32_t attributes);
  // A kept copy that is not needed after all (the file stayed as it was).
  void Forget(const std::string& kept);
  // A file the run would remove: moved into the journal instead. False when it could not be kept
  // (the caller removes it as before).
  bool KeepRemoved(const std::string& path);
  // The attributes of a file changed (the read-only attribute removed).
  void AttributesChanged(const std::string& path, uint32_t before, uint32_t after);
  // A file the run created where none was.
  void Created(const std::string& path);
  // A setting the run changed in the store (a settings file, "" for the host's own).
  void SettingChanged(const std::string& store, const std::string& section, const std::string& key,
                      const std::string& before, const std::string& after);
  void SetUndoOf(const std::string& id);

  // Moves a file of the database into the run's folder, under a number and name; the name it has
  // there, "" when it could not be moved (nothing changed then).
  std::string MoveIn(const std::string& path, const std::string& name);
  // Keeps a second name (or a copy) of the file at path in the run's folder: the name, or "".
  std::string LinkIn(const std::string& path);
  std::string KeptPath(const std::string& kept) const;
  void Append(const Change& change);

  // The folders whose entries this run changed: the writer flushes them with its own.
  std::vector<std::string> changed_folders() const;
  // Writes how the run ended and puts the record on the disk.
  void End(const CallSummary& summary, bool ok);

 private:
  Run(platform::FileSystem& fs, host::Reporter* reporter, Folders db);
  bool EnsureFolder();
  std::string NextName(const std::string& name);
  void FollowLink(const std::string& path, Change* c);

  platform::FileSystem& fs_;
  host::Reporter* reporter_;
  Folders db_;
  Record record_;
  std::unique_ptr<platform::File> file_;
  bool folder_made_ = false;
  bool broken_ = false;  // a line could not be written: the record stops here
  int next_ = 0;
};

// Takes back the newest run of db that changed something and was not taken back, as the run
// `undo` records (the run in work, which is never the one taken back); an undo of that run that
// was killed is continued. settings: the store the caller gives and its file ("" when none is
// given): only settings recorded for that store return. Each file put back is told to progress.
// False only when nothing could be begun (the run's record is not followed); a file that stays as
// it is (changed since the run, not writable by the run's account) is named through reporter as
// an error, and the rest is taken back.
bool UndoNewest(platform::FileSystem& fs, host::Reporter* reporter, ProgressObserver* progress,
                const Folders& db, Run& undo, VMSettings* settings, const std::string& store);

}  // namespace llupdate::journal
