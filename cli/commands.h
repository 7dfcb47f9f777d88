// The operations that the command line calls by name, with their parameters in interface order.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "llupdate/report_ll_update.h"

namespace llupdate::cli {

struct Invocation {
  std::vector<std::string> args;
  std::string settings_file;
};

struct Operation {
  std::string name;
  std::vector<std::string> params;  // shown in the usage text
  // Runs the operation; an empty variant for the operation without a Boolean result.
  std::function<Variant(clsReportLLUpdate&, const Invocation&)> run;
};

const std::vector<Operation>& Operations();
const Operation* FindOperation(const std::string& name);

}  // namespace llupdate::cli
