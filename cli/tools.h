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

}  // namespace llupdate::cli
