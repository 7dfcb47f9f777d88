// The frame of the conversion jobs: for each form type the catalogue of the form directory is
// built anew, and the per-file rewrite runs for every listed form in catalogue order; the job
// stops at the first form whose rewrite fails.
#pragma once

#include <functional>
#include <map>
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

// The files a form job has reached, by what tells one file from another whatever name reaches
// it (its device and inode): a file with a second name in the folder (a hard link, a link to
// another form) is converted once, under the name listed first, and the second name is left with
// a notice. A listed name that cannot stand as one file name here (a device name on Windows, a
// name the system forbids) is left with a notice too, and the job goes on.
class FilesOfJob {
 public:
  // True when the job leaves the form name (the person is told then).
  bool Leaves(clsReportLLUpdate& self, const std::string& pDBPath, const std::string& name);

 private:
  std::map<std::string, std::string> first_;  // what tells the file -> the name it was reached by
};

bool RunFormJob(clsReportLLUpdate& self, const std::string& operation, const std::string& pDBPath,
                const host::ErrorText& error_text, const std::vector<std::string>& types,
                const std::function<bool(const std::string& name)>& rewrite,
                const std::function<bool(const std::string& listed_name)>& filter = nullptr);

}  // namespace llupdate::component
