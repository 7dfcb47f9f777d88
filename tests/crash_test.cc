// A crash at any point of a job loses no form, and a plain rerun ends where an uninterrupted run
// ends. The crash is the fault-injecting file system stopping to carry out calls from one call on;
// the instance is then dropped, as a dead process drops everything it held.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "host/objects.h"
#include "llupdate/database.h"
#include "llupdate/file_system.h"
#include "llupdate/host.h"
#include "llupdate/operations.h"
#include "llupdate/report_ll_update.h"
#include "platform/file_system.h"
#include "platform/os_faults.h"
#include "rewrites/leftovers.h"
#include "test_support.h"

namespace llupdate {
namespace {

namespace fsys = std::filesystem;

// The calls at which a job is interrupted, of the calls 1..calls of an uninterrupted run (every
// step-th). Every one of them with LLUPDATE_CRASH_POINTS=all (the crash_walk test); otherwise
// the first and last few and a sample between them, drawn with LLUPDATE_CRASH_SEED (1 unless
// set), so that a failure found by a sample is repeated by the same seed.
std::vector<int> CrashPoints(int calls, int step) {
  std::vector<int> all;
  for (int at = 1; at <= calls; at += step) all.push_back(at);
  const char* points = std::getenv("LLUPDATE_CRASH_POINTS");
  const size_t kEnds = 4, kBetween = 24;
  if ((points != nullptr && std::string(points) == "all") || all.size() <= 2 * kEnds + kBetween) {
    return all;
  }
  const char* seed = std::getenv("LLUPDATE_CRASH_SEED");
  std::mt19937 random(seed != nullptr ? static_cast<unsigned>(std::strtoul(seed, nullptr, 10)) : 1);
  std::vector<int> middle(all.begin() + kEnds, all.end() - kEnds);
  std::shuffle(middle.begin(), middle.end(), random);
  middle.resize(kBetween);
  std::vector<int> chosen(all.begin(), all.begin() + kEnds);
  chosen.insert(chosen.end(), middle.begin(), middle.end());
  chosen.insert(chosen.end(), all.end() - kEnds, all.end());
  std::sort(chosen.begin(), chosen.end());
  return chosen;
}

// Every file below a directory (the lock file and the run journal excepted: they name the process
// and the time), by relative path.
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fsys::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file() ||
        entry.path().filename().string().rfind(".llupdate-lock", 0) == 0 ||
        entry.path().string().find(".llupdate-journal") != std::string::npos)
      continue;
    if (entry.path().extension() == ".sqlite") continue;
    files[fsys::relative(entry.path(), root).string()] = testing::ReadBytes(entry.path().string());
  }
  return files;
}

// The demo database with a customer's own copy named like a backup, which a run sets aside.
const char kOwnCopy[] = "meine eigene Kopie\r\n";
std::string FreshDatabase(const testing::TempDir& dir, int run) {
  std::string db = dir / ("db" + std::to_string(run));
  fsys::copy(LLUPDATE_DEMO_DB, db, fsys::copy_options::recursive);
  testing::WriteBytes(db + "/BerichteLL/alt_Lieferschein.bst", kOwnCopy);
  return db;
}

// The customer's copy is in the form folder or in a run's journal, whole.
bool OwnCopyKept(const std::string& db) {
  for (const auto& e : fsys::recursive_directory_iterator(db)) {
    if (e.is_regular_file() && testing::ReadBytes(e.path().string()) == kOwnCopy) return true;
  }
  return false;
}

enum class Job { kAddress, kDriver, kDistributionAndDriver, kTwoSwitchOvers };

bool RunJob(const std::string& db, Job job) {
  clsReportLLUpdate c;
  if (job == Job::kAddress) return c.Umstellung_Auf_Neue_Anschrift(db);
  // The second switch-over finds every form converted and only compares it with its save.
  if (job == Job::kTwoSwitchOvers) return c.Umstellung_auf_LL24(db) && c.Umstellung_auf_LL24(db);
  std::shared_ptr<Object> connection = std::make_shared<SettingsConnection>(db + "/s.sqlite");
  if (job == Job::kDistributionAndDriver &&
      !c.Kopiere_Neue_Formulare_LL(db, db + "/EXEDIR", "demo")) {
    return false;
  }
  return c.Pruefe_Konvertiere_Formulare(db, connection);
}

enum class Fault { kCrash, kOneFailure };

