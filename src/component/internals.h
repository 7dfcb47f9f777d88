// What the operations of clsReportLLUpdate share: the instance's members and the file context.
#pragma once

#include <string>

#include "files/file_helpers.h"
#include "llupdate/report_ll_update.h"

namespace llupdate::component {

// The page-number formula with the page count, which the page-number switch-over writes.
inline constexpr char kPageNumberWithCount[] =
    R"(=@F_Seitennr;"Seite " + Page$ () + " von " + TotalPages$ ())";

class Internals {
 public:
  // Creates the instance's file-system object when it has none; errors are ignored.
  static void Init_FSO(clsReportLLUpdate& self);
  // The end of a public call: a preview the factory handed out for it is let go.
  static void EndCall(clsReportLLUpdate& self);
  // The file system of the call: the options' one, else the instance's file-system object,
  // created first when missing (error 91 when it cannot be).
  static platform::FileSystem& Fso(clsReportLLUpdate& self);
  // The file system, the instance's numbered files and, inside a job, the job's notes and
  // progress.
  static files::FileContext Files(clsReportLLUpdate& self);
  static files::FileTable& Table(clsReportLLUpdate& self);
  // The job's notes and progress; nullptr outside a job.
  static platform::JobNotes* Notes(clsReportLLUpdate& self);
  static ProgressObserver* Progress(clsReportLLUpdate& self);
  // The reporter of the messages the job shows; nullptr outside a job.
  static host::Reporter* Reporter(clsReportLLUpdate& self);

  static std::shared_ptr<DynArray>& Catalogue(clsReportLLUpdate& self) { return self.catalogue_; }
  static std::shared_ptr<DynArray>& DeliveryCatalogue(clsReportLLUpdate& self) {
    return self.delivery_catalogue_;
  }
  static std::shared_ptr<DynArray>& ProjectLines(clsReportLLUpdate& self) {
    return self.project_lines_;
  }
  static const CallOptions& Options(clsReportLLUpdate& self) { return self.options_; }
  static CallSummary& Summary(clsReportLLUpdate& self) { return self.summary_; }
  static std::unique_ptr<Job>& CurrentJob(clsReportLLUpdate& self) { return self.job_; }
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
