// The print catalogue check, the distribution of delivered forms and the conversion driver.
#include "catalogue/catalogue.h"
#include "component/internals.h"
#include "component/job_frame.h"
#include "component/writer_scope.h"
#include "host/error_convention.h"
#include "host/objects.h"
#include "llupdate/operations.h"
#include "llupdate/progress.h"
#include "llupdate/report_ll_update.h"
#include "platform/counter16.h"
#include "rewrites/number_text.h"
#include "rewrites/rewrite_pattern.h"
#include "text/text.h"

namespace llupdate {

using component::Internals;

namespace {

constexpr char kDeliveryMarker[] = "NeueBerichte.txt";

// The row of the installed form of this name: the exact name first, then the name in another
// letter case, which names the same file for the file layer.
int32_t FindForm(DynArray& catalogue, const std::string& name) {
  int32_t row = catalogue.Find(0, 0, name, 0, 1, 0);
  for (int32_t r = 0, n = catalogue.Count(1); row == -1 && r < n; ++r) {
    if (text::EqualsIgnoringCase(catalogue.GetValue(r, 0).ToString(), name)) row = r;
  }
  return row;
}

}  // namespace

bool clsReportLLUpdate::Pruefe_Druckkataloge(const std::string& pExeDir, const std::string& pUser) {
  component::CallOutsideJob call(*this);
  return host::Armed(Internals::Reporter(*this), host::ErrorText::General("Pruefe_Druckkataloge"),
                     false, [&] {
                       Internals::Init_FSO(*this);
                       platform::FileSystem& fs = Internals::Fso(*this);
                       const std::string catalogue =
                           pExeDir + "\\" + "BERICHTELL" + text::UpperCase(text::TrimSpaces(pUser));
                       if (!fs.FolderExists(catalogue)) fs.CreateFolder(catalogue);
                       if (!fs.FolderExists(catalogue + "\\Preview"))
                         fs.CreateFolder(catalogue + "\\Preview");
                       return true;
                     });
}

bool clsReportLLUpdate::Kopiere_Neue_Formulare_LL(const std::string& pDBPath,
                                                  const std::string& pExeDir,
                                                  const std::string& pUser) {
  return component::AsWriter(*this, pDBPath, __func__, [&] {
    int16_t step = 0;  // how far the distribution got, for the error message
    return host::Armed(
        Internals::Reporter(*this),
        [&] {
          return host::ErrorText::General("Kopiere_Neue_Formulare_LL /" + std::to_string(step));
        },
        false,
        [&] {
          Internals::Init_FSO(*this);
          Pruefe_Druckkataloge(pExeDir, pUser);
          step = 1;
          files::FileContext ctx = Internals::Files(*this);
          platform::JobNotes unread_here;  // a call outside a job still counts what it reads
          if (ctx.notes == nullptr) ctx.notes = &unread_here;
          platform::JobNotes* notes = ctx.notes;
          platform::FileSystem& fs = ctx.fs;
          if (!catalogue::Pruefe_Kataloge(ctx, pDBPath)) return false;
          step = 2;
          const std::string forms = pDBPath + "\\" + catalogue::kFormDirectory;
          const std::string delivery = pDBPath + "\\" + catalogue::kDeliveryDirectory;
          const std::string marker = delivery + "\\" + kDeliveryMarker;
          if (!fs.FileExists(marker)) return true;  // nothing has been delivered

          Internals::Catalogue(*this) = host::NewDynArray();
          Internals::DeliveryCatalogue(*this) = host::NewDynArray();
          std::shared_ptr<DynArray> installed = Internals::Catalogue(*this);
          std::shared_ptr<DynArray> delivered = Internals::DeliveryCatalogue(*this);
          step = 3;
          const int unread_before = notes->unread;
          if (!catalogue::Aufbau_Array(ctx, *installed, forms)) return false;
          step = 4;
          if (!catalogue::Aufbau_Array(ctx, *delivered, delivery)) return false;
          // A form that could not be read would look like one not installed (and its delivered
          // namesake would replace it) or like one not delivered (and the delivery would be
          // forgotten without it): nothing is distributed then; the delivery stays for the next
          // run.
          if (notes->unread > unread_before) {
            host::ShowHostMessage(Internals::Reporter(*this),
                                  "Nicht alle Formulare in " +
                                      host::Shown(Internals::Reporter(*this), forms) + " und " +
                                      host::Shown(Internals::Reporter(*this), delivery) +
                                      " konnten gelesen werden; die neuen Formulare werden "
                                      "beim nächsten Lauf verteilt.",
                                  3, true);
            return false;
          }

          ProgressObserver* progress = Internals::Progress(*this);
          const char* operation = "Kopiere_Neue_Formulare_LL";
          if (progress != nullptr)
            progress->TypeStarted(operation, "", component::CountForms(*delivered));
          for (int32_t i = 0, n = delivered->Count(1); i < n; platform::Counter16::Step(i), ++i) {
            std::string name = delivered->GetValue(i, 0).ToString();
            if (text::TrimSpaces(name).empty()) continue;
            if (component::StopHere(*this, operation))
              return false;  // the marker stays: done again
            if (progress != nullptr) {
              progress->FormStarted(operation, "", name, delivered->GetValue(i, 1).ToString());
            }
            int32_t j = FindForm(*installed, name);
            bool copy = false;
            if (j == -1) {
              step = 5;  // not installed yet
              copy = true;
            } else if (text::UpperAscii(std::string(text::LastCharacters(name, 4))) == ".LST" &&
                       rewrites::ToInteger16(installed->GetValue(j, 2).ToString()) <
                           rewrites::ToInteger16(delivered->GetValue(i, 2).ToString())) {
              step = 6;  // a newer list form
              copy = true;
            }
            std::string target = forms + "\\" + name;
            if (copy && fs.KindOf(target) == platform::EntryKind::kLink) {
              // An installed form that is a link: the delivered form goes into the file it leads
              // to (which keeps its owner and bits), where that is in the form folder itself.
              const std::string real = fs.RealPath(target);
              const std::string real_forms = fs.RealPath(forms);
              const size_t slash = real.find_last_of("\\/");
              if (real.empty() || real_forms.empty() || slash == std::string::npos ||
                  !text::EqualsIgnoringCase(real.substr(0, slash), real_forms)) {
                host::ShowHostMessage(Internals::Reporter(*this),
                                      "Das Formular " + fs.ShownPath(target) +
                                          " ist ein Verweis, der aus " + fs.ShownPath(forms) +
                                          " hinausführt; das gelieferte Formular wird nicht "
                                          "dorthin kopiert, der Verweis bleibt.",
                                      3, true);
                copy = false;
              } else {
                target = real;
              }
            }
            if (copy) {
              // The installed form stays in the run's journal (a copy: the delivered one is
              // copied over it in place of its own).
              uint32_t attributes = 0;
              ctx.SettleFor(target);
              const bool installed_there = fs.FileExists(target);
              const std::string kept = ctx.journal != nullptr && installed_there
                                           ? ctx.journal->KeepCopy(target, &attributes)
                                           : std::string();
              component::RemoveReadOnly(*this, target);
              fs.CopyFile(delivered->GetValue(i, 1).ToString(), target, true);
              if (ctx.journal != nullptr) {
                if (installed_there) {
                  ctx.journal->Replaced(target, kept, attributes);
                } else {
                  ctx.journal->Created(target);
                }
              }
              notes->FolderChanged(forms);
              if (progress != nullptr) progress->FormWritten(target);
            }
            if (progress != nullptr) progress->FormFinished(operation, "", name, true);
          }
          step = 7;
          // The copies are on the disk before the delivery is forgotten.
          if (!component::FlushChangedFolders(*this)) return false;
          // The delivery is distributed: only now is it forgotten (its marker kept in the journal).
          if (ctx.journal == nullptr || !ctx.journal->KeepRemoved(marker)) {
            fs.DeleteFile(marker, true);
          }
          notes->FolderChanged(delivery);
          host::IgnoreErrors([&] {
            Internals::Catalogue(*this).reset();
            Internals::DeliveryCatalogue(*this).reset();
          });
          return true;
        });
  });
}

bool clsReportLLUpdate::Pruefe_Konvertiere_Formulare(const std::string& pDBPath,
                                                     std::shared_ptr<Object>& pConnection) {
  return component::AsWriter(*this, pDBPath, __func__, [&] {
    return host::Armed(
        Internals::Reporter(*this), host::ErrorText::General("Pruefe_Konvertiere_Formulare"), false,
        [&] {
          std::shared_ptr<VMSettings> settings = Internals::Options(*this).settings;
          if (!settings) settings = host::CreateAs<VMSettings>(host::kSettingsProgId);
          // The settings file goes through the call's file system where the host names none.
          std::shared_ptr<Object> connection = pConnection;
          auto plain = std::dynamic_pointer_cast<SettingsConnection>(pConnection);
          if (plain && !plain->file_system()) {
            connection = std::make_shared<SettingsConnection>(plain->database_file(),
                                                              Internals::SharedFso(*this));
          }
          settings->Init(0, connection, "Standard");
          std::string recorded;
          settings->GetSetting(kStepRecordSection, kStepRecordKey, recorded, "Standard", "Standard",
                               "0");
          const int last = StepOfRecord(recorded);
          bool result = true;
          if (last == kDriverSteps) return result;  // nothing is pending

          // Each recorded step is also in the run's journal, so that taking the run back
          // gives the settings their value of before.
          std::string step_before = recorded;
          auto save_step = [&](int32_t step) {
            const std::string value = std::to_string(step);
            settings->SaveSetting(kStepRecordSection, kStepRecordKey, value, "Standard");
            if (journal::Run* run = Internals::Files(*this).journal) {
              run->SettingChanged(component::SettingsStoreOf(pConnection), kStepRecordSection,
                                  kStepRecordKey, step_before, value);
            }
            step_before = value;
          };
          bool done = false;  // the outcome of the step just performed
          const platform::JobNotes* notes = Internals::Notes(*this);
          for (int32_t i = last + 1; i <= kDriverSteps; ++i) {
            const int failures_before = notes != nullptr ? notes->io_failures : 0;
            if (const Operation* operation = OperationOfStep(i)) {
              done = operation->call(*this, {pDBPath}, pConnection) == Variant(true);
            } else if (const std::string notice = StepNotice(i); !notice.empty()) {
              // Only a notice (the LL12 switch-over is done by hand). It counts as done also in
              // a call that begins here, so that such a database moves on.
              host::ShowHostMessage(Internals::Reporter(*this), notice, 4, false);
              done = true;
            } else {
              done = true;  // steps kept for their numbers
            }
            result = done;
            component::SettleSwaps(*this);  // the step's forms are in place before it counts
            if (i > 0) {
              // A recorded step never runs ahead of the forms on disk: not when a converted form
              // could not be put in place (that was reported), nor before the changes are on disk.
              // A form refused for its content does not hold the step back: a rerun would only
              // refuse it again.
              if (notes != nullptr && notes->io_failures > failures_before) result = done = false;
              if (done && !component::FlushChangedFolders(*this)) result = done = false;
              if (done && i < kDriverSteps &&
                  component::StopHere(*this, "Pruefe_Konvertiere_Formulare")) {
                // this step is recorded below; the next ones are left for the next run
                save_step(i);
                return false;
              }
              if (!done) break;
              save_step(i);
            }
          }
          return result;
        });
  });
}

}  // namespace llupdate
