// Throughput of the line rewrites against plain file copying, measured in one run.
//
//   cmake --build build --target rewrite_perftest && build/bin/rewrite_perftest [DIR]
//
// 1. One form of 200 MB through Suche_ErsetzeProjektdatei, with the growth of peak memory.
// 2. 1,000 forms of about 100 KB (four form types, a few selected lines each) through
//    Umstellung_Auf_Neue_Anschrift, against copying the same files once.
// A rewrite of a changed form reads it, writes the temporary file and copies the form to its
// backup: about twice the work of one copy is its floor.
// DIR is the scratch directory (default: a new one below /tmp); it is removed at the end.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/message_sinks.h"
#include "llupdate/report_ll_update.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

long PeakKilobytes() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Writes a plausible List & Label text project of about `bytes` bytes to out.
void WriteForm(std::ofstream& out, size_t bytes, int selected_lines) {
  out << "[Description]\r\nFileVersion=24\r\n[UserSection]\r\nVersion=7\r\n"
         "Referenzbeleg=Rechnung\r\n[Layout]\r\n";
  size_t written = 100;
  int block = 0;
  size_t every = bytes / 1000 / static_cast<size_t>(selected_lines + 1) + 1;
  while (written < bytes) {
    std::string text = "{\r\n  Name=\"Text" + std::to_string(block) +
                       "\"\r\n  Position=(1200,3400,56000,4500)\r\n"
                       "  Contents=Position.Artikelnummer+\" \"+Position.Bezeichnung\r\n"
                       "  Font.Name=\"Arial\"\r\n  Font.Size=10\r\n";
    if (selected_lines > 0 && block % every == every - 1) {
      text += "  Spacing.Paragraph=8\r\n";
      --selected_lines;
    }
    text += "}\r\n";
    out << text;
    written += text.size();
    ++block;
  }
}

size_t DirectoryBytes(const std::filesystem::path& dir) {
  size_t total = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) total += e.file_size();
  return total;
}

double CopyAll(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::filesystem::remove_all(to);
  std::filesystem::create_directories(to);
  auto start = Clock::now();
  for (const auto& e : std::filesystem::directory_iterator(from)) {
    std::filesystem::copy_file(e.path(), to / e.path().filename());
  }
  return Seconds(start);
}

// The same copy through a buffer in user space, as a program that reads and writes must do.
double CopyAllThroughBuffer(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::filesystem::remove_all(to);
  std::filesystem::create_directories(to);
  auto start = Clock::now();
  std::vector<char> buffer(1 << 16);
  for (const auto& e : std::filesystem::directory_iterator(from)) {
    std::ifstream in(e.path(), std::ios::binary);
    std::ofstream out(to / e.path().filename(), std::ios::binary);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
      out.write(buffer.data(), in.gcount());
    }
  }
  return Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path root = argc > 1 ? std::filesystem::path(argv[1])
                                        : std::filesystem::temp_directory_path() /
                                              ("llupdate-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(root / "big/BerichteLL");
  // Messages would only slow the measurement down; a form that fails shows up in the result.
  auto recorder = std::make_shared<llupdate::host::RecordingMessages>();
  llupdate::RegisterObject("HostMessages", [recorder] { return recorder; });

  // 1. One large form.
  {
    std::ofstream out(root / "big/BerichteLL/Gross.bel", std::ios::binary);
    WriteForm(out, 200u << 20, 50);
  }
  ::sync();  // the generated data is on disk, so that its write-back does not slow the rewrite
  double big_copy = CopyAll(root / "big/BerichteLL", root / "big/copy");
  long peak_before = PeakKilobytes();
  auto start = Clock::now();
  bool ok = llupdate::clsReportLLUpdate().Suche_ErsetzeProjektdatei(
      "Gross.bel", (root / "big").string(), "Spacing.Paragraph=8", "=8",
      "=Firmendaten.NeueAnschrift");
  double big_seconds = Seconds(start);
  double big_mb =
      static_cast<double>(std::filesystem::file_size(root / "big/BerichteLL/Gross.bel")) / 1e6;
  std::printf("single form: %.0f MB in %.2f s (%.0f MB/s), copy %.2f s, ratio %.2f, %s\n", big_mb,
              big_seconds, big_mb / big_seconds, big_copy, big_seconds / big_copy,
              ok ? "ok" : "FAILED");
  std::printf("peak memory growth: %ld KB\n", PeakKilobytes() - peak_before);
  std::filesystem::remove_all(root / "big");

  // 2. Many forms.
  std::filesystem::path forms = root / "db/BerichteLL";
  std::filesystem::create_directories(forms);
  const char* types[] = {"bel", "war", "mah", "bst"};
  for (int i = 0; i < 1000; ++i) {
    std::ofstream out(forms / ("Form" + std::to_string(i) + "." + types[i % 4]), std::ios::binary);
    WriteForm(out, 100000, 3);
  }
  double mb = static_cast<double>(DirectoryBytes(forms)) / 1e6;
  ::sync();
  double copy = CopyAll(forms, root / "copy");
  start = Clock::now();
  ok = llupdate::clsReportLLUpdate().Umstellung_Auf_Neue_Anschrift((root / "db").string());
  double job = Seconds(start);
  double copy_again = CopyAll(forms, root / "copy");
  if (copy_again < copy) copy = copy_again;
  std::printf(
      "1000 forms: %.0f MB, job %.2f s (%.0f MB/s), copy %.2f s (%.0f MB/s), ratio %.2f, %s\n", mb,
      job, mb / job, copy, mb / copy, job / copy, ok ? "ok" : "FAILED");
  double buffered = CopyAllThroughBuffer(forms, root / "copy");
  std::printf("            the same copy through a 64 KiB buffer: %.2f s, ratio %.2f\n", buffered,
              job / buffered);
  std::filesystem::remove_all(root);
  return ok ? 0 : 1;
}
