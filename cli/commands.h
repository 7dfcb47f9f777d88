// What the command line can do: every public operation of clsReportLLUpdate by its exact name,
// the same work under friendly names, and the tools (list, setting, recover).
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "llupdate/report_ll_update.h"

namespace llupdate::cli {

// What an argument is; a dry run copies what the path arguments name.
enum class Role { kDbPath, kExeDir, kFile, kDir, kPaths, kText };

struct Param {
  std::string name;
  Role role = Role::kText;
  bool optional = false;
};

struct Options {
  bool json = false;
  bool apply = false;
  bool force = false;
  bool quiet = false;
  bool verbose = false;
  std::string settings_file;
  std::string database;         // --database: the database whose settings 'setting' reads
  bool adopt_settings = false;  // --adopt-settings: a settings file of another database is taken
  std::string command_line;     // what the journal records as the command of a run
};

// One call of an operation and what it returned (an empty variant for the one without result).
using Results = std::vector<std::pair<std::string, Variant>>;

struct Command {
  std::string name;
  std::string summary;  // one line
  std::string help;     // the whole text of "llupdate NAME --help", after the usage line
  std::vector<Param> params;
  bool writes = true;          // changes files: a dry run is possible
  bool uses_settings = false;  // the driver's settings file
  // An operation: runs it on a fresh instance. Empty for a tool.
  std::function<Results(clsReportLLUpdate&, const std::vector<std::string>&, const Options&)>
      operation;
  // A tool: runs it and gives the exit status.
  std::function<int(const std::vector<std::string>&, const Options&)> tool;
  // What must hold before the operation runs: a reason to refuse (exit status 1), or "".
  std::function<std::string(const std::vector<std::string>&, const Options&)> guard = nullptr;
};

// An option of the command line, as --help, the man page and the shell completions show it.
struct OptionInfo {
  const char* name;        // "--settings"
  const char* short_name;  // "-d", or nullptr
  const char* value;       // the placeholder of its value ("FILE"), or nullptr for a switch
  const char* help;        // the lines of --help, '\n' between them
  const char* brief;       // a few words, for the zsh completion
  // What completes the value: "file", "dir", the words themselves, or "" for nothing.
  const char* values = "";
};
const std::vector<OptionInfo>& CommandLineOptions();
// "Options:" and a paragraph per option, as --help shows them.
std::string OptionsText();

const std::vector<Command>& Commands();
const Command* FindCommand(const std::string& name);

// "NAME ARG [ARG]..." for usage texts.
std::string Synopsis(const Command& command);

// A command under a friendly name whose first argument is DBPATH and whose others are fixed in
// number: several DBPATHs may stand for it, the words before the others.
bool TakesSeveralDatabases(const Command& command);

// True when args fit the command's parameters.
bool ArgumentsFit(const Command& command, size_t count);

// An exact operation name (with "_") rather than a friendly command.
inline bool IsExactName(const std::string& name) { return name.find('_') != std::string::npos; }

// The text with its letters A to Z in lower case (command names and form types are ASCII).
std::string Lower(std::string text);
// The command names nearest to a mistyped one (at most two edits away, or beginning with it).
std::vector<std::string> Suggestions(const std::string& typed);

}  // namespace llupdate::cli
