// A preview of an operation: it runs on the real files through a file system that keeps every
// change in memory, and what would change is shown; the originals are only read (not even their
// access times change), nothing is copied and nothing is written anywhere.
#pragma once

#include <string>
#include <vector>

#include "commands.h"
#include "output.h"

namespace llupdate::cli {

// Runs command on the overlay and prints, on stdout, a diff of every form that would change,
// one line for every file that would be created, deleted, left stranded or change its
// attributes, then the operation's result; its messages go to stderr as in a real run. The exit
// status is the operation's.
int DryRun(const Command& command, const std::vector<std::string>& args, const Options& options,
           Progress& progress);

}  // namespace llupdate::cli
