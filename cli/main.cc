// llupdate: the command line of clsReportLLUpdate.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "dry_run.h"
#include "exit_status.h"
#include "fleet.h"
#include "llupdate/host.h"
#include "llupdate/message_sinks.h"
#include "llupdate/operations.h"
#include "llupdate/report_ll_update.h"
#include "llupdate/version.h"
#include "output.h"
#include "tools.h"

namespace llupdate::cli {
namespace {

// The signal that asked the run to stop, and whether an output stream was closed under it.
volatile sig_atomic_t stop_signal = 0;
volatile sig_atomic_t output_closed = 0;

// The first Ctrl-C, SIGTERM or SIGHUP (a closed terminal or SSH session) asks the job to stop
// after the form in work, so that the run ends in order: no leftovers, the lock's record marked
// finished. A second one ends the process at once (the forms stay whole even then).
void OnStopSignal(int signal_number) {
  if (!StopRequested()) {
    stop_signal = signal_number;
    RequestStop();
    return;
  }
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

// A reader of the output went away (a pipe into 'head'): the job ends in order as on Ctrl-C,
// and the exit status says that output was lost.
void OnBrokenPipe(int) {
  output_closed = 1;
  RequestStop();
}

void CatchStopSignals() {
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGHUP, &action, nullptr);
  action.sa_handler = OnBrokenPipe;
  ::sigaction(SIGPIPE, &action, nullptr);
  // Beyond the file-size limit (ulimit -f) a write fails with a named error instead of the
  // process being killed in the middle of a form.
  ::signal(SIGXFSZ, SIG_IGN);
}

// A standard stream that is closed (">&-") gets a stand-in, so that no file the run opens takes
// its number (a form written to as if it were the output): standard input reads nothing, and the
// output streams refuse every write (/dev/full), so that what was meant for them counts as lost.
void GuardStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int stand_in = ::open(fd == 0 ? "/dev/null" : "/dev/full", fd == 0 ? O_RDONLY : O_WRONLY);
    if (stand_in < 0) stand_in = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (stand_in >= 0 && stand_in != fd) {
      ::dup2(stand_in, fd);
      ::close(stand_in);
    }
    if (fd > 0) output_closed = 1;
  }
  // A line is written when it is complete, so that a failed write is known at once.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
}

// The exit status once everything is written: 3 when anything meant for standard output or
// standard error could not be written.
int FinishOutput(int status) {
  const bool flushed = std::fflush(stdout) == 0 && std::fflush(stderr) == 0;
  if (flushed && !OutputLost() && !output_closed) return status;
  if (!std::ferror(stderr)) {
    std::fprintf(stderr, "llupdate: %s could not be written\n",
                 std::ferror(stdout) || output_closed ? "the output" : "the error output");
  }
  return kExitHostFailure;
}

constexpr char kDefaultSettingsFile[] = "llupdate-settings.sqlite";

const char kExitStatusText[] =
    "Exit status: 0 the command succeeded (for an operation: it returned True and showed no\n"
    "error), 1 it failed (returned False, or a guard refused), 2 usage error (also a DBPATH\n"
    "without the form directory BerichteLL), 3 the message output itself failed or another\n"
    "unexpected error (also: a reader of the output went away), 4 it returned True but showed\n"
    "errors (a form may be unconverted), 5 another run holds the database, 129 hung up (SIGHUP:\n"
    "a closed terminal), 130 interrupted (Ctrl-C or SIGTERM); after 129 and 130 the form in\n"
    "work was finished and nothing of the run is left beside the forms. With several\n"
    "databases: the worst of theirs (best to worst: 0, 4, 5, 1, 2, 3, 129, 130).\n";

