// The LL15 rewrite of one form and the switch-over of all forms to List & Label 24.
#include <cmath>
#include <limits>
#include <optional>

#include "catalogue/catalogue.h"
#include "component/internals.h"
#include "component/job_frame.h"
#include "component/writer_scope.h"
#include "host/error_convention.h"
#include "host/objects.h"
#include "ll15/block_rewrites.h"
#include "ll15/frame_lines.h"
#include "ll15/ll24_rules.h"
#include "ll15/save_ll15.h"
#include "llupdate/progress.h"
#include "llupdate/report_ll_update.h"
#include "platform/counter16.h"
#include "rewrites/rewrite_pattern.h"
#include "text/text.h"

namespace llupdate {

using component::Internals;

namespace {

// Removes the temporary file when the rewrite ends through its error handler.
class TemporaryGuard {
 public:
  TemporaryGuard(files::FileContext& ctx, const std::string& path) : ctx_(ctx), path_(path) {}
  ~TemporaryGuard() {
    if (!armed_) return;
    try {
      rewrites::RemoveOwnFile(ctx_, path_);
    } catch (...) {
      ctx_.LeftBehind();  // a destructor never throws; the next writer removes it
    }
  }
  void Release() { armed_ = false; }

 private:
  files::FileContext& ctx_;
  std::string path_;
  bool armed_ = true;
};

}  // namespace

bool clsReportLLUpdate::Suche_ErsetzeProjektdatei_LL15(const std::string& pFilename,
                                                       const std::string& pDBPath) {
  return component::AsWriter(*this, pDBPath, __func__, [&] {
    const rewrites::FormFiles files = rewrites::FilesOfForm(pFilename, pDBPath);
    // The form type: the last three characters of the name, whatever stands before them.
    const std::string type = text::UpperAscii(std::string(text::LastCharacters(pFilename, 3)));
    bool changed = false;
    bool produced = false;  // the temporary file went through every step that writes it
    bool ran = host::Armed(
        Internals::Reporter(*this), host::ErrorText::General("Umstellung_Auf_LL15"), false, [&] {
          files::FileContext ctx = Internals::Files(*this);
          platform::FileSystem& fs = ctx.fs;
          ctx.SettleFor(files.source);  // a form whose swap waits is read as it will be
          rewrites::RequireFormName(fs, files);
          if (fs.FileExists(files.temporary)) rewrites::SetAside(ctx, files.temporary);
          TemporaryGuard guard(ctx, files.temporary);
          files::CopyToTemporary(ctx, files.source, files.temporary);

          // The control's save of the temporary file is a step of the rewrite, not a form
          // written: the form is, when the temporary file takes its place.
          files::FileContext saving = ctx;
          saving.progress = nullptr;
          // The frame removal and the block rewrites work on the text in memory: the temporary
          // file is written once more, at the end.
          text::Encoding encoding = text::Encoding::kAnsi;
          std::shared_ptr<DynArray> removed;
          if (ll15::Save_LL15_Format(saving, files.temporary) != 0 &&
              (removed = ll15::Entferne_Rahmen_LL15(ctx, files.temporary, &encoding))) {
            std::shared_ptr<DynArray>& lines = Internals::ProjectLines(*this);
            lines = removed;
            auto find = [&](const std::string& text) {
              if (!lines) throw platform::Error(platform::kObjectNotSet, "Zeilenliste");
              return lines->Find(0, 0, text, 0, 1, 0);
            };
            for (const ll15::BlockSearch& block : ll15::kBlockSearches) {
              if (type != block.type) continue;
              int32_t row = block.line == nullptr ? 0 : find(block.line);
              if (row != -1) {
                block.rewrite(row, lines);
                changed = true;
              }
            }
            // A list that could not be loaded is not written: the load has said why.
            produced =
                lines && files::Speichern_ProjektArray(ctx, files.temporary, lines, encoding) == -1;
          }
          guard.Release();
          return true;
        });
    if (!ran) return false;

    host::IgnoreErrors([&] { Internals::ProjectLines(*this).reset(); });
    std::optional<files::FileContext> ctx;
    host::IgnoreErrors([&] { ctx.emplace(Internals::Files(*this)); });
    if (!ctx) return true;
    if (changed && produced) {
      rewrites::SwapInTemporary(*ctx, files);
    } else {
      rewrites::RemoveOwnFile(*ctx, files.temporary);
    }
    return true;
  });
}

bool clsReportLLUpdate::Umstellung_auf_LL24(const std::string& pDBPath) {
  return component::AsWriter(*this, pDBPath, __func__, [&] {
    return host::Armed(
        Internals::Reporter(*this), host::ErrorText::General("Umstellung_Auf_LL15"), false, [&] {
          Internals::Init_FSO(*this);
          const std::string directory = catalogue::FormDirectory(pDBPath);
          component::RemoveReadOnlyInFolder(*this, directory);
          std::shared_ptr<DynArray>& member = Internals::Catalogue(*this);
          member = host::NewDynArray();
          std::shared_ptr<DynArray> list = member;
          files::FileContext ctx = Internals::Files(*this);

          // A form the control saves anew. Where the job batches its flushes, the control saves
          // it to the form's temporary file, which takes its place like every rewrite (the
          // run's journal keeps the old content); a form the save would leave as it is stays.
          // Otherwise it saves the form in place, and the journal keeps a copy of it before,
          // which goes again when the save left the form as it was.
          auto save_anew = [&](const std::string& name) {
            const rewrites::FormFiles files = rewrites::FilesOfForm(name, pDBPath);
            const std::string& form = files.source;
            ctx.SettleFor(form);
            if (ctx.batch != nullptr) {
              if (!host::Armed(ctx.reporter,
                               host::ErrorText::General("Save_LL15_Format").WithDetails(), false,
                               [&] {
                                 rewrites::RequireFormName(ctx.fs, files);
                                 if (ctx.fs.FileExists(files.temporary))
                                   rewrites::SetAside(ctx, files.temporary);
                                 return true;
                               })) {
                return;
              }
              TemporaryGuard guard(ctx, files.temporary);
              files::FileContext saving = ctx;  // the temporary file is no form written
              saving.progress = nullptr;
              bool saved = ll15::Save_LL15_Format(saving, form, files.temporary) != 0;
              host::IgnoreErrors([&] { saved = saved && ctx.fs.FileExists(files.temporary); });
              if (!saved) return;
              guard.Release();
              rewrites::SwapInTemporary(ctx, files);
              return;
            }
            uint32_t attributes = 0;
            std::string before, kept;
            if (ctx.journal != nullptr) {
              before = ctx.fs.FileIdentity(form);
              kept = ctx.journal->KeepCopy(form, &attributes);
            }
            ll15::Save_LL15_Format(ctx, form);
            if (kept.empty()) return;
            if (ctx.fs.FileIdentity(form) != before) {
              ctx.journal->Replaced(form, kept, attributes);
            } else {
              ctx.journal->Forget(kept);
            }
          };
          bool stopped = false;
          component::FilesOfJob seen;
          for (const ll15::TypeRule& rule : ll15::kTypeRules) {
            bool success = catalogue::Aufbau_Array2(ctx, rule.extension, *list, directory);
            if (!success) continue;
            int32_t rows = list->Count(1);
            ProgressObserver* progress = Internals::Progress(*this);
            const char* operation = "Umstellung_auf_LL24";
            if (progress != nullptr)
              progress->TypeStarted(operation, rule.extension, component::CountForms(*list));
            for (int32_t r = 0; r < rows && !stopped; ++r) {
              std::string name = text::TrimSpaces(list->GetValue(r, 0).ToString());
              if (!name.empty() && component::StopHere(*this, operation)) {
                stopped = true;
                break;
              }
              if (!name.empty() && !seen.Leaves(*this, pDBPath, name)) {
                std::string path = pDBPath + "\\Berichtell\\" + name;
                if (progress != nullptr)
                  progress->FormStarted(operation, rule.extension, name, path);
                if (rule.unprotect_each) component::RemoveReadOnly(*this, path);
                if (rule.threshold == 0) {
                  save_anew(name);
                } else {
                  int16_t version = ll15::FileVersionNumber(list->GetValue(r, 5).ToString());
                  if (version < rule.threshold) {
                    success = Suche_ErsetzeProjektdatei_LL15(name, pDBPath);
                  } else {
                    save_anew(name);
                  }
                  stopped = !success;
                }
                if (progress != nullptr)
                  progress->FormFinished(operation, rule.extension, name, !stopped);
              }
              if (!stopped) platform::Counter16::Step(r);
            }
            if (stopped) break;
          }
          host::IgnoreErrors([&] { Internals::Catalogue(*this).reset(); });
          return !stopped;
        });
  });
}

}  // namespace llupdate
