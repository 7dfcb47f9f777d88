#include "commands.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "llupdate/message_sinks.h"
#include "llupdate/operations.h"
#include "output.h"
#include "tools.h"

namespace llupdate::cli {
namespace {

using C = clsReportLLUpdate;
using Args = std::vector<std::string>;

Param Db() { return {"DBPATH", Role::kDbPath}; }
Param Text(const char* name) { return {name, Role::kText}; }

Results One(const std::string& operation, Variant result) { return {{operation, result}}; }

using Runner = std::function<Results(C&, const Args&, const Options&)>;

// Runs a public operation with its arguments in interface order; the driver's connection is the
// --settings file.
Runner Run(const std::string& operation) {
  const Operation* found = FindOperation(operation);
  return [found](C& c, const Args& a, const Options& o) {
    std::shared_ptr<Object> connection = std::make_shared<SettingsConnection>(o.settings_file);
    return One(found->name, found->call(c, a, connection));
  };
}

Role RoleOf(ParameterRole role) {
  switch (role) {
    case ParameterRole::kDbPath:
      return Role::kDbPath;
    case ParameterRole::kExeDir:
      return Role::kExeDir;
    case ParameterRole::kFile:
      return Role::kFile;
    case ParameterRole::kDir:
      return Role::kDir;
    case ParameterRole::kText:
      break;
  }
  return Role::kText;
}

// Every public operation under its exact name, as the operation table describes it.
std::vector<Command> ExactOperations() {
  std::vector<Command> commands;
  for (const Operation& operation : Operations()) {
    Command command;
    command.name = operation.name;
    command.summary = operation.summary;
    command.help = operation.help;
    for (const Parameter& p : operation.parameters) {
      command.params.push_back({p.name, RoleOf(p.role)});
    }
    command.writes = operation.changes_files;
    command.uses_settings = operation.uses_settings;
    command.operation = Run(operation.name);
    commands.push_back(std::move(command));
  }
  return commands;
}

// The page-number switch-over as the friendly command runs it: recorded by the run itself, and
// the forms it could not give the page count named afterwards.
Runner PageNumbers(const Operation* operation) {
  return [operation](C& c, const Args& a, const Options& o) {
    // The switch-over is recorded by the run itself, so that undo takes it back too.
    CallOptions call = c.call_options();
    call.settings_on_success = {{kOwnSettingsSection, PageNumbersKey(a[1]), "1"}};
    call.settings_connection = std::make_shared<SettingsConnection>(o.settings_file);
    c.SetCallOptions(call);
    std::shared_ptr<Object> none;
    const bool done = operation->call(c, a, none) == Variant(true);
    // The formula is replaced only where the switch-over looks for it: a form that holds
    // it elsewhere keeps the page number without the count, and the person learns which.
    if (done) {
      std::shared_ptr<FileSystem> fs = c.call_options().file_system;  // a preview's
      if (!fs) fs = NewOsFileSystem();
      for (const auto& [path, shows] : PageCountOfForms(*fs, a[0], a[1])) {
        if (shows) continue;
        const std::string note =
            "no page-number formula was changed in " + Disk().ShownPath(path) +
            ": it does not hold the formula where the switch-over replaces it, so it "
            "shows no page count (its page-number object was moved all the same)";
        if (o.json) {
          std::fprintf(stderr, "{\"v\":1,\"call\":\"Note\",\"path\":%s,\"message\":%s}\n",
                       PathJson(Disk().ShownPath(path)).c_str(), JsonString(note).c_str());
        } else {
          std::fprintf(stderr, "llupdate: note: %s\n", note.c_str());
        }
      }
    }
    return One(operation->name, Variant(done));
  };
}

// What must hold before a friendly command runs its operation.
using Guard = std::function<std::string(const Args&, const Options&)>;
Guard GuardOf(const std::string& command) {
  if (command == "distribute") {
    return [](const Args& a, const Options&) -> std::string {
      if (Disk().FolderExists(a[1])) return "";
      return "no such directory: " + a[1] +
             " (EXEDIR is the program directory, where the print catalogues are): nothing was "
             "copied, and the delivery stays for the next run";
    };
  }
  if (command == "dunning") return FormsOfTypeGuard;
  if (command == "page-numbers") return PageNumbersGuard;
  return nullptr;
}

// The friendly commands of the operation table, in its order.
std::vector<Command> OperationCommands() {
  std::vector<Command> commands;
  for (const Operation& operation : Operations()) {
    if (*operation.friendly == '\0') continue;
    Command command;
    command.name = operation.friendly;
    command.summary = operation.friendly_summary;
    command.help = FriendlyHelp(operation);
    for (const Parameter& p : operation.parameters) {
      command.params.push_back({p.name, RoleOf(p.role)});
    }
    command.writes = operation.changes_files;
    command.uses_settings = operation.uses_settings;
    command.operation = Run(operation.name);
    command.guard = GuardOf(command.name);
    if (command.name == "page-numbers") {
      command.uses_settings = true;  // the run records the switch-over there
      command.operation = PageNumbers(&operation);
    }
    commands.push_back(std::move(command));
  }
  return commands;
}

std::vector<Command> FriendlyCommands() {
  std::vector<Command> commands = OperationCommands();
  std::vector<Command> more = {
      {"unprotect",
       "make files writable",
       "Removes the read-only attribute of each PATH: of a file, or of every file directly in a\n"
       "directory. A PATH that does not exist is refused (exit status 1) before anything "
       "changes.\n",
       {{"PATH...", Role::kPaths}},
       true,
       false,
       [](C& c, const Args& a, const Options&) {
         Results results;
         std::shared_ptr<Object> none;
         for (const std::string& path : a) {
           const Operation& removal = ReadOnlyRemoval(Disk().FolderExists(path));
           results.push_back({removal.name, removal.call(c, {path}, none)});
         }
         return results;
       },
       nullptr,
       [](const Args& a, const Options&) -> std::string {
         for (const std::string& path : a) {
           if (!Disk().FileExists(path) && !Disk().FolderExists(path)) {
             return "no such file or directory: " + path + " (nothing was changed)";
           }
         }
         return "";
       }},
      {"list",
       "show the forms of a database with their versions",
       "Lists the forms of DBPATH/BerichteLL by name with their Version, Referenzbeleg and\n"
       "FileVersion: with TYPE every form of that type, without it every form of the twelve\n"
       "types (a value a form does not carry is empty). With --json one object per form.\n",
       {Db(), {"TYPE", Role::kText, true}},
       false,
       false,
       nullptr,
       RunList},
      {"setting",
       "show or change a value of the settings file",
       "Prints the value stored under SECTION and KEY in the settings file, or stores VALUE\n"
       "there. The file is the database's with -d DBPATH (DBPATH/llupdate-settings.sqlite),\n"
       "else --settings FILE or $LLUPDATE_SETTINGS, else llupdate-settings.sqlite in the current\n"
       "directory. A missing file or value is said so (exit status 1); reading never creates\n"
       "the file. The conversion driver keeps its last completed step under " +
           StepRecordWords() + ",\nand the database the file belongs to under llupdate Database.\n",
       {Text("SECTION"), Text("KEY"), {"VALUE", Role::kText, true}},
       false,
       true,
       nullptr,
       RunSetting},
      {"undo",
       "take back the newest run",
       "Takes back the newest run on DBPATH that changed something and was not taken back (see\n"
       "'llupdate history'): every form it changed gets its content, attributes, owner, mode,\n"
       "ACL and links of before, files it created go, files it removed come back, and the\n"
       "settings it changed in the settings file (the driver's step) return to their values.\n"
       "A file changed after the run is left as it is and named (exit status 4); the rest is\n"
       "taken back. The undo is a run of its own: 'undo' again brings the run's result back.\n"
       "--dry-run shows what it would change.\n",
       {Db()},
       true,
       true,
       [](C& c, const Args& a, const Options& o) {
         return One(
             "UndoLastRun",
             Variant(c.UndoLastRun(a[0], std::make_shared<SettingsConnection>(o.settings_file))));
       },
       nullptr},
      {"history",
       "list the runs the journal keeps",
       "Lists the runs on DBPATH that the journal holds, newest first: when, who, the command,\n"
       "forms rewritten, unchanged and failed, how it ended, whether it was taken back, and the\n"
       "space its kept files take. The journal (BerichteLL/.llupdate-journal) keeps what each\n"
       "run replaced or removed, for the newest 5 runs (--keep-runs N, or the setting llupdate\n"
       "KeepRuns; 0 keeps none). With --json one record per run.\n",
       {Db()},
       false,
       false,
       nullptr,
       RunHistory},
      {"status",
       "show where a database stands",
       "Shows the step the conversion driver recorded for DBPATH and the steps still to run\n"
       "(or that the record is no number, which makes every convert fail, and how to set it),\n"
       "the files that an interrupted run left in the form directory, a delivery that waits\n"
       "for 'distribute', the forms per type with their file versions (files named like\n"
       "leftovers are no forms), whether a run holds the database now (its temporary files are\n"
       "its work, not leftovers), and the last run in the journal and whether 'undo' can take\n"
       "it back. Reads only; with --json one record.\n",
       {Db()},
       false,
       true,
       nullptr,
       RunStatus},
      {"completion",
       "print a shell completion script",
       "Prints the completion script for SHELL (bash or zsh). For bash:\n"
       "  source <(llupdate completion bash)\n"
       "or save it as /etc/bash_completion.d/llupdate. For zsh, save it as _llupdate in a\n"
       "directory of $fpath.\n",
       {Text("SHELL")},
       false,
       false,
       nullptr,
       RunCompletion},
      {"recover",
       "find and repair what an interrupted run left in the form directory",
       "Looks in DBPATH/BerichteLL for an \"alt_\" backup whose form is missing (--apply restores\n"
       "the form from it), an \"alt_\" backup beside its complete form (--apply removes the\n"
       "backup), a leftover \"xx_\" temporary file (--apply removes it) and the program's own\n"
       "partial files \"NAME.llupdate-....tmp\" (--apply removes them). A temporary file whose "
       "form\n"
       "and backup are both missing may be incomplete: it is reported and kept, never made a\n"
       "form. Without --apply it only reports, one line each, what --apply would do. With --apply\n"
       "it holds the database like any writer (exit status 5 when another run holds it);\n"
       "without --apply it says so too, since the files of a run that holds the database are\n"
       "its work in progress, and ends with exit status 5. The\n"
       "next run that writes does the same repairs by itself after a crash. Exit status 0 when\n"
       "nothing needs doing (or --apply did everything), 1 otherwise.\n",
       {Db()},
       false,
       false,
       nullptr,
       RunRecover},
  };
  for (Command& c : more) commands.push_back(std::move(c));
  return commands;
}

}  // namespace

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = [] {
    std::vector<Command> all = FriendlyCommands();
    for (Command& c : ExactOperations()) all.push_back(std::move(c));
    return all;
  }();
  return commands;
}