std::string UsageText(bool with_commands) {
  std::string text =
      "Usage: llupdate [OPTION]... COMMAND [ARG]...\n"
      "Keep the List & Label report forms of a database up to date.\n"
      "\n"
      "The forms are in DBPATH/BerichteLL, new deliveries in DBPATH/BerichteLLOrg. Every\n"
      "rewrite goes through a temporary \"xx_\" file and an \"alt_\" backup, so a form is\n"
      "never lost; 'recover' tidies up after an interrupted run.\n"
      "\n";
  if (with_commands) {
    text += "Commands:\n";
    bool exact = false;
    for (const Command& c : Commands()) {
      if (!exact && IsExactName(c.name)) {
        exact = true;
        text +=
            "\nThe operations of clsReportLLUpdate by their exact names (arguments in the order\n"
            "of the interface):\n";
      }
      text += "  " + Synopsis(c) + "\n      " + c.summary + "\n";
    }
    text += "\n";
  }
  text += OptionsText();
  if (with_commands) text += std::string("\n") + kExitStatusText;
  return text;
}

std::string CommandHelp(const Command& c) {
  return "Usage: llupdate [OPTION]... " + Synopsis(c) + "\n" + c.summary + ".\n\n" + c.help +
         (c.writes ? "\nWith --dry-run it shows what it would change and changes nothing.\n" : "");
}

