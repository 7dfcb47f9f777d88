// The line rewrites against the floor of what any program must do, measured in one run.
//
//   cmake --build build --target rewrite_perftest llupdate
//   build/bin/rewrite_perftest [--cli PATH] [DIR]
//
// 1,000 forms of about 120 KB (four form types, every form changes) go through the address
// switch-over, durable (the default) and with durable writes off, in interleaved rounds:
//   command line   the llupdate executable as people run it ("llupdate -q address DB"), process
//                  start, lock, heal check, catalogue, every form and the flushes included;
//                  PATH (default: the one built beside this bench) may be an installed one
//   in process     Umstellung_Auf_Neue_Anschrift called in this process
// against, each a process of its own as well:
//   floor          read each file through a 64 KiB buffer, write a new file, rename it over
//   durable floor  the same, with the new file flushed before its rename
//   sed -i         GNU sed over the same files (it, too, writes a new file and renames it)
// Each round starts from the same generated files; the medians are printed with their ratios,
// with the page faults of the command line (getrusage of the child) and its system calls per form
// (strace -c, when strace is installed).
// Then the conversion driver ("llupdate -q convert DB") over a database of 2,000 forms of eight
// types (about 200 MB, every form re-saved by the LL24 switch-over): its time against the durable
// floor over the same files, its peak memory against the largest form, its system calls per form.
// Last, the peak memory of the command line rewriting one form of 1 GB.
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

#include "llupdate/file_system.h"
#include "llupdate/host.h"
#include "llupdate/message_sinks.h"
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

// What one run of a command line took: wall time (process start included), page faults, peak
// memory in KB, and whether it succeeded.
struct ChildRun {
  double seconds = 0;
  long faults = 0;
  long peak_kb = 0;
  bool ok = false;
};

ChildRun RunChild(const std::vector<std::string>& args) {
  auto start = Clock::now();
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
  ChildRun run;
  run.seconds = Seconds(start);
  run.faults = usage.ru_minflt + usage.ru_majflt;
  run.peak_kb = usage.ru_maxrss;
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!run.ok) std::fprintf(stderr, "%s %s failed\n", args[0].c_str(), args[1].c_str());
  return run;
}

// The system calls a command line makes (strace -f -c), or -1 without strace.
long SystemCalls(const std::vector<std::string>& args, const fsys::path& trace) {
  static const bool have_strace = std::system("command -v strace >/dev/null") == 0;
  if (!have_strace) return -1;
  std::string command = "strace -f -c -o '" + trace.string() + "'";
  for (const std::string& a : args) command += " '" + a + "'";
  command += " >/dev/null 2>&1";
  (void)std::system(command.c_str());
  std::ifstream in(trace);
  std::string line;
  long total = -1;
  while (std::getline(in, line)) {
    if (line.find(" total") != std::string::npos) {
      std::sscanf(line.c_str(), "%*s %*s %*s %ld", &total);  // % time, seconds, usecs/call, calls
    }
  }
  return total;
}

// A form for the driver: an old file version, so that the LL24 switch-over treats every form.
void WriteOldForm(const fsys::path& path, const std::string& body) {
  std::ofstream out(path, std::ios::binary);
  out << "[Description]\r\nFileVersion=6\r\n[UserSection]\r\nVersion=7\r\n"
         "Referenzbeleg=Rechnung\r\n[Layout]\r\n"
      << body;
}

}  // namespace

