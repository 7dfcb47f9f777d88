// The preview: the edit script behind its diffs, and the overlay file system it runs on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "host/objects.h"
#include "llupdate/report_ll_update.h"
#include "platform/error.h"
#include "platform/overlay_file_system.h"
#include "test_support.h"
#include "text/unified_diff.h"

namespace llupdate {
namespace {

// The length of a longest common subsequence, by the textbook table.
size_t CommonLength(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  std::vector<std::vector<size_t>> t(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = a.size(); i-- > 0;) {
    for (size_t j = b.size(); j-- > 0;) {
      t[i][j] = a[i] == b[j] ? t[i + 1][j + 1] + 1 : std::max(t[i + 1][j], t[i][j + 1]);
    }
  }
  return t[0][0];
}

TEST(PreviewTest, EditScriptsAreValidAndShortest) {
  std::mt19937 random(7);
  for (int round = 0; round < 400; ++round) {
    auto lines = [&](size_t n, int alphabet) {
      std::vector<std::string> v;
      for (size_t i = 0; i < n; ++i) v.push_back(std::to_string(random() % alphabet));
      return v;
    };
    int alphabet = 1 + static_cast<int>(random() % 8);
    std::vector<std::string> a = lines(random() % 30, alphabet), b = lines(random() % 30, alphabet);
    std::string edits = text::LineEdits(a, b);
    std::vector<std::string> rebuilt;
    size_t i = 0, j = 0;
    for (char e : edits) {
      if (e == '=') {
        ASSERT_EQ(a[i], b[j]);
        rebuilt.push_back(a[i++]);
        ++j;
      } else if (e == '-') {
        ++i;
      } else {
        rebuilt.push_back(b[j++]);
      }
    }
    ASSERT_EQ(i, a.size());
    ASSERT_EQ(rebuilt, b);
    ASSERT_EQ(static_cast<size_t>(std::count(edits.begin(), edits.end(), '=')), CommonLength(a, b));
  }
  // Every line differs by its end: no search at all, and a diff of every line.
  std::string before, after;
  for (int n = 0; n < 20000; ++n) {
    before += "Zeile " + std::to_string(n) + "\r";
    after += "Zeile " + std::to_string(n) + "\r\n";
  }
  // Lines added at the end or taken from it are a change too.
  EXPECT_NE(UnifiedDiff("a\r\n", "a\r\nb\r\n").find("+b"), std::string::npos);
  EXPECT_NE(UnifiedDiff("a\r\nb\r\n", "a\r\n").find("-b"), std::string::npos);
  EXPECT_EQ(UnifiedDiff("a\r\n", "a\r\n"), "");
  EXPECT_EQ(UnifiedDiff("", "a\r\n"), "@@ -0,0 +1,1 @@\n+a\n");
  // Two changes far apart are two hunks, each with three lines of context and the counts of
  // both sides.
  std::string twelve, changed;
  for (int n = 1; n <= 12; ++n) {
    twelve += std::to_string(n) + "\r\n";
    if (n != 11) changed += (n == 2 ? std::string("zwei") : std::to_string(n)) + "\r\n";
  }
  EXPECT_EQ(UnifiedDiff(twelve, changed),
            "@@ -1,5 +1,5 @@\n 1\n-2\n+zwei\n 3\n 4\n 5\n"
            "@@ -8,5 +8,4 @@\n 8\n 9\n 10\n-11\n 12\n");
  // Changes twice the context apart share a hunk.
  std::string close = twelve;
  close.replace(close.find("9\r\n"), 1, "neun");
  close.replace(close.find("2\r\n"), 1, "zwei");
  EXPECT_EQ(UnifiedDiff(twelve, close),
            "@@ -1,12 +1,12 @@\n 1\n-2\n+zwei\n 3\n 4\n 5\n 6\n 7\n 8\n-9\n+neun\n 10\n 11\n 12\n");
  std::string diff = UnifiedDiff(before, after);
  EXPECT_EQ(std::count(diff.begin(), diff.end(), '\n'), 40001);
  EXPECT_NE(diff.find("-Zeile 19999 [CR]\n"), std::string::npos);
  EXPECT_NE(diff.find("+Zeile 0 [CR LF]\n"), std::string::npos);
  EXPECT_EQ(UnifiedDiff("a\nb", "a\r\nb\r\n"),
            "@@ -1,2 +1,2 @@\n-a [LF]\n-b [no line end]\n+a [CR LF]\n+b [CR LF]\n");
}

class OverlayTest : public ::testing::Test {
 protected:
  OverlayTest()
      : overlay_(std::make_shared<platform::OverlayFileSystem>(
            NewOsFileSystem(), std::vector<std::string>{dir_.path()})) {}

