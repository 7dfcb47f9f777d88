#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstdlib>
#include <functional>

#include "component/internals.h"
#include "files/file_table.h"
#include "ll15/save_ll15.h"
#include "llupdate/report_ll_update.h"
#include "platform/error.h"
#include "platform/os_faults.h"
#include "rewrites/leftovers.h"
#include "test_support.h"

namespace llupdate {
namespace {

using testing::FsOp;

const char kSelector[] = "Spacing.Paragraph=8";
const char kNewAddress[] = "=Firmendaten.NeueAnschrift";

class RewriteTest : public testing::ComponentFixture {
 protected:
  bool Rewrite(const std::string& name) {
    return c_.Suche_ErsetzeProjektdatei(name, dir_.path(), kSelector, "=8", kNewAddress);
  }
  void ExpectNothingOpen() {
    EXPECT_EQ(faults_.fs().open_files(), 0);
    EXPECT_EQ(component::Internals::Table(c_).OpenCount(), 0);
  }
};

// A form name that is no one name in the form folder is refused before anything is opened by
// it (error 76): nothing outside the folder is read or written, nothing is made beside a form.
TEST_F(RewriteTest, ANameThatIsAPathIsRefused) {
  testing::WriteBytes(dir_ / "Rechnung.bel", "Spacing.Paragraph=8\r\n");
  for (const char* folder : {"BerichteLL/xx_..", "BerichteLL/alt_.."}) {
    ::mkdir((dir_ / folder).c_str(), 0755);
  }
  for (const std::string name : {"..\\Rechnung.bel", "../Rechnung.bel", "..", ".", ""}) {
    SCOPED_TRACE(name);
    messages_.records().clear();
    EXPECT_FALSE(Rewrite(name));
    EXPECT_FALSE(c_.Suche_ErsetzeProjektdatei_LL15(name, dir_.path()));
    ASSERT_EQ(messages_.records().size(), 2u);
    EXPECT_TRUE(messages_.records()[0].flag);
    EXPECT_NE(messages_.records()[1].description.find("(der Name "), std::string::npos);
    EXPECT_EQ(testing::ReadBytes(dir_ / "Rechnung.bel"), "Spacing.Paragraph=8\r\n");
    EXPECT_EQ(dir_.Listing(), std::vector<std::string>{});
    EXPECT_TRUE(platform::NewOsFileSystem()->ListFiles(dir_ / "BerichteLL/xx_..").empty());
  }
}

TEST_F(RewriteTest, SelectedLinesAreReplacedAndTheFormSwappedIn) {
  testing::WriteBytes(dir_.Form("a.bel"),
                      "Spacing.Paragraph=8;X=8\r\nspacing.paragraph=8\r\n"
                      "Spacing.Paragraph=88\rText=8\r\nSpacing.Paragraph=8");
  testing::MakeReadOnly(dir_.Form("a.bel"));
  testing::WriteBytes(dir_.Form("xx_a.bel"), "left over");
  testing::WriteBytes(dir_.Form("alt_a.bel"), "old backup");
  EXPECT_TRUE(Rewrite("a.bel"));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("a.bel")),
            "Spacing.Paragraph=Firmendaten.NeueAnschrift;X=Firmendaten.NeueAnschrift\r\n"
            "spacing.paragraph=8\r\n"
            "Spacing.Paragraph=Firmendaten.NeueAnschrift8\r\nText=8\r\n"
            "Spacing.Paragraph=Firmendaten.NeueAnschrift\r\n");
  EXPECT_FALSE(testing::IsReadOnly(dir_.Form("a.bel")));
  EXPECT_EQ(dir_.Listing(), std::vector<std::string>{"a.bel"});
  EXPECT_TRUE(messages_.records().empty());
  ExpectNothingOpen();
}

TEST_F(RewriteTest, AnUnselectedFormStaysByteForByteWithItsTimes) {
  std::string bytes = "Text=8\rSpacing.Paragraph=9\r\n\xE4\x80\x81";
  testing::WriteBytes(dir_.Form("b.bel"), bytes);
  testing::WriteBytes(dir_.Form("alt_b.bel"), "old backup");
  struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
  ::utimensat(AT_FDCWD, dir_.Form("b.bel").c_str(), times, 0);
  EXPECT_TRUE(Rewrite("b.bel"));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("b.bel")), bytes);
  EXPECT_EQ(testing::Stat(dir_.Form("b.bel")).st_mtim.tv_sec, 1000000000);
  EXPECT_EQ(dir_.Listing(), (std::vector<std::string>{"alt_b.bel", "b.bel"}));

  // A selected line without the search text still counts: the form is replaced by an equal one.
  testing::WriteBytes(dir_.Form("c.bel"), "Spacing.Paragraph=8x");
  EXPECT_TRUE(c_.Suche_ErsetzeProjektdatei("c.bel", dir_.path(), kSelector, "nothing", "y"));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("c.bel")), "Spacing.Paragraph=8x\r\n");
  testing::WriteBytes(dir_.Form("empty.bel"), "");
  EXPECT_TRUE(Rewrite("empty.bel"));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("empty.bel")), "");
  EXPECT_EQ(dir_.Listing(), (std::vector<std::string>{"alt_b.bel", "b.bel", "c.bel", "empty.bel"}));
}

