// A host of its own: its message component, then one conversion through the public interface,
// and the driver with a settings connection it does not keep.
#include <llupdate/host.h>
#include <llupdate/report_ll_update.h>
#include <llupdate/version.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

class HostMessagesOfTheHost : public llupdate::HostMessages {
 public:
  void ShowMessage(const std::string& text, int32_t, const std::string&, int32_t, bool) override {
    std::printf("message: %s\n", text.c_str());
  }
  void ReportError(const std::string&, const std::string& routine, int32_t number,
                   const std::string& description, bool) override {
    std::printf("error in %s: %d %s\n", routine.c_str(), number, description.c_str());
  }
};

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  if (std::string(llupdate::kVersion) != llupdate::LibraryVersion()) return 3;
  llupdate::RegisterObject(llupdate::kMessagesProgId,
                           [] { return std::make_shared<HostMessagesOfTheHost>(); });
  llupdate::clsReportLLUpdate component;
  if (!component.Umstellung_Auf_Neue_Anschrift(argv[1])) return 1;
  if (!component.Pruefe_Konvertiere_Formulare(
          argv[1], std::make_shared<llupdate::SettingsConnection>(argv[2]))) {
    return 1;
  }
  std::ifstream form(std::string(argv[1]) + "/BerichteLL/Rechnung.bel", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(form)), std::istreambuf_iterator<char>());
  bool converted = text.find("Spacing.Paragraph=Firmendaten.NeueAnschrift") != std::string::npos;
  std::printf("%s\n", converted ? "converted" : "NOT converted");
  return converted ? 0 : 1;
}
