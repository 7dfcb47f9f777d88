// What the operations of clsReportLLUpdate share: the instance's members and the file context.
#pragma once

#include <string>

#include "files/file_helpers.h"
#include "files/file_table.h"
#include "host/list_label.h"
#include "llupdate/report_ll_update.h"

namespace llupdate::component {

// The page-number formula with the page count, which the page-number switch-over writes.
inline constexpr char kPageNumberWithCount[] =
    R"(=@F_Seitennr;"Seite " + Page$ () + " von " + TotalPages$ ())";

class Job;

// The read-only removal of a file and of every file directly in a folder, as the public
// operations do it, for the operations that remove it on their way.
bool RemoveReadOnly(clsReportLLUpdate& self, const std::string& file);
void RemoveReadOnlyInFolder(clsReportLLUpdate& self, const std::string& folder);

// The error title of the address switch-over, under which the search-and-replace reports too.
extern const char kAddressTitle[];

}  // namespace llupdate::component

namespace llupdate {

struct clsReportLLUpdate::State {
  State();
  ~State();
  // The file-system object, created on first use.
  std::shared_ptr<FileSystem> fso;
  // fso is a preview, kept for the call in work only.
  bool fso_for_call = false;
  // The catalogue of the forms an operation works on.
  std::shared_ptr<DynArray> catalogue;
  // The catalogue of the delivered forms (distribution only).
  std::shared_ptr<DynArray> delivery_catalogue;
  // The lines of the form being rewritten into the List & Label 15 layout.
  std::shared_ptr<DynArray> project_lines;
  // The never-shown form that hosts the List & Label control, loaded on first use and kept with
  // the instance.
  std::unique_ptr<host::frmListLabel> control_form;
  CallOptions options;
  CallSummary summary;
  // The call in work, from the outermost operation that writes until it returns.
  std::unique_ptr<component::Job> job;
  // The numbered files of this instance's calls.
  std::unique_ptr<files::FileTable> files;
  // Where the messages of a call outside a job go (the options' message component).
  std::unique_ptr<host::Reporter> reporter;
};

}  // namespace llupdate

namespace llupdate::component {

class Internals {
 public:
  // Creates the instance's file-system object when it has none; errors are ignored.
  static void Init_FSO(clsReportLLUpdate& self);
  // The end of a public call: a preview the factory handed out for it is let go.
  static void EndCall(clsReportLLUpdate& self);
  // The file system of the call: the options' one, else the instance's file-system object,
  // created first when missing (error 91 when it cannot be).
  static platform::FileSystem& Fso(clsReportLLUpdate& self);
  static std::shared_ptr<FileSystem> SharedFso(clsReportLLUpdate& self);
  // The file system, the instance's numbered files and, inside a job, the job's notes and
  // progress.
  static files::FileContext Files(clsReportLLUpdate& self);
  static files::FileTable& Table(clsReportLLUpdate& self);
  // The job's notes and progress; nullptr outside a job.
  static platform::JobNotes* Notes(clsReportLLUpdate& self);
  static ProgressObserver* Progress(clsReportLLUpdate& self);
  // The reporter of the messages the job shows; nullptr outside a job.
  static host::Reporter* Reporter(clsReportLLUpdate& self);

  static std::shared_ptr<DynArray>& Catalogue(clsReportLLUpdate& self) {
    return StateOf(self).catalogue;
  }
  static std::shared_ptr<DynArray>& DeliveryCatalogue(clsReportLLUpdate& self) {
    return StateOf(self).delivery_catalogue;
  }
  static std::shared_ptr<DynArray>& ProjectLines(clsReportLLUpdate& self) {
    return StateOf(self).project_lines;
  }
  static const CallOptions& Options(clsReportLLUpdate& self) { return StateOf(self).options; }
  static CallSummary& Summary(clsReportLLUpdate& self) { return StateOf(self).summary; }
  static std::unique_ptr<Job>& CurrentJob(clsReportLLUpdate& self) { return StateOf(self).job; }
};

// A public call that may run outside a job (one that writes nothing to a database, or a form's
// attribute): a preview the factory handed out for an earlier call is not used, nor kept after.
class CallOutsideJob {
 public:
  explicit CallOutsideJob(clsReportLLUpdate& self) : self_(self) { End(); }
  ~CallOutsideJob() { End(); }
  CallOutsideJob(const CallOutsideJob&) = delete;
  CallOutsideJob& operator=(const CallOutsideJob&) = delete;

 private:
  void End() {
    if (!Internals::CurrentJob(self_)) Internals::EndCall(self_);
  }
  clsReportLLUpdate& self_;
};

}  // namespace llupdate::component
