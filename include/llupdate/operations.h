// Every public operation of clsReportLLUpdate, once: its name, its parameters, what a person
// calls it, whether it changes files, the conversion step of the driver it is, and how it is
// called with text arguments. The driver runs its steps from here, the command line builds its
// exact commands, their help and its progress labels from here. A new conversion is a rule, its
// operation on clsReportLLUpdate and one row here.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "llupdate/report_ll_update.h"

namespace llupdate {

// What an argument is.
enum class ParameterRole { kDbPath, kExeDir, kFile, kDir, kText };

struct Parameter {
  const char* name;  // as a usage text shows it: "DBPATH"
  ParameterRole role;
};

// Calls the operation with its arguments in interface order; connection is for the driver.
using OperationCall = Variant (*)(clsReportLLUpdate& component,
                                  const std::vector<std::string>& arguments,
                                  std::shared_ptr<Object>& connection);

struct Operation {
  const char* name;                   // the public name
  std::vector<Parameter> parameters;  // in interface order (the driver's connection aside)
  const char* label;                  // what a person calls its work: "address switch-over"
  const char* summary;                // one line of help
  const char* help;                   // the whole help text
  bool changes_files;
  bool uses_settings;  // keeps its progress in the host's settings store (the connection)
  int driver_step;     // the step of the conversion driver it is; 0: none
  OperationCall call;
  // The command line's friendly command for the same work ("" when there is none), what it does
  // in one line, and its whole help.
  const char* friendly = "";
  const char* friendly_summary = "";
  std::string friendly_help;
};

// The seventeen operations, in interface order.
const std::vector<Operation>& Operations();
// The help of an operation's friendly command, the driver's steps and record filled in where it
// names them ("{steps}", "{record}").
std::string FriendlyHelp(const Operation& operation);
// The operation whose friendly command is that, or nullptr.
const Operation* FindFriendly(const std::string& command);
// The conversion driver: the operation that keeps its progress in the settings store.
const Operation& DriverOperation();
// The operation that removes the read-only attribute of a file, or of every file directly in a
// folder.
const Operation& ReadOnlyRemoval(bool folder);
// The operation of that name, or nullptr.
const Operation* FindOperation(const std::string& name);

// The steps of the conversion driver: 1 to kDriverSteps, each an operation of the table or a
// step without forms (2 a notice, 4 and 5 kept for their numbers).
inline constexpr int kDriverSteps = 6;
// The operation that is step `step`, or nullptr.
const Operation* OperationOfStep(int step);
// What a person calls a step.
std::string StepLabel(int step);
// The notice a step without forms shows the host ("" when it shows none).
std::string StepNotice(int step);
// A step as a person reads it: its label, with what to do about it where there is something.
std::string StepWords(int step);
// Every step, numbered, in order: "1 address switch-over, 2 ...".
std::string StepsInWords();
// Where the host's settings store keeps the last completed step: its section and key.
inline constexpr char kStepRecordSection[] = "CheckReportLL";
inline constexpr char kStepRecordKey[] = "LetzterWert";
// The last completed step that a recorded value names, read as the driver reads it (a number,
// rounded to a whole one). Throws Error when it names none: 13 for text that is no number, 6
// for one beyond 16 bits or 32767.
int StepOfRecord(const std::string& value);
// Both, as a person types them after 'llupdate setting'.
inline std::string StepRecordWords() {
  return std::string(kStepRecordSection) + " " + kStepRecordKey;
}

}  // namespace llupdate
