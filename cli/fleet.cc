#include "fleet.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>

#include "exit_status.h"
#include "llupdate/message_sinks.h"
#include "output.h"

extern char** environ;

namespace llupdate::cli {
namespace {

using Clock = std::chrono::steady_clock;

// The top-level fields of one JSON record as the command line writes them: strings decoded,
// numbers and literals as they stand, nested values as their raw text.
std::map<std::string, std::string> Fields(const std::string& line) {
  std::map<std::string, std::string> fields;
  size_t i = 0;
  auto skip_space = [&] {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  };
  auto read_string = [&](std::string* out) {
    ++i;  // the opening quote
    while (i < line.size() && line[i] != '"') {
      char c = line[i++];
      if (c != '\\' || i >= line.size()) {
        *out += c;
        continue;
      }
      char e = line[i++];
      switch (e) {
        case 'n':
          *out += '\n';
          break;
        case 't':
          *out += '\t';
          break;
        case 'r':
          *out += '\r';
          break;
        case 'u':
          // The records escape control characters, and the bytes of a name that are not UTF-8 as
          // U+DC00 plus the byte: either stands for one byte.
          *out += static_cast<char>(std::strtoul(line.substr(i, 4).c_str(), nullptr, 16) & 0xFF);
          i += 4;
          break;
        default:
          *out += e;
      }
    }
    ++i;  // the closing quote
  };
  skip_space();
  if (i >= line.size() || line[i] != '{') return fields;
  ++i;
  while (i < line.size()) {
    skip_space();
    if (line[i] != '"') break;
    std::string key, value;
    read_string(&key);
    skip_space();
    if (i >= line.size() || line[i] != ':') break;
    ++i;
    skip_space();
    if (i < line.size() && line[i] == '"') {
      read_string(&value);
    } else {
      // A number, a literal, or a nested object or array kept as its text.
      const size_t start = i;
      int depth = 0;
      bool in_string = false;
      for (; i < line.size(); ++i) {
        const char c = line[i];
        if (in_string) {
          if (c == '\\') {
            ++i;
          } else if (c == '"') {
            in_string = false;
          }
        } else if (c == '"') {
          in_string = true;
        } else if (c == '{' || c == '[') {
          ++depth;
        } else if (c == '}' || c == ']') {
          if (depth == 0) break;
          --depth;
        } else if (c == ',' && depth == 0) {
          break;
        }
      }
      value = line.substr(start, i - start);
    }
    fields[key] = value;
    skip_space();
    if (i < line.size() && line[i] == ',') ++i;
  }
  return fields;
}

int Number(const std::map<std::string, std::string>& fields, const std::string& key) {
  auto it = fields.find(key);
  return it == fields.end() ? 0 : std::atoi(it->second.c_str());
}

std::string Field(const std::map<std::string, std::string>& fields, const std::string& key) {
  auto it = fields.find(key);
  return it == fields.end() ? std::string() : it->second;
}

// How bad an exit status is: the fleet ends with the worst of its databases.
int Badness(int status) {
  switch (status) {
    case kExitTrue:
      return 0;
    case kExitErrorsShown:
      return 1;
    case kExitDatabaseBusy:
      return 2;
    case kExitFalse:
      return 3;
    case kExitUsage:
      return 4;
    case kExitHostFailure:
      return 5;
    case kExitHangUp:
      return 6;
    case kExitInterrupted:
      return 7;
    default:
      return 5;
  }
}

std::atomic<int> stop_signal{0};
void OnStopSignal(int signal) { stop_signal.store(signal); }

// One database's run: its process, what it printed, what it came to.
struct Run {
  std::string db;
  pid_t pid = -1;
  int fds[2] = {-1, -1};  // its standard output and standard error
  std::string pending[2];
  Clock::time_point start;
  double seconds = 0;
  std::string progress;
  bool summary = false, refusal = false;
  int examined = 0, rewritten = 0, copied = 0, failed = 0;
  std::vector<std::string> problems;
  int status = -1;
  std::string result = "not started";
};

class Fleet {
 public:
  explicit Fleet(const FleetRequest& request)
      : request_(request), live_(!request.json && !request.quiet && ::isatty(STDERR_FILENO) != 0) {
    // A database named twice (also by another path) runs once: two runs of it at once would
    // find each other holding it.
    std::map<std::string, std::string> first_of;
    for (const std::string& db : request.databases) {
      runs_.emplace_back();
      Run& run = runs_.back();
      run.db = db;
      char* real = ::realpath(db.c_str(), nullptr);
      const std::string key = real != nullptr ? real : db;
      std::free(real);
      auto [it, first] = first_of.emplace(key, db);
      if (!first) {
        run.status = kExitTrue;
        run.result = "duplicate";
        run.problems.push_back("the same database as " + it->second + ", which runs once");
      }
    }
  }