// The sections of the man page that help2man does not make from --help: the commands, exit
// status, environment, files, JSON records and examples, as a help2man include file.
std::string ManPageSections() {
  auto escape = [](const std::string& text) {
    std::string out;
    bool line_start = true;
    for (char ch : text) {
      if (line_start && (ch == '.' || ch == '\'')) out += "\\&";
      if (ch == '\\') {
        out += "\\e";
      } else {
        out += ch;
      }
      line_start = ch == '\n';
    }
    return out;
  };
  std::string text = "[COMMANDS]\n";
  for (const Command& c : Commands()) {
    text +=
        ".TP\n.B " + escape(Synopsis(c)) + "\n" + escape(c.summary) + ".\n.br\n" + escape(c.help);
  }
  text +=
      "[EXIT STATUS]\n"
      ".TP\n.B 0\nThe command succeeded (an operation returned True and showed no error).\n"
      ".TP\n.B 1\nIt failed: the operation returned False, or a guard refused to run it.\n"
      ".TP\n.B 2\nUsage error: an unknown command or option, wrong arguments, or a DBPATH\n"
      "without the form directory BerichteLL. Nothing ran and nothing was recorded.\n"
      ".TP\n.B 3\nThe message output itself failed (also a reader of a pipe that went away), or\n"
      "another unexpected error.\n"
      ".TP\n.B 4\nThe operation returned True but showed errors: a form may be unconverted.\n"
      ".TP\n.B 5\nAnother run holds the database (see --wait).\n"
      ".TP\n.B 129\nHung up (SIGHUP: the terminal or SSH session closed); the form in work was\n"
      "finished.\n"
      ".TP\n.B 130\nInterrupted by Ctrl-C or SIGTERM; the form in work was finished.\n"
      ".PP\nWith several databases the exit status is the worst of theirs, from best to worst: "
      "0, 4, 5, 1, 2, 3, 129, 130.\n"
      "[ENVIRONMENT]\n"
      ".TP\n.B LLUPDATE_SETTINGS\nThe settings file, unless --settings names one.\n"
      ".TP\n.B TMPDIR\nNot used: even a dry run writes nothing there.\n"
      ".TP\n.B TERM, NO_COLOR\nWith TERM=dumb or NO_COLOR set, the progress line uses no "
      "terminal escapes.\n"
      ".TP\n.B LLUPDATE_FLEET_MEMBER\nSet by a run of several databases for each database's "
      "run, which then starts no run of several databases itself.\n"
      "[FILES]\n"
      ".TP\n.B DBPATH/BerichteLL\nThe installed forms.\n"
      ".TP\n.B DBPATH/BerichteLLOrg\nDelivered forms and the marker NeueBerichte.txt.\n"
      ".TP\n.B DBPATH/llupdate-settings.sqlite\nThe settings file of the database: the step the "
      "conversion driver recorded (section " +
      std::string(kStepRecordSection) + ", key " + kStepRecordKey +
      ").\n"
      ".TP\n.B DBPATH/BerichteLL/.llupdate-lock\nThe shared record of the form folder's writer "
      "lock (the lock is on the folder itself): who holds it and whether the last run finished; "
      "shown to people, never acted on.\n"
      ".TP\n.B DBPATH/BerichteLL/.llupdate-lock.UID\nThe record of one account's runs (UID its "
      "user id), writable by that account alone: whether its last run finished and the files it "
      "made beside the forms. A record confers no rights. What it may cause: the next writer "
      "removes or restores the files it names of the account that wrote it, plain names in the "
      "real form folder whose identity is still as recorded, and gives a form "
      "that run was rewriting in place its old content back where the form is still the same "
      "file, in a state that run could have left, and writable by that account. What it never "
      "may: read, write or delete anything outside the real form folder, delete or restore "
      "another account's file, or overwrite a form saved since (its old content is kept beside it "
      "and both are named). A record with any other name than a plain one, of another owner than "
      "its name says, or writable by others is refused as a whole and named.\n"
      ".TP\n.B DBPATH/BerichteLL/.llupdate-journal\nThe journal: what each run replaced or "
      "removed, kept so that 'undo' can take the run back. A record ID.run per run (who, "
      "where, when, the command, every change in order, how it ended; text, format version 1) "
      "and a folder ID with the kept files: the old content of every form the run rewrote or "
      "replaced, every file it removed although it did not make it (a customer's own alt_ or "
      "xx_ file, the delivery marker), with the forms it created, the read-only attributes it "
      "removed and the settings it changed. The newest 5 runs are kept (--keep-runs N, or the "
      "setting llupdate KeepRuns; 0 keeps nothing); older runs are removed whole when a writing "
      "run begins. 'undo' takes back the newest run that changed something: every form gets its "
      "old file back (content, owner, mode, ACL, extended attributes, links), created files go, "
      "removed ones return, the driver's step and the page-number record return to their "
      "values; a file changed since is left and named (exit status 4). A record is followed "
      "only where its account owns it and alone may change it and its folder, for plain names "
      "of the form and delivery folders that account may write, and only while a file is as the "
      "run left it.\n"
      "[JSON RECORDS]\n"
      "With --json every line is one JSON object. The key \"v\" is the format version (1); "
      "the key \"call\" names the record. Strings are UTF-8; a byte of a file name that is "
      "not UTF-8 is written as \\eudcXX (XX the byte in hex, Python's surrogateescape: "
      "os.fsencode() gives the bytes back), and a record with such a \"path\" also has "
      "\"path_bytes\", the exact bytes of the path in hex. \"level\" is the message level of "
      "the component (3 an error or warning, 4 a notice); \"flag\" is true for a handled error "
      "(the form in work counts as failed) and false for a notice.\n"
      ".TP\n.B ShowMessage, ReportError\n(stderr) a message of the component: text or routine, "
      "number and description, level, title, flag; \"form\" and \"path\" name the form in "
      "work, \"hint\" a way out.\n"
      ".TP\n.B Progress\n(stderr) operation, label, step and steps (in the driver), type, done, "
      "total, form, path.\n"
      ".TP\n.B Summary\n(stderr) examined, rewritten, unchanged, failed, errors, interrupted, "
      "seconds.\n"
      ".TP\n.B Error\n(stderr) message: a problem of the command line itself.\n"
      ".TP\n.B UsageError\n(stderr) message: the command line was not understood, or its "
      "DBPATH or settings file does not fit (exit status 2); nothing ran.\n"
      ".TP\n.B Result\n(stdout) command, operation, result (true, false or null), dry_run.\n"
      ".TP\n.B Preview\n(stdout, --dry-run) change (rewrite, create, delete, stranded, "
      "attributes, setting), path, diff or text.\n"
      ".TP\n.B Form\n(stdout, list) name, path, version, referenzbeleg, fileversion.\n"
      ".TP\n.B Heal\n(stderr) action, path, form: a file of an unfinished run resolved before "
      "a writer began.\n"
      ".TP\n.B Leftover\n(stdout, recover) leftover (foreign: not made by llupdate, never "
      "touched; restore-in-place: the complete copy of a form an interrupted in-place rewrite "
      "may have left half-written), file, path, form, apply, outcome.\n"
      ".TP\n.B RefusedRecord\n(stdout, recover) record: a record of runs that is not trusted, "
      "and why; nothing is done from it.\n"
      ".TP\n.B Status\n(stdout, status) database, settings, recorded_step, steps_to_run, "
      "leftovers, not_made_by_llupdate, refused_records, forms, held, holder, "
      "last_run_unfinished, last_run (as History, or null), can_be_taken_back.\n"
      ".TP\n.B History\n(stdout, history) a run of the journal, newest first: run, started (null "
      "for a record that is none), user, account, host, process, command, undo_of (the run it took "
      "back, or null), ended (ok, failed, cancelled, interrupted), rewritten, unchanged, failed, "
      "changes, kept_bytes, taken_back, refused (why the record is not followed, or null).\n"
      ".TP\n.B Setting\n(stdout, setting) section, key, value, file.\n"
      ".TP\n.B DatabaseResult\n(stdout, several databases) db, result (converted, would convert, "
      "nothing to do, done, finished with errors, refused, held, failed, interrupted, not "
      "started, duplicate: the same database named again, which runs once), exit (the database's "
      "exit status), examined, rewritten, copied, failed, "
      "seconds, problems. Every other record of a database's run carries its \"db\" too.\n"
      ".TP\n.B FleetSummary\n(stdout, several databases) databases, the number of databases of "
      "each result (spaces as _), exit (the worst exit status).\n"
      "[EXAMPLES]\n"
      ".TP\n.B llupdate status /srv/db\nWhere the database stands.\n"
      ".TP\n.B llupdate --dry-run convert /srv/db\nWhat the conversion would change.\n"
      ".TP\n.B llupdate convert /srv/db\nConvert it; the record goes to "
      "/srv/db/llupdate-settings.sqlite.\n"
      ".TP\n.B llupdate distribute /srv/db /opt/app demo\nDistribute a delivery.\n"
      ".TP\n.B llupdate recover /srv/db --apply\nRepair what an interrupted run left.\n"
      ".TP\n.B llupdate history /srv/db\nThe runs the journal keeps.\n"
      ".TP\n.B llupdate undo /srv/db\nTake the newest run back (again: bring it back).\n"
      ".TP\n.B llupdate --json -q convert /srv/db\nFor a script: JSON records, errors only.\n"
      ".TP\n.B llupdate --jobs 2 convert --databases customers.txt\nConvert every database the "
      "list names, two at a time: a table at the end, the worst exit status.\n";
  return text;
}

