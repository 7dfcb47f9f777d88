#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <tuple>

#include "host/objects.h"
#include "llupdate/call.h"
#include "llupdate/message_sinks.h"
#include "llupdate/operations.h"
#include "llupdate/report_ll_update.h"
#include "test_support.h"

namespace llupdate {
namespace {

using testing::FsOp;

std::string Form(const std::string& version, const std::string& beleg,
                 const std::string& body = "") {
  return "[UserSection]\r\nVersion=" + version + "\r\nReferenzbeleg=" + beleg + "\r\n" + body;
}

TEST(PrintCatalogueTest, CreatesOnlyWhatIsMissing) {
  testing::RecordedMessages messages;
  testing::TempDir exe;
  clsReportLLUpdate c;
  EXPECT_TRUE(c.Pruefe_Druckkataloge(exe.path(), " meier "));
  EXPECT_TRUE(testing::Exists(exe / "BERICHTELLMEIER/Preview"));
  EXPECT_TRUE(c.Pruefe_Druckkataloge(exe.path(), "müller"));
  EXPECT_TRUE(testing::Exists(exe / "BERICHTELLMÜLLER/Preview"));
  ::mkdir((exe / "BERICHTELL").c_str(), 0755);
  EXPECT_TRUE(c.Pruefe_Druckkataloge(exe.path(), ""));
  EXPECT_TRUE(testing::Exists(exe / "BERICHTELL/Preview"));
  EXPECT_TRUE(messages.records().empty());
  EXPECT_FALSE(c.Pruefe_Druckkataloge(exe / "missing", "meier"));
  EXPECT_EQ(messages.only_text(), "Allgemeiner Fehler in Pruefe_Druckkataloge");
}

class DistributionTest : public testing::ComponentFixture {
 protected:
  DistributionTest() {
    for (const char* d : {"BerichteLLOrg", "exe"}) ::mkdir((db_ / d).c_str(), 0755);
  }
  void Installed(const std::string& name, const std::string& text) {
    testing::WriteBytes(db_ / ("BerichteLL/" + name), text);
  }
  void Delivered(const std::string& name, const std::string& text) {
    testing::WriteBytes(db_ / ("BerichteLLOrg/" + name), text);
  }
  std::string Installed(const std::string& name) {
    return testing::ReadBytes(db_ / ("BerichteLL/" + name));
  }
  bool Distribute() { return c_.Kopiere_Neue_Formulare_LL(db_.path(), db_ / "exe", "demo"); }
  const testing::FormFolder& db_ = dir_;  // the database
};

TEST_F(DistributionTest, CopiesMissingFormsAndNewerListForms) {
  Delivered("Neu.bel", Form("1", "N"));
  EXPECT_TRUE(Distribute());  // no marker: nothing delivered
  EXPECT_FALSE(testing::Exists(db_ / "BerichteLL/Neu.bel"));
  EXPECT_TRUE(testing::Exists(db_ / "exe/BERICHTELLDEMO/Preview"));

  Delivered("NeueBerichte.txt", "");
  Installed("Older.lst", Form("4", "R"));
  testing::MakeReadOnly(db_ / "BerichteLL/Older.lst");
  Installed("Same.lst", Form("5", "R"));
  Installed("Newer.lst", Form("6", "R"));
  Installed("rechnung.lst", Form("4", "R", "installed"));
  Installed("Own.bel", Form("1", "B", "own"));
  Installed("NoBeleg.bel", Form("1", "", "installed"));
  for (const char* name : {"Older.lst", "Same.lst", "Newer.lst"})
    Delivered(name, Form("5", "R", "new"));
  Delivered("Rechnung.lst", Form("4", "R", "new"));
  Delivered("Own.bel", Form("9", "B", "new"));
  Delivered("NoBeleg.bel", Form("1", "B", "new"));
  Delivered("~Temp.bel", Form("1", "B", "new"));
  Delivered("NoVersion.bel", Form("", "B", "new"));
  EXPECT_TRUE(Distribute());
  EXPECT_EQ(Installed("Neu.bel"), Form("1", "N"));
  EXPECT_EQ(Installed("Older.lst"), Form("5", "R", "new"));
  EXPECT_EQ(Installed("Same.lst"), Form("5", "R"));
  EXPECT_EQ(Installed("Newer.lst"), Form("6", "R"));
  EXPECT_EQ(Installed("rechnung.lst"), Form("4", "R", "installed"));  // the same form
  EXPECT_EQ(Installed("Own.bel"), Form("1", "B", "own"));
  EXPECT_EQ(Installed("NoBeleg.bel"), Form("1", "B", "new"));
  EXPECT_FALSE(testing::Exists(db_ / "BerichteLL/~Temp.bel"));
  EXPECT_FALSE(testing::Exists(db_ / "BerichteLL/NoVersion.bel"));
  EXPECT_FALSE(testing::Exists(db_ / "BerichteLLOrg/NeueBerichte.txt"));
  EXPECT_TRUE(messages_.records().empty());
}

TEST_F(DistributionTest, FailuresKeepTheMarkerAndNameTheStep) {
  Delivered("NeueBerichte.txt", "");
  Delivered("A.bel", Form("1", "A"));
  Delivered("B.bel", Form("1", "B"));
  faults_.fs().FailOn(FsOp::kCopy, 1, 70, "B.bel");
  EXPECT_FALSE(Distribute());
  EXPECT_TRUE(testing::Exists(db_ / "BerichteLL/A.bel"));
  EXPECT_TRUE(testing::Exists(db_ / "BerichteLLOrg/NeueBerichte.txt"));

  Installed("X.lst", Form("4", "R"));
  Delivered("X.lst", Form("vier", "R"));
  EXPECT_FALSE(Distribute());  // B.bel is copied first, then the version is not a number
  EXPECT_TRUE(testing::Exists(db_ / "BerichteLL/B.bel"));
  faults_.fs().FailOn(FsOp::kDelete, 1, 70, "NeueBerichte.txt");
  Delivered("X.lst", Form("5", "R"));
  EXPECT_FALSE(Distribute());
  EXPECT_EQ(messages_.texts(),
            (std::vector<std::string>{"Allgemeiner Fehler in Kopiere_Neue_Formulare_LL /5",
                                      "Allgemeiner Fehler in Kopiere_Neue_Formulare_LL /5",
                                      "Allgemeiner Fehler in Kopiere_Neue_Formulare_LL /7"}));

  // The copies are on the disk before the delivery is forgotten: when the form folder cannot be
  // put there, the marker stays. A delivered form that cannot be read distributes nothing: the
  // delivery waits. The delivery folder is put on the disk without its marker too, so that a
  // power cut does not bring the delivery back: a failing flush of it is said.
  const std::string unflushed = "Die Änderungen konnten nicht auf den Datenträger";
  const std::tuple<const char*, FsOp, int32_t, const char*, bool, std::string> failures[] = {
      {"C.bel", FsOp::kSyncFolder, 61, "BerichteLL", true, unflushed},
      {"D.bel", FsOp::kOpen, 70, "D.bel", false, "Nicht alle Formulare in "},
      {"", FsOp::kSyncFolder, 61, "BerichteLLOrg", true, unflushed},
  };
  for (const auto& [form, op, error, path, copied, says] : failures) {
    messages_.records().clear();
    if (*form != '\0') Delivered(form, Form("1", form));
    faults_.fs().FailOn(op, 1, error, path);
    EXPECT_FALSE(Distribute());
    EXPECT_EQ(testing::Exists(db_ / "BerichteLL/" + (*form != '\0' ? form : "D.bel")), copied);
    EXPECT_TRUE(*form == '\0' || testing::Exists(db_ / "BerichteLLOrg/NeueBerichte.txt"));
    EXPECT_EQ(messages_.only_text().rfind(says, 0), 0u) << messages_.only_text();
    EXPECT_TRUE(testing::ShownAsError(messages_.records().at(0)));
  }
}

// Records the events of a job, and cancels a token when a form of the given operation is
// finished (as Ctrl-C does).
class Events : public ProgressObserver {
 public:
  void TypeStarted(const std::string& operation, const std::string&, int total) override {
    lines.push_back("type " + operation + " " + std::to_string(total));
  }
  void FormStarted(const std::string&, const std::string&, const std::string& name,
                   const std::string&) override {
    lines.push_back("start " + name);
  }
  void FormFinished(const std::string& operation, const std::string&, const std::string& name,
                    bool ok) override {
    lines.push_back("finish " + name + (ok ? "" : " failed"));
    if (token && operation == cancel_in && (cancel_at.empty() || name == cancel_at)) {
      token->Cancel();
    }
  }
  void FormWritten(const std::string& path) override { lines.push_back("written " + path); }
  std::vector<std::string> lines;
  std::shared_ptr<CancellationToken> token;
  std::string cancel_in;
  std::string cancel_at;  // the form after which, or any
};

// The distribution tells its progress form by form, fails when the form directories cannot be
// checked, and a stop asked for after a form leaves the rest and the marker for the next run.
TEST_F(DistributionTest, ProgressAFailingCheckAndAStop) {
  Delivered("NeueBerichte.txt", "");
  Delivered("A.bel", Form("1", "A"));
  Delivered("B.bel", Form("1", "B"));
  Events events;
  CallOptions options;
  options.progress = &events;
  c_.SetCallOptions(options);

  faults_.fs().FailOn(FsOp::kExists, 1, 75, "BerichteLLOrg");
  EXPECT_FALSE(Distribute());
  EXPECT_FALSE(testing::Exists(db_ / "BerichteLL/A.bel"));
  EXPECT_EQ(messages_.texts(), std::vector<std::string>{"Allgemeiner Fehler in Pruefe_Kataloge"});
  EXPECT_TRUE(events.lines.empty());

  messages_.records().clear();
  options.cancellation = events.token = std::make_shared<CancellationToken>();
  events.cancel_in = "Kopiere_Neue_Formulare_LL";
  c_.SetCallOptions(options);
  EXPECT_FALSE(Distribute());
  EXPECT_EQ(events.lines,
            (std::vector<std::string>{"type Kopiere_Neue_Formulare_LL 2", "start A.bel",
                                      "written " + (db_ / "BerichteLL/A.bel"), "finish A.bel"}));
  EXPECT_EQ(c_.LastCallSummary().copied, 1);  // told as on the disk, counted as a copy
  EXPECT_TRUE(testing::Exists(db_ / "BerichteLL/A.bel"));
  EXPECT_FALSE(testing::Exists(db_ / "BerichteLL/B.bel"));
  EXPECT_TRUE(testing::Exists(db_ / "BerichteLLOrg/NeueBerichte.txt"));
  EXPECT_EQ(messages_.only_text(),
            "Kopiere_Neue_Formulare_LL wurde auf Wunsch angehalten: das Formular in Arbeit ist "
            "fertig, kein weiteres wurde begonnen.");
  EXPECT_TRUE(messages_.records().at(0).level == 3 && !messages_.records()[0].flag);
  EXPECT_EQ(c_.LastCallSummary().cancelled, true);

  events.lines.clear();
  options.cancellation = nullptr;
  c_.SetCallOptions(options);
  EXPECT_TRUE(Distribute());  // the next run distributes the rest
  EXPECT_TRUE(testing::Exists(db_ / "BerichteLL/B.bel"));
  EXPECT_FALSE(testing::Exists(db_ / "BerichteLLOrg/NeueBerichte.txt"));
}

// A settings store in memory that keeps every value saved.
class MemorySettings : public VMSettings {
 public:
  void Init(int16_t, std::shared_ptr<Object>&, const std::string&) override {}
  void GetSetting(const std::string& section, const std::string& key, std::string& value,
                  const std::string&, const std::string&, const std::string& fallback) override {
    auto it = values.find(section + "/" + key);
    value = it == values.end() ? fallback : it->second;
  }
  void SaveSetting(const std::string& section, const std::string& key, const std::string& value,
                   const std::string&) override {
    if (fail_saves) throw platform::Error(platform::kPermissionDenied, "settings");
    values[section + "/" + key] = value;
    saved.push_back(value);
  }
  std::map<std::string, std::string> values;
  std::vector<std::string> saved;
  bool fail_saves = false;
};

class DriverTest : public ::testing::Test {
 protected:
  DriverTest() {
    for (const char* d : {"BerichteLL", "BerichteLLOrg"}) ::mkdir((db_ / d).c_str(), 0755);
  }
  bool Drive(const std::string& recorded = "") {
    if (!recorded.empty()) settings_->values["CheckReportLL/LetzterWert"] = recorded;
    settings_->saved.clear();
    messages_.records().clear();
    return c_.Pruefe_Konvertiere_Formulare(db_.path(), connection_);
  }
  std::vector<std::string> Notices() {
    std::vector<std::string> notices;
    for (const auto& r : messages_.records()) {
      if (!r.flag) notices.push_back(std::to_string(r.level) + ":" + r.text);
    }
    return notices;
  }

