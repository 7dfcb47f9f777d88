// Progress of the jobs that walk many forms, for a host that wants to show it. Reporting changes
// nothing in what an operation does, shows or returns.
#pragma once

#include <string>

namespace llupdate {

class ProgressObserver {
 public:
  virtual ~ProgressObserver() = default;
  // A job begins the forms of one type: total forms are listed.
  virtual void TypeStarted(const std::string& operation, const std::string& type, int total) = 0;
  // A job begins one form; path names it as the component does (folder "\" name). What is shown
  // until FormFinished concerns this form.
  virtual void FormStarted(const std::string& operation, const std::string& type,
                           const std::string& name, const std::string& path) {
    (void)operation, (void)type, (void)name, (void)path;
  }
  // A job has finished one form, successfully or not.
  virtual void FormFinished(const std::string& operation, const std::string& type,
                            const std::string& name, bool ok) = 0;
  // A form file was written anew (a rewrite swapped in, a copy, a save through the control).
  virtual void FormWritten(const std::string& path) = 0;
  // A converted form could not be put in place (the message names the form and the reason); the
  // form keeps its old content. The operation's result stays as it is.
  virtual void FormNotReplaced(const std::string& path) { (void)path; }
  // Before a writer begins, it resolved a file that an unfinished earlier run made: action is
  // "restored" (the backup at path became the form again), "removed", "kept" (a temporary file
  // whose form and backup are missing) or "failed"; form names the form it belongs to ("" for a
  // partial file).
  virtual void Healed(const std::string& action, const std::string& path, const std::string& form) {
    (void)action, (void)path, (void)form;
  }
};

// The observer of the calling thread (none by default); the caller keeps it alive while it is set.
void SetThreadProgressObserver(ProgressObserver* observer);
ProgressObserver* ThreadProgressObserver();

}  // namespace llupdate
