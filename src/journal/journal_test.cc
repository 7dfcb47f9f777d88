// The run journal: every job taken back gives the tree of before, with its metadata and the
// settings; taking the undo back gives the run's result; what changed since stays; pruning takes
// whole runs; a kill anywhere in an undo is continued by the next; records another account could
// have written are refused; the memory and preview file systems keep the same journal.
#include "journal/journal.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>

#include "gtest/gtest.h"
#include "llupdate/preview.h"
#include "llupdate/report_ll_update.h"
#include "test_support.h"

namespace llupdate {
namespace {

namespace fsys = std::filesystem;
using Connection = std::shared_ptr<Object>;

// Every file below db with what a person could tell apart: content, mode, owner, group, extended
// attributes and which names share a file. The lock records, the journal and settings excepted.
std::map<std::string, std::string> Tree(const std::string& db) {
  std::map<std::string, std::string> tree;
  std::map<ino_t, std::string> first_name;
  for (const auto& entry : fsys::recursive_directory_iterator(db)) {
    const std::string path = entry.path().string();
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || name.rfind(".llupdate-lock", 0) == 0 ||
        path.find(journal::kFolderName) != std::string::npos ||
        entry.path().extension() == ".sqlite") {
      continue;
    }
    struct stat st;
    ::lstat(path.c_str(), &st);
    char xattrs[4096] = "";
    const ssize_t n = ::llistxattr(path.c_str(), xattrs, sizeof xattrs);
    std::string rel = fsys::relative(entry.path(), db).string();
    auto [it, fresh] = first_name.emplace(st.st_ino, rel);
    tree[rel] = std::to_string(st.st_mode & 07777) + " " + std::to_string(st.st_uid) + ":" +
                std::to_string(st.st_gid) + " [" + std::string(xattrs, n > 0 ? n : 0) + "] " +
                (fresh ? "" : "same file as " + it->second + " ") + testing::ReadBytes(path);
  }
  return tree;
}

std::string Step(const std::string& db) {
  auto settings = CreateObject(kSettingsProgId);
  auto store = std::dynamic_pointer_cast<VMSettings>(settings);
  Connection connection = std::make_shared<SettingsConnection>(db + "/s.sqlite");
  store->Init(0, connection, "Standard");
  std::string value;
  store->GetSetting("CheckReportLL", "LetzterWert", value, "Standard", "Standard", "0");
  return value;
}

void SetStep(const std::string& db, const std::string& step) {
  auto store = std::dynamic_pointer_cast<VMSettings>(CreateObject(kSettingsProgId));
  Connection connection = std::make_shared<SettingsConnection>(db + "/s.sqlite");
  store->Init(0, connection, "Standard");
  store->SaveSetting("CheckReportLL", "LetzterWert", step, "Standard");
}

struct JobCase {
  const char* name;
  std::function<bool(clsReportLLUpdate&, const std::string&, Connection&)> run;
};

const std::vector<JobCase>& Jobs() {
  static const std::vector<JobCase> jobs = {
      {"address", [](auto& c, auto& db, auto&) { return c.Umstellung_Auf_Neue_Anschrift(db); }},
      {"war colours", [](auto& c, auto& db, auto&) { return c.Korrektur_Wart_Farbe(db); }},
      {"ll12", [](auto& c, auto& db, auto&) { return c.Umstellung_auf_LL12(db); }},
      {"ll24", [](auto& c, auto& db, auto&) { return c.Umstellung_auf_LL24(db); }},
      {"dunning", [](auto& c, auto& db, auto&) { return c.Umstellung_Mahnformular(db, "MAH"); }},
      {"page numbers",
       [](auto& c, auto& db, auto&) { return c.Umstellung_Auf_Seite_Von_Bis(db, "bel"); }},
      {"distribution",
       [](auto& c, auto& db, auto&) {
         return c.Kopiere_Neue_Formulare_LL(db, db + "/EXEDIR", "demo");
       }},
      {"driver", [](auto& c, auto& db, auto& s) { return c.Pruefe_Konvertiere_Formulare(db, s); }},
  };
  return jobs;
}

class JournalTest : public ::testing::Test {
 protected:
  ~JournalTest() override { SetDurableWrites(true); }  // the tests that turn it off
  // The demo database with what customers have: a read-only form, a form with a second name
  // outside the form folder, a link to a form that the jobs reach first, extended attributes,
  // and their own copy named like a backup.
  std::string Database(const std::string& name) {
    const std::string db = dir_ / name;
    fsys::copy(LLUPDATE_DEMO_DB, db, fsys::copy_options::recursive);
    const std::string forms = db + "/BerichteLL/";
    ::chmod((forms + "Rechnung.bel").c_str(), 0444);
    fsys::create_hard_link(forms + "Wartung.war", db + "/Wartung-zweitname.war");
    fsys::create_symlink("Mahnung.MAH", forms + "Anmahnung.mah");
    ::setxattr((forms + "Mahnung.MAH").c_str(), "user.kunde", "ja", 2, 0);
    testing::WriteBytes(forms + "alt_Lieferschein.bst", "meine eigene Kopie\r\n");
    return db;
  }
  bool Undo(const std::string& db) {
    clsReportLLUpdate c;
    return c.UndoLastRun(db, std::make_shared<SettingsConnection>(db + "/s.sqlite"));
  }

