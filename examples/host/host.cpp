// A host in thirty lines: its own message component, one operation, the call's summary.
//   host DBPATH
#include <llupdate/report_ll_update.h>

#include <cstdio>
#include <memory>

class Messages : public llupdate::HostMessages {
 public:
  void ShowMessage(const std::string& text, int32_t, const std::string&, int32_t,
                   bool error) override {
    std::printf("%s: %s\n", error ? "error" : "notice", text.c_str());
  }
  void ReportError(const std::string&, const std::string& routine, int32_t number,
                   const std::string& description, bool) override {
    std::printf("error in %s: %d %s\n", routine.c_str(), number, description.c_str());
  }
};

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  llupdate::RegisterObject(llupdate::kMessagesProgId, [] { return std::make_shared<Messages>(); });
  llupdate::clsReportLLUpdate component;
  bool ok = component.Umstellung_Auf_Neue_Anschrift(argv[1]);
  const llupdate::CallSummary& s = component.LastCallSummary();
  std::printf("%s: examined %d, rewritten %d, unchanged %d, refused %d, failed %d, errors %d%s\n",
              ok ? "done" : "failed", s.examined, s.rewritten, s.unchanged, s.refused, s.failed,
              s.errors_shown, s.database_busy ? " (another run holds the database)" : "");
  return ok ? 0 : 1;
}
