// The List & Label control ("ListLabel.ListLabel"), as far as the component uses it, and the
// hidden form frmListLabel that hosts it.
//
// On this platform the real control does not exist; its stand-in is a project re-saver: it
// loads a text project (in any of the text encodings), refuses a file that is not one, and on
// saving writes the same lines back, each ending CR LF, in the file's own encoding.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "llupdate/host.h"
#include "llupdate/object.h"
#include "llupdate/progress.h"
#include "platform/file_system.h"
#include "platform/job_notes.h"

namespace llupdate::host {

using llupdate::kListLabelProgId;

class ListLabelControl : public Object {
 public:
  virtual void OpenProjectFile(int32_t mode, const std::string& path, int32_t flags) = 0;
  virtual void GetProjectHandle(int32_t& project) = 0;
  virtual void GetChildHandle(int32_t& project, const std::string& part, int32_t& child) = 0;
  virtual void SaveProjectFile(const std::string& path) = 0;
  virtual void CloseProjectFile() = 0;
};

// The never-shown form that hosts the control LL24. An instance of the component loads one on
// first use and keeps it loaded while it lives.
class frmListLabel {
 public:
  // A new form with a new control. Throws when the control cannot be created.
  static std::unique_ptr<frmListLabel> Load();
  ListLabelControl& LL24() { return *control_; }

 private:
  explicit frmListLabel(std::shared_ptr<ListLabelControl> control) : control_(std::move(control)) {}
  std::shared_ptr<ListLabelControl> control_;
};

// The error number with which the re-saver refuses a file that is not a text project.
using llupdate::kNotATextProject;

std::shared_ptr<ListLabelControl> NewProjectResaver();

// A control that reads and writes through the component's file system (the stand-in). A job
// hands it its file system (so that it shares what the job knows of the form directory), its
// notes and its progress for the calls it makes, and takes them back after; without them it
// creates its own file system. The caller keeps them alive while they are handed over.
class JobControl {
 public:
  virtual ~JobControl() = default;
  virtual void JoinJob(platform::FileSystem* fs, platform::JobNotes* notes,
                       ProgressObserver* progress) = 0;
};

}  // namespace llupdate::host