TEST_F(RewriteTest, EightBitAndUtf16FormsGiveTheSameResult) {
  testing::WriteBytes(dir_.Form("ansi.bel"), "Name=M\xFCller\r\n  Spacing.Paragraph=8\r\n");
  // The same form in UTF-16LE, with a character Windows-1252 lacks.
  std::string utf16 = testing::Utf16Le("Name=M\xFCller\r\n  Spacing.Paragraph=8\r\n") +
                      std::string("\xA9\x03\r\0\n\0", 6);  // Ω
  testing::WriteBytes(dir_.Form("wide.bel"), utf16);
  EXPECT_TRUE(Rewrite("ansi.bel"));
  EXPECT_TRUE(Rewrite("wide.bel"));
  std::string ansi = testing::ReadBytes(dir_.Form("ansi.bel"));
  EXPECT_EQ(ansi, "Name=M\xFCller\r\n  Spacing.Paragraph=Firmendaten.NeueAnschrift\r\n");
  std::string expected = testing::Utf16Le(ansi) + std::string("\xA9\x03\r\0\n\0", 6);
  EXPECT_EQ(testing::ReadBytes(dir_.Form("wide.bel")), expected);

  // An 8-bit form is compared and replaced in its own bytes: every byte value of an unselected
  // line goes through, texts with characters of Windows-1252 are encoded, and a replacement
  // without one ends up as "?" as it always did.
  std::string all_bytes;
  for (int b = 1; b < 256; ++b) {
    if (b != '\r') all_bytes += static_cast<char>(b);
  }
  clsReportLLUpdate c;
  for (const auto& [replacement, written] : std::vector<std::pair<std::string, std::string>>{
           {"=\xC3\xA4\xE2\x82\xAC", "=\xE4\x80"}, {"=\xCE\xA9", "=?"}}) {
    testing::WriteBytes(dir_.Form("b.bel"), all_bytes + "\r\nM\xFC=8 x=8\r\n\xFC");
    EXPECT_TRUE(
        c.Suche_ErsetzeProjektdatei("b.bel", dir_.path(), "M\xC3\xBC=8", "=8", replacement));
    EXPECT_EQ(testing::ReadBytes(dir_.Form("b.bel")),
              all_bytes + "\r\nM\xFC" + written + " x" + written + "\r\n\xFC\r\n");
  }
  // A UTF-16 form is compared and replaced in its characters.
  testing::WriteBytes(dir_.Form("w.bel"), std::string("\xFF\xFEM\0\xFC\0=\08\0\r\0\n\0", 14));
  EXPECT_TRUE(c.Suche_ErsetzeProjektdatei("w.bel", dir_.path(), "M\xC3\xBC=8", "=8", "=\xC3\xA4"));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("w.bel")),
            std::string("\xFF\xFEM\0\xFC\0=\0\xE4\0\r\0\n\0", 14));
}

// A form that cannot be read without loss is never written back: line ends of LF alone would make
// the whole file one line, an odd-length UTF-16 file would lose its last byte. Mixed line ends
// keep the usual rule (a LF alone belongs to the line).
TEST_F(RewriteTest, FormsThatCannotBeReadWithoutLossAreRefused) {
  std::string utf16_odd("\xFF\xFES\0=\08\0\r\0\n\0x", 11);
  for (const auto& [bytes, reason] : std::vector<std::pair<std::string, std::string>>{
           {"Spacing.Paragraph=8\nX=8\n", "Zeilenenden nur LF, ohne CR (kein Textprojekt)"},
           {utf16_odd, "UTF-16 mit ungerader L\xC3\xA4nge (kein Textprojekt)"}}) {
    messages_.records().clear();
    testing::WriteBytes(dir_.Form("f.bel"), bytes);
    EXPECT_FALSE(c_.Suche_ErsetzeProjektdatei("f.bel", dir_.path(), "=8", "=8", "=9"));
    EXPECT_EQ(testing::ReadBytes(dir_.Form("f.bel")), bytes);
    EXPECT_EQ(dir_.Listing(), std::vector<std::string>{"f.bel"});
    EXPECT_EQ(messages_.only_text(), "Allgemeiner Fehler in Umstellung_Auf_Neue_Anschrift");
    messages_.records().clear();
    files::FileTable table;
    files::FileContext ctx{faults_.fs(), table};
    EXPECT_EQ(ll15::Save_LL15_Format(ctx, dir_.Form("f.bel")), 0);
    EXPECT_EQ(testing::ReadBytes(dir_.Form("f.bel")), bytes);
    EXPECT_NE(messages_.only_text().find("\r\n321\r\n"), std::string::npos);
    EXPECT_NE(messages_.texts()[0].find("f.bel: " + reason), std::string::npos)
        << messages_.texts()[0];
    ExpectNothingOpen();
  }
  // LF-only line ends are found wherever they are: after a first chunk without any line end,
  // or only in the last line.
  for (const std::string& bytes : {std::string(300000, 'x') + "\nSpacing.Paragraph=8\n",
                                   std::string("Spacing.Paragraph=8\n")}) {
    testing::WriteBytes(dir_.Form("f.bel"), bytes);
    EXPECT_FALSE(Rewrite("f.bel"));
    EXPECT_EQ(testing::ReadBytes(dir_.Form("f.bel")), bytes);
  }
  testing::WriteBytes(dir_.Form("f.bel"), "Spacing.Paragraph=8\nX=8\r\n");
  EXPECT_TRUE(Rewrite("f.bel"));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("f.bel")),
            "Spacing.Paragraph=Firmendaten.NeueAnschrift\nX=Firmendaten.NeueAnschrift\r\n");
}

// A writer that cannot take the lock of the form folder changes nothing and says so; the call is
// busy only when another run holds the folder.
TEST_F(RewriteTest, AWriterThatCannotLockChangesNothing) {
  testing::WriteBytes(dir_.Form("f.bel"), "Spacing.Paragraph=8\r\n");
  for (int32_t error : {75, 70, testing::kOutOfMemory}) {
    messages_.records().clear();
    faults_.fs().FailOn(FsOp::kLock, 1, error);
    EXPECT_FALSE(Rewrite("f.bel"));
    EXPECT_EQ(testing::ReadBytes(dir_.Form("f.bel")), "Spacing.Paragraph=8\r\n");
    EXPECT_EQ(dir_.Listing(), std::vector<std::string>{"f.bel"});
    EXPECT_TRUE(messages_.only_text().starts_with(
        error > 0 ? "Nichts ge\xC3\xA4ndert: " : "Die Datenbank " + dir_.path() + " kann nicht"))
        << messages_.only_text();
    EXPECT_TRUE(testing::ShownAsError(messages_.records()[0]));
    EXPECT_EQ(c_.LastCallSummary().errors_shown, 1);
    EXPECT_EQ(c_.LastCallSummary().database_busy, error == 70);
  }
  EXPECT_TRUE(Rewrite("f.bel"));
}

