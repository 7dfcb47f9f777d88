// The line rewrites against the floor of what any program must do, measured in one run.
//
//   cmake --build build --target rewrite_perftest llupdate && build/bin/rewrite_perftest [DIR]
//
// 1,000 forms of about 120 KB (four form types, every form changes) go through
// Umstellung_Auf_Neue_Anschrift, durable (the default) and with durable writes off, in
// interleaved rounds against:
//   floor          read each file through a 64 KiB buffer, write a new file, rename it over
//   durable floor  the same, with the new file flushed before its rename
//   sed -i         GNU sed over the same files (it, too, writes a new file and renames it)
// Each round starts from the same generated files; the medians are printed with their ratios.
// Then: file-system calls per form (a counting file system) and system calls per form (strace,
// when it is installed) of the address job, and the peak memory of the command line rewriting one
// form of 1 GB through Suche_ErsetzeProjektdatei.
// DIR is the scratch directory (default: a new one below /tmp); it is removed at the end.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/message_sinks.h"
#include "llupdate/file_system.h"
#include "llupdate/host.h"
#include "llupdate/report_ll_update.h"

namespace {

namespace fsys = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// A plausible List & Label text project of about `bytes` bytes with a few selected lines.
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

void CopyTree(const fsys::path& from, const fsys::path& to) {
  fsys::remove_all(to);
  fsys::copy(from, to, fsys::copy_options::recursive);
  ::sync();  // the copy's write-back must not slow down what is measured next
}

// What any rewrite must do: read every byte, write it to a new file, rename that over the form.
double Floor(const fsys::path& forms, bool durable) {
  auto start = Clock::now();
  std::vector<char> buffer(1 << 16);
  for (const auto& e : fsys::directory_iterator(forms)) {
    std::string from = e.path().string(), to = (forms / ("xx_" + e.path().filename().string()));
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    for (ssize_t n; (n = ::read(in, buffer.data(), buffer.size())) > 0;) {
      if (::write(out, buffer.data(), static_cast<size_t>(n)) != n) std::abort();
    }
    if (durable) ::fdatasync(out);
    ::close(out);
    ::close(in);
    ::rename(to.c_str(), from.c_str());
  }
  return Seconds(start);
}

double SedInPlace(const fsys::path& forms) {
  auto start = Clock::now();
  std::string command = "cd '" + forms.string() +
                        "' && ls | xargs sed -i 's/Spacing.Paragraph=8/Spacing.Paragraph="
                        "Firmendaten.NeueAnschrift/g'";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "sed failed\n");
  return Seconds(start);
}

double Job(const fsys::path& db, bool durable) {
  llupdate::SetDurableWrites(durable);
  auto start = Clock::now();
  bool ok = llupdate::clsReportLLUpdate().Umstellung_Auf_Neue_Anschrift(db.string());
  double seconds = Seconds(start);
  llupdate::SetDurableWrites(true);
  if (!ok) std::fprintf(stderr, "the address job FAILED\n");
  return seconds;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Counts the calls that reach the file system, file reads, writes and closes included.
class CountingFileSystem : public llupdate::ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  long calls = 0;

  bool FileExists(const std::string& p) override { return ++calls, target().FileExists(p); }
  bool FolderExists(const std::string& p) override { return ++calls, target().FolderExists(p); }
  void CopyFile(const std::string& a, const std::string& b, bool o) override {
    ++calls, target().CopyFile(a, b, o);
  }
  void MoveFile(const std::string& a, const std::string& b) override {
    ++calls, target().MoveFile(a, b);
  }
  void DeleteFile(const std::string& p, bool f) override { ++calls, target().DeleteFile(p, f); }
  std::vector<llupdate::FileEntry> ListFiles(const std::string& p) override {
    return ++calls, target().ListFiles(p);
  }
  uint32_t GetAttributes(const std::string& p) override {
    return ++calls, target().GetAttributes(p);
  }
  bool LinkFile(const std::string& a, const std::string& b) override {
    return ++calls, target().LinkFile(a, b);
  }
  bool ReplaceFile(const std::string& a, const std::string& b) override {
    return ++calls, target().ReplaceFile(a, b);
  }
  void SyncFolder(const std::string& p) override { ++calls, target().SyncFolder(p); }
  std::unique_ptr<llupdate::File> Open(const std::string& p, llupdate::OpenMode m) override {
    ++calls;
    return std::make_unique<CountedFile>(target().Open(p, m), calls);
  }

 private:
  class CountedFile : public llupdate::File {
   public:
    CountedFile(std::unique_ptr<llupdate::File> f, long& calls) : f_(std::move(f)), calls_(calls) {}
    size_t Read(char* b, size_t n) override { return ++calls_, f_->Read(b, n); }
    void Write(const char* d, size_t n) override { ++calls_, f_->Write(d, n); }
    void Close() override { ++calls_, f_->Close(); }

   private:
    std::unique_ptr<llupdate::File> f_;
    long& calls_;
  };
};