  int Go() {
    struct sigaction action {
    }, old_int{}, old_term{}, old_hup{};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &old_int);
    ::sigaction(SIGTERM, &action, &old_term);
    ::sigaction(SIGHUP, &action, &old_hup);
    size_t next = 0;
    bool forwarded = false;
    for (;;) {
      while (stop_signal.load() == 0 && running_ < request_.jobs && next < runs_.size()) {
        Run& run = runs_[next++];
        if (run.result == "duplicate") {
          Finished(run);
        } else {
          Start(run);
        }
      }
      if (running_ == 0) break;
      if (stop_signal.load() != 0 && !forwarded) {
        // Each database finishes the form in work and records what it did.
        forwarded = true;
        for (Run& run : runs_) {
          if (run.pid > 0) ::kill(run.pid, stop_signal.load());
        }
      }
      Poll();
      Draw();
    }
    Clear();
    ::sigaction(SIGINT, &old_int, nullptr);
    ::sigaction(SIGTERM, &old_term, nullptr);
    ::sigaction(SIGHUP, &old_hup, nullptr);
    return Report();
  }

 private:
  void Start(Run& run) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return Failed(run, std::strerror(errno));
    if (::pipe2(err, O_CLOEXEC) != 0) {
      ::close(out[0]);
      ::close(out[1]);
      return Failed(run, std::strerror(errno));
    }
    std::vector<std::string> words = {SelfPath()};
    words.insert(words.end(), request_.options.begin(), request_.options.end());
    words.push_back("--json");
    words.push_back("--");
    words.push_back(request_.command->name);
    words.push_back(run.db);
    words.insert(words.end(), request_.arguments.begin(), request_.arguments.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    // Its own process group: a Ctrl-C reaches the fleet, which passes it on once.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const int spawned =
        ::posix_spawn(&run.pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) {
      ::close(out[0]);
      ::close(err[0]);
      run.pid = -1;
      return Failed(run, std::strerror(spawned));
    }
    run.fds[0] = out[0];
    run.fds[1] = err[0];
    run.start = Clock::now();
    run.result = "running";
    ++running_;
  }

  void Failed(Run& run, const std::string& why) {
    run.status = kExitHostFailure;
    run.result = "failed";
    run.problems.push_back("could not be started: " + why);
    Finished(run);
  }

  static std::string SelfPath() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string("llupdate");
  }

