// llupdate: the command line of clsReportLLUpdate.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands.h"
#include "dry_run.h"
#include "host/message_sinks.h"
#include "host/objects.h"
#include "llupdate/host.h"
#include "llupdate/report_ll_update.h"
#include "output.h"

namespace llupdate::cli {
namespace {

constexpr int kExitTrue = 0;
constexpr int kExitFalse = 1;
constexpr int kExitUsage = 2;
constexpr int kExitHostFailure = 3;
constexpr int kExitErrorsShown = 4;
constexpr int kExitDatabaseBusy = 5;
constexpr int kExitInterrupted = 130;

// The first Ctrl-C or SIGTERM asks the job to stop after the form in work; a second one ends
// the process at once (the forms stay whole even then).
void OnStopSignal(int signal_number) {
  if (!StopRequested()) {
    RequestStop();
    return;
  }
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

void CatchStopSignals() {
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

constexpr char kVersion[] = "llupdate 0.1.0";
constexpr char kDefaultSettingsFile[] = "llupdate-settings.sqlite";

std::string UsageText() {
  std::string text =
      "Usage: llupdate [OPTION]... COMMAND [ARG]...\n"
      "Keep the List & Label report forms of a database up to date.\n"
      "\n"
      "The forms are in DBPATH/BerichteLL, new deliveries in DBPATH/BerichteLLOrg. Every\n"
      "rewrite goes through a temporary \"xx_\" file and an \"alt_\" backup, so a form is\n"
      "never lost; 'recover' tidies up after an interrupted run.\n"
      "\n"
      "Commands:\n";
  bool exact = false;
  for (const Command& c : Commands()) {
    if (!exact && c.name.find('_') != std::string::npos) {
      exact = true;
      text +=
          "\nThe operations of clsReportLLUpdate by their exact names (arguments in the order\n"
          "of the interface):\n";
    }
    std::string synopsis = Synopsis(c);
    text += "  " + synopsis + "\n      " + c.summary + "\n";
  }
  text +=
      "\n"
      "Options:\n"
      "  --json           messages, progress and the summary as JSON lines on stderr; results\n"
      "                   as JSON on stdout\n"
      "  --settings FILE  the SQLite settings file of the conversion driver and of 'setting'\n"
      "                   (default: $LLUPDATE_SETTINGS, else ./llupdate-settings.sqlite)\n"
      "  --dry-run        run a command that writes and show what it would change; its\n"
      "                   changes stay in memory, nothing is written or copied anywhere\n"
      "  --apply          let 'recover' make its repairs\n"
      "  --wait SECONDS   wait up to SECONDS for another run that holds the database (default:\n"
      "                   refuse at once, exit status 5)\n"
      "  --no-sync        do not wait for the disk: faster, but a power cut may lose forms;\n"
      "                   for scratch copies only\n"
      "  --help           this text; 'llupdate COMMAND --help' explains one command\n"
      "  --version        the version\n"
      "\n"
      "Exit status: 0 the command succeeded (for an operation: it returned True and showed no\n"
      "error), 1 it failed (returned False), 2 usage error, 3 the message output itself failed\n"
      "or another unexpected error, 4 it returned True but showed errors (a form may be\n"
      "unconverted), 5 another run holds the database, 130 interrupted (Ctrl-C or SIGTERM; the\n"
      "form in work was finished).\n";
  return text;
}

std::string CommandHelp(const Command& c) {
  return "Usage: llupdate [OPTION]... " + Synopsis(c) + "\n" + c.summary + ".\n\n" + c.help +
         (c.writes ? "\nWith --dry-run it shows what it would change and changes nothing.\n" : "");
}

// The help of every command as a help2man include file, for the man page.
std::string ManPageCommands() {
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
  return text;
}

int UsageError(const std::string& problem) {
  std::fprintf(stderr, "llupdate: %s\nTry 'llupdate --help'.\n", problem.c_str());
  return kExitUsage;
}

int PrintResults(const Results& results, bool json) {
  int status = kExitTrue;
  for (const auto& [operation, result] : results) {
    bool empty = result.IsEmpty(), ok = result == Variant(true);
    if (json) {
      std::printf("{\"operation\":%s,\"result\":%s}\n", host::JsonString(operation).c_str(),
                  empty ? "null" : (ok ? "true" : "false"));
    } else {
      std::printf("%s: %s\n", operation.c_str(), empty ? "done" : (ok ? "True" : "False"));
    }
    if (!empty && !ok) status = kExitFalse;
  }
  return status;
}

int Main(int argc, char** argv) {
  Options options;
  bool dry_run = false;
  if (const char* env = std::getenv("LLUPDATE_SETTINGS"); env != nullptr && *env != '\0') {
    options.settings_file = env;
  } else {
    options.settings_file = kDefaultSettingsFile;
  }

  std::vector<std::string> words;
  bool help = false, options_done = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      words.push_back(arg);  // the command and its arguments; options may stand anywhere
      continue;
    }
    if (arg == "--") {
      options_done = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--dry-run") {
      dry_run = true;
    } else if (arg == "--apply") {
      options.apply = true;
    } else if (arg == "--no-sync") {
      SetDurableWrites(false);
    } else if (arg == "--wait" || arg.rfind("--wait=", 0) == 0) {
      std::string value = arg == "--wait" ? (i + 1 < argc ? argv[++i] : "") : arg.substr(7);
      char* end = nullptr;
      double seconds = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !(seconds >= 0)) {
        return UsageError("--wait needs a number of SECONDS");
      }
      SetWriterLockWait(seconds);
    } else if (arg == "--settings" || arg.rfind("--settings=", 0) == 0) {
      std::string file = arg == "--settings" ? (i + 1 < argc ? argv[++i] : "") : arg.substr(11);
      if (file.empty()) return UsageError("--settings needs a FILE");
      options.settings_file = file;
    } else if (arg == "--help" || arg == "-h") {
      help = true;
    } else if (arg == "--help-man") {
      std::printf("%s", ManPageCommands().c_str());
      return kExitTrue;
    } else if (arg == "--version") {
      std::printf("%s\n", kVersion);
      return kExitTrue;
    } else {
      return UsageError("unknown option " + arg);
    }
  }
  if (!words.empty() && words[0] == "help") {
    words.erase(words.begin());
    help = true;
  }
  if (words.empty()) {
    if (help) {
      std::printf("%s", UsageText().c_str());
      return kExitTrue;
    }
    return UsageError("no command given");
  }
  const Command* command = FindCommand(words[0]);
  if (command == nullptr) return UsageError("unknown command '" + words[0] + "'");
  if (help) {
    std::printf("%s", CommandHelp(*command).c_str());
    return kExitTrue;
  }
  std::vector<std::string> args(words.begin() + 1, words.end());
  if (!ArgumentsFit(*command, args.size())) {
    return UsageError("usage: llupdate " + Synopsis(*command) + " (" + std::to_string(args.size()) +
                      " argument(s) given)");
  }
  if (dry_run && !command->operation) {
    return UsageError("'" + command->name +
                      "' changes nothing; --dry-run is for commands that write");
  }
  if (options.apply && command->name != "recover") return UsageError("--apply is for 'recover'");

