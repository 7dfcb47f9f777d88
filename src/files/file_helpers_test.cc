#include "files/file_helpers.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "rewrites/rewrite_pattern.h"
#include "test_support.h"

namespace llupdate {
namespace {

using testing::FsOp;
using testing::TempDir;

class FileHelpersTest : public ::testing::Test {
 protected:
  std::shared_ptr<testing::FaultFileSystem> fs_ =
      std::make_shared<testing::FaultFileSystem>(platform::NewOsFileSystem());
  files::FileTable table_;
  files::FileContext ctx_{*fs_, table_};
  testing::RecordedMessages messages_;
  TempDir dir_;

  void ExpectNothingOpen() {
    EXPECT_EQ(table_.OpenCount(), 0);
    EXPECT_EQ(fs_->open_files(), 0);
  }
};

TEST_F(FileHelpersTest, AusgabeOpen) {
  EXPECT_EQ(files::Ausgabe_Open(ctx_, true, dir_ / "missing.lst"), 0);
  ASSERT_EQ(messages_.records().size(), 1u);
  EXPECT_EQ(messages_.records()[0].call, "ReportError");
  EXPECT_EQ(messages_.records()[0].routine, "Ausgabe_Open");
  EXPECT_EQ(messages_.records()[0].number, 53);
  int32_t n = files::Ausgabe_Open(ctx_, false, dir_ / "new.lst");
  EXPECT_EQ(n, 1);
  EXPECT_EQ(files::Ausgabe_Open(ctx_, false, dir_ / "second.lst"), 2);  // lowest free number
  table_.Close(1);
  table_.Close(2);
  EXPECT_EQ(testing::ReadBytes(dir_ / "new.lst"), "");
  ExpectNothingOpen();
  // The numbers run from 1 to 255; with all of them open there is none (error 67).
  for (int32_t number = 1; number <= 254; ++number)
    table_.OpenInput(number, *fs_, dir_ / "new.lst");
  EXPECT_EQ(table_.FreeFile(), 255);
  table_.OpenInput(255, *fs_, dir_ / "new.lst");
  EXPECT_EQ(testing::ErrorNumber([&] { table_.FreeFile(); }), 67);
  EXPECT_EQ(table_.OpenCount(), 255);
  for (int32_t number = 1; number <= 255; ++number) table_.Close(number);
  EXPECT_FALSE(table_.IsOpen(0));
  EXPECT_FALSE(table_.IsOpen(256));
  // A number in use cannot be opened again (55); one not open that way, or outside 1 to 255,
  // cannot be used (52); a closed number is free again, also after a failed close.
  table_.OpenInput(3, *fs_, dir_ / "new.lst");
  EXPECT_EQ(testing::ErrorNumber([&] { table_.OpenInput(3, *fs_, dir_ / "new.lst"); }), 55);
  EXPECT_EQ(testing::ErrorNumber(
                [&] { table_.OpenOutput(3, *fs_, dir_ / "x.lst", text::Encoding::kAnsi); }),
            55);
  EXPECT_EQ(testing::ErrorNumber([&] { table_.Writer(3); }), 52);
  EXPECT_EQ(testing::ErrorNumber([&] { table_.Reader(4); }), 52);
  EXPECT_EQ(testing::ErrorNumber([&] { table_.Reader(0); }), 52);
  EXPECT_EQ(testing::ErrorNumber([&] { table_.OpenInput(256, *fs_, dir_ / "new.lst"); }), 52);
  EXPECT_EQ(table_.OpenCount(), 1);
  table_.Close(3);
  table_.Close(3);  // closing a free number does nothing
  fs_->FailOn(testing::FsOp::kClose, 1, 61);
  table_.OpenOutput(4, *fs_, dir_ / "x.lst", text::Encoding::kAnsi);
  table_.Writer(4).WriteLine("x");
  EXPECT_EQ(testing::ErrorNumber([&] { table_.Close(4); }), 61);
  EXPECT_FALSE(table_.IsOpen(4));
  ExpectNothingOpen();
}

TEST_F(FileHelpersTest, LineArraysLoadAndSave) {
  testing::WriteBytes(dir_ / "three.lst", "a\r\nb\r\nc\r\n");
  testing::WriteBytes(dir_ / "open.lst", "a\r\nb\r\nc");
  testing::WriteBytes(dir_ / "empty.lst", "");
  EXPECT_EQ(files::Aufbau_ProjektArray(ctx_, dir_ / "three.lst")->Count(1), 4);
  EXPECT_EQ(files::Aufbau_ProjektArray(ctx_, dir_ / "open.lst")->Count(1), 4);
  EXPECT_EQ(files::Aufbau_ProjektArray(ctx_, dir_ / "empty.lst")->Count(1), 1);

  testing::WriteBytes(dir_ / "ab.lst", "A\rB");
  auto lines = files::Aufbau_ProjektArray(ctx_, dir_ / "ab.lst");
  EXPECT_EQ(files::Speichern_ProjektArray(ctx_, dir_ / "ab.lst", lines), -1);
  EXPECT_EQ(testing::ReadBytes(dir_ / "ab.lst"), "A\r\nB\r\n\r\n");

  // A UTF-16 file keeps its encoding through load and save.
  testing::WriteBytes(dir_ / "u.lst", std::string("\xFF\xFEx\0\r\0\n\0", 8));
  text::Encoding encoding;
  auto u = files::Aufbau_ProjektArray(ctx_, dir_ / "u.lst", &encoding);
  files::Speichern_ProjektArray(ctx_, dir_ / "u.lst", u, encoding);
  EXPECT_EQ(testing::ReadBytes(dir_ / "u.lst"), std::string("\xFF\xFEx\0\r\0\n\0\r\0\n\0", 12));
  EXPECT_TRUE(messages_.records().empty());
  ExpectNothingOpen();
}

// The replacement a piece at a time gives what reading all and replacing gives: also for
// matches and characters that straddle the pieces (256 KiB each), in 8-bit and UTF-8 files.
TEST_F(FileHelpersTest, ReplaceAllAPieceAtATime) {
  for (const std::string& mark : {std::string(), std::string("\xEF\xBB\xBF")}) {
    for (size_t shift : {0u, 3u, 5u, 8u, 9u}) {
      std::string text =
          std::string((1 << 18) - shift, 'x') + "Line=True\r\n\xC3\xA4Line=TrueLine=True";
      if (mark.empty()) text = std::string((1 << 18) - shift, 'x') + "Line=True\r\n\xE4Line=True";
      testing::WriteBytes(dir_ / "big.lst", mark + text);
      text::Encoding encoding;
      auto lines =
          files::TXT_ReplaceAllLines(ctx_, dir_ / "big.lst", "Line=True", "Line=False", &encoding);
      ASSERT_NE(lines, nullptr);
      const std::string second =
          mark.empty() ? "\xC3\xA4Line=False" : "\xC3\xA4Line=FalseLine=False";
      std::vector<std::string> got;
      for (int32_t r = 0; r <= lines->UpperBound(1); ++r)
        got.push_back(lines->GetValue(r, 0).ToString());
      EXPECT_EQ(got, (std::vector<std::string>{std::string((1 << 18) - shift, 'x') + "Line=False",
                                               second, ""}))
          << shift;
      EXPECT_EQ(encoding, mark.empty() ? text::Encoding::kAnsi : text::Encoding::kUtf8Bom);
    }
  }
  // The file stays as it is.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1);
  EXPECT_TRUE(messages_.texts().empty());
  ExpectNothingOpen();
}

// Every failure shows its one message and leaves no file open; afterwards file 99 is free again.
TEST_F(FileHelpersTest, FailuresShowOneMessageAndCloseWhatTheyOpened) {
  testing::WriteBytes(dir_ / "a.lst", "A\r\nB\r\n");
  EXPECT_EQ(files::Aufbau_ProjektArray(ctx_, dir_ / "missing.lst"), nullptr);
  fs_->FailOn(FsOp::kRead);
  EXPECT_EQ(files::Aufbau_ProjektArray(ctx_, dir_ / "a.lst"), nullptr);
  ExpectNothingOpen();
  auto lines = files::Aufbau_ProjektArray(ctx_, dir_ / "a.lst");
  ASSERT_NE(lines, nullptr);

  fs_->FailOn(FsOp::kWrite);
  EXPECT_EQ(files::Speichern_ProjektArray(ctx_, dir_ / "out.lst", lines), 0);
  fs_->FailOn(FsOp::kClose);
  EXPECT_EQ(files::Speichern_ProjektArray(ctx_, dir_ / "out.lst", lines), 0);
  ExpectNothingOpen();
  EXPECT_EQ(files::Speichern_ProjektArray(ctx_, dir_ / "out.lst", lines), -1);

  // The whole-text replacement shows a failing read as its reading routine's.
  fs_->FailOn(FsOp::kRead);
  EXPECT_EQ(files::TXT_ReplaceAllLines(ctx_, dir_ / "a.lst", "x", "y", nullptr), nullptr);
  ExpectNothingOpen();

  std::vector<std::string> expected = {
      "Allgemeiner Fehler in Aufbau_ProjektArray\r\n53\r\nDatei nicht gefunden: " +
          (dir_ / "missing.lst"),
      "Allgemeiner Fehler in Aufbau_ProjektArray\r\n75\r\n"
      "Fehler beim Zugriff auf Pfad/Datei: injected: " +
          (dir_ / "a.lst"),
      "Allgemeiner Fehler in Speichern_ProjektArray\r\n75\r\n"
      "Fehler beim Zugriff auf Pfad/Datei: injected: " +
          (dir_ / "out.lst"),
      "Allgemeiner Fehler in Speichern_ProjektArray\r\n75\r\n"
      "Fehler beim Zugriff auf Pfad/Datei: injected: " +
          (dir_ / "out.lst"),
      "Allgemeiner Fehler in TXT_ReadAll\r\n75\r\n"
      "Fehler beim Zugriff auf Pfad/Datei: injected: " +
          (dir_ / "a.lst"),
  };
  EXPECT_EQ(messages_.texts(), expected);
}

TEST_F(FileHelpersTest, ReadOnlyRemoval) {
  std::string f = dir_ / "ro.lst";
  testing::WriteBytes(f, "x");
  ::chmod(f.c_str(), 0440);
  EXPECT_TRUE(files::RemoveReadOnly(ctx_, f));
  EXPECT_EQ(testing::Mode(f), 0640u);
  EXPECT_TRUE(files::RemoveReadOnly(ctx_, dir_ / "missing.lst"));

  ::chmod(f.c_str(), 0444);
  fs_->FailOn(FsOp::kSetAttributes, 1, 70);
  EXPECT_FALSE(files::RemoveReadOnly(ctx_, f));
  EXPECT_EQ(messages_.only_text(), "Schreibschutz bei Datei " + f +
                                       " kann nicht entfernt werden!\r\n70\r\n"
                                       "Zugriff verweigert: injected: " +
                                       f);
}

}  // namespace
}  // namespace llupdate
