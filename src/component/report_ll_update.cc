#include "llupdate/report_ll_update.h"

#include "component/internals.h"
#include "component/job.h"
#include "component/job_frame.h"
#include "component/writer_scope.h"
#include "host/error_convention.h"
#include "host/objects.h"
#include "llupdate/preview.h"
#include "rewrites/rewrite_pattern.h"

namespace llupdate {

using component::Internals;
using host::IgnoreErrors;

namespace component {

void Internals::Init_FSO(clsReportLLUpdate& self) {
  if (self.options_.file_system) return;
  IgnoreErrors([&] {
    if (self.fso_) return;
    self.fso_ = host::CreateAs<platform::FileSystem>(host::kFileSystemProgId);
    // A preview that the factory hands out serves the call in work, never a later one: the
    // instance's next call asks the factory again.
    self.fso_for_call_ = dynamic_cast<PreviewFileSystem*>(self.fso_.get()) != nullptr;
  });
}

void Internals::EndCall(clsReportLLUpdate& self) {
  if (self.fso_for_call_) {
    self.fso_.reset();
    self.fso_for_call_ = false;
  }
}

platform::FileSystem& Internals::Fso(clsReportLLUpdate& self) {
  if (self.options_.file_system) return *self.options_.file_system;
  Init_FSO(self);
  if (!self.fso_) throw platform::Error(platform::kObjectNotSet, host::kFileSystemProgId);
  return *self.fso_;
}

files::FileContext Internals::Files(clsReportLLUpdate& self) {
  files::FileContext ctx{Fso(self),      Table(self),
                         Notes(self),    Progress(self),
                         Reporter(self), self.job_ ? self.job_->journal.get() : nullptr};
  if (self.job_ && self.job_->batch.enabled()) ctx.batch = &self.job_->batch;
  return ctx;
}

platform::JobNotes* Internals::Notes(clsReportLLUpdate& self) {
  return self.job_ ? &self.job_->notes : nullptr;
}

namespace {

// The messages of a call that runs outside a job (one that writes nothing) go to the instance's
// message component, uncounted.
class InstanceReporter : public host::Reporter {
 public:
  explicit InstanceReporter(clsReportLLUpdate& self) : self_(self) {}
  void ErrorShown(int32_t) override {}
  HostMessages* messages() override { return Internals::Options(self_).messages.get(); }

 private:
  clsReportLLUpdate& self_;
};

}  // namespace

host::Reporter* Internals::Reporter(clsReportLLUpdate& self) {
  if (self.job_) return &self.job_->reporter();
  if (!self.options_.messages) return nullptr;
  if (!self.reporter_) self.reporter_ = std::make_unique<InstanceReporter>(self);
  return self.reporter_.get();
}

ProgressObserver* Internals::Progress(clsReportLLUpdate& self) {
  return self.job_ ? &self.job_->progress() : nullptr;
}

files::FileTable& Internals::Table(clsReportLLUpdate& self) {
  if (!self.files_) self.files_ = std::make_unique<files::FileTable>();
  return *self.files_;
}

}  // namespace component

clsReportLLUpdate::clsReportLLUpdate() = default;

clsReportLLUpdate::~clsReportLLUpdate() {
  try {
    fso_.reset();
  } catch (...) {
  }
}

bool clsReportLLUpdate::Suche_ErsetzeProjektdatei(const std::string& pFilename,
                                                  const std::string& pDBPath,
                                                  const std::string& pSucheNach,
                                                  const std::string& pSuche,
                                                  const std::string& pErsetze) {
  return component::AsWriter(*this, pDBPath, __func__, [&] {
    // This operation reports its errors under the name of the job that uses it most.
    host::ErrorText error_text = host::ErrorText::General("Umstellung_Auf_Neue_Anschrift");
    return host::Armed(Internals::Reporter(*this), error_text, false, [&] {
      files::FileContext ctx = Internals::Files(*this);
      return rewrites::RewriteFormReplacing(ctx, rewrites::FilesOfForm(pFilename, pDBPath),
                                            error_text, pSucheNach, pSuche, pErsetze);
    });
  });
}

bool clsReportLLUpdate::Umstellung_Auf_Neue_Anschrift(const std::string& pDBPath) {
  return component::AsWriter(*this, pDBPath, __func__, [&] {
    return component::RunFormJob(*this, "Umstellung_Auf_Neue_Anschrift", pDBPath,
                                 host::ErrorText::General("Umstellung_Auf_Neue_Anschrift"),
                                 {"bel", "war", "mah", "bst"}, [&](const std::string& name) {
                                   return Suche_ErsetzeProjektdatei(name, pDBPath,
                                                                    "Spacing.Paragraph=8", "=8",
                                                                    "=Firmendaten.NeueAnschrift");
                                 });
  });
}

bool clsReportLLUpdate::Korrektur_Wart_Farbe(const std::string& pDBPath) {
  return component::AsWriter(*this, pDBPath, __func__, [&] {
    // Values that are zero were printed white; they are printed black like all others now.
    static const char* const kColourFormulas[] = {
        "=if(Position.Menge=0,RGB (255,255,255),RGB (0,0,0))",
        "=if(Position.Einzelpreis=0,RGB (255,255,255),RGB (0,0,0))",
        "=if(Position.Gesamtpreis=0,RGB (255,255,255),RGB (0,0,0))",
    };
    return component::RunFormJob(
        *this, "Korrektur_Wart_Farbe", pDBPath, host::ErrorText::General("Umstellung_Auf_LL12"),
        {"war"}, [&](const std::string& name) {
          for (const char* formula : kColourFormulas) {
            if (!Suche_ErsetzeProjektdatei(name, pDBPath, formula, formula, "=RGB (0,0,0)")) {
              return false;
            }
          }
          return true;
        });
  });
}

Variant clsReportLLUpdate::SchreibschutzEntfernenAlleDateien(std::string PfadName) {
  component::CallOutsideJob call(*this);
  // Statement by statement with errors ignored: a folder that cannot be listed leaves nothing to
  // do; each file shows its own message when its attribute cannot be changed.
  std::vector<platform::FileEntry> entries;
  IgnoreErrors([&] { entries = Internals::Fso(*this).ListFiles(PfadName); });
  for (const platform::FileEntry& entry : entries) {
    IgnoreErrors([&] { SchreibschutzEntfernen(entry.path); });
  }
  return Variant();
}

bool clsReportLLUpdate::SchreibschutzEntfernen(std::string sFilename) {
  component::CallOutsideJob call(*this);
  return host::Armed(Internals::Reporter(*this),
                     host::ErrorText::Custom("Schreibschutz bei Datei " + sFilename +
                                             " kann nicht entfernt werden!")
                         .WithDetails(),
                     false, [&] {
                       files::FileContext ctx = Internals::Files(*this);
                       return files::SchreibschutzEntfernen(ctx, sFilename);
                     });
}

}  // namespace llupdate