void ExpectConvergence(Job job, bool classic_only, int step, Fault fault = Fault::kCrash) {
  const bool driver = job != Job::kAddress && job != Job::kTwoSwitchOvers;
  testing::RecordedMessages messages;
  testing::TempDir dir;
  SetDurableWrites(false);  // scratch copies: the crash here is of the process, not of the disk
  int calls;
  std::map<std::string, std::string> reference;
  {
    std::string db = FreshDatabase(dir, 0);
    testing::FaultInjection faults;
    faults.fs().SetClassicOnly(classic_only);
    ASSERT_TRUE(RunJob(db, job));
    // Every form it made, replaced or removed, the delivery's marker and the settings file's
    // journal included, is on the disk when the run returns: a power cut then loses none of it.
    EXPECT_EQ(faults.fs().unflushed_names(), (std::map<std::string, std::string>{}));
    calls = faults.fs().total_calls();
    reference = Snapshot(db);
    ASSERT_TRUE(RunJob(db, job));  // a second run changes nothing
    ASSERT_EQ(Snapshot(db), reference);
  }
  const std::map<std::string, std::string> original = Snapshot(LLUPDATE_DEMO_DB);
  for (int at : CrashPoints(calls, step)) {
    SCOPED_TRACE("crash at call " + std::to_string(at) + " of " + std::to_string(calls));
    std::string db = FreshDatabase(dir, at);
    {
      testing::FaultInjection faults;
      faults.fs().SetClassicOnly(classic_only);
      if (fault == Fault::kCrash) {
        faults.fs().CrashAt(at);
      } else {
        // A full disk, a failing device, refused access: one call fails, the run goes on.
        const int32_t errors[] = {61, 75, 70};
        faults.fs().FailAt(at, errors[at % 3]);
      }
      RunJob(db, job);
    }
    ASSERT_TRUE(OwnCopyKept(db));
    // No form is lost: every form is there whole, old or new. The classic sequence cannot swap
    // in one step: between the removal of the form and the move, its backup holds it.
    std::map<std::string, std::string> crashed = Snapshot(db);
    for (const auto& [name, bytes] : original) {
      if (name.rfind("BerichteLL/", 0) != 0) continue;
      auto found = crashed.find(name);
      if (found == crashed.end() && classic_only) {
        found = crashed.find("BerichteLL/alt_" + name.substr(11));
      }
      ASSERT_NE(found, crashed.end()) << name;
      // One step rewrites each form at most once: old or new. The driver's forms may stand
      // between its steps.
      auto done = reference.find(name);
      if (!driver && found->second != bytes && done != reference.end()) {
        ASSERT_EQ(found->second, done->second) << name;
      }
      ASSERT_FALSE(found->second.empty()) << name;
    }
    ASSERT_TRUE(RunJob(db, job));
    std::map<std::string, std::string> rerun = Snapshot(db);
    // The copy's name is a form's too: a temporary file of it that a failing call left while the
    // copy went into the journal is kept by the next run (its form and backup are missing, it
    // may be the only copy of what it holds).
    if (fault == Fault::kOneFailure) rerun.erase("BerichteLL/xx_alt_Lieferschein.bst");
    ASSERT_EQ(rerun, reference);
    ASSERT_TRUE(OwnCopyKept(db));
    fsys::remove_all(db);
  }
  SetDurableWrites(true);
}

TEST(CrashTest, AddressJobAndSwitchOversConvergeAfterACrashAtEveryCall) {
  testing::JournalOn journal;  // the journal is part of every run that crashes
  ExpectConvergence(Job::kAddress, false, 1);
  ExpectConvergence(Job::kAddress, true, 1);
  ExpectConvergence(Job::kTwoSwitchOvers, false, 1);
  // On a file system without unnamed files a new file gets its name first, its record after.
  platform::SetOsFaultHook([](platform::OsCall call, const std::string&) {
    return call == platform::OsCall::kUnnamed ? EOPNOTSUPP : 0;
  });
  ExpectConvergence(Job::kTwoSwitchOvers, false, 1);
  ExpectConvergence(Job::kAddress, true, 1);
  platform::SetOsFaultHook(nullptr);
}

TEST(CrashTest, OneFailingCallAnywhereLosesNothingAndARerunConverges) {
  testing::JournalOn journal;  // the journal is part of every run that crashes
  ExpectConvergence(Job::kAddress, false, 1, Fault::kOneFailure);
  ExpectConvergence(Job::kDriver, false, 3, Fault::kOneFailure);
  ExpectConvergence(Job::kDistributionAndDriver, false, 4, Fault::kOneFailure);
}

TEST(CrashTest, DistributionAndDriverConvergeAfterCrashes) {
  testing::JournalOn journal;  // the journal is part of every run that crashes
  ExpectConvergence(Job::kDistributionAndDriver, false, 3);
  ExpectConvergence(Job::kDistributionAndDriver, true, 7);
}