  void Poll() {
    std::vector<pollfd> fds;
    std::vector<std::pair<Run*, int>> owners;
    for (Run& run : runs_) {
      for (int k = 0; k < 2; ++k) {
        if (run.fds[k] < 0) continue;
        fds.push_back({run.fds[k], POLLIN, 0});
        owners.push_back({&run, k});
      }
    }
    if (fds.empty()) return;
    if (::poll(fds.data(), fds.size(), 200) <= 0) return;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      auto [run, k] = owners[i];
      char buffer[65536];
      const ssize_t n = ::read(run->fds[k], buffer, sizeof buffer);
      if (n > 0) {
        run->pending[k].append(buffer, static_cast<size_t>(n));
        size_t end;
        while ((end = run->pending[k].find('\n')) != std::string::npos) {
          Line(*run, k, run->pending[k].substr(0, end));
          run->pending[k].erase(0, end + 1);
        }
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        if (!run->pending[k].empty()) Line(*run, k, run->pending[k]);
        run->pending[k].clear();
        ::close(run->fds[k]);
        run->fds[k] = -1;
        if (run->fds[0] < 0 && run->fds[1] < 0) Reap(*run);
      }
    }
  }

  // One record of a database's run: passed on with its database (--json), and read for its
  // result.
  void Line(Run& run, int stream, const std::string& line) {
    if (request_.json) {
      Clear();
      const std::string head = "{\"v\":1,";
      std::string shown = line;
      if (line.starts_with(head)) {
        shown = head + "\"db\":" + JsonString(run.db) + "," + line.substr(head.size());
      }
      std::fprintf(stream == 0 ? stdout : stderr, "%s\n", shown.c_str());
    }
    const auto fields = Fields(line);
    const std::string call = Field(fields, "call");
    if (call == "Progress") {
      std::string step;
      if (fields.count("step") > 0) {
        step = "step " + Field(fields, "step") + " of " + Field(fields, "steps") + ": ";
      }
      run.progress = step + Field(fields, "label") + " " + Field(fields, "done") + "/" +
                     Field(fields, "total");
    } else if (call == "Summary") {
      run.summary = true;
      run.examined = Number(fields, "examined");
      run.rewritten = Number(fields, "rewritten");
      run.copied = Number(fields, "copied");
      run.failed = Number(fields, "failed");
    } else if (call == "Error" || call == "UsageError") {
      run.refusal = true;
      run.problems.push_back(Field(fields, "message"));
    } else if ((call == "ShowMessage" || call == "ReportError") &&
               Field(fields, "flag") == "true") {
      std::string text = call == "ShowMessage"
                             ? Field(fields, "text")
                             : Field(fields, "routine") + ": " + Field(fields, "description");
      std::replace(text.begin(), text.end(), '\r', ' ');
      std::replace(text.begin(), text.end(), '\n', ' ');
      run.problems.push_back(text);
    }
  }

  void Reap(Run& run) {
    int status = 0;
    while (::waitpid(run.pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.pid = -1;
    --running_;
    run.seconds = std::chrono::duration<double>(Clock::now() - run.start).count();
    run.status = WIFEXITED(status)     ? WEXITSTATUS(status)
                 : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                       : kExitHostFailure;
    const bool writes = request_.command->operation != nullptr;
    switch (run.status) {
      case kExitTrue:
        run.result = !writes ? "done"
                     : run.rewritten + run.copied > 0
                         ? (HasOption("--dry-run") ? "would convert" : "converted")
                         : "nothing to do";
        break;
      case kExitErrorsShown:
        run.result = "finished with errors";
        break;
      case kExitDatabaseBusy:
        run.result = "held";
        break;
      case kExitUsage:
        run.result = "refused";
        break;
      case kExitFalse:
        run.result = run.refusal && run.examined == 0 ? "refused" : "failed";
        break;
      case kExitHangUp:
      case kExitInterrupted:
        run.result = "interrupted";
        break;
      default:
        run.result = "failed";
    }
    Finished(run);
  }

  bool HasOption(const std::string& option) const {
    return std::find(request_.options.begin(), request_.options.end(), option) !=
           request_.options.end();
  }

  // A database is done: a record (--json), else a line with its problems.
  void Finished(const Run& run) {
    Clear();
    if (request_.json) {
      std::string problems;
      for (const std::string& p : run.problems) {
        if (!problems.empty()) problems += ',';
        problems += JsonString(p);
      }
      std::printf(
          "{\"v\":1,\"call\":\"DatabaseResult\",\"db\":%s,\"result\":%s,\"exit\":%d,"
          "\"examined\":%d,\"rewritten\":%d,\"copied\":%d,\"failed\":%d,\"seconds\":%.3f,"
          "\"problems\":[%s]}\n",
          JsonString(run.db).c_str(), JsonString(run.result).c_str(), run.status, run.examined,
          run.rewritten, run.copied, run.failed, run.seconds, problems.c_str());
      std::fflush(stdout);
      return;
    }
    if (request_.quiet && run.status == kExitTrue) return;
    std::fprintf(stderr, "llupdate: %s: %s%s\n", run.db.c_str(), run.result.c_str(),
                 run.summary ? (" (" + std::to_string(run.rewritten + run.copied) + " written, " +
                                std::to_string(run.failed) + " failed)")
                                   .c_str()
                             : "");
    for (const std::string& p : run.problems) std::fprintf(stderr, "    %s\n", p.c_str());
    std::fflush(stderr);
  }

  // On a terminal, a line per database in work.
  void Draw() {
    if (!live_) return;
    const Clock::time_point now = Clock::now();
    if (now - drawn_at_ < std::chrono::milliseconds(100)) return;
    drawn_at_ = now;
    Clear();
    for (const Run& run : runs_) {
      if (run.pid <= 0) continue;
      std::string line = "  " + run.db + ": " + (run.progress.empty() ? "starting" : run.progress);
      if (line.size() > 100) line.resize(100);
      std::fprintf(stderr, "%s\n", line.c_str());
      ++drawn_;
    }
    std::fflush(stderr);
  }

  void Clear() {
    if (drawn_ == 0) return;
    std::fprintf(stderr, "\033[%dA\033[J", drawn_);
    drawn_ = 0;
  }

  int Report() {
    std::map<std::string, int> counts;
    int worst = kExitTrue;
    for (Run& run : runs_) {
      ++counts[run.result];
      if (run.result == "not started") {
        if (request_.json) Finished(run);
        continue;
      }
      if (Badness(run.status) > Badness(worst)) worst = run.status;
    }
    if (stop_signal.load() != 0) {
      const int interrupted = stop_signal.load() == SIGHUP ? kExitHangUp : kExitInterrupted;
      if (Badness(interrupted) > Badness(worst)) worst = interrupted;
    }
    if (request_.json) {
      std::string line =
          "{\"v\":1,\"call\":\"FleetSummary\",\"databases\":" + std::to_string(runs_.size());
      for (const auto& [result, n] : counts) {
        std::string key = result;
        std::replace(key.begin(), key.end(), ' ', '_');
        line += ",\"" + key + "\":" + std::to_string(n);
      }
      std::printf("%s,\"exit\":%d}\n", line.c_str(), worst);
      std::fflush(stdout);
      return worst;
    }
    // The table: database, result, forms written and failed, time.
    size_t width = 8;
    for (const Run& run : runs_) width = std::max(width, run.db.size());
    std::printf("%-*s  %-20s  %7s  %6s  %8s\n", static_cast<int>(width), "DATABASE", "RESULT",
                "WRITTEN", "FAILED", "TIME");
    for (const Run& run : runs_) {
      if (run.result == "not started") {
        std::printf("%-*s  %-20s\n", static_cast<int>(width), run.db.c_str(), run.result.c_str());
        continue;
      }
      std::printf("%-*s  %-20s  %7d  %6d  %6.2f s\n", static_cast<int>(width), run.db.c_str(),
                  run.result.c_str(), run.rewritten + run.copied, run.failed, run.seconds);
    }
    std::string line = std::to_string(runs_.size()) + " databases:";
    bool first = true;
    for (const auto& [result, n] : counts) {
      line += (first ? " " : ", ") + std::to_string(n) + " " + result;
      first = false;
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return worst;
  }

  const FleetRequest& request_;
  const bool live_;
  std::vector<Run> runs_;
  int running_ = 0;
  int drawn_ = 0;
  Clock::time_point drawn_at_{};
};

}  // namespace

bool ReadDatabaseList(const std::string& file, std::vector<std::string>* databases,
                      std::string* problem) {
  std::ifstream opened;
  std::istream* in = &std::cin;
  if (file != "-") {
    opened.open(file);
    if (!opened) {
      *problem = "cannot read the list of databases " + file + ": " + std::strerror(errno);
      return false;
    }
    in = &opened;
  }
  std::string line;
  while (std::getline(*in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    const size_t end = line.find_last_not_of(" \t");
    databases->push_back(line.substr(start, end - start + 1));
  }
  return true;
}

int RunFleet(const FleetRequest& request) {
  ::setenv(kFleetMember, "1", 1);
  return Fleet(request).Go();
}

}  // namespace llupdate::cli
