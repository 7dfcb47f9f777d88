// The exit statuses of the command line, for every command (--help and the man page explain them).
#pragma once

namespace llupdate::cli {

constexpr int kExitTrue = 0;           // the command succeeded
constexpr int kExitFalse = 1;          // it failed, or a guard refused
constexpr int kExitUsage = 2;          // the command line was wrong
constexpr int kExitHostFailure = 3;    // the output itself failed, or an unexpected error
constexpr int kExitErrorsShown = 4;    // it returned True but showed errors
constexpr int kExitDatabaseBusy = 5;   // another run holds the database
constexpr int kExitHangUp = 129;       // SIGHUP: the form in work was finished
constexpr int kExitInterrupted = 130;  // Ctrl-C or SIGTERM: the form in work was finished

}  // namespace llupdate::cli