TEST_F(RewriteTest, FailuresBeforeTheSwapLeaveTheFormAsItWas) {
  const std::string content = "Spacing.Paragraph=8\r\n";
  testing::WriteBytes(dir_.Form("f.bel"), content);

  EXPECT_FALSE(Rewrite("missing.bel"));
  faults_.fs().FailOn(FsOp::kOpen, 1, 70, "xx_f.bel");  // the temporary file cannot be created
  EXPECT_FALSE(Rewrite("f.bel"));
  faults_.fs().FailOn(FsOp::kRead, 1, 75, "f.bel");  // reading the form fails
  EXPECT_FALSE(Rewrite("f.bel"));
  faults_.fs().FailOn(FsOp::kWrite, 1, 61, "xx_f.bel");  // the disk is full
  EXPECT_FALSE(Rewrite("f.bel"));
  testing::WriteBytes(dir_.Form("xx_f.bel"), "left over");
  faults_.fs().FailOn(FsOp::kDelete, 1, 70, "xx_f.bel");  // the left-over cannot be removed
  EXPECT_FALSE(Rewrite("f.bel"));
  ::unlink(dir_.Form("xx_f.bel").c_str());

  ASSERT_EQ(messages_.records().size(), 5u);
  EXPECT_EQ(messages_.records()[0].call, "ReportError");
  EXPECT_EQ(messages_.records()[0].number, 53);
  EXPECT_EQ(messages_.records()[1].call, "ReportError");
  EXPECT_EQ(messages_.records()[1].number, 70);
  for (int i = 2; i < 5; ++i) {
    EXPECT_EQ(messages_.records()[i].text, "Allgemeiner Fehler in Umstellung_Auf_Neue_Anschrift");
  }
  EXPECT_EQ(testing::ReadBytes(dir_.Form("f.bel")), content);
  EXPECT_EQ(dir_.Listing(), std::vector<std::string>{"f.bel"});
  ExpectNothingOpen();
}

TEST_F(RewriteTest, FailuresOfTheSwapNeverLoseTheForm) {
  const std::string old_form = "Spacing.Paragraph=8\r\n";
  const std::string converted = "Spacing.Paragraph=Firmendaten.NeueAnschrift\r\n";
  struct Case {
    FsOp op;
    std::string path_part, form;  // the form afterwards
    std::vector<std::string> listing;
    bool reported;                    // a message names the form that was not replaced
    std::vector<std::string> events;  // what the host's observer learns
  };
  // The backup is a second name, the new file is renamed over the form, the backup goes last: a
  // failure anywhere keeps a whole form under its name.
  // A backup that could not be removed stays beside the whole form; the next writer removes it.
  // A file under the backup's name that the run did not make stays when no backup was made.
  std::vector<Case> cases = {
      {FsOp::kOpen, "no fault", converted, {"f.bel"}, false, {"written"}},
      {FsOp::kLink, "alt_", old_form, {"alt_f.bel", "f.bel"}, true, {"old"}},
      {FsOp::kReplace, "f.bel", old_form, {"f.bel"}, true, {"written", "old"}},
      {FsOp::kDelete, "alt_", converted, {"alt_f.bel", "f.bel"}, false, {"written"}},
  };
  // The host's observer learns whether the form was written anew or stayed old (the form is
  // told as written when its swap waits for the batch's flush, and as old when the swap fails).
  struct Outcome : testing::QuietObserver {
    void FormWritten(const std::string&) override { events.push_back("written"); }
    void FormNotReplaced(const std::string&) override { events.push_back("old"); }
    std::vector<std::string> events;
  } outcome;
  CallOptions options;
  options.progress = &outcome;
  c_.SetCallOptions(options);
  for (const Case& k : cases) {
    SCOPED_TRACE(k.path_part);
    dir_.Clear();
    messages_.records().clear();
    outcome.events.clear();
    testing::WriteBytes(dir_.Form("f.bel"), old_form);
    testing::WriteBytes(dir_.Form("alt_f.bel"), "a backup left by someone");
    // The first removal of the backup is the one of the backup left by someone.
    faults_.fs().FailOn(k.op, k.op == FsOp::kDelete ? 2 : 1, 70, k.path_part);
    EXPECT_TRUE(Rewrite("f.bel"));
    EXPECT_EQ(dir_.Listing(), k.listing);
    EXPECT_EQ(testing::ReadBytes(dir_.Form("f.bel")), k.form);
    if (k.reported) {
      EXPECT_NE(messages_.only_text().find("f.bel konnte nicht ersetzt werden"), std::string::npos);
      EXPECT_TRUE(testing::ShownAsError(messages_.records()[0]));
    } else {
      EXPECT_TRUE(messages_.records().empty());
    }
    EXPECT_EQ(outcome.events, k.events);
    ExpectNothingOpen();
  }
  c_.SetCallOptions({});
  // The backup that could not be removed is the run's (the form is the run's new file now): the
  // next writer removes it before it starts, also when it became read-only.
  messages_.records().clear();
  testing::MakeReadOnly(dir_.Form("alt_f.bel"));
  EXPECT_FALSE(Rewrite("missing.bel"));
  EXPECT_EQ(dir_.Listing(), std::vector<std::string>{"f.bel"});
  EXPECT_EQ(testing::ReadBytes(dir_.Form("f.bel")), converted);
  ASSERT_FALSE(messages_.texts().empty());
  EXPECT_NE(messages_.texts()[0].find("Entfernt: alt_f.bel"), std::string::npos)
      << messages_.texts()[0];
}

