// What an interrupted rewrite can leave beside the forms, and how it is resolved. The program
// writes exactly these names beside a form: the temporary file "xx_" + name, the backup
// "alt_" + name, and partial files (see platform::PartialFileName). The writer of a database
// resolves them when the run before it did not finish, and the command line's recover on demand.
#pragma once

#include <string>
#include <vector>

#include "platform/file_system.h"

namespace llupdate::rewrites {

struct Leftover {
  enum class Action {
    kRestore,  // the form is missing: its backup becomes the form again
    kRemove,   // the form is whole: the file is of no further use
    kKeep,     // a temporary file whose form and backup are both missing: left for a person
  };
  Action action;
  std::string file;  // the name in the folder
  std::string form;  // the form it belongs to ("" for a partial file)
};

// The leftovers among a folder's files, restorations first.
std::vector<Leftover> FindLeftovers(const std::vector<platform::FileEntry>& files);

// Carries out a leftover's action in folder; errors are thrown.
void ResolveLeftover(platform::FileSystem& fs, const std::string& folder, const Leftover& leftover);

// Resolves every leftover in folder and reports them in one notice; a folder that cannot be
// listed has none. Failures to resolve one are part of the notice.
void HealLeftovers(platform::FileSystem& fs, const std::string& folder);

}  // namespace llupdate::rewrites