const Command* FindCommand(const std::string& name) {
  for (const Command& c : Commands()) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

std::string Synopsis(const Command& command) {
  std::string text = command.name;
  for (const Param& p : command.params) text += p.optional ? " [" + p.name + "]" : " " + p.name;
  return text;
}

const std::vector<OptionInfo>& CommandLineOptions() {
  // The commands that take several databases, named in lines of at most 70 characters.
  static const std::string several = [] {
    std::vector<std::string> words;
    for (const Command& c : Commands()) {
      if (TakesSeveralDatabases(c)) words.push_back(c.name + ",");
    }
    words.back().pop_back();
    words[words.size() - 2].back() = ' ';
    words[words.size() - 2] += "and";
    for (const char* w : {"take", "several", "DBPATHs"}) words.push_back(w);
    std::string text =
        "run the command for every database FILE lists (one DBPATH per line,\n"
        "'#' comments; - reads standard input), besides any given on the line;";
    std::string line;
    for (const std::string& word : words) {
      if (!line.empty() && line.size() + 1 + word.size() > 70) {
        text += "\n" + line;
        line.clear();
      }
      line += (line.empty() ? "" : " ") + word;
    }
    return text + "\n" + line;
  }();
  static const std::vector<OptionInfo> options = {
      {"--json", nullptr, nullptr,
       "messages, progress and the summary as JSON lines on stderr; results,\n"
       "lists and previews as JSON lines on stdout (every line has \"v\", the\n"
       "format version, and \"call\")",
       "JSON records"},
      {"--settings", nullptr, "FILE",
       "the SQLite settings file of the conversion driver, 'status' and\n"
       "'setting' (default: $LLUPDATE_SETTINGS, else llupdate-settings.sqlite\n"
       "in the database path, else in the current directory)",
       "settings file", "file"},
      {"--database", "-d", "DBPATH", "the database whose settings file 'setting' uses",
       "database path", "dir"},
      {"--adopt-settings", nullptr, nullptr,
       "use a settings file that records another database (it then records\n"
       "this one): without it such a file is refused, exit status 2",
       "take a settings file of another database"},
      {"--dry-run", nullptr, nullptr,
       "run a command that writes and show what it would change; its\n"
       "changes stay in memory, nothing is written or copied anywhere",
       "show, change nothing"},
      {"--apply", nullptr, nullptr, "let 'recover' make its repairs", "let recover repair"},
      {"--force", nullptr, nullptr, "run 'page-numbers' on forms that already show the page count",
       "run a guarded command anyway"},
      {"--wait", nullptr, "SECONDS",
       "wait up to SECONDS for another run that holds the database (default:\n"
       "refuse at once, exit status 5)",
       "seconds to wait for another run"},
      {"--no-sync", nullptr, nullptr,
       "do not wait for the disk: faster, but a power cut may lose forms;\n"
       "for scratch copies only",
       "do not flush"},
      {"--keep-runs", nullptr, "N",
       "the journal keeps what the newest N runs replaced, for 'undo'\n"
       "(default: the setting llupdate KeepRuns, else 5; 0 keeps nothing)",
       "runs the journal keeps"},
      {"--progress", nullptr, "MODE",
       "line (redrawn in place), log (a line per step and a count every\n"
       "100 forms), none; auto (default): line on a terminal, else log",
       "how progress is shown", "auto line log none"},
      {"--databases", nullptr, "FILE", several.c_str(), "a list of databases", "file"},
      {"--jobs", "-j", "N",
       "with several databases: N at once (default: the number of cores); each\n"
       "runs as a run of its own, and one's failure never stops the others;\n"
       "the exit status is the worst of them",
       "databases at once"},
      {"--quiet", "-q", nullptr, "no progress and no summary; errors are still shown",
       "errors only"},
      {"--verbose", "-v", nullptr,
       "a line for every form finished: rewritten, unchanged or failed, and\n"
       "by which step (of -q and -v the last wins; -vq is -v -q)",
       "a line per form"},
      {"--help", "-h", nullptr, "this text; 'llupdate COMMAND --help' explains one command",
       "help"},
      {"--version", nullptr, nullptr, "the version", "version"},
  };
  return options;
}

bool TakesSeveralDatabases(const Command& command) {
  const std::vector<Param>& p = command.params;
  return !IsExactName(command.name) && !p.empty() && p[0].role == Role::kDbPath &&
         std::none_of(p.begin(), p.end(), [](const Param& x) { return x.optional; });
}

std::string OptionsText() {
  constexpr size_t kColumn = 20;
  std::string text = "Options:\n";
  for (const OptionInfo& o : CommandLineOptions()) {
    std::string head = "  ";
    if (o.short_name != nullptr) head += std::string(o.short_name) + ", ";
    head += o.name;
    if (o.value != nullptr) head += std::string(" ") + o.value;
    head += head.size() < kColumn ? std::string(kColumn - head.size(), ' ') : "  ";
    text += head;
    for (const char* c = o.help; *c != '\0'; ++c) {
      text += *c;
      if (*c == '\n') text += std::string(kColumn, ' ');
    }
    text += "\n";
  }
  return text +
         "Options may stand anywhere on the line; --name=VALUE works as well as --name VALUE.\n";
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

std::vector<std::string> Suggestions(const std::string& typed) {
  const std::string t = Lower(typed);
  auto distance = [](const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
      size_t diagonal = row[0];
      row[0] = i;
      for (size_t j = 1; j <= b.size(); ++j) {
        size_t above = row[j];
        row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
        diagonal = above;
      }
    }
    return row[b.size()];
  };
  std::vector<std::string> best;
  size_t best_distance = 3;
  for (const Command& c : Commands()) {
    std::string name = Lower(c.name);
    size_t d = name.starts_with(t) && !t.empty() ? 1 : distance(t, name);
    if (d < best_distance) {
      best = {c.name};
      best_distance = d;
    } else if (d == best_distance) {
      best.push_back(c.name);
    }
  }
  return best;
}

bool ArgumentsFit(const Command& command, size_t count) {
  size_t required = 0, allowed = 0;
  bool unbounded = false;
  for (const Param& p : command.params) {
    if (!p.optional) ++required;
    ++allowed;
    if (p.role == Role::kPaths) unbounded = true;
  }
  return count >= required && (unbounded || count <= allowed);
}

}  // namespace llupdate::cli
