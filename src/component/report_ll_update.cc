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
  clsReportLLUpdate::State& state = StateOf(self);
  if (state.options.file_system) return;
  IgnoreErrors([&] {
    if (state.fso) return;
    state.fso = host::CreateAs<platform::FileSystem>(host::kFileSystemProgId);
    // A preview that the factory hands out serves the call in work, never a later one: the
    // instance's next call asks the factory again.
    state.fso_for_call = dynamic_cast<PreviewFileSystem*>(state.fso.get()) != nullptr;
  });
}

void Internals::EndCall(clsReportLLUpdate& self) {
  clsReportLLUpdate::State& state = StateOf(self);
  if (state.fso_for_call) {
    state.fso.reset();
    state.fso_for_call = false;
  }
}

platform::FileSystem& Internals::Fso(clsReportLLUpdate& self) {
  clsReportLLUpdate::State& state = StateOf(self);
  if (state.options.file_system) return *state.options.file_system;
  Init_FSO(self);
  if (!state.fso) throw platform::Error(platform::kObjectNotSet, host::kFileSystemProgId);
  return *state.fso;
}

std::shared_ptr<FileSystem> Internals::SharedFso(clsReportLLUpdate& self) {
  clsReportLLUpdate::State& state = StateOf(self);
  Fso(self);
  return state.options.file_system ? state.options.file_system : state.fso;
}

files::FileContext Internals::Files(clsReportLLUpdate& self) {
  clsReportLLUpdate::State& state = StateOf(self);
  files::FileContext ctx{Fso(self),      Table(self),
                         Notes(self),    Progress(self),
                         Reporter(self), state.job ? state.job->journal.get() : nullptr};
  if (state.job && state.job->batch.enabled()) ctx.batch = &state.job->batch;
  ctx.journal_wanted = state.job && state.job->journal_wanted;
  ctx.control_form = &state.control_form;
  return ctx;
}

platform::JobNotes* Internals::Notes(clsReportLLUpdate& self) {
  clsReportLLUpdate::State& state = StateOf(self);
  return state.job ? &state.job->notes : nullptr;
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
  clsReportLLUpdate::State& state = StateOf(self);
  if (state.job) return &state.job->reporter();
  if (!state.options.messages) return nullptr;
  if (!state.reporter) state.reporter = std::make_unique<InstanceReporter>(self);
  return state.reporter.get();
}

ProgressObserver* Internals::Progress(clsReportLLUpdate& self) {
  clsReportLLUpdate::State& state = StateOf(self);
  return state.job ? &state.job->progress() : nullptr;
}

files::FileTable& Internals::Table(clsReportLLUpdate& self) {
  clsReportLLUpdate::State& state = StateOf(self);
  if (!state.files) state.files = std::make_unique<files::FileTable>();
  return *state.files;
}

}  // namespace component

clsReportLLUpdate::State::State() = default;
clsReportLLUpdate::State::~State() = default;

clsReportLLUpdate::State& StateOf(clsReportLLUpdate& self) { return *self.state_; }

clsReportLLUpdate::clsReportLLUpdate() : state_(std::make_unique<State>()) {}

clsReportLLUpdate::~clsReportLLUpdate() {
  try {
    state_->fso.reset();
  } catch (...) {
  }
}

void clsReportLLUpdate::SetCallOptions(CallOptions options) {
  state_->options = std::move(options);
}
const CallOptions& clsReportLLUpdate::call_options() const { return state_->options; }
const CallSummary& clsReportLLUpdate::LastCallSummary() const { return state_->summary; }

bool clsReportLLUpdate::Suche_ErsetzeProjektdatei(const std::string& pFilename,
                                                  const std::string& pDBPath,
                                                  const std::string& pSucheNach,
                                                  const std::string& pSuche,
                                                  const std::string& pErsetze) {
  return component::AsWriter(*this, pDBPath, __func__, [&] {
    // This operation reports its errors under the name of the job that uses it most.
    host::ErrorText error_text = host::ErrorText::General(component::kAddressTitle);
    return host::Armed(Internals::Reporter(*this), error_text, false, [&] {
      files::FileContext ctx = Internals::Files(*this);
      return rewrites::RewriteFormReplacing(ctx, rewrites::FilesOfForm(pFilename, pDBPath),
                                            error_text, pSucheNach, pSuche, pErsetze);
    });
  });
}

bool clsReportLLUpdate::Umstellung_Auf_Neue_Anschrift(const std::string& pDBPath) {
  return component::AsWriter(*this, pDBPath, __func__, [&] {
    return component::RunFormJob(*this, component::kAddressTitle, pDBPath,
                                 host::ErrorText::General(component::kAddressTitle),
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
  component::RemoveReadOnlyInFolder(*this, PfadName);
  return Variant();
}

bool clsReportLLUpdate::SchreibschutzEntfernen(std::string sFilename) {
  return component::RemoveReadOnly(*this, sFilename);
}

namespace component {

const char kAddressTitle[] = "Umstellung_Auf_Neue_Anschrift";

void RemoveReadOnlyInFolder(clsReportLLUpdate& self, const std::string& folder) {
  CallOutsideJob call(self);
  // Statement by statement with errors ignored: a folder that cannot be listed leaves nothing to
  // do; each file shows its own message when its attribute cannot be changed.
  std::vector<platform::FileEntry> entries;
  IgnoreErrors([&] { entries = Internals::Fso(self).ListFiles(folder); });
  for (const platform::FileEntry& entry : entries) {
    IgnoreErrors([&] { RemoveReadOnly(self, entry.path); });
  }
}

bool RemoveReadOnly(clsReportLLUpdate& self, const std::string& file) {
  CallOutsideJob call(self);
  return host::Armed(
      Internals::Reporter(self),
      host::ErrorText::Custom("Schreibschutz bei Datei " + file + " kann nicht entfernt werden!")
          .WithDetails(),
      false, [&] {
        files::FileContext ctx = Internals::Files(self);
        return files::RemoveReadOnly(ctx, file);
      });
}

}  // namespace component
}  // namespace llupdate
