#include "component/job_frame.h"

#include <limits>

#include "catalogue/catalogue.h"
#include "component/internals.h"
#include "component/writer_scope.h"
#include "host/error_convention.h"
#include "host/objects.h"
#include "llupdate/progress.h"
#include "platform/counter16.h"
#include "rewrites/rewrite_pattern.h"
#include "text/text.h"

namespace llupdate::component {

int CountForms(DynArray& catalogue) {
  int forms = 0;
  for (int32_t i = 0, n = catalogue.Count(1); i < n; ++i) {
    if (!text::TrimSpaces(catalogue.GetValue(i, 0).ToString()).empty()) ++forms;
  }
  return forms;
}

bool FilesOfJob::Leaves(clsReportLLUpdate& self, const std::string& pDBPath,
                        const std::string& name) {
  const std::string path = pDBPath + "\\Berichtell\\" + name;
  std::string why;
  host::IgnoreErrors([&] { why = Internals::Fso(self).WhyNotAName(name); });
  if (!why.empty()) {
    host::ShowHostMessage(Internals::Reporter(self),
                          "Das Formular " + host::Shown(Internals::Reporter(self), path) +
                              " wird übersprungen: " + why + ".",
                          3, true);
    return true;
  }
  // What tells the file: its device and inode (whatever its size and time, as a form rewritten
  // in place stays that file), for a link those of the file it leads to.
  auto key_of = [&](const std::string& form) {
    std::string key;
    host::IgnoreErrors([&] {
      platform::FileSystem& fs = Internals::Fso(self);
      std::string identity = fs.FileIdentity(form);
      if (identity.empty()) {
        const std::string real = fs.RealPath(form);
        if (!real.empty()) identity = fs.FileIdentity(real);
      }
      if (!identity.empty()) key = identity.substr(0, identity.find(':', identity.find(':') + 1));
    });
    return key;
  };
  std::string key = key_of(path);
  if (key.empty()) return false;
  auto first = first_.find(key);
  if (first != first_.end()) {
    const std::string first_path = pDBPath + "\\Berichtell\\" + first->second;
    // A form whose swap still waits is not yet the file it becomes: the swap is carried out
    // first, so that the form is told apart as after it.
    files::FileContext ctx = Internals::Files(self);
    if (ctx.batch != nullptr && ctx.batch->Waiting(first_path)) {
      ctx.batch->Settle();
      key = key_of(path);
      first = first_.find(key);
    }
    // The file it was is no more when that form was rewritten into a new one: a file made since
    // may have been given the same number.
    if (first != first_.end() && key_of(pDBPath + "\\Berichtell\\" + first->second) != key) {
      first = first_.end();
    }
  }
  if (first != first_.end()) {
    host::ShowHostMessage(
        Internals::Reporter(self),
        "Das Formular " + host::Shown(Internals::Reporter(self), path) +
            " ist ein zweiter Name von " +
            host::Shown(Internals::Reporter(self), pDBPath + "\\Berichtell\\" + first->second) +
            ", das in diesem Lauf schon umgestellt wurde; es wird nicht noch "
            "einmal umgestellt.",
        3, false);
    return true;
  }
  first_[key] = name;
  return false;
}

bool RunFormJob(clsReportLLUpdate& self, const std::string& operation, const std::string& pDBPath,
                const host::ErrorText& error_text, const std::vector<std::string>& types,
                const std::function<bool(const std::string& name)>& rewrite,
                const std::function<bool(const std::string& listed_name)>& filter) {
  return host::Armed(Internals::Reporter(self), error_text, false, [&] {
    Internals::Init_FSO(self);
    std::shared_ptr<DynArray>& member = Internals::Catalogue(self);
    member = host::NewDynArray();
    std::shared_ptr<DynArray> catalogue = member;
    files::FileContext ctx = Internals::Files(self);

    bool result = true;
    FilesOfJob seen;
    for (const std::string& type : types) {
      // The jobs go by the names alone: the forms are read once, by their rewrites.
      if (!catalogue::Aufbau_Array2(ctx, type, *catalogue, catalogue::FormDirectory(pDBPath),
                                    false)) {
        continue;
      }
      int32_t rows = catalogue->Count(1);
      platform::Counter16::Reach(int64_t{rows} - 1);
      ProgressObserver* progress = Internals::Progress(self);
      if (progress != nullptr) progress->TypeStarted(operation, type, CountForms(*catalogue));
      for (int32_t i = 0; i < rows && result; ++i) {
        if (StopHere(self, operation)) {
          result = false;
          break;
        }
        std::string listed = catalogue->GetValue(i, 0).ToString();
        std::string name = text::TrimSpaces(listed);
        if (name.empty() || (filter && !filter(listed))) continue;
        if (seen.Leaves(self, pDBPath, name)) continue;
        if (progress != nullptr) {
          progress->FormStarted(operation, type, name,
                                catalogue::FormDirectory(pDBPath) + "\\" + name);
        }
        result = rewrite(name);
        if (progress != nullptr) progress->FormFinished(operation, type, name, result);
      }
      if (!result) break;
    }
    host::IgnoreErrors([&] { Internals::Catalogue(self).reset(); });
    return result;
  });
}

}  // namespace llupdate::component