// The failures inside the OS file system itself: a full disk while the temporary file is written,
// a flush that fails, a link or rename the kernel refuses, a folder that cannot be flushed. No
// form is lost, nothing of the program's own stays, and the outcome says what happened.
TEST_F(RewriteTest, FailuresInsideTheOsFileSystem) {
  const std::string old_form = "Spacing.Paragraph=8\r\n";
  const std::string converted = "Spacing.Paragraph=Firmendaten.NeueAnschrift\r\n";
  using platform::OsCall;
  struct Case {
    OsCall call;
    int err;
    std::string path_part;
    bool result;
    std::string form, message_start;
  };
  const std::vector<Case> cases = {
      {OsCall::kWrite, ENOSPC, "xx_f.bel", false, old_form,
       "Allgemeiner Fehler in Umstellung_Auf_Neue_Anschrift"},
      // The new file goes to the disk with the job's batch: a failing flush keeps the form.
      {OsCall::kFlush, EIO, "BerichteLL", true, old_form, "Das Formular "},
      {OsCall::kLink, EIO, "alt_f.bel", true, old_form, "Das Formular "},
      {OsCall::kRename, EIO, "f.bel", true, old_form, "Das Formular "},
      {OsCall::kSyncFolder, EIO, "BerichteLL", false, converted,
       "Die \xC3\x84nderungen konnten nicht auf den Datentr\xC3\xA4ger geschrieben werden."},
      {OsCall::kOpen, EACCES, "BerichteLL", false, old_form,
       "Nichts ge\xC3\xA4ndert: Fehler beim Zugriff auf Pfad/Datei: der Formularordner " +
           dir_ / "BerichteLL kann nicht gesperrt werden (Zugriff verweigert); dieser Benutzer "
                  "braucht Lesezugriff auf den Formularordner."},
      {OsCall::kLock, ENOLCK, "BerichteLL", false, old_form,
       "Nichts ge\xC3\xA4ndert: Fehler beim Zugriff auf Pfad/Datei: der Formularordner " +
           dir_ / "BerichteLL kann nicht gesperrt werden (Fehler beim Zugriff auf Pfad/Datei); "
                  "der Datentr\xC3\xA4ger muss Sperren unterst\xC3\xBCtzen."},
      {OsCall::kUnnamed, EOPNOTSUPP, "", true, converted, ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(static_cast<int>(k.call));
    messages_.records().clear();
    testing::WriteBytes(dir_.Form("f.bel"), old_form);
    platform::SetOsFaultHook([&](OsCall call, const std::string& path) {
      return call == k.call && path.find(k.path_part) != std::string::npos ? k.err : 0;
    });
    EXPECT_EQ(Rewrite("f.bel"), k.result);
    platform::SetOsFaultHook(nullptr);
    EXPECT_EQ(testing::ReadBytes(dir_.Form("f.bel")), k.form);
    EXPECT_EQ(dir_.Listing(), std::vector<std::string>{"f.bel"});
    if (k.message_start.empty()) {
      EXPECT_EQ(messages_.texts(), std::vector<std::string>{});
    } else {
      EXPECT_EQ(messages_.only_text().rfind(k.message_start, 0), 0u) << messages_.only_text();
      EXPECT_TRUE(testing::ShownAsError(messages_.records()[0]));
    }
    ExpectNothingOpen();
  }
  // A record of the lock planted as a link is not followed: nothing is done, and the message
  // says what to do.
  testing::WriteBytes(dir_.Form("f.bel"), old_form);
  testing::WriteBytes(dir_ / "elsewhere", "x");
  ::unlink(dir_.Form(".llupdate-lock").c_str());
  ASSERT_EQ(::symlink((dir_ / "elsewhere").c_str(), dir_.Form(".llupdate-lock").c_str()), 0);
  messages_.records().clear();
  EXPECT_FALSE(Rewrite("f.bel"));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("f.bel")), old_form);
  EXPECT_EQ(testing::ReadBytes(dir_ / "elsewhere"), "x");
  EXPECT_NE(messages_.only_text().find("er ist ein symbolischer Link: entfernen Sie ihn"),
            std::string::npos)
      << messages_.only_text();
  ::unlink(dir_.Form(".llupdate-lock").c_str());
  // A new file that cannot be given the form's owner does not take its place: the form is
  // rewritten in place and keeps its owner.
  if (::geteuid() == 0) {
    testing::WriteBytes(dir_.Form("f.bel"), old_form);
    ASSERT_EQ(::chown(dir_.Form("f.bel").c_str(), 65534, 65534), 0);
    int seen = 0;
    platform::SetOsFaultHook([&](OsCall call, const std::string&) {
      return call == OsCall::kOwner && seen++ == 0 ? EPERM : 0;
    });
    EXPECT_TRUE(Rewrite("f.bel"));
    platform::SetOsFaultHook(nullptr);
    EXPECT_EQ(testing::ReadBytes(dir_.Form("f.bel")), converted);
    EXPECT_EQ(testing::Stat(dir_.Form("f.bel")).st_uid, 65534u);
    EXPECT_EQ(dir_.Listing(), std::vector<std::string>{"f.bel"});
  }
  // A copy that fails halfway leaves the destination as it was and no partial file.
  testing::WriteBytes(dir_.Form("g.bel"), "destination");
  platform::SetOsFaultHook(
      [](OsCall call, const std::string&) { return call == OsCall::kCopy ? EIO : 0; });
  auto fs = platform::NewOsFileSystem();
  EXPECT_THROW(fs->CopyFile(dir_.Form("f.bel"), dir_.Form("g.bel"), true), platform::Error);
  platform::SetOsFaultHook(nullptr);
  EXPECT_EQ(testing::ReadBytes(dir_.Form("g.bel")), "destination");
  EXPECT_EQ(dir_.Listing(), (std::vector<std::string>{"f.bel", "g.bel"}));
}

