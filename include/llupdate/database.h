// A database as it stands, read without changing it, and the repair of what an interrupted run
// left beside its forms. The command line's list, status and recover are made of these; a host
// calls them the same way. DBPATH is the database path as the operations take it; fs is the file
// system to read (and, for a repair, to write) through.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "llupdate/file_system.h"

namespace llupdate {

// The names a rewrite gives the files beside a form: the new content goes to the temporary file,
// the old form stays as the backup until the new one is in place.
inline constexpr char kTemporaryPrefix[] = "xx_";
inline constexpr char kBackupPrefix[] = "alt_";

// The form folder of a database ("BerichteLL" below it) and the folder a delivery of new forms
// arrives in ("BerichteLLOrg").
std::string FormFolderOf(const std::string& db);
std::string DeliveryFolderOf(const std::string& db);

// One form as the conversions see it: its name, its path and the values of its header ("" where
// it has none).
struct FormListing {
  std::string name, path, version, referenzbeleg, fileversion;
};
// The forms of a type (the extension without its dot; "" for all twelve types) in the form folder
// of db, ordered by name. False when the folder cannot be read: the message component was told
// why.
bool ListForms(FileSystem& fs, const std::string& db, const std::string& type,
               std::vector<FormListing>* forms);
// The number of forms of a type (0 also when the folder cannot be read; nothing is shown).
int CountFormsOfType(FileSystem& fs, const std::string& db, const std::string& type);
// The forms of a type, each with whether it shows the page count already (a page-number
// switch-over has run on it). Forms that cannot be read are left out.
std::vector<std::pair<std::string, bool>> PageCountOfForms(FileSystem& fs, const std::string& db,
                                                           const std::string& type);

// A file an interrupted run left beside the forms, and what a repair does with it.
struct LeftoverFile {
  enum class Kind {
    kPartial,    // a partial file of an interrupted write: removed
    kTemporary,  // a temporary file whose form is whole: removed
    kBackup,     // a backup whose form is whole: removed
    kRestore,    // a backup whose form is missing: it becomes the form again
    kOrphan,     // a temporary file whose form and backup are both missing: kept for a person
    kForeign,    // named like the program's files but not made by it: never touched
    // The complete copy of a form rewritten in place when the run stopped: the form gets its
    // content back from it, or, where why says the form changed since, both are kept.
    kRestoreInPlace,
  };
  Kind kind;
  std::string file;  // the name in the form folder
  std::string form;  // the form it belongs to ("" for a partial file)
  std::string why;   // kRestoreInPlace: why the form keeps its content ("" when it gets it back)
};

// The form folder of a database as it stands.
struct FormFolderState {
  std::vector<LeftoverFile> leftovers;       // the program's own, for a repair; no foreign ones
  std::vector<LeftoverFile> in_work;         // the files of a run that holds the folder now
  std::vector<LeftoverFile> foreign;         // named like leftovers but not made by the program
  std::vector<std::string> refused_records;  // records of runs that are not trusted, with why
  bool held = false;                         // another run holds the folder
  std::string holder;                        // then who: "host H, process P, since T"
  bool last_run_unfinished = false;          // the last run that wrote did not finish
  // The forms per type (in lower case), and how many of them carry each FileVersion ("-" for
  // none). A file named like a leftover is no form.
  std::map<std::string, int> forms;
  std::map<std::string, std::map<std::string, int>> fileversions;
  int delivered = -1;  // the forms of a delivery that waits for distribution; -1: none waits
};
// Throws Error when the folder cannot be listed (its description names the path).
FormFolderState InspectFormFolder(FileSystem& fs, const std::string& db);

// What a repair of a form folder found and, with apply, did.
struct Recovery {
  bool held = false;       // without apply: another run holds the folder; nothing was looked at
  std::string holder;      // then who: "host H, process P, since T"
  std::string unreadable;  // why the folder could not be listed ("" when it could)
  std::vector<std::string> refused_records;  // nothing is done from these
  struct Step {
    LeftoverFile leftover;
    std::string outcome;  // with apply: "done", "kept" or "failed: N description"; else ""
  };
  std::vector<Step> steps;  // restorations first; with apply, what the lock did first of all
};
// Finds what an interrupted run left in the form folder of db. With apply it takes the folder's
// lock (waiting as SetWriterLockWait says; taking it gives forms rewritten in place their content
// back), resolves each leftover, and marks the run finished when nothing failed. Throws Error
// when the lock cannot be taken (70: another run holds it).
Recovery RecoverFormFolder(FileSystem& fs, const std::string& db, bool apply);

// Who holds a lock, from its record: "host H, process P, since T".
std::string LockHolderWords(const std::string& lock_record);
// Who holds the form folder of db now, in those words, or "" when no run holds it.
std::string FormFolderHolder(FileSystem& fs, const std::string& db);

// Whether two names (or paths) name the same file for the operations: letter case does not count,
// as in the form folder.
bool SameName(const std::string& a, const std::string& b);

// Reads a value of a settings file without creating or changing it: false (and value empty) when
// the file or the value is not there. Throws Error when the file cannot be read.
bool ReadSettingsValue(const std::string& file, const std::string& section, const std::string& key,
                       std::string* value);

}  // namespace llupdate