// Runs a command line and gives the peak memory of the process that ran it, in KB.
long PeakOfChild(const std::vector<std::string>& args) {
  pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    std::fprintf(stderr, "%s failed\n", args[1].c_str());
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  fsys::path root =
      argc > 1 ? fsys::path(argv[1])
               : fsys::temp_directory_path() / ("llupdate-bench-" + std::to_string(getpid()));
  auto recorder = std::make_shared<llupdate::host::RecordingMessages>();
  llupdate::RegisterObject("HostMessages", [recorder] { return recorder; });

  // The forms, generated once.
  fsys::path original = root / "original/BerichteLL";
  fsys::create_directories(original);
  const char* types[] = {"bel", "war", "mah", "bst"};
  for (int i = 0; i < 1000; ++i) {
    std::ofstream out(original / ("Form" + std::to_string(i) + "." + types[i % 4]),
                      std::ios::binary);
    WriteForm(out, 120000, 3);
  }
  double mb = 0;
  for (const auto& e : fsys::directory_iterator(original)) mb += e.file_size() / 1e6;

  const fsys::path db = root / "db", forms = db / "BerichteLL";
  std::map<std::string, std::vector<double>> times;
  const std::vector<std::pair<std::string, std::function<double()>>> modes = {
      {"product, durable", [&] { return Job(db, true); }},
      {"product, --no-sync", [&] { return Job(db, false); }},
      {"floor", [&] { return Floor(forms, false); }},
      {"durable floor", [&] { return Floor(forms, true); }},
      {"sed -i", [&] { return SedInPlace(forms); }},
  };
  const int rounds = 5;
  for (int round = 0; round < rounds; ++round) {
    for (const auto& [name, run] : modes) {
      CopyTree(root / "original", db);
      times[name].push_back(run());
    }
  }
  std::printf("1000 forms, %.0f MB, every form changes; medians of %d interleaved rounds:\n", mb,
              rounds);
  for (const auto& [name, run] : modes) {
    double t = Median(times[name]);
    std::printf("  %-20s %6.3f s  %6.0f MB/s\n", name.c_str(), t, mb / t);
  }
  double durable = Median(times["product, durable"]), plain = Median(times["product, --no-sync"]);
  std::printf("  durable product / durable floor: %.2f\n",
              durable / Median(times["durable floor"]));
  std::printf("  --no-sync product / floor:       %.2f\n", plain / Median(times["floor"]));
  std::printf("  --no-sync product / sed -i:      %.2f\n", plain / Median(times["sed -i"]));

  // Calls per form.
  CopyTree(root / "original", db);
  auto counting = std::make_shared<CountingFileSystem>(llupdate::NewOsFileSystem());
  {
    llupdate::ScopedObjectRegistration fs("Scripting.FileSystemObject", [&] { return counting; });
    Job(db, true);
  }
  std::printf("file-system calls per form (address job): %.1f\n", counting->calls / 1000.0);
  if (std::system("command -v strace >/dev/null") == 0) {
    CopyTree(root / "original", db);
    std::string trace = (root / "strace.txt").string();
    std::string command = "strace -f -c -o '" + trace + "' '" LLUPDATE_CLI "' address '" +
                          db.string() + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) == 0 || true) {
      std::ifstream in(trace);
      std::string line, last;
      while (std::getline(in, line)) {
        if (!line.empty()) last = line;
      }
      long total = 0;
      std::sscanf(last.c_str(), "%*s %*s %*s %ld", &total);
      std::printf("system calls per form (address job, strace, process start included): %.1f\n",
                  total / 1000.0);
    }
  }

  // One form of 1 GB through the command line: its peak memory.
  fsys::remove_all(root / "db");
  fsys::create_directories(root / "big/BerichteLL");
  {
    std::ofstream out(root / "big/BerichteLL/Gross.bel", std::ios::binary);
    WriteForm(out, size_t{1} << 30, 50);
  }
  auto start = Clock::now();
  long peak = PeakOfChild({LLUPDATE_CLI, "--no-sync", "Suche_ErsetzeProjektdatei", "Gross.bel",
                           (root / "big").string(), "Spacing.Paragraph=8", "=8",
                           "=Firmendaten.NeueAnschrift"});
  double big = Seconds(start);
  std::printf("one form of 1 GB: %.1f s (%.0f MB/s), peak memory of the process %.1f MB\n", big,
              1073.7 / big, peak / 1024.0);
  fsys::remove_all(root);
  return 0;
}