  testing::FormFolder dir_;
  std::shared_ptr<platform::OverlayFileSystem> overlay_;
};

TEST_F(OverlayTest, AJobOnTheOverlayChangesNothingAndTellsWhatItWouldChange) {
  testing::WriteBytes(dir_.Form("a.bel"), "Spacing.Paragraph=8\r\nText\r\n");
  testing::MakeReadOnly(dir_.Form("a.bel"));
  testing::WriteBytes(dir_.Form("b.bel"), "unchanged\r\n");
  testing::WriteBytes(dir_.Form("alt_c.bel"), "the old content of c\r\n");  // c.bel lost its form
  {
    testing::RecordedMessages messages;
    ScopedObjectRegistration files(host::kFileSystemProgId, [this] { return overlay_; });
    clsReportLLUpdate c;
    EXPECT_TRUE(c.Suche_ErsetzeProjektdatei("a.bel", dir_.path(), "Spacing.Paragraph=8", "=8",
                                            "=Firmendaten.NeueAnschrift"));
    EXPECT_TRUE(c.SchreibschutzEntfernen(dir_.path() + "\\BerichteLL\\b.bel"));
    overlay_->MoveFile(dir_.path() + "\\BerichteLL\\alt_c.bel",
                       dir_.path() + "\\BerichteLL\\c.bel");
    overlay_->CreateFolder(dir_.path() + "\\Neu");
    overlay_->SetAttributes(dir_.path() + "\\BerichteLL", 0);  // known now, but no new folder
    EXPECT_EQ(testing::Names(*overlay_, dir_.path() + "\\berichtell"),
              (std::vector<std::string>{"a.bel", "b.bel", "c.bel"}));
  }
  // The disk is as it was.
  EXPECT_EQ(testing::ReadBytes(dir_.Form("a.bel")), "Spacing.Paragraph=8\r\nText\r\n");
  EXPECT_TRUE(testing::IsReadOnly(dir_.Form("a.bel")));
  EXPECT_TRUE(testing::Exists(dir_.Form("alt_c.bel")));
  for (const std::string& gone : {dir_.Form("c.bel"), dir_ / "Neu", dir_.Form(kLockFileName)})
    EXPECT_FALSE(testing::Exists(gone)) << gone;

  std::vector<std::string> seen;
  for (const auto& change : overlay_->Changes()) {
    seen.push_back(change.os_path.substr(dir_.path().size()) + ":" + std::to_string(change.kind));
  }
  using Change = platform::OverlayFileSystem::Change;
  EXPECT_EQ(seen,
            (std::vector<std::string>{"/BerichteLL/a.bel:" + std::to_string(Change::kChanged),
                                      "/BerichteLL/alt_c.bel:" + std::to_string(Change::kDeleted),
                                      "/BerichteLL/c.bel:" + std::to_string(Change::kCreated),
                                      "/Neu:" + std::to_string(Change::kCreatedFolder)}));
  EXPECT_EQ(overlay_->BytesAfter(dir_.path() + "\\BerichteLL\\a.bel"),
            "Spacing.Paragraph=Firmendaten.NeueAnschrift\r\nText\r\n");
  EXPECT_EQ(overlay_->BytesAfter(dir_.path() + "\\BerichteLL\\c.bel"), "the old content of c\r\n");
}

TEST_F(OverlayTest, APreviewServesTheCallsThatChoseItAndNoLaterOne) {
  const std::string before = "Spacing.Paragraph=8\r\n";
  const std::string after = "Spacing.Paragraph=Firmendaten.NeueAnschrift\r\n";
  testing::WriteBytes(dir_.Form("a.bel"), before);
  testing::RecordedMessages messages;
  clsReportLLUpdate c;
  // Through the options: this instance previews, and writes once the option is emptied.
  CallOptions options;
  options.file_system = overlay_;
  c.SetCallOptions(options);
  EXPECT_TRUE(c.Umstellung_Auf_Neue_Anschrift(dir_.path()));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("a.bel")), before);
  EXPECT_EQ(overlay_->BytesAfter(dir_.path() + "\\BerichteLL\\a.bel"), after);
  // The driver records its steps in the preview too: no settings file appears on the disk.
  std::shared_ptr<Object> connection = std::make_shared<SettingsConnection>(dir_ / "s.sqlite");
  c.Pruefe_Konvertiere_Formulare(dir_.path(), connection);
  EXPECT_FALSE(testing::Exists(dir_ / "s.sqlite"));
  EXPECT_EQ(overlay_->BytesAfter(dir_ / "s.sqlite").rfind("SQLite format 3", 0), 0u);
  {
    // Another instance meanwhile writes for real.
    clsReportLLUpdate other;
    EXPECT_TRUE(other.Umstellung_Auf_Neue_Anschrift(dir_.path()));
    EXPECT_EQ(testing::ReadBytes(dir_.Form("a.bel")), after);
  }
  testing::WriteBytes(dir_.Form("a.bel"), before);
  options.file_system = nullptr;
  c.SetCallOptions(options);
  EXPECT_TRUE(c.Umstellung_Auf_Neue_Anschrift(dir_.path()));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("a.bel")), after);
  EXPECT_EQ(c.LastCallSummary().rewritten, 1);
  // Through the factory: the preview serves the call that obtained it, not the next one.
  testing::WriteBytes(dir_.Form("a.bel"), before);
  auto preview = std::make_shared<platform::OverlayFileSystem>(
      NewOsFileSystem(), std::vector<std::string>{dir_.path()});
  clsReportLLUpdate d;
  {
    ScopedObjectRegistration files(host::kFileSystemProgId, [&] { return preview; });
    EXPECT_TRUE(d.Umstellung_Auf_Neue_Anschrift(dir_.path()));
    EXPECT_TRUE(d.SchreibschutzEntfernen(dir_.Form("a.bel")));
  }
  EXPECT_EQ(testing::ReadBytes(dir_.Form("a.bel")), before);
  EXPECT_TRUE(d.Umstellung_Auf_Neue_Anschrift(dir_.path()));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("a.bel")), after);
  EXPECT_EQ(d.LastCallSummary().rewritten, 1);

  // The texts a host shows: every encoding a form may have, decoded.
  EXPECT_EQ(FormText(std::string("\xFF\xFE[\0\xE4\0]\0", 8)), "[\xC3\xA4]");
  EXPECT_EQ(FormText(std::string("\xFE\xFF\0[\0\xE4\0]", 8)), "[\xC3\xA4]");
  EXPECT_EQ(FormText("\xEF\xBB\xBF[\xC3\xA4]"), "[\xC3\xA4]");
  EXPECT_EQ(FormText("[\xE4\x80]"), "[\xC3\xA4\xE2\x82\xAC]");
}