// The whole component runs on the in-memory file system as on the disk: the same forms, byte for
// byte, after distribution and the driver.
TEST(MemoryFileSystemTest, GivesTheSameFormsAsTheDisk) {
  testing::RecordedMessages messages;
  testing::TempDir dir;
  std::string db = FreshDatabase(dir, 0);
  ASSERT_TRUE(RunJob(db, Job::kDistributionAndDriver));
  std::map<std::string, std::string> on_disk = Snapshot(db);

  std::shared_ptr<FileSystem> memory = testing::DemoInMemory();
  {
    ScopedObjectRegistration registration(host::kFileSystemProgId, [&] { return memory; });
    clsReportLLUpdate c;
    // The settings file is in memory too.
    std::shared_ptr<Object> connection = std::make_shared<SettingsConnection>("mem\\s.sqlite");
    ASSERT_TRUE(c.Kopiere_Neue_Formulare_LL("mem", "mem\\EXEDIR", "demo"));
    ASSERT_TRUE(c.Pruefe_Konvertiere_Formulare("mem", connection));
    std::string step;
    ASSERT_TRUE(ReadSettingsValue("mem\\s.sqlite", kStepRecordSection, kStepRecordKey, &step));
    EXPECT_EQ(step, "6");
  }
  EXPECT_FALSE(fsys::exists(dir / "mem"));
  for (const auto& [name, bytes] : on_disk) {
    if (name.rfind("BerichteLL/", 0) != 0) continue;
    EXPECT_EQ(testing::ReadBytes(*memory, "mem\\" + name), bytes) << name;  // throws if missing
  }
  std::vector<FormListing> none;  // a database without a form folder lists none, and says so
  EXPECT_FALSE(ListForms(*memory, "nowhere", "", &none));
  EXPECT_EQ(memory->ListFiles("mem\\BerichteLL").size(),
            static_cast<size_t>(std::count_if(on_disk.begin(), on_disk.end(), [](auto& f) {
              return f.first.rfind("BerichteLL/", 0) == 0;
            })));
}

// After a crash the next writer heals only what the crashed run made: files that merely carry
// its names (a user's own backup copy, a draft, a lone backup of a retired form) stay byte for
// byte, and the form the crashed run was rewriting is whole and ends converted.
TEST(CrashTest, HealingTouchesOnlyWhatTheCrashedRunMade) {
  testing::JournalOn journal;  // the journal is part of every run that crashes
  testing::RecordedMessages messages;
  testing::TempDir dir;
  SetDurableWrites(false);
  const std::map<std::string, std::string> own = {
      {"BerichteLL/alt_Rechnung.bel", "meine Kopie\r\n"},
      {"BerichteLL/xx_Kundenliste.lst", "ein Entwurf\r\n"},
      {"BerichteLL/alt_Angebot.bel", "ein altes Angebot\r\n"}};
  auto prepare = [&](int run) {
    std::string db = FreshDatabase(dir, run);
    for (const auto& [name, bytes] : own) testing::WriteBytes(db + "/" + name, bytes);
    return db;
  };
  int calls;
  std::map<std::string, std::string> reference;
  {
    std::string db = prepare(0);
    testing::FaultInjection faults;
    ASSERT_TRUE(clsReportLLUpdate().Korrektur_Wart_Farbe(db));
    calls = faults.fs().total_calls();
    reference = Snapshot(db);
  }
  for (int at : CrashPoints(calls, 1)) {
    SCOPED_TRACE("crash at call " + std::to_string(at) + " of " + std::to_string(calls));
    std::string db = prepare(at);
    {
      testing::FaultInjection faults;
      faults.fs().CrashAt(at);
      clsReportLLUpdate().Korrektur_Wart_Farbe(db);
    }
    ASSERT_TRUE(clsReportLLUpdate().Korrektur_Wart_Farbe(db));
    ASSERT_EQ(Snapshot(db), reference);  // the user's files among them, byte for byte
    fsys::remove_all(db);
  }
  SetDurableWrites(true);
}

// The names of the files that differ between two snapshots (a diff of large forms would not fit).
std::string Differences(const std::map<std::string, std::string>& a,
                        const std::map<std::string, std::string>& b) {
  std::string names;
  for (const auto& [name, bytes] : a) {
    auto it = b.find(name);
    if (it == b.end() || it->second != bytes) names += name + " ";
  }
  for (const auto& [name, bytes] : b) {
    if (a.count(name) == 0) names += "(missing) " + name + " ";
  }
  return names;
}