  testing::JournalOn journal_;
  testing::RecordedMessages messages_;
  testing::TempDir dir_;
};

TEST_F(JournalTest, EveryJobTakenBackGivesTheTreeOfBeforeAndTheUndoTakenBackItsResult) {
  SetDurableWrites(false);
  testing::FaultInjection faults;  // which notes every name changed and not flushed
  for (const JobCase& job : Jobs()) {
    SCOPED_TRACE(job.name);
    const std::string db = Database(job.name);
    const auto before = Tree(db);
    const std::string step = Step(db);
    {
      clsReportLLUpdate c;
      Connection settings = std::make_shared<SettingsConnection>(db + "/s.sqlite");
      ASSERT_TRUE(job.run(c, db, settings));
    }
    const auto after = Tree(db);
    const std::string step_after = Step(db);
    ASSERT_NE(after, before);
    ASSERT_TRUE(Undo(db));
    EXPECT_EQ(Tree(db), before);
    EXPECT_EQ(Step(db), step);
    EXPECT_EQ(faults.fs().unflushed_names(), (std::map<std::string, std::string>{}));
    ASSERT_TRUE(Undo(db));
    EXPECT_EQ(Tree(db), after);
    EXPECT_EQ(Step(db), step_after);
  }
  for (const auto& m : messages_.records()) EXPECT_FALSE(m.flag) << m.text;
}

// What changed since the run, or what the undo cannot reach, stays as it is and is named with
// the reason; everything else is taken back.
TEST_F(JournalTest, WhatChangedSinceTheRunStaysAndIsNamed) {
  auto write = [](const std::string& file) {
    return [file](const std::string& db) { testing::WriteBytes(db + file, "meine Änderung\r\n"); };
  };
  auto lose_kept = [](const std::string& db) {  // the old contents the journal kept, lost
    const fsys::path journal = db + "/BerichteLL/" + journal::kFolderName;
    for (const auto& e : fsys::recursive_directory_iterator(journal)) {
      if (e.is_regular_file() && e.path().parent_path() != journal) fsys::remove(e.path());
    }
  };
  struct Case {
    std::string job;
    std::function<void(const std::string&)> since;
    const char *settings, *message;  // the settings file of the undo, what it says
  };
  const std::vector<Case> cases = {
      {"address", write("/BerichteLL/Rechnung.bel"), "/s.sqlite",
       "Rechnung.bel bleibt, wie es ist: es wurde nach dem Lauf geändert."},
      {"address", lose_kept, "/s.sqlite",
       "Rechnung.bel bleibt, wie es ist: seine alte Fassung fehlt im Journal."},
      {"distribution", write("/BerichteLL/Angebot.bel"), "/s.sqlite",
       "Angebot.bel bleibt, wie es ist: es wurde nach dem Lauf geändert."},
      {"distribution", write("/BerichteLLOrg/NeueBerichte.txt"), "/s.sqlite",
       "NeueBerichte.txt bleibt, wie es ist: eine andere Datei hat jetzt diesen Namen."},
      {"distribution", lose_kept, "/s.sqlite",
       "NeueBerichte.txt bleibt, wie es ist: es fehlt im Journal."},
      {"driver", [](const std::string& db) { SetStep(db, "9"); }, "/s.sqlite",
       "LetzterWert bleibt, wie es ist: steht jetzt auf \"9\"."},
      {"driver", nullptr, "", "LetzterWert bleibt, wie es ist: keine Einstellungen angegeben."},
      {"driver", nullptr, "/other.sqlite",
       "LetzterWert bleibt, wie es ist: steht in einer anderen Einstellungsdatei ("},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& k = cases[i];
    SCOPED_TRACE(k.message);
    const std::string db = Database("db" + std::to_string(i));
    const auto before = Tree(db);
    clsReportLLUpdate c;
    Connection settings = std::make_shared<SettingsConnection>(db + "/s.sqlite");
    auto job = std::find_if(Jobs().begin(), Jobs().end(), [&](auto& j) { return j.name == k.job; });
    ASSERT_TRUE(job->run(c, db, settings));
    if (k.since) k.since(db);
    const std::vector<std::string> of_the_run = messages_.texts();
    messages_.records().clear();
    EXPECT_TRUE(c.UndoLastRun(
        db, *k.settings == '\0' ? nullptr : std::make_shared<SettingsConnection>(db + k.settings)));
    EXPECT_GE(c.LastCallSummary().errors_shown, 1);
    const auto& shown = messages_.records();
    EXPECT_TRUE(std::any_of(shown.begin(), shown.end(), [&](const auto& r) {
      return r.level == 3 && r.text.find(k.message) != std::string::npos;
    })) << ::testing::PrintToString(messages_.texts());
    if (i == 0) {
      // The customer's copy named like a backup was in the way of a rewrite: kept, and said so.
      EXPECT_EQ(
          of_the_run,
          std::vector<std::string>{
              "alt_Lieferschein.bst was not made by llupdate; kept, `llupdate undo` restores it"});
      EXPECT_EQ(c.LastCallSummary().errors_shown, 1);
      // Everything else is as before the run, the customer's copy named like a backup among it.
      auto now = Tree(db);
      EXPECT_EQ(testing::ReadBytes(db + "/BerichteLL/Rechnung.bel"), "meine Änderung\r\n");
      now.erase("BerichteLL/Rechnung.bel");
      auto expected = before;
      expected.erase("BerichteLL/Rechnung.bel");
      EXPECT_EQ(now, expected);
    }
  }
}

// A file named like the program's own that the journal cannot take (its move fails) is not
// removed: it stays as it was, and so does the form it stands in the way of, and the user learns
// which file it is. With the address job, on a file system without second names, with the layout,
// when its attributes cannot be read, and when the journal's record cannot be written on (a
// notice, not an error: the run goes on without keeping).
TEST_F(JournalTest, AFileTheJournalCannotTakeStaysAndSoDoesItsForm) {
  using testing::FsOp;
  const std::vector<std::tuple<std::string, std::string, FsOp>> cases = {
      {"alt_Lieferschein.bst", "", FsOp::kMove},
      {"alt_Lieferschein.bst", "classic", FsOp::kMove},
      {"xx_Lieferschein.bst", "", FsOp::kMove},
      {"xx_Mahnung.MAH", "ll15", FsOp::kMove},
      {"alt_Lieferschein.bst", "attributes", FsOp::kGetAttributes},
      {"alt_Lieferschein.bst", "record", FsOp::kWrite}};
  for (const auto& [planted, how, op] : cases) {
    SCOPED_TRACE(planted + " " + how);
    const std::string db = Database("db" + how + planted.substr(0, 2)), forms = db + "/BerichteLL/";
    const std::string form = forms + planted.substr(planted.find('_') + 1);
    testing::WriteBytes(forms + planted, "meine eigene Kopie\r\n");
    const std::string old_form = testing::ReadBytes(form);
    auto names = [&] { return testing::Names(*NewOsFileSystem(), forms); };
    const auto before = names();
    testing::FaultInjection faults;
    faults.fs().SetClassicOnly(how == "classic");
    faults.fs().FailOn(op, op == FsOp::kWrite ? 2 : 1, 70, op == FsOp::kWrite ? ".run" : planted);
    clsReportLLUpdate c;
    how == "ll15" ? c.Suche_ErsetzeProjektdatei_LL15("Mahnung.MAH", db)
                  : c.Umstellung_Auf_Neue_Anschrift(db);
    EXPECT_EQ(testing::ReadBytes(forms + planted), "meine eigene Kopie\r\n");
    EXPECT_EQ(testing::ReadBytes(form), old_form);
    EXPECT_EQ(names(), before);  // nothing left behind, nothing gone
    EXPECT_EQ(c.LastCallSummary().errors_shown, 1);
    const auto& shown = messages_.records();
    const std::string why = planted + " (nicht von llupdate";
    EXPECT_TRUE(std::any_of(shown.begin(), shown.end(), [&](const MessageRecord& r) {
      return r.description.find(why) != std::string::npos;
    }));
    messages_.records().clear();
  }
}

TEST_F(JournalTest, KeepsTheNewestRunsWholeAndTakesBackNothingTwice) {
  testing::JournalOn keep_two(2);
  const std::string db = Database("db");
  const std::string rechnung = db + "/BerichteLL/Rechnung.bel";
  for (int run = 0; run < 3; ++run) {
    clsReportLLUpdate c;
    ::chmod(rechnung.c_str(), 0644);
    testing::WriteBytes(rechnung, "Spacing.Paragraph=8\r\nLauf " + std::to_string(run) + "\r\n");
    ASSERT_TRUE(c.Umstellung_Auf_Neue_Anschrift(db));
  }
  clsReportLLUpdate c;
  std::vector<JournalRun> runs = c.History(db);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].ended, "ok");
  EXPECT_GT(runs[0].kept_bytes, 0);
  // Nothing of the pruned run stays: two records, two folders.
  EXPECT_EQ(std::distance(fsys::directory_iterator(db + "/BerichteLL/" + journal::kFolderName), {}),
            4);
  // Two undos take back the two kept runs; the third has nothing left to take back.
  ASSERT_TRUE(Undo(db));
  EXPECT_EQ(testing::ReadBytes(rechnung), "Spacing.Paragraph=8\r\nLauf 2\r\n");
  ASSERT_TRUE(c.UndoLastRun(db));  // takes the undo back
  runs = c.History(db);
  ASSERT_EQ(runs.size(), 3u);  // the undo's run keeps one more while it begins
  EXPECT_TRUE(runs[1].taken_back);
  EXPECT_FALSE(runs[2].taken_back);
  EXPECT_EQ(runs[1].undo_of, runs[2].id);
}

