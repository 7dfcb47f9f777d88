// A preview of an operation: it runs on a scratch copy of what it would touch, and what would
// change is shown; the originals are only read (not even their access times change).
#pragma once

#include <string>
#include <vector>

#include "commands.h"
#include "output.h"

namespace llupdate::cli {

// Runs command on a scratch copy and prints, on stdout, a diff of every form that would change,
// one line for every file that would be created, deleted, left stranded or change its
// attributes, then the messages the operation would show and its result. The exit status is the
// operation's.
int DryRun(const Command& command, const std::vector<std::string>& args, const Options& options,
           Progress& progress);

}  // namespace llupdate::cli
