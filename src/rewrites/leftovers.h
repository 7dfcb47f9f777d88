// What an interrupted rewrite can leave beside the forms, and how it is resolved. The program
// writes exactly these names beside a form: the temporary file "xx_" + name, the backup
// "alt_" + name, and partial files (see platform::PartialFileName). The lock of the form folder
// records each of them with its identity as the run makes it; only a file that matches that
// record is the program's own. The writer of a folder resolves its own files when the run before
// it did not finish, and the command line's recover on demand. A file of such a name that the
// record does not know (a user's own alt_Rechnung.bel, a draft xx_Kundenliste.lst) is never
// deleted, renamed or restored.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "files/file_helpers.h"
#include "llupdate/progress.h"
#include "platform/file_system.h"

namespace llupdate::rewrites {

struct Leftover {
  enum class Action {
    kRestore,  // the form is missing: its backup becomes the form again
    kRemove,   // the form is whole: the file is of no further use
    kKeep,     // a temporary file whose form and backup are both missing: left for a person
    kForeign,  // named like a file of the program's but not made by it: never touched
    // The complete copy of a form that an interrupted in-place rewrite may have left
    // half-written: the writer that takes the lock gives the form its content back (or, where
    // why says the form changed since, keeps both).
    kRestoreInPlace,
  };
  Action action;
  std::string file;  // the name in the folder
  std::string form;  // the form it belongs to ("" for a partial file)
  std::string why;  // kRestoreInPlace: why the form would not get its content back ("" if it would)
};

// The leftovers among the files of folder, restorations first: the program's own files (those
// in own whose identity matches now) with what to do with them, and files named like them that
// the program did not make.
// in_place: the interrupted in-place rewrites the record names (LockPeek::in_place).
std::vector<Leftover> FindLeftovers(
    platform::FileSystem& fs, const std::string& folder,
    const std::vector<platform::FileEntry>& files, const std::vector<platform::OwnFile>& own,
    const std::vector<platform::LockPeek::InterruptedRewrite>& in_place = {});

// Carries out a leftover's action in folder; errors are thrown.
void ResolveLeftover(platform::FileSystem& fs, const std::string& folder, const Leftover& leftover);

// Resolves the program's own leftovers in folder (own: what the unfinished run recorded) and
// reports them in one notice, and each action to the progress observer; a folder that cannot be
// listed has none. Failures to resolve one are part of the notice.
void HealLeftovers(files::FileContext& ctx, const std::string& folder,
                   const std::vector<platform::OwnFile>& own);

// Reports the forms of folder that an unfinished run was rewriting in place: those that got their
// old content back when the lock was taken (a notice), and those that changed since and were
// left as they are, each with the name of its old content (an error: a person decides).
void ReportRestoredInPlace(files::FileContext& ctx, const std::string& folder,
                           const std::vector<std::string>& forms,
                           const std::vector<std::pair<std::string, std::string>>& kept = {});

// Reports the records of runs in folder that were not trusted, and why (a notice).
void ReportRefusedRecords(files::FileContext& ctx, const std::string& folder,
                          const std::vector<std::string>& refused);

}  // namespace llupdate::rewrites
