// Cost of the LL15 rewrite by form size: one generated ".bel" project with many header, sum and
// price blocks, at 5, 50 and 200 MB, with the growth of peak memory.
//
//   cmake --build build --target ll15_perftest && build/bin/ll15_perftest [DIR]
//
// The rewrite holds the project's lines in memory (the frame removal streams), so memory grows
// with the size, by little more than the size; time should grow linearly. The growth of peak
// memory is printed as a multiple of the project's size too.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "llupdate/message_sinks.h"
#include "llupdate/report_ll_update.h"

namespace {

long PeakKilobytes() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// A block with a bordered sub-section, as the designer writes them.
std::string Block(const std::string& key, const std::string& marker) {
  return "\t\t " + key + "\r\n\t\t  " + marker + "\r\n\t\t   Line=True\r\n\t\t   LineWidth=0\r\n" +
         "\t\t   Color=RGB(0,0,0)\r\n";
}

void WriteProject(const std::filesystem::path& path, size_t bytes) {
  std::ofstream out(path, std::ios::binary);
  out << "[Description]\r\nFileVersion=5\r\n[UserSection]\r\nVersion=3\r\nReferenzbeleg=R\r\n";
  out << "\t[Header]\r\n"
      << Block("Text=@K_UEBPosition", "[Bottom]") << Block("Text=@K_UEBMenge", "[Bottom]")
      << Block("Text=@K_UEBGP", "[Bottom]");
  out << "  [Tables]\r\n" << Block("Text=GruppenSumme.Summe", "[Bottom]");
  size_t written = 400;
  for (int i = 0; written < bytes; ++i) {
    std::string block = "\t[GroupHeader]\r\n" + Block("Text=@K_UEBBez", "[Bottom]") +
                        Block("Text=Position.Text" + std::to_string(i), "[Top]") +
                        "\t\tDescription=Belegsummen\r\n" + Block("Text=@K_Belegsumme", "[Top]") +
                        Block("Text=\"Gesamtpreis\"", "[Top]");
    out << block;
    written += block.size();
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path root = argc > 1 ? std::filesystem::path(argv[1])
                                        : std::filesystem::temp_directory_path() /
                                              ("llupdate-ll15-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(root / "BerichteLL");
  auto recorder = std::make_shared<llupdate::RecordingMessages>();
  llupdate::RegisterObject("HostMessages", [recorder] { return recorder; });

  bool all_ok = true;
  double first_rate = 0;
  for (size_t mb : {5, 50, 200}) {
    std::string name = "Form" + std::to_string(mb) + ".bel";
    WriteProject(root / "BerichteLL" / name, mb << 20);
    ::sync();
    long peak_before = PeakKilobytes();
    auto start = std::chrono::steady_clock::now();
    bool ok = llupdate::clsReportLLUpdate().Suche_ErsetzeProjektdatei_LL15(name, root.string());
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double size = static_cast<double>(std::filesystem::file_size(root / "BerichteLL" / name)) / 1e6;
    double rate = seconds / size;
    if (first_rate == 0) first_rate = rate;
    double grown = (PeakKilobytes() - peak_before) / 1024.0;
    std::printf(
        "%4zu MB: %.2f s, %.1f ms/MB (%.2f x the 5 MB rate), peak memory +%.0f MB "
        "(%.2f x the size), %s\n",
        mb, seconds, rate * 1000, rate / first_rate, grown, grown * 1.048576 / size,
        ok && recorder->records.empty() ? "ok" : "FAILED");
    all_ok = all_ok && ok && recorder->records.empty();
    std::filesystem::remove(root / "BerichteLL" / name);
  }
  std::filesystem::remove_all(root);
  return all_ok ? 0 : 1;
}