int UsageError(bool json, const std::string& problem) {
  if (json) {
    std::fprintf(stderr, "{\"v\":1,\"call\":\"UsageError\",\"message\":%s}\n",
                 JsonString(problem).c_str());
  } else {
    std::fprintf(stderr, "llupdate: %s\nTry 'llupdate --help'.\n", problem.c_str());
  }
  return kExitUsage;
}

// What a friendly command will find to do, told before it runs: "" when it has work, else the
// line that says why there is none (told instead of "succeeded" when no form was examined).
std::string NothingToDo(const Command& command, const std::vector<std::string>& args,
                        const Options& options) {
  if (command.name == "convert") {
    std::string step;
    try {
      ReadSettingsValue(options.settings_file, kStepRecordSection, kStepRecordKey, &step);
    } catch (const Error&) {
      // a settings file that cannot be read now (an interrupted write): the driver reads it
    }
    if (std::atoi(step.c_str()) >= kDriverSteps) {
      return "already at step " + std::to_string(kDriverSteps) + ": nothing to do";
    }
  }
  if (command.name == "distribute") {
    if (!Disk().FileExists(args[0] + "\\BerichteLLOrg\\NeueBerichte.txt")) {
      return "no delivery waiting (no BerichteLLOrg/NeueBerichte.txt): nothing to do";
    }
  }
  return "";
}