int main(int argc, char** argv) {
  // The floors run as processes of their own, like the command line.
  if (argc == 3 && (std::string(argv[1]) == "--floor" || std::string(argv[1]) == "--durable")) {
    Floor(argv[2], std::string(argv[1]) == "--durable");
    return 0;
  }
  std::string cli = LLUPDATE_CLI;
  int arg = 1;
  if (argc > 2 && std::string(argv[1]) == "--cli") {
    cli = fsys::absolute(argv[2]).string();
    arg = 3;
  }
  fsys::path root =
      argc > arg ? fsys::path(argv[arg])
                 : fsys::temp_directory_path() / ("llupdate-bench-" + std::to_string(getpid()));
  const std::string self = fsys::read_symlink("/proc/self/exe").string();
  auto recorder = std::make_shared<llupdate::RecordingMessages>();
  llupdate::RegisterObject("HostMessages", [recorder] { return recorder; });
  std::printf("command line: %s\n", cli.c_str());

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
  std::map<std::string, std::vector<double>> faults;
  auto child = [&](const std::string& name, const std::vector<std::string>& args) {
    ChildRun run = RunChild(args);
    faults[name].push_back(static_cast<double>(run.faults));
    return run.seconds;
  };
  const std::vector<std::string> durable_cli = {cli, "-q", "address", db.string()};
  const std::vector<std::string> plain_cli = {cli, "-q", "--no-sync", "address", db.string()};
  const std::vector<std::pair<std::string, std::function<double()>>> modes = {
      {"command line, durable", [&] { return child("command line, durable", durable_cli); }},
      {"command line, --no-sync", [&] { return child("command line, --no-sync", plain_cli); }},
      {"in process, durable", [&] { return Job(db, true); }},
      {"in process, --no-sync", [&] { return Job(db, false); }},
      {"floor",
       [&] {
         return child("floor", {self, "--floor", forms.string()});
       }},
      {"durable floor",
       [&] {
         return child("durable floor", {self, "--durable", forms.string()});
       }},
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
    std::printf("  %-24s %6.3f s  %6.0f MB/s", name.c_str(), t, mb / t);
    if (!faults[name].empty()) std::printf("  %7.0f page faults", Median(faults[name]));
    std::printf("\n");
  }
  auto ratio = [&](const char* label, const char* a, const char* b) {
    std::printf("  %-40s %.2f\n", label, Median(times[a]) / Median(times[b]));
  };
  ratio("command line, durable / durable floor:", "command line, durable", "durable floor");
  ratio("command line, --no-sync / floor:", "command line, --no-sync", "floor");
  ratio("command line, --no-sync / sed -i:", "command line, --no-sync", "sed -i");
  ratio("in process, durable / durable floor:", "in process, durable", "durable floor");
  ratio("in process, --no-sync / floor:", "in process, --no-sync", "floor");

  // Calls per form.
  CopyTree(root / "original", db);
  auto counting = std::make_shared<CountingFileSystem>(llupdate::NewOsFileSystem());
  {
    llupdate::ScopedObjectRegistration fs("Scripting.FileSystemObject", [&] { return counting; });
    Job(db, true);
  }
  std::printf("file-system calls per form (in process): %.1f\n", counting->calls / 1000.0);
  for (const auto* args : {&durable_cli, &plain_cli}) {
    CopyTree(root / "original", db);
    long calls = SystemCalls(*args, root / "strace.txt");
    if (calls >= 0) {
      std::printf("system calls per form (command line%s, process start included): %.1f\n",
                  args == &plain_cli ? ", --no-sync" : "", calls / 1000.0);
    }
  }

  // The driver over 2,000 forms of eight types.
  fsys::remove_all(root / "original");
  fsys::remove_all(db);
  const fsys::path big_db = root / "driver-original";
  fsys::create_directories(big_db / "BerichteLL");
  fsys::create_directories(big_db / "BerichteLLOrg");
  const char* all_types[] = {"bel", "war", "mah", "bst", "lst", "lbl", "dfi", "ueb"};
  std::string body;
  for (int block = 0; block < 800; ++block) {
    body += "{\r\n  Name=\"Text" + std::to_string(block) +
            "\"\r\n  Position=(1200,3400,56000,4500)\r\n"
            "  Contents=Position.Artikelnummer+\" \"+Position.Bezeichnung\r\n"
            "  Font.Name=\"Arial\"\r\n";
    if (block % 200 == 199) body += "  Spacing.Paragraph=8\r\n";
    body += "}\r\n";
  }
  uintmax_t largest = 0;
  double driver_mb = 0;
  for (int i = 0; i < 2000; ++i) {
    fsys::path form = big_db / "BerichteLL" / ("Form" + std::to_string(i) + "." + all_types[i % 8]);
    WriteOldForm(form, body);
    largest = std::max(largest, fsys::file_size(form));
    driver_mb += fsys::file_size(form) / 1e6;
  }
  const std::vector<std::string> driver = {cli, "-q", "convert", db.string()};
  std::vector<double> driver_times, driver_floor;
  long driver_peak = 0;
  for (int round = 0; round < 3; ++round) {
    CopyTree(big_db, db);
    ChildRun run = RunChild(driver);
    driver_times.push_back(run.seconds);
    driver_peak = std::max(driver_peak, run.peak_kb);
    CopyTree(big_db, db);
    driver_floor.push_back(RunChild({self, "--durable", forms.string()}).seconds);
  }
  CopyTree(big_db, db);
  long driver_calls = SystemCalls(driver, root / "strace.txt");
  std::printf(
      "driver (convert), 2,000 forms, %.0f MB, medians of 3 interleaved rounds:\n"
      "  driver %.2f s, durable floor %.2f s: %.2f times the floor\n"
      "  peak memory %.1f MB (largest form %.2f MB)\n",
      driver_mb, Median(driver_times), Median(driver_floor),
      Median(driver_times) / Median(driver_floor), driver_peak / 1024.0, largest / 1e6);
  if (driver_calls >= 0) std::printf("  system calls per form %.1f\n", driver_calls / 2000.0);
  fsys::remove_all(big_db);

  // One form of 1 GB through the command line: its peak memory.
  fsys::remove_all(db);
  fsys::create_directories(root / "big/BerichteLL");
  {
    std::ofstream out(root / "big/BerichteLL/Gross.bel", std::ios::binary);
    WriteForm(out, size_t{1} << 30, 50);
  }
  ChildRun big =
      RunChild({cli, "--no-sync", "Suche_ErsetzeProjektdatei", "Gross.bel", (root / "big").string(),
                "Spacing.Paragraph=8", "=8", "=Firmendaten.NeueAnschrift"});
  std::printf("one form of 1 GB: %.1f s (%.0f MB/s), peak memory of the process %.1f MB\n",
              big.seconds, 1073.7 / big.seconds, big.peak_kb / 1024.0);
  fsys::remove_all(root);
  return 0;
}
