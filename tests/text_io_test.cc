#include "text/text_io.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace llupdate {
namespace {

using testing::TempDir;
using text::Encoding;

// Reads every line of a file and writes it again through the text writer in the same encoding.
std::vector<std::string> RoundTrip(const std::string& from, const std::string& to) {
  auto fs = platform::NewOsFileSystem();
  text::TextReader reader(fs->Open(from, platform::OpenMode::kRead));
  text::TextWriter writer(fs->Open(to, platform::OpenMode::kWrite), reader.encoding());
  std::vector<std::string> lines;
  std::string line;
  while (reader.ReadLine(line)) {
    lines.push_back(line);
    writer.WriteLine(line);
  }
  reader.Close();
  writer.Close();
  return lines;
}

TEST(TextIoTest, EightBitTextKeepsEveryByteValue) {
  TempDir dir;
  std::string all;
  for (int b = 0; b < 256; ++b) {
    if (b != '\r') all.push_back(static_cast<char>(b));
  }
  // CR only, CR LF, a LF inside a line, and a last line without an end.
  std::string input = all + "\r" + "zwei\r\n" + "mit\nLF\r\n" + all;
  testing::WriteBytes(dir / "in.lst", input);
  auto lines = RoundTrip(dir / "in.lst", dir / "out.lst");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2], "mit\nLF");
  EXPECT_EQ(lines[0], lines[3]);
  EXPECT_EQ(testing::ReadBytes(dir / "out.lst"),
            all + "\r\n" + "zwei\r\n" + "mit\nLF\r\n" + all + "\r\n");
  // The decoded text is UTF-8: 0x80 is the euro sign, 0xE4 is ä.
  EXPECT_NE(lines[0].find("\xE2\x82\xAC"), std::string::npos);
  EXPECT_NE(lines[0].find("\xC3\xA4"), std::string::npos);
}

TEST(TextIoTest, UnicodeFilesComeBackInTheirOwnEncoding) {
  TempDir dir;
  // "Ω€😀" then a lone high surrogate, CR only, then "b" and CR LF: UTF-16LE with its mark.
  std::string utf16 =
      std::string("\xFF\xFE", 2) + std::string("\xA9\x03\xAC\x20\x3D\xD8\x00\xDE", 8) +
      std::string("\x00\xD8", 2) + std::string("\r\0", 2) + std::string("b\0\r\0\n\0", 6);
  testing::WriteBytes(dir / "u16.lst", utf16);
  auto lines = RoundTrip(dir / "u16.lst", dir / "u16out.lst");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(0, 9), "Ω€😀");
  EXPECT_EQ(lines[1], "b");
  std::string expected = utf16;
  expected.insert(expected.size() - 6, std::string("\n\0", 2));  // CR alone becomes CR LF
  EXPECT_EQ(testing::ReadBytes(dir / "u16out.lst"), expected);

  std::string utf8 =
      "\xEF\xBB\xBF"
      "Größe=Ω\r\nx\r\n";
  testing::WriteBytes(dir / "u8.lst", utf8);
  EXPECT_EQ(RoundTrip(dir / "u8.lst", dir / "u8out.lst")[0], "Größe=Ω");
  EXPECT_EQ(testing::ReadBytes(dir / "u8out.lst"), utf8);
}

TEST(TextIoTest, LineEndsAcrossReadChunks) {
  TempDir dir;
  // The CR falls on the last byte of the first 64 KiB read, its LF on the first of the next.
  std::string first(65535, 'a');
  testing::WriteBytes(dir / "big.lst", first + "\r\nb");
  auto lines = RoundTrip(dir / "big.lst", dir / "bigout.lst");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], first);
  EXPECT_EQ(lines[1], "b");
  testing::WriteBytes(dir / "empty.lst", "");
  EXPECT_TRUE(RoundTrip(dir / "empty.lst", dir / "emptyout.lst").empty());
}

}  // namespace
}  // namespace llupdate
