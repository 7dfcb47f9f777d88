// Taking a run back and the history of a database: the journal's operations as members of the
// component, so that the command line, C++ hosts and the Windows server call the same code.
#include "catalogue/catalogue.h"
#include "component/internals.h"
#include "component/writer_scope.h"
#include "host/error_convention.h"
#include "host/objects.h"
#include "journal/journal.h"
#include "llupdate/report_ll_update.h"

namespace llupdate {

using component::Internals;

namespace component {

journal::Folders FoldersOf(const std::string& pDBPath) {
  return {catalogue::FormDirectory(pDBPath), pDBPath + "\\" + catalogue::kDeliveryDirectory};
}

std::string SettingsStoreOf(const std::shared_ptr<Object>& connection) {
  auto file = std::dynamic_pointer_cast<SettingsConnection>(connection);
  return file ? file->database_file() : std::string();
}

}  // namespace component

bool clsReportLLUpdate::UndoLastRun(const std::string& pDBPath,
                                    std::shared_ptr<Object> pConnection) {
  return component::AsWriter(*this, pDBPath, component::kUndoOperation, [&] {
    return host::Armed(
        Internals::Reporter(*this), host::ErrorText::General(component::kUndoOperation), false,
        [&] {
          files::FileContext ctx = Internals::Files(*this);
          if (ctx.journal == nullptr) {
            host::ShowHostMessage(ctx.reporter,
                                  "Nichts zurückgenommen: ohne Journal (es werden keine Läufe "
                                  "aufbewahrt, oder es kann nicht geschrieben werden) wäre "
                                  "auch das Zurücknehmen nicht zurückzunehmen.",
                                  3, true);
            return false;
          }
          std::shared_ptr<VMSettings> settings;
          if (pConnection) {
            settings = Internals::Options(*this).settings;
            if (!settings) settings = host::CreateAs<VMSettings>(host::kSettingsProgId);
            settings->Init(0, pConnection, "Standard");
          }
          return journal::UndoNewest(ctx.fs, ctx.reporter, ctx.progress,
                                     component::FoldersOf(pDBPath), *ctx.journal, settings.get(),
                                     component::SettingsStoreOf(pConnection));
        });
  });
}

std::vector<JournalRun> clsReportLLUpdate::History(const std::string& pDBPath) {
  component::CallOutsideJob call(*this);
  // A list cut short by an error is no history: the runs are given only when all were read.
  return host::Armed(Internals::Reporter(*this), host::ErrorText::General("History"),
                     std::vector<JournalRun>{}, [&] {
                       platform::FileSystem& fs = Internals::Fso(*this);
                       const journal::Folders db = component::FoldersOf(pDBPath);
                       const std::vector<journal::Record> records = journal::ReadRecords(fs, db);
                       std::vector<JournalRun> runs;
                       for (size_t i = records.size(); i-- > 0;) {
                         runs.push_back(journal::Describe(fs, db, records[i], records));
                       }
                       return runs;
                     });
}

}  // namespace llupdate