// with_errors: the run showed errors or failed forms, so a True result is not told as success.
// nothing: the line told for a True result when the command found nothing to do.
int PrintResults(const Command& command, const Results& results, bool json, bool with_errors,
                 const std::string& nothing) {
  int status = kExitTrue;
  const bool friendly = !IsExactName(command.name);
  for (const auto& [operation, result] : results) {
    bool empty = result.IsEmpty(), ok = result == Variant(true);
    if (json) {
      std::printf("{\"v\":1,\"call\":\"Result\",\"command\":%s,\"operation\":%s,\"result\":%s}\n",
                  JsonString(command.name).c_str(), JsonString(operation).c_str(),
                  empty ? "null" : (ok ? "true" : "false"));
    } else if (friendly) {
      const char* word = empty              ? "done"
                         : !ok              ? "failed"
                         : with_errors      ? "finished with errors"
                         : !nothing.empty() ? nothing.c_str()
                                            : "succeeded";
      std::printf("%s: %s\n", command.name.c_str(), word);
    } else {
      std::printf("%s: %s\n", operation.c_str(), empty ? "done" : (ok ? "True" : "False"));
    }
    if (!empty && !ok) status = kExitFalse;
  }
  return status;
}

// The value of an option that takes one: "--name=VALUE" or "--name VALUE".
bool OptionValue(const std::string& arg, const char* name, const char* short_name, int argc,
                 char** argv, int& i, std::string* value) {
  std::string long_name = name;
  if (arg == long_name || (short_name != nullptr && arg == short_name)) {
    *value = i + 1 < argc ? argv[++i] : "";
    return true;
  }
  if (arg.starts_with(long_name + "=")) {
    *value = arg.substr(long_name.size() + 1);
    return true;
  }
  return false;
}