// A kill at every call of an undo, then an undo again (unless its record says it ended): the forms
// are as an uninterrupted undo leaves them, and taking that undo back gives the run's result.
TEST_F(JournalTest, AKilledUndoIsContinuedByTheNext) {
  SetDurableWrites(false);
  for (int n = 1;; ++n) {
    SCOPED_TRACE(n);
    const std::string db = Database("db" + std::to_string(n));
    const auto original = Tree(db);
    {
      clsReportLLUpdate c;
      ASSERT_TRUE(c.Umstellung_Auf_Neue_Anschrift(db));  // in place, renamed, a foreign alt_
    }
    const auto result = Tree(db);
    bool crashed, undone;
    {
      testing::FaultInjection faults;
      faults.fs().CrashAt(n);
      undone = Undo(db);
      crashed = faults.fs().crashed();
    }
    EXPECT_TRUE(!undone || Tree(db) == original);  // an undo that says so gave everything back
    // Killed after its record said it ended, the undo is complete: the next would take it back.
    clsReportLLUpdate c;
    const JournalRun newest = c.History(db).at(0);
    if (crashed && (newest.undo_of.empty() || newest.ended == "interrupted")) {
      messages_.records().clear();
      ASSERT_TRUE(Undo(db)) << ::testing::PrintToString(messages_.texts());  // continues
      for (const JournalRun& r : c.History(db))  // the killed undo went into the new one
        EXPECT_TRUE(r.undo_of.empty() || r.ended != "interrupted") << r.id;
    }
    ASSERT_EQ(Tree(db), original);
    if (!crashed) {
      EXPECT_GT(n, 50);  // every call of the undo was a point of the walk
      break;
    }
    ASSERT_TRUE(Undo(db));
    ASSERT_EQ(Tree(db), result);
    fsys::remove_all(db);
  }
}