// A host's file system that makes second names but cannot rename over a file: the rewrite takes
// the classic way, and the second name it made goes again. It also lists a name that is no name
// in a folder: the job leaves it and says so.
class NoReplaceFileSystem : public ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  bool ReplaceFile(const std::string&, const std::string&) override { return false; }
  std::vector<platform::FileEntry> ListFiles(const std::string& folder) override {
    std::vector<platform::FileEntry> files = target().ListFiles(folder);
    files.push_back({"x/y.bel", folder + "\\x/y.bel"});
    return files;
  }
};

TEST_F(RewriteTest, AFileSystemThatLinksButCannotRenameOver) {
  ScopedObjectRegistration fs(kFileSystemProgId, [] {
    return std::make_shared<NoReplaceFileSystem>(platform::NewOsFileSystem());
  });
  clsReportLLUpdate c;
  testing::WriteBytes(dir_.Form("f.bel"), "Spacing.Paragraph=8\r\n");
  EXPECT_TRUE(c.Umstellung_Auf_Neue_Anschrift(dir_.path()));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("f.bel")),
            "Spacing.Paragraph=Firmendaten.NeueAnschrift\r\n");
  EXPECT_EQ(dir_.Listing(), std::vector<std::string>{"f.bel"});
  EXPECT_NE(
      messages_.only_text().find("y.bel wird übersprungen: der Name enthält ein Trennzeichen."),
      std::string::npos)
      << messages_.only_text();
  EXPECT_TRUE(testing::ShownAsError(messages_.records()[0]));
}

