// Several databases in one call: each runs as a single run of the same command would, in a
// process of its own, up to N at once; one database's failure or refusal never stops the others.
// The results come back as one table (or, with --json, every record with its "db", one
// DatabaseResult per database and a FleetSummary), and the exit status is the worst.
#pragma once

#include <string>
#include <vector>

#include "commands.h"

namespace llupdate::cli {

struct FleetRequest {
  const Command* command = nullptr;
  std::vector<std::string> databases;
  std::vector<std::string> arguments;  // the command's arguments after DBPATH
  std::vector<std::string> options;    // the options as given, for each database's run
  int jobs = 1;
  bool json = false;
  bool quiet = false;
};

// The databases a list names: one DBPATH per line, "#" begins a comment, blank lines are left
// out; "-" reads standard input. False (with *problem) when the list cannot be read.
bool ReadDatabaseList(const std::string& file, std::vector<std::string>* databases,
                      std::string* problem);

// Set in the environment of each database's run: such a run never starts a fleet of its own
// (it would start itself again, without end).
inline constexpr char kFleetMember[] = "LLUPDATE_FLEET_MEMBER";

// Runs the command for every database and gives the worst exit status.
int RunFleet(const FleetRequest& request);

}  // namespace llupdate::cli
