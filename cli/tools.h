// The command line's own tools: the form list, the settings store and the recovery of an
// interrupted run.
#pragma once

#include <string>
#include <vector>

#include "commands.h"

namespace llupdate::cli {

int RunList(const std::vector<std::string>& args, const Options& options);
int RunSetting(const std::vector<std::string>& args, const Options& options);
int RunRecover(const std::vector<std::string>& args, const Options& options);
int RunStatus(const std::vector<std::string>& args, const Options& options);
int RunCompletion(const std::vector<std::string>& args, const Options& options);
// The refusal of a second page-number switch-over: names a form of the type that already shows
// the page count, or "".
std::string PageNumbersGuard(const std::vector<std::string>& args, const Options& options);
// Records in the settings file that the page numbers of the type were switched over.
void RecordPageNumbers(const std::vector<std::string>& args, const Options& options);

}  // namespace llupdate::cli