TEST_F(JournalTest, RecordsAnotherAccountCouldHaveWrittenAreRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a record to another account";
  struct Forgery {
    const char* what;
    std::function<void(const std::string& record, const std::string& folder)> forge;
    const char* why = "";  // what the refusal says
  };
  const std::vector<Forgery> forgeries = {
      {"another owner", [](auto& r, auto&) { ASSERT_EQ(::chown(r.c_str(), 65534, 65534), 0); }},
      {"writable by the group", [](auto& r, auto&) { ::chmod(r.c_str(), 0664); }},
      {"a folder others may change", [](auto&, auto& f) { ::chmod(f.c_str(), 0777); }},
      {"a name out of the folder",
       [](auto& r, auto&) {
         std::string text = testing::ReadBytes(r);
         const size_t at = text.find("replaced\tforms\t");
         text.insert(at + 15, "../../");
         testing::WriteBytes(r, text);
       }},
      {"a later version",
       [](auto& r, auto&) {
         std::string text = testing::ReadBytes(r);
         testing::WriteBytes(r, text.replace(text.find("\t1\n"), 3, "\t7\n"));
       },
       "Format 7"},
  };
  for (const Forgery& f : forgeries) {
    SCOPED_TRACE(f.what);
    const std::string db = Database(f.what);
    clsReportLLUpdate c;
    ASSERT_TRUE(c.Umstellung_Auf_Neue_Anschrift(db));
    const auto after = Tree(db);
    const JournalRun run = c.History(db).at(0);
    const std::string journal = db + "/BerichteLL/" + journal::kFolderName + "/" + run.id;
    f.forge(journal + journal::kRecordSuffix, journal);
    EXPECT_NE(c.History(db).at(0).refused, "");
    EXPECT_NE(c.History(db).at(0).refused.find(f.why), std::string::npos);
    messages_.records().clear();
    EXPECT_FALSE(c.UndoLastRun(db));
    EXPECT_EQ(Tree(db), after);
    EXPECT_NE(messages_.only_text().find("wird nicht beachtet"), std::string::npos);
  }
}

