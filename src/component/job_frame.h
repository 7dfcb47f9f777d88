// The frame of the conversion jobs: for each form type the catalogue of the form directory is
// built anew, and the per-file rewrite runs for every listed form in catalogue order; the job
// stops at the first form whose rewrite fails.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/error_convention.h"
#include "llupdate/report_ll_update.h"

namespace llupdate::component {

// Progress goes to the thread's observer under the operation's name.
// True when every listed form was rewritten (or a type's catalogue could not be built); False
// when a rewrite returned False or an error reached the handler (shown with error_text). The
// instance's catalogue array is released on the normal path. A row is taken only when its name
// is not blank and, when a filter is given, the filter accepts the name as listed.
// The number of rows of a catalogue that name a form.
int CountForms(DynArray& catalogue);

bool RunFormJob(clsReportLLUpdate& self, const std::string& operation, const std::string& pDBPath,
                const host::ErrorText& error_text, const std::vector<std::string>& types,
                const std::function<bool(const std::string& name)>& rewrite,
                const std::function<bool(const std::string& listed_name)>& filter = nullptr);

}  // namespace llupdate::component
