#include "files/profile_reader.h"

#include <gtest/gtest.h>

#include "files/file_helpers.h"
#include "test_support.h"

namespace llupdate {
namespace {

// The value read from a file of these bytes, with the default "DEF".
std::string Get(const std::string& bytes, const std::string& section, const std::string& key) {
  testing::TempDir dir;
  testing::WriteBytes(dir / "p.lst", bytes);
  auto fs = platform::NewOsFileSystem();
  return files::ReadProfileValues(*fs, dir / "p.lst", {{section, key, "DEF"}}).front();
}

TEST(ProfileReaderTest, SectionsKeysAndBlanks) {
  std::string ini =
      "top=1\n"
      "\t[ UserSection ] trailing text\r\n"
      "Version  =   3 \x1A\r"
      "version=4\r\n"
      "Flag\n"
      "Empty=\n"
      "[Description]\n"
      "FileVersion=15.1\n"
      "[usersection]\n"
      "Referenzbeleg=second section is never searched\n";
  EXPECT_EQ(Get(ini, "", "top"), "1");
  EXPECT_EQ(Get(ini, "USERSECTION", "VERSION"), "3");  // first key wins, names ignore case
  EXPECT_EQ(Get(ini, "UserSection", "Flag"), "DEF");   // a key without "=" gives the default
  EXPECT_EQ(Get(ini, "UserSection", "Empty"), "");
  EXPECT_EQ(Get(ini, "UserSection", "Referenzbeleg"), "DEF");
  EXPECT_EQ(Get(ini, "Description", "FileVersion"), "15.1");
  EXPECT_EQ(Get(ini, "Missing", "FileVersion"), "DEF");
  EXPECT_EQ(Get("[a]]b]x\nk=v\n[c\nk2=w\n", "a]]b", "k"), "v");  // up to the last "]"
  EXPECT_EQ(Get("[a]]b]x\nk=v\n[c\nk2=w\n", "a]]b", "[c"), "DEF");
  EXPECT_EQ(Get("[s]\nk=a=b\n", "s", "k"), "a=b");
  EXPECT_EQ(Get("[s]\nk=\xA0x\xA0\n", "s", "k"), "\xC2\xA0x\xC2\xA0");  // NBSP is no blank
}

TEST(ProfileReaderTest, QuotesNulAndLength) {
  EXPECT_EQ(Get("[s]\nk=\"quoted value\"\n", "s", "k"), "quoted value");
  EXPECT_EQ(Get("[s]\nk='x'\n", "s", "k"), "x");
  EXPECT_EQ(Get("[s]\nk=\"x'\n", "s", "k"), "\"x'");
  EXPECT_EQ(Get("[s]\nk=\"\n", "s", "k"), "\"");
  EXPECT_EQ(Get("[s]\nk=\"\"\n", "s", "k"), "");  // two quotes: an empty value
  EXPECT_EQ(Get("[s]\nk=''\n", "s", "k"), "");
  EXPECT_EQ(Get(std::string("[s]\nk=ab  \0cd\n", 14), "s", "k"), "ab");
  std::string long_value(3000, 'v');
  EXPECT_EQ(Get("[s]\nk=" + long_value + "\n", "s", "k"), long_value.substr(0, 2047));
}

TEST(ProfileReaderTest, DecodesByByteOrderMark) {
  EXPECT_EQ(Get("[s]\nk=\xE4\x80\n", "s", "k"), "ä€");  // Windows-1252
  EXPECT_EQ(Get("\xEF\xBB\xBF[s]\nk=Ω\n", "s", "k"), "Ω");
  std::string le("\xFF\xFE[\0s\0]\0\n\0k\0=\0\xA9\x03", 16);
  EXPECT_EQ(Get(le, "s", "k"), "Ω");
  std::string be("\xFE\xFF\0[\0s\0]\0\n\0k\0=\x03\xA9", 16);
  EXPECT_EQ(Get(be, "s", "k"), "Ω");
}

// One pass for several values gives what separate reads give, on every file of the corpus.
TEST(ProfileReaderTest, OnePassEqualsSeparateReads) {
  std::vector<std::string> corpus = {
      "[Description]\r\nFileVersion=15\r\n[UserSection]\r\nVersion=3\r\nReferenzbeleg=R\r\n",
      "[UserSection]\nVersion\nVersion=9\n[Description]\n[userSECTION]\nReferenzbeleg=x\n",
      "Version=0\n[UserSection]\r\r\n  Referenzbeleg = 'q' \n[Description]\nFileVersion=\"24\"",
      "[Description\nFileVersion=1\n[]\n[Description]x]\nFileVersion=2\n[UserSection]",
      "",
  };
  std::vector<files::ProfileQuery> queries = {{"UserSection", "Version", ""},
                                              {"UserSection", "Referenzbeleg", ""},
                                              {"Description", "FileVersion", ""},
                                              {"", "Version", "none"}};
  testing::TempDir dir;
  auto fs = platform::NewOsFileSystem();
  for (const std::string& bytes : corpus) {
    testing::WriteBytes(dir / "p.lst", bytes);
    std::vector<std::string> together = files::ReadProfileValues(*fs, dir / "p.lst", queries);
    for (size_t i = 0; i < queries.size(); ++i) {
      EXPECT_EQ(together[i], files::ReadProfileValues(*fs, dir / "p.lst", {queries[i]}).front())
          << bytes << " / " << queries[i].key;
    }
  }
  // A form that is gone (it vanished after the listing) reads as missing, not as unreadable: a
  // distribution goes on without it. One there that cannot be opened may hold values.
  bool unreadable = false;
  EXPECT_EQ(
      files::ReadProfileValues(*fs, dir / "missing.lst", {{"s", "k", "DEF"}}, &unreadable).front(),
      "DEF");
  EXPECT_FALSE(unreadable);
  testing::FaultFileSystem faults(fs);
  faults.FailOn(testing::FsOp::kOpen, 1, platform::kPathFileAccessError, "p.lst");
  EXPECT_EQ(
      files::ReadProfileValues(faults, dir / "p.lst", {{"s", "k", "DEF"}}, &unreadable).front(),
      "DEF");
  EXPECT_TRUE(unreadable);
}

// Reading stops once every value is known: the rest of a long form is never read (a failure
// there does not matter).
TEST(ProfileReaderTest, StopsOnceEveryValueIsKnown) {
  testing::TempDir dir;
  testing::WriteBytes(dir / "p.lst", "[UserSection]\r\nVersion=7\r\n" + std::string(600000, 'x') +
                                         "\r\nReferenzbeleg=R\r\n");
  testing::FaultFileSystem fs(platform::NewOsFileSystem());
  fs.FailOn(testing::FsOp::kRead, 2, 75, "p.lst");
  EXPECT_EQ(files::ReadProfileValues(fs, dir / "p.lst", {{"UserSection", "Version", ""}}).front(),
            "7");
}

}  // namespace
}  // namespace llupdate