TEST_F(OverlayTest, ReadsNoPipeNoLinkOutsideAndNoHeldDatabase) {
  ASSERT_EQ(::mkfifo(dir_.Form("pipe.bel").c_str(), 0644), 0);
  testing::TempDir outside;
  testing::WriteBytes(outside / "secret.bel", "outside\r\n");
  ASSERT_EQ(::symlink((outside / "secret.bel").c_str(), dir_.Form("out.bel").c_str()), 0);
  testing::WriteBytes(dir_.Form("real.bel"), "inside\r\n");
  ASSERT_EQ(::symlink("real.bel", dir_.Form("in.bel").c_str()), 0);
  ASSERT_EQ(::symlink("loop2", dir_.Form("loop1").c_str()), 0);
  ASSERT_EQ(::symlink("loop1", dir_.Form("loop2").c_str()), 0);

  auto read = [&](const std::string& name) {
    return testing::ErrorNumber(
        [&] { overlay_->Open(dir_.path() + "\\BerichteLL\\" + name, OpenMode::kRead); });
  };
  EXPECT_EQ(read("pipe.bel"), platform::kPathFileAccessError);  // and it did not wait
  EXPECT_EQ(read("out.bel"), platform::kPathFileAccessError);
  EXPECT_EQ(read("loop1"), platform::kPathFileAccessError);
  EXPECT_EQ(read("in.bel"), 0);
  EXPECT_EQ(testing::ErrorNumber(
                [&] { overlay_->Open(dir_.path() + "\\BerichteLL\\loop1", OpenMode::kCreateNew); }),
            platform::kFileAlreadyExists);
  // The real file system does not wait on a pipe either.
  EXPECT_EQ(testing::ErrorNumber(
                [&] { NewOsFileSystem()->Open(dir_.Form("pipe.bel"), OpenMode::kRead); }),
            platform::kPathFileAccessError);

  // A run that holds the form folder: the preview reads on, knows the holder, and takes none of
  // its files for leftovers to heal.
  const std::string forms = dir_.path() + "/BerichteLL";
  int fd = ::open((forms + "/" + kLockFileName).c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "host=h\npid=1\nsince=now\nstate=running\n", 38), 38);
  ::close(fd);
  fd = ::open((forms + "/.llupdate-lock." + std::to_string(::geteuid())).c_str(), O_RDWR | O_CREAT,
              0644);
  ASSERT_EQ(::write(fd, "state=running\n", 14), 14);
  EXPECT_TRUE(platform::LockFormFolder(*overlay_, forms, 0)->previous_run_unfinished());
  ::close(fd);
  fd = ::open(forms.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  auto held = platform::LockFormFolder(*overlay_, forms, 0);
  EXPECT_FALSE(held->previous_run_unfinished());
  EXPECT_NE(overlay_->held_by().find("pid=1"), std::string::npos);
  ::close(fd);
}