  testing::RecordedMessages messages_;
  testing::FaultInjection faults_;
  testing::TempDir db_;
  std::shared_ptr<MemorySettings> settings_ = std::make_shared<MemorySettings>();
  ScopedObjectRegistration registration_{"VMBSetting.VMSettings", [s = settings_] { return s; }};
  std::shared_ptr<Object> connection_;
  clsReportLLUpdate c_;
};

const std::string kNotice =
    "4:Die Datenbankversion entspricht einer Version vor Stand 6.7. \r\n"
    "Die Umstellung der Formulare \"auf_LL12\" muss evtl. manuell erfolgen.";

TEST_F(DriverTest, RunsWhatIsPendingAndRecordsEachStep) {
  EXPECT_TRUE(Drive());
  EXPECT_EQ(settings_->saved, (std::vector<std::string>{"1", "2", "3", "4", "5", "6"}));
  EXPECT_EQ(Notices(), std::vector<std::string>{kNotice});
  EXPECT_TRUE(Drive());
  EXPECT_TRUE(settings_->saved.empty());
  EXPECT_TRUE(messages_.records().empty());
  EXPECT_TRUE(Drive("3"));
  EXPECT_EQ(settings_->saved, (std::vector<std::string>{"4", "5", "6"}));
  EXPECT_TRUE(Notices().empty());
  EXPECT_TRUE(Drive("9"));
  EXPECT_TRUE(settings_->saved.empty());
  EXPECT_TRUE(Drive("1"));  // begins at the notice, which counts as done
  EXPECT_EQ(settings_->saved, (std::vector<std::string>{"2", "3", "4", "5", "6"}));
  EXPECT_TRUE(Drive("-1"));
  EXPECT_EQ(settings_->saved, (std::vector<std::string>{"1", "2", "3", "4", "5", "6"}));
}

// An instance's own settings store and message component take the place of the registered ones
// for its calls, also for a call that writes nothing.
TEST_F(DriverTest, AnInstanceUsesItsOwnStoreAndMessages) {
  auto own_settings = std::make_shared<MemorySettings>();
  auto own_messages = std::make_shared<llupdate::RecordingMessages>();
  CallOptions options;
  options.settings = own_settings;
  options.messages = own_messages;
  c_.SetCallOptions(options);
  EXPECT_TRUE(Drive());
  EXPECT_EQ(own_settings->saved, (std::vector<std::string>{"1", "2", "3", "4", "5", "6"}));
  EXPECT_TRUE(settings_->saved.empty());
  EXPECT_TRUE(messages_.records().empty());
  EXPECT_EQ(own_messages->records.size() == 1 ? "4:" + own_messages->records[0].text : "", kNotice);
  faults_.fs().FailOn(FsOp::kSetAttributes, 1, 70);
  testing::WriteBytes(db_ / "BerichteLL/a.lst", "x");
  EXPECT_FALSE(c_.SchreibschutzEntfernen(db_ / "BerichteLL/a.lst"));
  EXPECT_EQ(own_messages->records.size(), 2u);
  EXPECT_TRUE(messages_.records().empty());
}

// A stop asked for during the LL24 switch-over (step 6) records step 5 only; one asked for at
// the end of step 3 records step 3 and runs nothing after it.
TEST_F(DriverTest, AStopRecordsOnlyTheStepsDone) {
  for (const char* name : {"a.bel", "b.bel"}) {
    testing::WriteBytes(db_ / ("BerichteLL/" + std::string(name)),
                        "[Description]\r\nFileVersion=24\r\n" + Form("1", "R", "x\r\n"));
  }
  testing::WriteBytes(db_ / "BerichteLL/w.war", Form("1", "W", "x\r\n"));
  for (const char* operation : {"Umstellung_auf_LL24", "Korrektur_Wart_Farbe"}) {
    SCOPED_TRACE(operation);
    Events events;
    CallOptions options;
    options.progress = &events;
    options.cancellation = events.token = std::make_shared<CancellationToken>();
    events.cancel_in = operation;
    c_.SetCallOptions(options);
    EXPECT_FALSE(Drive("0"));
    const std::vector<std::string> expected =
        std::string(operation) == "Korrektur_Wart_Farbe"
            ? std::vector<std::string>{"1", "2", "3"}
            : std::vector<std::string>{"1", "2", "3", "4", "5"};
    EXPECT_EQ(settings_->saved, expected);
    int stops = 0;
    for (const auto& r : messages_.records()) {
      stops += r.text.find("wurde auf Wunsch angehalten") != std::string::npos;
    }
    EXPECT_EQ(stops, 1);
  }
  // A stop asked for after the very last form finds nothing left to stop: every step is done.
  messages_.records().clear();
  Events events;
  CallOptions options;
  options.progress = &events;
  options.cancellation = events.token = std::make_shared<CancellationToken>();
  events.cancel_in = "Umstellung_auf_LL24";
  events.cancel_at = "w.war";
  c_.SetCallOptions(options);
  EXPECT_TRUE(Drive("5"));
  EXPECT_EQ(settings_->saved, std::vector<std::string>{"6"});
  EXPECT_TRUE(messages_.records().empty());
  c_.SetCallOptions({});
}

TEST_F(DriverTest, StopsAtTheFirstFailedStep) {
  testing::WriteBytes(db_ / "BerichteLL/w.war", Form("1", "W", "x\r\n"));
  faults_.fs().FailOn(FsOp::kOpen, 2, 70, "xx_w.war");  // step 1 opens it first, step 3 fails
  EXPECT_FALSE(Drive("0"));
  EXPECT_EQ(settings_->saved, (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(Notices(), std::vector<std::string>{kNotice});
  EXPECT_TRUE(Drive());  // begins again with step 3, without the notice
  EXPECT_EQ(settings_->saved, (std::vector<std::string>{"3", "4", "5", "6"}));
  EXPECT_TRUE(Notices().empty());

  const std::string general = "Allgemeiner Fehler in Pruefe_Konvertiere_Formulare";
  for (int call = 0; call < 2; ++call) {
    EXPECT_FALSE(Drive("sechs"));
    EXPECT_EQ(messages_.texts(), std::vector<std::string>{general});
  }
  settings_->fail_saves = true;
  EXPECT_FALSE(Drive("5"));
  EXPECT_EQ(settings_->values["CheckReportLL/LetzterWert"], "5");
  EXPECT_EQ(messages_.texts(), std::vector<std::string>{general});
  {
    ScopedObjectRegistration none("VMBSetting.VMSettings", nullptr);
    EXPECT_FALSE(Drive());
    EXPECT_EQ(messages_.texts(), std::vector<std::string>{general});
  }
}

// A form the LL24 switch-over refuses for its content does not hold the step back (a rerun would
// refuse it again); a converted form that could not be put in place does, so that the rerun puts
// it there.
TEST_F(DriverTest, RecordsTheSwitchOverPastRefusedFormsButNotPastOneNotPutInPlace) {
  testing::WriteBytes(db_ / "BerichteLL/Lf.bel", "[Description]\nText=x\n[Layout]\n{\n}\n");
  testing::WriteBytes(db_ / "BerichteLL/Gut.bel", Form("1", "G", "Frame.Line=True\r\n"));
  EXPECT_TRUE(Drive("5"));
  EXPECT_FALSE(messages_.texts().empty());  // the refused form is named
  EXPECT_EQ(settings_->saved, std::vector<std::string>{"6"});

  testing::WriteBytes(db_ / "BerichteLL/Gut.bel", Form("1", "G", "Frame.Line=True\r\n"));
  faults_.fs().FailOn(FsOp::kReplace, 1, 61, "Gut.bel");
  Drive("5");
  EXPECT_TRUE(settings_->saved.empty()) << ::testing::PrintToString(messages_.texts());
  EXPECT_TRUE(Drive());  // the rerun puts it in place and records the step
  EXPECT_EQ(settings_->saved, std::vector<std::string>{"6"});

  // The same for a form the List & Label control saves.
  const std::string old_ter = "[Description]\r\nFileVersion=1\r\n" + Form("1", "T");
  testing::WriteBytes(db_ / "BerichteLL/Neu.ter", old_ter);
  faults_.fs().FailOn(FsOp::kReplace, 1, 53, "Neu.ter");  // whatever the error
  Drive("5");
  EXPECT_TRUE(settings_->saved.empty()) << ::testing::PrintToString(messages_.texts());
  EXPECT_EQ(testing::ReadBytes(db_ / "BerichteLL/Neu.ter"), old_ter);
  EXPECT_TRUE(Drive());
  EXPECT_EQ(settings_->saved, std::vector<std::string>{"6"});
  EXPECT_NE(testing::ReadBytes(db_ / "BerichteLL/Neu.ter"), old_ter);
}

// A file system that flushes every new file on its own, as one without batches does.
class UnbatchedFileSystem : public ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  bool DeferFlushes(bool) override { return false; }
};

// What the host sees of the driver over a database with a file in the way of a rewrite and a
// form reached by two names: with flushes in batches exactly what it sees without (the messages,
// the progress, the order of both), the same forms and the same steps recorded.
TEST(BatchTest, TheHostSeesWhatItSeesWithoutBatches) {
  testing::TempDir dir;
  testing::RecordedMessages messages;
  auto run = [&](const std::string& name, bool batches) {
    const std::string db = dir / name;
    std::filesystem::copy(LLUPDATE_DEMO_DB, db, std::filesystem::copy_options::recursive);
    const std::string forms = db + "/BerichteLL/";
    testing::WriteBytes(forms + "alt_Lieferschein.bst", "meine eigene Kopie\r\n");
    ::symlink("Mahnung.MAH", (forms + "Anmahnung.mah").c_str());
    for (int i = 0; i < 3; ++i) {
      std::filesystem::copy(forms + "Wartung.war", forms + "W" + std::to_string(i) + ".war");
    }
    std::shared_ptr<FileSystem> fs = NewOsFileSystem();
    if (!batches) fs = std::make_shared<UnbatchedFileSystem>(fs);
    ScopedObjectRegistration registration("Scripting.FileSystemObject", [fs] { return fs; });
    auto settings = std::make_shared<MemorySettings>();
    ScopedObjectRegistration store("VMBSetting.VMSettings", [settings] { return settings; });
    Events events;
    clsReportLLUpdate c;
    CallOptions options;
    options.progress = &events;
    c.SetCallOptions(options);
    messages.records().clear();
    std::shared_ptr<Object> connection;
    const bool result = c.Pruefe_Konvertiere_Formulare(db, connection);
    // A form rewritten in several passes is told as written once per swap: once with batches.
    std::vector<std::string> seen;
    for (const std::string& line : events.lines) {
      if (seen.empty() || line != seen.back() || line.rfind("written ", 0) != 0) {
        seen.push_back(line);
      }
    }
    for (const auto& r : messages.records()) seen.push_back(r.text);
    for (std::string& line : seen) {
      for (size_t at; (at = line.find(db)) != std::string::npos;) line.replace(at, db.size(), "DB");
    }
    EXPECT_TRUE(result);
    return std::make_tuple(seen, testing::Files(forms), settings->saved);
  };
  const auto unbatched = run("unbatched", false);
  const auto batched = run("batched", true);
  EXPECT_EQ(std::get<0>(batched), std::get<0>(unbatched));
  EXPECT_EQ(std::get<1>(batched), std::get<1>(unbatched));
  EXPECT_EQ(std::get<2>(batched), std::get<2>(unbatched));
}

// Each write, flush and removal of the settings file and its journal, and each flush of their
// folder, fails in turn, in a driver run over the demo database: the run may end with False, but
// the recorded step never runs ahead of the forms (a second run then gives the forms of an
// uninterrupted one) and the file stays a settings file.
TEST(SettingsFileTest, AFailingWriteAtEveryPointKeepsTheRecordTrue) {
  testing::RecordedMessages messages;
  testing::TempDir dir;
  namespace fsys = std::filesystem;
  auto drive = [](const std::string& db) {
    clsReportLLUpdate c;
    std::shared_ptr<Object> connection = std::make_shared<SettingsConnection>(db + "/set/s.sqlite");
    return c.Pruefe_Konvertiere_Formulare(db, connection);
  };
  auto recorded = [](const std::string& db) {  // as the next run reads it
    auto store = host::NewSqliteSettings();
    std::shared_ptr<Object> connection = std::make_shared<SettingsConnection>(db + "/set/s.sqlite");
    store->Init(0, connection, "Standard");
    std::string value;
    store->GetSetting(kStepRecordSection, kStepRecordKey, value, "Standard", "Standard", "0");
    return value;
  };
  const std::string reference = dir / "reference";
  fsys::copy(LLUPDATE_DEMO_DB, reference, fsys::copy_options::recursive);
  fsys::create_directory(reference + "/set");
  ASSERT_TRUE(drive(reference));
  const auto converted = testing::Files(reference + "/BerichteLL");
  for (testing::FsOp op : {testing::FsOp::kWrite, testing::FsOp::kSync, testing::FsOp::kDelete,
                           testing::FsOp::kSyncFolder}) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE("call " + std::to_string(n) + " of kind " +
                   std::to_string(static_cast<int>(op)));
      const std::string db = dir / "db";
      fsys::copy(LLUPDATE_DEMO_DB, db, fsys::copy_options::recursive);
      fsys::create_directory(db + "/set");
      bool done, struck;
      {
        testing::FaultInjection faults;
        const bool full = op == testing::FsOp::kWrite && n == 1;  // a full disk is told as such
        faults.fs().FailOn(op, n, full ? 61 : 75, "/set");
        done = drive(db);
        struck = faults.fs().faults_left() == 0;
        EXPECT_TRUE(!full || messages.records().back().description.rfind("Datenträger", 0) == 0);
      }
      const std::string step = recorded(db);
      if (done) {
        EXPECT_EQ(step, "6");  // a run that says so has recorded every step
      }
      if (!struck) {
        EXPECT_TRUE(done);
        EXPECT_EQ(step, "6");
        ASSERT_GT(n, 2);  // the run wrote, flushed and removed more than once
        fsys::remove_all(db);
        break;
      }
      EXPECT_TRUE(drive(db));
      EXPECT_EQ(recorded(db), "6");
      EXPECT_EQ(testing::Files(db + "/BerichteLL"), converted);
      fsys::remove_all(db);
    }
  }
}

}  // namespace
}  // namespace llupdate