// The journal keeps only files of the database's two folders: a path elsewhere (another
// database's form folder, the folder above) is left to the caller, untouched.
TEST_F(JournalTest, KeepsNothingFromOutsideTheDatabasesFolders) {
  std::shared_ptr<FileSystem> memory = NewMemoryFileSystem();
  for (const char* folder :
       {"db", "db\\BerichteLL", "db\\BerichteLLOrg", "other", "other\\BerichteLL"}) {
    memory->CreateFolder(folder);
  }
  for (const char* file : {"db\\x.bel", "other\\BerichteLL\\x.bel", "db\\BerichteLL\\x.bel"}) {
    memory->Open(file, OpenMode::kCreateNew)->Write("x", 1);
  }
  auto run = journal::Run::Begin(*memory, nullptr, {"db\\BerichteLL", "db\\BerichteLLOrg"}, "t", 5);
  ASSERT_NE(run, nullptr);
  EXPECT_FALSE(run->KeepRemoved("db\\x.bel"));
  EXPECT_FALSE(run->KeepRemoved("other\\BerichteLL\\x.bel"));
  EXPECT_TRUE(memory->FileExists("db\\x.bel") && memory->FileExists("other\\BerichteLL\\x.bel"));
  EXPECT_TRUE(run->KeepRemoved("db\\BerichteLL\\x.bel"));
  EXPECT_FALSE(memory->FileExists("db\\BerichteLL\\x.bel"));
}

// The same script on the memory file system and on a preview of the disk.
TEST_F(JournalTest, MemoryAndPreviewKeepTheSameJournal) {
  std::map<std::string, std::string> original;
  std::shared_ptr<FileSystem> memory = testing::DemoInMemory(&original);
  {
    ScopedObjectRegistration registration(kFileSystemProgId, [&] { return memory; });
    clsReportLLUpdate c;
    ASSERT_TRUE(c.Umstellung_Auf_Neue_Anschrift("mem"));
    EXPECT_NE(testing::ReadBytes(*memory, "mem\\BerichteLL\\Rechnung.bel"),
              original["BerichteLL/Rechnung.bel"]);
    ASSERT_TRUE(c.UndoLastRun("mem"));
    for (const auto& [rel, bytes] : original)
      EXPECT_EQ(testing::ReadBytes(*memory, "mem\\" + rel), bytes) << rel;
    EXPECT_EQ(c.History("mem").size(), 2u);
  }
  // A preview of an undo shows the forms of before and changes nothing on the disk.
  const std::string db = Database("db");
  const auto before = testing::ReadBytes(db + "/BerichteLL/Rechnung.bel");
  {
    clsReportLLUpdate c;
    ASSERT_TRUE(c.Umstellung_Auf_Neue_Anschrift(db));
  }
  const auto after = Tree(db);
  auto preview = NewPreviewFileSystem(NewOsFileSystem(), {db});
  {
    ScopedObjectRegistration registration(kFileSystemProgId, [&] { return preview; });
    clsReportLLUpdate c;
    ASSERT_TRUE(c.UndoLastRun(db));
  }
  EXPECT_EQ(preview->BytesAfter(db + "\\BerichteLL\\Rechnung.bel"), before);
  EXPECT_EQ(Tree(db), after);
}

}  // namespace
}  // namespace llupdate