// The in-place rewrite of forms that have second names, killed at, or failing at, every call it
// makes to the operating system (a child process that ends there, as a killed run ends), then run
// again: the forms end as an uninterrupted run ends them, and each is still one file with its
// second name.
TEST(CrashTest, InPlaceRewritesSurviveAKillAtEveryOsCall) {
  testing::JournalOn journal;  // the journal is part of every run that crashes
  testing::RecordedMessages messages;
  testing::TempDir dir;
  SetDurableWrites(false);
  auto prepare = [&](int run) {
    std::string db = FreshDatabase(dir, run);
    // Without the customer's copy: its name is a form's too, and a temporary file of that form
    // that a failing call leaves while the copy is set aside is kept by the next run (as the
    // only copy of what it holds), which is then not the uninterrupted result.
    fsys::remove(db + "/BerichteLL/alt_Lieferschein.bst");
    // A form larger than one write, so that a kill can fall between two of its pieces.
    std::string big = testing::ReadBytes(db + "/BerichteLL/Rechnung.bel");
    while (big.size() < (1 << 18)) big += "  Text=Zeile\r\n";
    testing::WriteBytes(db + "/BerichteLL/Gross.bel", big + "}\r\n");
    fsys::create_directory(db + "/links");
    for (const auto& entry : fsys::directory_iterator(db + "/BerichteLL")) {
      fsys::create_hard_link(entry.path(), db + "/links/" + entry.path().filename().string());
    }
    return db;
  };
  auto one_file_each = [](const std::string& db) {
    for (const auto& entry : fsys::directory_iterator(db + "/links")) {
      const std::string form = db + "/BerichteLL/" + entry.path().filename().string();
      if (!fsys::exists(form) || !fsys::equivalent(entry.path(), form)) return false;
    }
    return true;
  };
  for (Job job : {Job::kAddress, Job::kTwoSwitchOvers}) {
    int calls = 0;
    std::map<std::string, std::string> original, reference;
    {
      std::string db = prepare(0);
      original = Snapshot(db);
      platform::SetOsFaultHook([&](platform::OsCall, const std::string&) { return ++calls, 0; });
      ASSERT_TRUE(RunJob(db, job));
      platform::SetOsFaultHook(nullptr);
      reference = Snapshot(db);
      ASSERT_TRUE(one_file_each(db));
      fsys::remove_all(db);
    }
    for (int at : CrashPoints(calls, 1)) {
      SCOPED_TRACE("killed at OS call " + std::to_string(at) + " of " + std::to_string(calls));
      std::string db = prepare(at);
      pid_t child = ::fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        int seen = 0;
        platform::SetOsFaultHook([&](platform::OsCall, const std::string&) {
          if (++seen == at) ::_exit(0);
          return 0;
        });
        RunJob(db, job);
        ::_exit(0);
      }
      int status = 0;
      ASSERT_EQ(::waitpid(child, &status, 0), child);
      // recover tells the truth: a form the kill left neither old nor new is named with its
      // complete copy, to be given back (and that copy is never called a partial file).
      if (job == Job::kAddress) {
        const std::string forms = db + "/BerichteLL";
        const platform::LockPeek peek = platform::PeekWriterLock(forms);
        auto fs = NewOsFileSystem();
        std::set<std::string> named;
        for (const auto& l :
             rewrites::FindLeftovers(*fs, forms, fs->ListFiles(forms), peek.own, peek.in_place)) {
          if (l.action == rewrites::Leftover::Action::kRestoreInPlace && l.why.empty()) {
            named.insert("BerichteLL/" + l.form);
          }
        }
        const std::map<std::string, std::string> after_kill = Snapshot(db);
        for (const auto& [name, bytes] : original) {
          auto now = after_kill.find(name);
          if (name.rfind("BerichteLL/", 0) != 0 || !reference.count(name) ||
              now == after_kill.end() || now->second == bytes ||
              now->second == reference.at(name)) {
            continue;
          }
          EXPECT_EQ(named.count(name), 1u)
              << name << " is half-written and recover does not say so";
        }
      }
      ASSERT_TRUE(RunJob(db, job));
      ASSERT_EQ(Differences(Snapshot(db), reference), "");
      ASSERT_TRUE(one_file_each(db));
      fsys::remove_all(db);
    }
    // One failing call (a full disk, a failing device) at every OS call: the run goes on, the
    // form it concerned is old or new and one file with its second name, and a rerun converges.
    for (int at : CrashPoints(calls, 1)) {
      SCOPED_TRACE("failed OS call " + std::to_string(at) + " of " + std::to_string(calls));
      std::string db = prepare(at);
      int seen = 0;
      platform::SetOsFaultHook([&](platform::OsCall, const std::string&) {
        return ++seen == at ? (at % 2 ? ENOSPC : EIO) : 0;
      });
      RunJob(db, job);
      platform::SetOsFaultHook(nullptr);
      ASSERT_TRUE(one_file_each(db));
      ASSERT_TRUE(RunJob(db, job));
      ASSERT_EQ(Differences(Snapshot(db), reference), "");
      ASSERT_TRUE(one_file_each(db));
      fsys::remove_all(db);
    }
  }
  SetDurableWrites(true);
}

}  // namespace
}  // namespace llupdate