// A path from the root and the same parts from the current folder are two places: what the
// preview wrote under one is not seen under the other.
TEST(PreviewTest, AbsoluteAndRelativePathsAreApart) {
  testing::TempDir dir;
  ::mkdir((dir / "db").c_str(), 0755);
  char here[4096];
  ASSERT_NE(::getcwd(here, sizeof here), nullptr);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  platform::OverlayFileSystem overlay(NewOsFileSystem(), {});
  overlay.Open("db\\f.txt", OpenMode::kWrite)->Finish("new", 3);
  EXPECT_TRUE(overlay.FileExists("db\\f.txt"));
  EXPECT_TRUE(overlay.FileExists("DB/F.TXT"));
  EXPECT_FALSE(overlay.FileExists("\\db\\f.txt"));
  EXPECT_FALSE(testing::Exists(dir / "db/f.txt"));
  ASSERT_EQ(::chdir(here), 0);
}

// Another account's file, which this one may not replace, is written into where it may be
// written, as the real run does, and refused where not.
TEST(PreviewTest, AFileThatMayNotBeReplacedIsWrittenIntoOrRefused) {
  auto others = std::make_shared<testing::OthersFiles>(testing::DemoInMemory());
  for (bool writable : {true, false}) {
    others->writable = writable;
    platform::OverlayFileSystem preview(others, {});
    EXPECT_EQ(testing::ErrorNumber([&] {
                preview.ReplaceFile("mem/BerichteLL/Etikett.lbl", "mem/BerichteLL/Termine.ter");
              }),
              writable ? 0 : platform::kPermissionDenied);
  }
}

}  // namespace
}  // namespace llupdate
