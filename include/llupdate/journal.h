// The journal of a database: every run that writes to it is recorded (who, when, with which
// command, how it ended), and what the run replaced or removed is kept, so that the newest run
// can be taken back (clsReportLLUpdate::UndoLastRun) and nothing a run replaces is destroyed.
//
// The journal is the hidden folder ".llupdate-journal" in the form folder BerichteLL: a record
// per run ("ID.run", text, format version 1) and a folder per run ("ID") with the kept files. No
// operation lists or converts anything in it. A run keeps the records of the newest runs
// (CallOptions::keep_runs, 5 by default): older ones are removed, whole, when a writing run
// begins. A record is only data: it is followed only where its account owns it and alone may
// change it, for files of the form and delivery folders that the account may write, and only
// while they are as the run left them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace llupdate {

// One run as the journal holds it.
struct JournalRun {
  std::string id;           // the run's name in the journal
  std::string started;      // when it began, "YYYY-MM-DD HH:MM:SS" in UTC
  std::string user;         // who ran it: the user's name
  std::string account;      // and the account ("uid" on POSIX)
  std::string host;         // the machine
  std::string process;      // the process number
  std::string command;      // what ran: a command line, or the operation a host called
  std::string undo_of;      // the run this one took back; "" for any other run
  std::string ended;        // "ok", "failed", "cancelled", or "interrupted" (killed, a crash)
  int rewritten = 0;        // forms written anew
  int unchanged = 0;        // forms examined and left as they were
  int failed = 0;           // forms that failed
  int changes = 0;          // files and settings it changed, as the journal keeps them
  int64_t kept_bytes = 0;   // the space its kept files take
  bool taken_back = false;  // a later run took it back (and that one was not taken back)
  std::string refused;      // why the record is not followed ("" when it is)
};

// The journal's folder in the form folder.
inline constexpr char kJournalFolderName[] = ".llupdate-journal";

// The number of runs a journal keeps by default.
inline constexpr int kDefaultKeptRuns = 5;

}  // namespace llupdate