int Main(int argc, char** argv) {
  Options options;
  bool dry_run = false;
  for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i) {
    if (std::string(argv[i]) == "--json") options.json = true;  // known before any problem
  }
  bool settings_given = false;
  double wait_seconds = 0;
  std::string progress_mode = "auto";
  if (const char* env = std::getenv("LLUPDATE_SETTINGS"); env != nullptr && *env != '\0') {
    options.settings_file = env;
    settings_given = true;
  }

  std::vector<std::string> words;
  bool help = false, options_done = false, keep_runs_given = false;
  // Several databases: their list, how many run at once, and the options each run gets.
  std::string database_list;
  int jobs = 0;
  std::vector<std::string> run_options;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) options.command_line += ' ';
    options.command_line += i == 0 ? "llupdate" : argv[i];
  }
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      words.push_back(arg);  // the command and its arguments; options may stand anywhere
      continue;
    }
    // Each database's run of several gets the options as given, with their values.
    const int first = i;
    const bool passed_on = arg != "--" && arg != "--json" && arg.rfind("--progress", 0) != 0 &&
                           arg.rfind("--databases", 0) != 0 && arg.rfind("--jobs", 0) != 0 &&
                           arg != "-j";
    if (OptionValue(arg, "--databases", nullptr, argc, argv, i, &value)) {
      if (value.empty()) return UsageError(options.json, "--databases needs a FILE (- for stdin)");
      database_list = value;
    } else if (OptionValue(arg, "--jobs", "-j", argc, argv, i, &value)) {
      char* end = nullptr;
      const long n = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || n < 1 || n > 1024) {
        return UsageError(options.json, "--jobs needs a NUMBER of databases at once (1 or more)");
      }
      jobs = static_cast<int>(n);
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--dry-run") {
      dry_run = true;
    } else if (arg == "--apply") {
      options.apply = true;
    } else if (arg == "--force") {
      options.force = true;
    } else if (arg == "-q" || arg == "--quiet") {
      options.quiet = true;  // the last of -q and -v wins
      options.verbose = false;
    } else if (arg == "-v" || arg == "--verbose") {
      options.verbose = true;
      options.quiet = false;
    } else if (arg.size() > 2 && arg[1] != '-' &&
               arg.find_first_not_of("qv", 1) == std::string::npos) {
      // Short options bundle: "-vq" is "-v -q".
      for (size_t k = 1; k < arg.size(); ++k) {
        options.quiet = arg[k] == 'q';
        options.verbose = arg[k] == 'v';
      }
    } else if (OptionValue(arg, "--progress", nullptr, argc, argv, i, &value)) {
      if (value != "auto" && value != "line" && value != "log" && value != "none") {
        return UsageError(options.json, "--progress is auto, line, log or none");
      }
      progress_mode = value;
    } else if (arg == "--adopt-settings") {
      options.adopt_settings = true;
    } else if (arg == "--no-sync") {
      SetDurableWrites(false);
    } else if (OptionValue(arg, "--keep-runs", nullptr, argc, argv, i, &value)) {
      char* end = nullptr;
      const long runs = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || runs < 0 || runs > 100000) {
        return UsageError(options.json, "--keep-runs needs a NUMBER of runs (0 keeps none)");
      }
      SetKeptRuns(static_cast<int>(runs));
      keep_runs_given = true;
    } else if (OptionValue(arg, "--wait", nullptr, argc, argv, i, &value)) {
      char* end = nullptr;
      double seconds = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !(seconds >= 0)) {
        return UsageError(options.json, "--wait needs a number of SECONDS");
      }
      SetWriterLockWait(seconds);
      wait_seconds = seconds;
    } else if (OptionValue(arg, "--settings", nullptr, argc, argv, i, &value)) {
      if (value.empty()) return UsageError(options.json, "--settings needs a FILE");
      options.settings_file = value;
      settings_given = true;
    } else if (OptionValue(arg, "--database", "-d", argc, argv, i, &value)) {
      if (value.empty()) return UsageError(options.json, "--database needs a DBPATH");
      options.database = value;
    } else if (arg == "--help" || arg == "-h") {
      help = true;
    } else if (arg == "--help-brief") {  // for help2man: the commands come from --help-man
      std::printf("%s", UsageText(false).c_str());
      return kExitTrue;
    } else if (arg == "--help-man") {
      std::printf("%s", ManPageSections().c_str());
      return kExitTrue;
    } else if (arg == "--version") {
      std::printf("llupdate %s\n", LibraryVersion());
      return kExitTrue;
    } else {
      return UsageError(options.json, "unknown option " + arg);
    }
    if (passed_on) {
      for (int k = first; k <= i; ++k) run_options.push_back(argv[k]);
    }
  }
  if (!words.empty() && words[0] == "help") {
    words.erase(words.begin());
    help = true;
  }
  if (words.empty()) {
    if (help) {
      std::printf("%s", UsageText(true).c_str());
      return kExitTrue;
    }
    return UsageError(options.json, "no command given");
  }
  const Command* command = FindCommand(words[0]);
  if (command == nullptr) {
    std::string problem = "unknown command '" + words[0] + "'";
    std::vector<std::string> near = Suggestions(words[0]);
    for (size_t i = 0; i < near.size(); ++i) {
      problem += (i == 0 ? "; did you mean '" : (i + 1 == near.size() ? "' or '" : "', '")) +
                 near[i] + (i + 1 == near.size() ? "'?" : "");
    }
    return UsageError(options.json, problem);
  }
  if (help) {
    std::printf("%s", CommandHelp(*command).c_str());
    return kExitTrue;
  }
  std::vector<std::string> args(words.begin() + 1, words.end());
  if (TakesSeveralDatabases(*command)) {
    // Several databases: those before the command's other arguments, and the list's.
    FleetRequest fleet;
    const size_t others = command->params.size() - 1;
    const size_t given = args.size() >= others ? args.size() - others : 0;
    fleet.databases.assign(args.begin(), args.begin() + static_cast<long>(given));
    fleet.arguments.assign(args.begin() + static_cast<long>(given), args.end());
    std::string problem;
    if (!database_list.empty() && !ReadDatabaseList(database_list, &fleet.databases, &problem)) {
      return UsageError(options.json, problem);
    }
    if (!database_list.empty() && fleet.databases.empty()) {
      return UsageError(options.json, "the list " + database_list + " names no database");
    }
    if (fleet.databases.size() > 1 || !database_list.empty()) {
      if (settings_given && command->uses_settings) {
        // One settings file records one database: shared, the runs would record each other.
        return UsageError(options.json,
                          "with several databases each keeps its own settings file "
                          "(DBPATH/llupdate-settings.sqlite): leave out --settings and unset "
                          "LLUPDATE_SETTINGS. Nothing was run or recorded.");
      }
      if (fleet.arguments.size() != others) {
        return UsageError(options.json, "usage: llupdate " + Synopsis(*command) +
                                            " (several DBPATHs may stand for DBPATH)");
      }
      if (std::getenv(kFleetMember) != nullptr) {
        return UsageError(options.json,
                          "this run is one database of a fleet and does not start "
                          "a fleet of its own");
      }
      fleet.command = command;
      fleet.options = run_options;
      fleet.jobs =
          jobs > 0 ? jobs : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
      fleet.json = options.json;
      fleet.quiet = options.quiet;
      return RunFleet(fleet);
    }
  } else if (!database_list.empty() || jobs > 0) {
    return UsageError(options.json, "'" + command->name +
                                        "' takes one database: --databases and "
                                        "--jobs are for the commands that convert, report or "
                                        "take back");
  }
  if (!ArgumentsFit(*command, args.size())) {
    return UsageError(options.json, "usage: llupdate " + Synopsis(*command) + " (" +
                                        std::to_string(args.size()) + " argument(s) given)");
  }
  if (dry_run && !command->operation) {
    return UsageError(options.json, "'" + command->name +
                                        "' changes nothing; --dry-run is for commands that write");
  }
  if (options.apply && command->name != "recover") {
    return UsageError(options.json, "--apply is for 'recover'");
  }
  if (options.force && command->name != "page-numbers") {
    return UsageError(options.json, "--force is for 'page-numbers'");
  }

  // The database of the command: its form directory must be there, and its settings file is the
  // default record.
  std::string database = options.database;
  const bool takes_database = !command->params.empty() && command->params[0].role == Role::kDbPath;
  if (takes_database) database = args[0];
  if (takes_database && !IsExactName(command->name)) {
    if (!Disk().FolderExists(database + "\\BerichteLL")) {
      return UsageError(options.json, "'" + database +
                                          "' has no form directory BerichteLL: is it the "
                                          "database path? Nothing was run or recorded.");
    }
  }
  if (!settings_given) {
    options.settings_file = database.empty()
                                ? std::string(kDefaultSettingsFile)
                                : Disk().ShownPath(database) + "/" + kDefaultSettingsFile;
  }
  // The number of runs the journal keeps: the option, else the settings file's value.
  if (!keep_runs_given) {
    std::string value;
    try {
      if (ReadSettingsValue(options.settings_file, "llupdate", "KeepRuns", &value) &&
          !value.empty()) {
        SetKeptRuns(std::atoi(value.c_str()));
      }
    } catch (const Error&) {
      // an unreadable settings file: the default holds
    }
  }
  // A settings file records the step of one database: taken for another, it would make that one
  // look converted and skip its conversion.
  std::string form_folder;
  if (takes_database && command->uses_settings) {
    form_folder = Disk().RealPath(database + "\\BerichteLL");
    const std::string recorded = SettingsDatabase(options.settings_file);
    if (!recorded.empty() && !form_folder.empty() && recorded != form_folder &&
        !options.adopt_settings) {
      return UsageError(options.json,
                        "the settings file " + options.settings_file +
                            " belongs to the database with the form folder " + recorded +
                            ", not to " + form_folder +
                            ". Give this database's settings file with --settings (or unset "
                            "LLUPDATE_SETTINGS), or take this one over with --adopt-settings. "
                            "Nothing was run or recorded.");
    }
  }
  if (command->guard) {
    std::string refusal = command->guard(args, options);
    if (!refusal.empty()) {
      PrintProblem(options.json, refusal);
      return kExitFalse;
    }
  }

  const char* term = std::getenv("TERM");
  const bool plain =
      (term != nullptr && std::string(term) == "dumb") || std::getenv("NO_COLOR") != nullptr;
  Progress::Mode mode = options.json               ? Progress::Mode::kJson
                        : !::isatty(STDERR_FILENO) ? Progress::Mode::kLog
                        : plain                    ? Progress::Mode::kPlain
                                                   : Progress::Mode::kTerminal;
  if (progress_mode == "log") mode = Progress::Mode::kLog;
  if (progress_mode == "none") mode = Progress::Mode::kNone;
  if (progress_mode == "line" && !options.json)
    mode = plain ? Progress::Mode::kPlain : Progress::Mode::kTerminal;
  Progress progress(mode, options.json, options.quiet, options.verbose);
  progress.SetDriver(command->uses_settings && command->operation != nullptr);
  progress.SetDatabase(database);
  RegisterObject(kMessagesProgId, [&]() -> std::shared_ptr<Object> {
    return NewMessageSink(options.json, &progress);
  });
  ResetThreadHostMessages();
  SetThreadProgressObserver(&progress);
  CatchStopSignals();
  int status;
  try {
    if (!command->operation) {
      status = command->tool(args, options);
    } else if (dry_run) {
      status = DryRun(*command, args, options, progress);
    } else {
      if (wait_seconds > 0 && takes_database && command->writes) {
        const std::string holder = FormFolderHolder(Disk(), database);
        if (!holder.empty() && !options.quiet) {
          progress.Clear();
          std::fprintf(stderr,
                       "llupdate: waiting up to %g s for another run that holds the database "
                       "(%s) ...\n",
                       wait_seconds, holder.c_str());
        }
      }
      const std::string nothing = NothingToDo(*command, args, options);
      if (!form_folder.empty() && command->writes) {
        try {
          RecordSettingsDatabase(options.settings_file, form_folder);
        } catch (const Error&) {
          // a settings file that cannot be written: the run's own record says so
        }
      }
      clsReportLLUpdate component;
      CallOptions call;
      call.command = options.command_line;
      component.SetCallOptions(call);
      Results results = command->operation(component, args, options);
      const CallSummary& summary = component.LastCallSummary();
      progress.PrintSummary(summary, StopRequested());
      const bool with_errors = progress.errors_shown() > 0 || summary.errors_shown > 0 ||
                               summary.failed > 0 || summary.refused > 0;
      status = PrintResults(*command, results, options.json, with_errors,
                            summary.examined == 0 ? nothing : std::string());
      // Interrupted also while it waited for a database another run held: nothing was done.
      if (StopRequested()) {
        status = stop_signal == SIGHUP ? kExitHangUp : kExitInterrupted;
      } else if (summary.database_busy) {
        status = kExitDatabaseBusy;
      } else if (status == kExitTrue && with_errors) {
        status = kExitErrorsShown;
      }
    }
  } catch (const HostFailure& e) {
    progress.Clear();
    PrintProblem(options.json, std::string("the message output failed: ") + e.what());
    status = kExitHostFailure;
  } catch (const std::exception& e) {
    progress.Clear();
    PrintProblem(options.json, e.what());
    status = kExitHostFailure;
  } catch (...) {
    progress.Clear();
    PrintProblem(options.json, "an unknown error ended the run");
    status = kExitHostFailure;
  }
  SetThreadProgressObserver(nullptr);
  RegisterObject(kMessagesProgId, nullptr);
  ResetThreadHostMessages();
  if (output_closed) status = kExitHostFailure;
  return status;
}

}  // namespace
}  // namespace llupdate::cli

int main(int argc, char** argv) {
  llupdate::cli::GuardStandardStreams();
  return llupdate::cli::FinishOutput(llupdate::cli::Main(argc, argv));
}
