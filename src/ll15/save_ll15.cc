#include "ll15/save_ll15.h"

#include "host/error_convention.h"
#include "host/list_label.h"

namespace llupdate::ll15 {

int32_t Save_LL15_Format(files::FileContext& ctx, const std::string& path,
                         const std::string& save_to) {
  const std::string project_path = path;
  return host::Armed(ctx.reporter, host::ErrorText::General("Save_LL15_Format").WithDetails(),
                     int32_t{0}, [&] {
                       // The instance's form, or one for this save alone.
                       std::unique_ptr<host::frmListLabel> own;
                       std::unique_ptr<host::frmListLabel>& form =
                           ctx.control_form != nullptr ? *ctx.control_form : own;
                       if (!form) form = host::frmListLabel::Load();
                       host::ListLabelControl& ll = form->LL24();
                       // The stand-in works in the job, through its file system; a real control on
                       // its own.
                       struct InJob {
                         host::JobControl* control;
                         ~InJob() {
                           if (control != nullptr) control->JoinJob(nullptr, nullptr, nullptr);
                         }
                       } in_job{dynamic_cast<host::JobControl*>(&ll)};
                       if (in_job.control != nullptr)
                         in_job.control->JoinJob(&ctx.fs, ctx.notes, ctx.progress);
                       ll.OpenProjectFile(2, project_path, 0x48000000);
                       int32_t project = 0;
                       int32_t part = 0;  // filled by the control, not needed afterwards
                       ll.GetProjectHandle(project);
                       ll.GetChildHandle(project, "Objects", part);
                       ll.SaveProjectFile(save_to.empty() ? project_path : save_to);
                       ll.CloseProjectFile();
                       return int32_t{-1};
                     });
}

}  // namespace llupdate::ll15