  Progress::Mode mode = options.json              ? Progress::Mode::kJson
                        : ::isatty(STDERR_FILENO) ? Progress::Mode::kTerminal
                                                  : Progress::Mode::kNone;
  Progress progress(mode);
  RegisterObject(host::kMessagesProgId, [&]() -> std::shared_ptr<Object> {
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
      progress.PrintSummary(StopRequested());
    } else {
      clsReportLLUpdate component;
      Results results = command->operation(component, args, options);
      progress.PrintSummary(StopRequested());
      status = PrintResults(results, options.json);
      if (LastCallFoundDatabaseBusy()) {
        status = kExitDatabaseBusy;
      } else if (StopRequested()) {
        status = kExitInterrupted;
      } else if (status == kExitTrue && (progress.errors_shown() > 0 || progress.failed() > 0)) {
        status = kExitErrorsShown;
      }
    }
  } catch (const HostFailure& e) {
    progress.Clear();
    std::fprintf(stderr, "llupdate: the message output failed: %s\n", e.what());
    status = kExitHostFailure;
  } catch (const std::exception& e) {
    progress.Clear();
    std::fprintf(stderr, "llupdate: %s\n", e.what());
    status = kExitHostFailure;
  } catch (...) {
    progress.Clear();
    std::fprintf(stderr, "llupdate: an unknown error ended the run\n");
    status = kExitHostFailure;
  }
  SetThreadProgressObserver(nullptr);
  RegisterObject(host::kMessagesProgId, nullptr);
  ResetThreadHostMessages();
  return status;
}

}  // namespace
}  // namespace llupdate::cli

int main(int argc, char** argv) { return llupdate::cli::Main(argc, argv); }
