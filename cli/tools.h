// The command line's own tools: the form list, the settings store and the recovery of an
// interrupted run.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "commands.h"

namespace llupdate::cli {

int RunList(const std::vector<std::string>& args, const Options& options);
int RunSetting(const std::vector<std::string>& args, const Options& options);
int RunRecover(const std::vector<std::string>& args, const Options& options);
int RunStatus(const std::vector<std::string>& args, const Options& options);
int RunHistory(const std::vector<std::string>& args, const Options& options);
int RunCompletion(const std::vector<std::string>& args, const Options& options);
// The refusal of a TYPE without forms in the database (a typo such as "xyz" or ".mah"), or "".
std::string FormsOfTypeGuard(const std::vector<std::string>& args, const Options& options);
// The refusal of a second page-number switch-over: names a form of the type that already shows
// the page count, or "".
std::string PageNumbersGuard(const std::vector<std::string>& args, const Options& options);
// The form folder of the database a settings file belongs to ("" when it records none), and the
// recording of it. A settings file records the step of one database; taken for another, it would
// make that one look converted.
std::string SettingsDatabase(const std::string& settings_file);
void RecordSettingsDatabase(const std::string& settings_file, const std::string& form_folder);
// The section of the command line's own settings, and the key that records that the page numbers
// of a type were switched over.
inline constexpr char kOwnSettingsSection[] = "llupdate";
std::string PageNumbersKey(const std::string& type);

}  // namespace llupdate::cli
