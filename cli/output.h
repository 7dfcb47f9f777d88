// What a person or a program sees while an operation runs: its messages (each attributed to the
// form in work), a progress line (on a terminal) or progress records (with --json), and a summary
// at the end.
//
// Every JSON line carries the key "call", which names what the line is (see README).
#pragma once

#include <chrono>
#include <memory>
#include <set>
#include <string>

#include "llupdate/call.h"
#include "llupdate/database.h"
#include "llupdate/host.h"
#include "llupdate/operations.h"
#include "llupdate/progress.h"

namespace llupdate::cli {

// The operating system's file system, through which the command line reads for itself (paths it
// shows, what exists, the lock of a database).
FileSystem& Disk();

// The words and the step number of a conversion job, for the progress line and status.
struct JobLabel {
  int step = 0;  // the driver's step, 0 when the job is none of them
  std::string words;
};
JobLabel LabelOf(const std::string& operation);

class Progress : public ProgressObserver {
 public:
  enum class Mode {
    kTerminal,  // a line redrawn in place with terminal escapes
    kPlain,     // a line redrawn with a carriage return only (TERM=dumb, NO_COLOR)
    kJson,      // a record per form
    kLog,       // a line per step and a count every 100 forms (a pipe, a log file)
    kNone,
  };
  // mode: how progress shows; with quiet nothing but errors is shown.
  Progress(Mode mode, bool json, bool quiet, bool verbose)
      : mode_(quiet ? Mode::kNone : mode),
        json_(json),
        quiet_(quiet),
        verbose_(verbose),
        start_(std::chrono::steady_clock::now()) {}

  // The run is the conversion driver: the progress line counts its steps.
  void SetDriver(bool driver) { driver_ = driver; }
  // The database of the run, for the hint at 'llupdate recover'.
  void SetDatabase(const std::string& db) { database_ = db; }
  const std::string& database() const { return database_; }

  void TypeStarted(const std::string& operation, const std::string& type, int total) override;
  void FormStarted(const std::string& operation, const std::string& type, const std::string& name,
                   const std::string& path) override;
  void FormFinished(const std::string& operation, const std::string& type, const std::string& name,
                    bool ok) override;
  void FormWritten(const std::string& path) override;
  // Each repair of an unfinished run's files: a JSON record, and a line also with --quiet (the
  // component's notice says it otherwise).
  void Healed(const std::string& action, const std::string& path, const std::string& form) override;

  // The form in work (its name and its path as it is on the disk), empty between forms.
  const std::string& form() const { return form_; }
  // The form's path on the disk, looked up when it is first shown (a run that shows nothing per
  // form asks the disk nothing for it).
  const std::string& form_path() const;

  // An error message (not a notice) was shown; the form in work counts as failed.
  void ErrorShown();
  int errors_shown() const { return errors_shown_; }
  bool json() const { return json_; }
  bool quiet() const { return quiet_; }

  // Removes the progress line from the terminal (before a message, and at the end).
  void Clear();
  // One line: the call's forms examined, rewritten, unchanged, refused, failed, the errors shown
  // and the time, and whether the run was interrupted; nothing when no form was examined and
  // nothing went wrong, and nothing at all with --quiet.
  void PrintSummary(const CallSummary& summary, bool interrupted = false);

 private:
  void Draw();
  std::string StepText() const;

  Mode mode_;
  bool json_, quiet_, verbose_;
  bool driver_ = false;
  std::string database_;
  std::chrono::steady_clock::time_point start_;
  std::string operation_, type_, form_, form_listed_path_;
  mutable std::string form_path_;
  bool form_written_ = false;      // the form in work was rewritten
  std::string written_elsewhere_;  // where the form in work was copied to (a delivered form)
  std::string logged_operation_;
  int logged_forms_ = 0;
  int done_ = 0, total_ = 0;
  int errors_shown_ = 0;
  size_t drawn_ = 0;  // the length of the line on the terminal, 0 when none
};

// The message sink of the command line: for people or as JSON lines, on stderr. It clears the
// progress line before each message, names the form in work and, where a file of an interrupted
// run is in the way, points at 'llupdate recover'.
std::shared_ptr<HostMessages> NewMessageSink(bool json, Progress* progress);

// A problem of the command line itself (not of an operation), on stderr: "llupdate: TEXT", or a
// JSON record {"call":"Error"} with --json.
void PrintProblem(bool json, const std::string& text);

// Whether a write to standard output or standard error failed (a full disk, a closed stream, a
// reader that went away). CheckOutput() looks, and on the first failure asks the run to stop in
// order, as on Ctrl-C; it is called after every message and every form.
void CheckOutput();
bool OutputLost();
void NoteOutputLost();

// The JSON value of the key "path": the path as a JSON string (a byte that is not UTF-8 as
// \udcXX) and, for such a path, the key "path_bytes" after it with the exact bytes in hex.
std::string PathJson(const std::string& path);

}  // namespace llupdate::cli