TEST_F(RewriteTest, FailuresOfTheClassicSequenceNeverLoseTheForm) {
  faults_.fs().SetClassicOnly(true);
  const std::string converted = "Spacing.Paragraph=Firmendaten.NeueAnschrift\r\n";
  struct Case {
    FsOp op;
    std::string path_part, form;  // the form afterwards ("" when missing)
    std::vector<std::string> listing;
  };
  std::vector<Case> cases = {
      {FsOp::kCopy, "alt_", converted, {"f.bel"}},
      {FsOp::kDelete, "Berichtell\\f.bel", "Spacing.Paragraph=8\r\n", {"f.bel"}},
      {FsOp::kMove, "f.bel", "", {"alt_f.bel", "xx_f.bel"}},
      {FsOp::kDelete, "alt_", converted, {"alt_f.bel", "f.bel"}},
      // A form whose presence cannot be checked after the swap counts as there.
      {FsOp::kExists, "Berichtell\\f.bel", converted, {"f.bel"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.path_part);
    dir_.Clear();
    messages_.records().clear();
    testing::WriteBytes(dir_.Form("f.bel"), "Spacing.Paragraph=8\r\n");
    faults_.fs().FailOn(k.op, 1, 70, k.path_part);
    EXPECT_TRUE(Rewrite("f.bel"));
    EXPECT_EQ(dir_.Listing(), k.listing);
    if (k.form.empty()) {
      // Stranded: the backup holds the form, the temporary file its new content; one message.
      EXPECT_EQ(testing::ReadBytes(dir_.Form("alt_f.bel")), "Spacing.Paragraph=8\r\n");
      const std::string folder = dir_.path() + "/BerichteLL/";  // as on the disk
      EXPECT_EQ(messages_.only_text(),
                "Das Formular " + folder + "f.bel fehlt nach dem Ersetzen. Sein Inhalt ist " +
                    "in der Sicherungsdatei " + folder + "alt_f.bel erhalten. Der umgestellte " +
                    "Inhalt steht in " + folder + "xx_f.bel.");
    } else {
      EXPECT_EQ(testing::ReadBytes(dir_.Form("f.bel")), k.form);
      EXPECT_TRUE(messages_.records().empty());
    }
    ExpectNothingOpen();
  }
  // Without a backup the form's new content is all there is: the message says where.
  dir_.Clear();
  messages_.records().clear();
  testing::WriteBytes(dir_.Form("f.bel"), "Spacing.Paragraph=8\r\n");
  faults_.fs().FailOn(FsOp::kCopy, 1, 70, "alt_");
  faults_.fs().FailOn(FsOp::kMove, 1, 70, "f.bel");
  EXPECT_TRUE(Rewrite("f.bel"));
  EXPECT_EQ(dir_.Listing(), std::vector<std::string>{"xx_f.bel"});
  const std::string folder = dir_.path() + "/BerichteLL/";  // as on the disk
  EXPECT_EQ(messages_.only_text(),
            "Das Formular " + folder +
                "f.bel fehlt nach dem Ersetzen. Sein umgestellter Inhalt steht in " + folder +
                "xx_f.bel.");
  EXPECT_TRUE(messages_.records().size() == 1 && testing::ShownAsError(messages_.records()[0]));
  // The classic sequence tells the progress as the others do: the summary counts the form.
  dir_.Clear();
  testing::WriteBytes(dir_.Form("f.bel"), "Spacing.Paragraph=8\r\n");
  EXPECT_TRUE(c_.Umstellung_Auf_Neue_Anschrift(dir_.path()));
  EXPECT_EQ(c_.LastCallSummary().rewritten, 1);
}

// No copy of a private form is readable by others at any instant of a rewrite, whatever the
// umask gives a new file: not the temporary file, not the backup, not a copy made for a form
// rewritten in place. Every call the disk makes is an instant at which the folder is looked at.
TEST(InPlaceTest, NoCopyOfAPrivateFormIsReadableByOthersAtAnyInstant) {
  testing::TempDir dir;
  const std::string forms = dir / "BerichteLL", form = forms + "/f.bel";
  ::mkdir(forms.c_str(), 0775);
  const mode_t umask_before = ::umask(002);
  std::vector<std::string> seen;
  auto acl = [](const std::string& path) {
    char value[256];
    ssize_t n = ::lgetxattr(path.c_str(), "system.posix_acl_access", value, sizeof value);
    return n < 0 ? std::string() : std::string(value, static_cast<size_t>(n));
  };
  auto look = [&] {
    if (DIR* d = ::opendir(forms.c_str())) {
      while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        struct stat st;
        if (name == "f.bel" || name.rfind(".llupdate-lock", 0) == 0 ||
            ::lstat((forms + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
          continue;
        }
        // Open to the group only as the form is: by the same ACL.
        if ((st.st_mode & 077) != 0 &&
            ((st.st_mode & 07) != 0 || acl(forms + "/" + name) != acl(form) || acl(form).empty())) {
          seen.push_back(name);
        }
      }
      ::closedir(d);
    }
  };
  const bool acls = std::system("command -v setfacl >/dev/null") == 0;
  for (int kind = 0; kind < (acls ? 4 : 2); ++kind) {
    const bool second_name = kind % 2 == 1, by_acl = kind >= 2;
    SCOPED_TRACE(std::string(second_name ? "in place" : "renamed") + (by_acl ? ", by ACL" : ""));
    ::unlink((dir / "f.other").c_str());
    ::unlink(form.c_str());
    testing::WriteBytes(form, "Spacing.Paragraph=8\r\n");
    ASSERT_EQ(::chmod(form.c_str(), 0600), 0);
    // 0660 by its bits, but only its owner and one named user may read it.
    ASSERT_TRUE(!by_acl || std::system(("setfacl -m u:65534:rw,m::rw " + form).c_str()) == 0);
    ASSERT_TRUE(!second_name || ::link(form.c_str(), (dir / "f.other").c_str()) == 0);
    platform::SetOsFaultHook([&](platform::OsCall, const std::string&) {
      look();
      return 0;
    });
    EXPECT_TRUE(clsReportLLUpdate().Suche_ErsetzeProjektdatei("f.bel", dir.path(), kSelector, "=8",
                                                              kNewAddress));
    platform::SetOsFaultHook(nullptr);
    look();
    EXPECT_EQ(seen, std::vector<std::string>{});
    EXPECT_EQ(testing::ReadBytes(form), "Spacing.Paragraph=Firmendaten.NeueAnschrift\r\n");
    EXPECT_EQ(testing::Mode(form), by_acl ? 0660u : 0600u);
    seen.clear();
  }
  ::umask(umask_before);
}

// A form with another name (a hard link) is rewritten in place behind a backup: every name sees
// the new content. A failing write or flush of the form gives it its old content back at once;
// a run that dies in the middle leaves a record from which the next writer restores it.
TEST(InPlaceTest, EveryNameSeesTheNewContentAndAFailureOrACrashLeavesTheOld) {
  testing::RecordedMessages messages;
  testing::FormFolder dir;
  const std::string form = dir / "BerichteLL/f.bel", other = dir / "f.other";
  const std::string old_form = "Spacing.Paragraph=8\r\n";
  const std::string converted = "Spacing.Paragraph=Firmendaten.NeueAnschrift\r\n";
  auto rewrite = [&] {
    return clsReportLLUpdate().Suche_ErsetzeProjektdatei("f.bel", dir.path(), kSelector, "=8",
                                                         kNewAddress);
  };
  auto fresh = [&] {
    ::unlink(other.c_str());
    testing::WriteBytes(form, old_form);
    ASSERT_EQ(::link(form.c_str(), other.c_str()), 0);
  };

  fresh();
  EXPECT_TRUE(rewrite());
  EXPECT_EQ(testing::ReadBytes(other), converted);
  EXPECT_EQ(testing::Identity(form), testing::Identity(other));
  EXPECT_EQ(dir.Listing(), std::vector<std::string>{"f.bel"});

  using platform::OsCall;
  for (OsCall call : {OsCall::kWrite, OsCall::kFlush, OsCall::kOpen}) {
    SCOPED_TRACE(static_cast<int>(call));
    fresh();
    int seen = 0;  // the first write or flush of the form is that of the new content
    platform::SetOsFaultHook([&](OsCall c, const std::string& path) {
      return c == call && path.find("f.bel") != std::string::npos &&
                     path.find("xx_") == std::string::npos &&
                     path.find("alt_") == std::string::npos &&
                     path.find(".tmp") == std::string::npos && seen++ == 0
                 ? EIO
                 : 0;
    });
    EXPECT_TRUE(rewrite());  // the swap's failures are reported, not returned
    platform::SetOsFaultHook(nullptr);
    EXPECT_EQ(testing::ReadBytes(form), old_form);
    EXPECT_EQ(testing::ReadBytes(other), old_form);
    EXPECT_EQ(dir.Listing(), std::vector<std::string>{"f.bel"});
  }

  // A run that died while the form was half written: its record names the backup, the new
  // content and the form's identity. The form gets its old content back only where it is still
  // that file, in a state the run could have left; otherwise both stay and the person is told.
  const std::string backup = "f.bel.llupdate-00000000000000ab.tmp", source = "xx_f.bel";
  const std::string record = dir / ("BerichteLL/.llupdate-lock." + std::to_string(::geteuid()));
  auto identity = [&](const std::string& name) { return testing::Identity(dir.Form(name)); };
  auto crashed = [&](const std::string& form_name) {
    fresh();
    testing::WriteBytes(dir / ("BerichteLL/" + backup), old_form);
    testing::WriteBytes(dir / ("BerichteLL/" + source), converted);
    testing::WriteBytes(form, converted.substr(0, 30));  // torn
    testing::WriteBytes(record, "state=running\nown=" + backup + "\t" + identity(backup) +
                                    "\nown=\t" + identity(source) + "\ninplace=" + form_name +
                                    "\t" + backup + "\t" + source + "\t" + identity("f.bel") +
                                    "\n");
    ::chmod(record.c_str(), 0644);
    messages.records().clear();
  };
  const struct {
    const char* what;
    std::function<void()> after_crash;
    std::string form_name, form_after;
    bool restored;
  } cases[] = {
      {"torn", [] {}, "f.bel", converted, true},
      {"saved anew", [&] { ::unlink(form.c_str()), testing::WriteBytes(form, "neu\r\n"); }, "f.bel",
       "neu\r\n", false},
      {"changed in place", [&] { testing::WriteBytes(form, "Spacing.Paragraph=9\r\n"); }, "f.bel",
       "Spacing.Paragraph=9\r\n", false},
      {"a name out of the folder", [] {}, "../f.other", converted.substr(0, 30), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    crashed(c.form_name);
    c.after_crash();
    EXPECT_TRUE(rewrite());
    EXPECT_EQ(testing::ReadBytes(form), c.form_after);
    std::vector<std::string> names = dir.Listing();
    ASSERT_FALSE(messages.records().empty());
    const auto& said = messages.records()[0];
    if (c.restored) {
      EXPECT_EQ(names, (std::vector<std::string>{"f.bel"}));
      EXPECT_NE(said.text.find("haben ihren alten Inhalt zur\xC3\xBC"
                               "ck: f.bel."),
                std::string::npos)
          << said.text;
      EXPECT_FALSE(said.flag);
    } else if (c.form_name == "f.bel") {
      // The old content stays beside the form, under a name no heal removes.
      ASSERT_EQ(names.size(), 2u);
      EXPECT_EQ(names[1].rfind("f.bel.llupdate-alt-", 0), 0u) << names[1];
      EXPECT_EQ(testing::ReadBytes(dir / ("BerichteLL/" + names[1])), old_form);
      EXPECT_NE(said.text.find("f.bel an Ort und Stelle unterbrochen"), std::string::npos)
          << said.text;
      EXPECT_NE(said.text.find(names[1]), std::string::npos) << said.text;
      EXPECT_TRUE(said.flag);
    } else {
      // A record with a name out of the folder is refused as a whole: nothing is done from it.
      EXPECT_NE(said.text.find("nicht beachtet"), std::string::npos) << said.text;
      EXPECT_EQ(testing::ReadBytes(other), c.form_after);
      EXPECT_TRUE(testing::Exists(dir / ("BerichteLL/" + backup)));
    }
    EXPECT_EQ(said.level, 3);
    for (const std::string& name : names) {
      if (name != "f.bel") ::unlink((dir / ("BerichteLL/" + name)).c_str());
    }
  }
}

// A run records the files it makes before it knows their names (a batch made ahead): such a file
// is the run's under whatever name it got, and a form's hard-linked "alt_" name is the run's only
// when the run's temporary file of that form is there too.
TEST(LeftoversTest, FilesRecordedWithoutANameAreKnownByIdentityAlone) {
  testing::TempDir dir;
  const std::string folder = dir / "BerichteLL";
  ::mkdir(folder.c_str(), 0755);
  auto at = [&](const std::string& name) { return folder + "/" + name; };
  for (const char* name : {"A.bel", "xx_A.bel", "B.bel", "C.bel", "xx_C.bel", "xx_D.bel"}) {
    testing::WriteBytes(at(name), name);
  }
  ::link(at("B.bel").c_str(), at("alt_B.bel").c_str());  // a user's second name
  ::link(at("C.bel").c_str(), at("alt_C.bel").c_str());  // the crashed run's backup
  auto identity = [&](const std::string& name) { return testing::Identity(at(name)); };
  const std::string me = std::to_string(::geteuid());
  const std::vector<platform::OwnFile> own = {{"", identity("xx_A.bel"), me},
                                              {"", identity("xx_C.bel"), me}};
  auto fs = platform::NewOsFileSystem();
  auto leftovers = [&](const std::vector<platform::OwnFile>& recorded) {
    std::map<std::string, rewrites::Leftover::Action> found;
    for (const auto& l : rewrites::FindLeftovers(*fs, folder, fs->ListFiles(folder), recorded)) {
      found[l.file] = l.action;
    }
    return found;
  };
  using Action = rewrites::Leftover::Action;
  EXPECT_EQ(leftovers(own), (std::map<std::string, Action>{{"xx_A.bel", Action::kRemove},
                                                           {"alt_B.bel", Action::kForeign},
                                                           {"alt_C.bel", Action::kRemove},
                                                           {"xx_C.bel", Action::kRemove},
                                                           {"xx_D.bel", Action::kForeign}}));
  // A record speaks for its own account's files alone, whatever the identities say.
  if (::geteuid() != 4242) {
    for (auto found : leftovers(
             {{"", identity("xx_A.bel"), "4242"}, {"xx_C.bel", identity("xx_C.bel"), "4242"}})) {
      EXPECT_EQ(found.second, Action::kForeign) << found.first;
    }
  }
  // The record's line for such a file has no name; a line without an identity, an in-place line
  // without a form or a backup, and a line still being written name nothing.
  platform::LockRecord record = platform::ParseLockRecord(
      "state=running\nown=\t1:2\nown=a\t\ninplace=\talt\ninplace=f\t\ninplace=g\tb\tn\t1:3\nown="
      "x\t3");
  EXPECT_TRUE(record.own.size() == 1 && record.own[0].identity == "1:2");
  ASSERT_EQ(record.in_place.size(), 1u);
  EXPECT_EQ(record.in_place[0].form + " " + record.in_place[0].backup + " " +
                record.in_place[0].source + " " + record.in_place[0].identity,
            "g b n 1:3");
  // A name that is no plain name of the form folder makes the whole record untrusted.
  for (const std::string bad :
       {"own=../../../../VICTIM\t1:2", "own=/etc/passwd\t1:2", "own=a\\..\\b\t1:2", "own=..\t1:2",
        "own=.\t1:2", "own=a%00b\t1:2", "inplace=../x\tb\tn\t1:2",
        "inplace=x\t../../SECRET\tn\t1:2", "inplace=x\tb\tsub/n\t1:2", "own=a%2Fb\t1:2"}) {
    record = platform::ParseLockRecord("state=running\nown=ok\t1:2\ninplace=f\tb\tn\t3:4\n" + bad +
                                       "\n");
    EXPECT_FALSE(record.invalid.empty()) << bad;
    EXPECT_TRUE(record.own.empty() && record.in_place.empty()) << bad;
  }
  // A name with characters that would break its line, or that look like an escape, comes back
  // as it was; so does a "%" the record did not escape.
  const std::string odd = "a%25\n\r\tb%", line = platform::RecordLine({odd, "1:2", ""});
  EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
  record = platform::ParseLockRecord("state=running\n" + line + "own=c%4\t3:4\nown=d%\t5:6\n");
  ASSERT_EQ(record.own.size(), 3u);
  EXPECT_EQ(record.own[0].name, odd);
  EXPECT_EQ(record.own[0].identity, "1:2");
  EXPECT_EQ(record.own[1].name, "c%4");
  EXPECT_EQ(record.own[2].name, "d%");
  // A run that finished left nothing of its own.
  record = platform::ParseLockRecord("host=h\npid=1\nstate=finished\nown=a\t1:2\ninplace=f\tb\n");
  EXPECT_FALSE(record.running);
  EXPECT_TRUE(record.own.empty());
  EXPECT_TRUE(record.in_place.empty());
}

// What an interrupted in-place rewrite can leave: the new content written over the old from the
// start, the old rest not yet cut off. Anything else was changed since, and is not restored.
TEST(LeftoversTest, AFormIsRestoredOnlyInAStateTheRewriteCouldHaveLeft) {
  const std::string old_content = "abcdefgh", longer = "ABCDEFGHIJKL", shorter = "ABC";
  const struct {
    std::string now, new_content;
    bool could;
  } cases[] = {
      {"abcdefgh", longer, true},      // nothing written yet
      {"ABcdefgh", longer, true},      // a first piece
      {"ABCDEFGHIJ", longer, true},    // past the old end
      {"ABCDEFGHIJKL", longer, true},  // all of it
      {"ABCdefgh", shorter, true},     // written, not yet cut
      {"ABC", shorter, true},          // cut
      {"ABxdefgh", longer, false},     // a byte neither old nor new
      {"xbcdefgh", longer, false},     // the first byte neither old nor new
      {"abcdefg", longer, false},      // shorter than both, no cut to that length
      {"ABCDEFGHIX", longer, false},   // past the old end, not the new content
      {"abcdefghZZ", longer, false},   // appended to since
      {"", shorter, false},            // emptied since
      {"AbCdefgh", longer, false},     // the new content with a gap
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::CouldBeLeftByRewrite(c.now, old_content, c.new_content), c.could) << c.now;
  }
}

// Healing after an unfinished run: its temporary file goes, its backup of a missing form becomes
// the form again, a file it did not make stays; one notice, each action to the progress
// observer, and the folder is to be put on the disk.
TEST(LeftoversTest, HealingResolvesOnlyTheRunsOwnAndTellsEachAction) {
  testing::TempDir dir;
  testing::RecordedMessages messages;
  const std::string folder = dir.path();
  for (const char* name : {"A.bel", "xx_A.bel", "alt_C.bel", "alt_B.bel", "B.bel"}) {
    testing::WriteBytes(dir / name, name);
  }
  auto fs = platform::NewOsFileSystem();
  const std::vector<platform::OwnFile> own = {
      {"xx_A.bel", fs->FileIdentity(folder + "\\xx_A.bel"), ""},
      {"alt_C.bel", fs->FileIdentity(folder + "\\alt_C.bel"), ""}};
  struct Healing : testing::QuietObserver {
    void Healed(const std::string& action, const std::string& path,
                const std::string& form) override {
      lines.push_back(action + " " + path.substr(path.find_last_of("\\/") + 1) + " " +
                      form.substr(form.find_last_of("\\/") + 1));
    }
    std::vector<std::string> lines;
  } healing;
  files::FileTable table;
  platform::JobNotes notes;
  files::FileContext ctx{*fs, table, &notes, &healing};
  rewrites::HealLeftovers(ctx, folder, own);
  EXPECT_EQ(healing.lines,
            (std::vector<std::string>{"restored alt_C.bel C.bel", "removed xx_A.bel A.bel"}));
  EXPECT_FALSE(testing::Exists(dir / "xx_A.bel"));
  EXPECT_EQ(testing::ReadBytes(dir / "C.bel"), "alt_C.bel");
  EXPECT_TRUE(testing::Exists(dir / "alt_B.bel"));
  EXPECT_EQ(notes.changed_folders, std::vector<std::string>{folder});
  EXPECT_NE(
      messages.only_text().find("Wiederhergestellt: C.bel aus alt_C.bel. Entfernt: xx_A.bel."),
      std::string::npos);
  // Without an observer it heals all the same.
  testing::WriteBytes(dir / "xx_B.bel", "x");
  ctx.progress = nullptr;
  rewrites::HealLeftovers(ctx, folder, {{"xx_B.bel", fs->FileIdentity(folder + "\\xx_B.bel"), ""}});
  EXPECT_FALSE(testing::Exists(dir / "xx_B.bel"));
  // Forms given their old content back in place are told to the observer too.
  ctx.progress = &healing;
  healing.lines.clear();
  rewrites::ReportRestoredInPlace(ctx, folder, {"D.bel"});
  EXPECT_EQ(healing.lines, std::vector<std::string>{"restored D.bel D.bel"});
}

}  // namespace
}  // namespace llupdate
