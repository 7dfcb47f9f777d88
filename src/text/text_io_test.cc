#include "text/text_io.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <clocale>
#include <cmath>
#include <cwctype>

#include "test_support.h"
#include "text/encoding.h"
#include "text/text.h"

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
  // A line given as bytes to a Unicode file is its text.
  {
    text::TextWriter writer(
        platform::NewOsFileSystem()->Open(dir / "bytes.lst", platform::OpenMode::kWrite),
        Encoding::kUtf16Le);
    writer.WriteLineBytes("Ω");
    writer.Close();
  }
  EXPECT_EQ(testing::ReadBytes(dir / "bytes.lst"), std::string("\xFF\xFE\xA9\x03\r\0\n\0", 8));
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
  // A line of many chunks is copied whole, and the buffer that held it is not kept for the
  // next text.
  auto in_use = [] { return ::mallinfo2().uordblks + ::mallinfo2().hblkhd; };
  testing::WriteBytes(dir / "long.lst", std::string(5 << 20, 'x') + "\r\n");
  const size_t before = in_use();
  {
    auto fs = platform::NewOsFileSystem();
    text::TextReader reader(fs->Open(dir / "long.lst", platform::OpenMode::kRead));
    text::TextWriter writer(fs->Open(dir / "longout.lst", platform::OpenMode::kWrite),
                            reader.encoding());
    std::string line;
    while (reader.ReadLineBytes(line)) writer.WriteLineBytes(line);
    writer.Close();
  }
  EXPECT_EQ(testing::ReadBytes(dir / "longout.lst"), testing::ReadBytes(dir / "long.lst"));
  EXPECT_LT(in_use(), before + (1u << 20));
}

// A character that a chunk of the writer (256 KiB) would cut in two is written whole, in every
// encoding; bytes that are no UTF-8 become U+FFFD in a UTF-16 file, and stay bytes in an 8-bit
// one.
TEST(TextIoTest, CharactersAtTheChunkBoundaryAndBytesThatAreNoUtf8) {
  TempDir dir;
  auto fs = platform::NewOsFileSystem();
  const size_t chunk = 1 << 18;
  for (Encoding encoding :
       {Encoding::kUtf16Le, Encoding::kUtf16Be, Encoding::kUtf8Bom, Encoding::kAnsi}) {
    for (size_t before : {chunk - 1, chunk - 2, chunk - 3}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(encoding)) + " " + std::to_string(before));
      const std::string line = std::string(before, 'a') + "\xC3\xA4\xE2\x82\xAC" + "z";
      text::TextWriter writer(fs->Open(dir / "w.lst", platform::OpenMode::kWrite), encoding);
      writer.WriteLine(line);
      writer.Close();
      EXPECT_EQ(testing::ReadBytes(dir / "w.lst"), std::string(text::ByteOrderMark(encoding)) +
                                                       text::EncodeText(line + "\r\n", encoding));
      text::TextReader reader(fs->Open(dir / "w.lst", platform::OpenMode::kRead));
      std::string back;
      ASSERT_TRUE(reader.ReadLine(back));
      EXPECT_EQ(back, line);
      reader.Close();
    }
  }
  EXPECT_EQ(text::EncodeText("a\xFF\xC3"
                             "b",
                             Encoding::kUtf16Le),
            std::string("a\0\xFD\xFF\xFD\xFF"
                        "b\0",
                        8));
  text::TextWriter writer(fs->Open(dir / "b.lst", platform::OpenMode::kWrite), Encoding::kAnsi);
  writer.WriteLineBytes("a\xFF\x81");
  writer.Close();
  EXPECT_EQ(testing::ReadBytes(dir / "b.lst"), "a\xFF\x81\r\n");
  // A text longer than a chunk with no character start at all is cut at the chunk.
  const std::string stray(chunk + 5, '\x80');
  text::TextWriter utf16(fs->Open(dir / "s.lst", platform::OpenMode::kWrite), Encoding::kUtf16Le);
  utf16.WriteLine(stray);
  utf16.Close();
  EXPECT_EQ(testing::ReadBytes(dir / "s.lst").size(), 2 + 2 * (chunk + 5) + 4);
}

// Every code point at the edges of the UTF-8 lengths comes back from UTF-16 in both byte orders;
// overlong and out-of-range sequences are no characters (one U+FFFD per byte).
TEST(EncodingTest, Utf8AndUtf16AtTheirEdges) {
  for (uint32_t code : {0x0u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xD7FFu, 0xE000u, 0xFFFDu, 0xFFFFu,
                        0x10000u, 0x10FFFFu}) {
    std::string utf8;
    text::AppendUtf8(utf8, code);
    for (Encoding encoding : {Encoding::kUtf16Le, Encoding::kUtf16Be, Encoding::kUtf8Bom}) {
      EXPECT_EQ(text::DecodeText(text::EncodeText(utf8, encoding), encoding), utf8)
          << std::hex << code;
    }
  }
  for (const std::string& bad : {std::string("\xC0\x80", 2), std::string("\xE0\x80\x80"),
                                 std::string("\xF0\x80\x80\x80"), std::string("\xF4\x90\x80\x80"),
                                 std::string("\xF8\x88\x80\x80\x80"), std::string("\xED\xBF")}) {
    std::string expected;
    for (size_t i = 0; i < bad.size(); ++i) expected += "\xFD\xFF";
    EXPECT_EQ(text::EncodeText(bad, Encoding::kUtf16Le), expected) << bad.size();
  }
  // A pair of surrogates is one character; a lone one is kept as it is (in generalised UTF-8),
  // so that the file comes back byte for byte.
  EXPECT_EQ(text::DecodeText(std::string("\x00\xD8\x00\xDC", 4), Encoding::kUtf16Le),
            "\xF0\x90\x80\x80");
  const std::string lone("\x00\xDCx\0", 4);
  EXPECT_EQ(text::DecodeText(lone, Encoding::kUtf16Le), "\xED\xB0\x80x");
  EXPECT_EQ(text::EncodeText(text::DecodeText(lone, Encoding::kUtf16Le), Encoding::kUtf16Le), lone);
}

// Every Windows-1252 byte comes back as itself through UTF-8; a character the code page lacks is
// "?" and makes an exact encoding fail. The marks tell the encoding.
TEST(EncodingTest, Windows1252AndMarks) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  std::string utf8;
  text::AppendCp1252AsUtf8(utf8, all);
  EXPECT_EQ(text::DecodeText(all, Encoding::kAnsi), utf8);
  std::string back;
  ASSERT_TRUE(text::EncodeCp1252Exactly(utf8, &back));
  EXPECT_EQ(back, all);
  EXPECT_EQ(text::EncodeText(utf8, Encoding::kAnsi), all);
  std::string euro;
  text::AppendCp1252AsUtf8(euro, "\x80\x9F");
  EXPECT_EQ(euro, "\xE2\x82\xAC\xC5\xB8");  // the euro sign and Y with diaeresis
  std::string lossy;
  text::AppendUtf8AsCp1252(lossy,
                           "a\xCE\xA9"
                           "b");  // omega
  EXPECT_EQ(lossy, "a?b");
  lossy.clear();
  text::AppendUtf8AsCp1252(lossy, "a\xFF\xC3\xA4\xC3");  // a byte that starts nothing, a cut one
  EXPECT_EQ(lossy, "a?\xE4?");
  EXPECT_FALSE(text::EncodeCp1252Exactly("\xCE\xA9", &back));
  EXPECT_FALSE(text::EncodeCp1252Exactly("\xC3", &back));

  const std::pair<std::string, Encoding> marks[] = {{"\xEF\xBB\xBFx", Encoding::kUtf8Bom},
                                                    {"\xFF\xFEx", Encoding::kUtf16Le},
                                                    {"\xFE\xFFx", Encoding::kUtf16Be},
                                                    {"\xEF\xBBx", Encoding::kAnsi},
                                                    {"", Encoding::kAnsi}};
  for (const auto& [bytes, encoding] : marks) {
    size_t length = 99;
    EXPECT_EQ(text::DetectEncoding(bytes, &length), encoding) << bytes;
    EXPECT_EQ(length, text::ByteOrderMark(encoding).size()) << bytes;
    EXPECT_EQ(bytes.compare(0, length, text::ByteOrderMark(encoding)), 0) << bytes;
  }
}

// Names are compared as Windows compares them: letter case folded for ASCII, Latin-1 and Latin
// Extended-A as the C library folds them (but the dotted capital I, which Windows leaves).
TEST(TextTest, CaseFoldingOfLatinLetters) {
  ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  auto utf8 = [](uint32_t code) {
    std::string s;
    text::AppendUtf8(s, code);
    return s;
  };
  for (uint32_t code = 0x41; code < 0x180; ++code) {
    if (code >= 0x80 && code < 0xC0) continue;
    uint32_t lower = static_cast<uint32_t>(std::towlower(static_cast<wint_t>(code)));
    if (code == 0x130 || lower > 0x17F || (code >= 0x100 && lower < 0x100)) lower = code;
    EXPECT_EQ(text::FoldCase(utf8(code)), utf8(lower)) << std::hex << code;
    EXPECT_TRUE(text::EqualsIgnoringCase("x" + utf8(code) + "Y", "X" + utf8(lower) + "y"));
  }
  EXPECT_EQ(text::FoldCase("\xC4"), "\xC4");  // a byte that starts no character stays
  // Names are ordered ignoring case; two that differ only in case, by their bytes.
  EXPECT_TRUE(text::NameLess("a.lst", "B.lst"));
  EXPECT_TRUE(text::NameLess("A.lst", "a.lst"));
  EXPECT_FALSE(text::NameLess("a.lst", "A.lst"));
  EXPECT_FALSE(text::NameLess("a.lst", "a.lst"));
  // Upper case (the user's print catalogue) for ASCII and Latin-1, from the first letter to the
  // last; the sign of division stays.
  EXPECT_EQ(text::UpperCase("abc \xC3\xA0\xC3\xA7\xC3\xB7\xC3\xBE\xC3\xBF z"),
            "ABC \xC3\x80\xC3\x87\xC3\xB7\xC3\x9E\xC3\xBF Z");
  std::setlocale(LC_CTYPE, "C");
}

// Trimming takes blanks only; capitals are ASCII only or ASCII and Latin-1; first and last
// characters count code points, not bytes.
TEST(TextTest, TrimCapitalsAndCharacters) {
  EXPECT_EQ(text::TrimSpaces("  a b  ") + "|" + text::TrimSpaces("\ta\t"), "a b|\ta\t");
  EXPECT_EQ(text::TrimSpaces("   ") + text::TrimSpaces(""), "");
  EXPECT_EQ(text::UpperAscii("az AZ {\xC3\xA4}"), "AZ AZ {\xC3\xA4}");
  EXPECT_EQ(text::UpperCase("m\xC3\xBCller"), "M\xC3\x9CLLER");
  const std::string word =
      "\xC3\xA4"
      "bc\xE2\x82\xAC";  // "äbc€"
  EXPECT_EQ(text::FirstCharacters(word, 2),
            "\xC3\xA4"
            "b");
  EXPECT_EQ(text::LastCharacters(word, 2), "c\xE2\x82\xAC");
  EXPECT_EQ(text::LastCharacters(word, 9), word);
  EXPECT_EQ(text::FirstCharacters(word, 0), "");
  EXPECT_EQ(text::LastCharacters("", 3), "");
  EXPECT_TRUE(text::EqualsIgnoringCase("Berichtell", "BERICHTELL"));
  EXPECT_FALSE(text::EqualsIgnoringCase("Bericht", "Berichte"));
}

// Numbers at the start of a text, as the platform's conversion reads them: sign, digits,
// fraction, exponent with or without its sign, and nothing of what follows.
TEST(TextTest, LeadingNumbers) {
  const std::pair<const char*, double> cases[] = {
      {" 12abc", 12}, {"-3.5x", -3.5}, {"+.5", 0.5},      {".", 0},   {"1e5", 1e5}, {"1E+2", 100},
      {"2e-1", 0.2},  {"5e", 5},       {"5e-", 5},        {"e5", 0},  {"", 0},      {"0x10", 0},
      {"16 ", 16},    {"1e-400", 0},   {"7.25e1z", 72.5}, {"inf", 0}, {"nan", 0},
  };
  for (const auto& [text, value] : cases)
    EXPECT_DOUBLE_EQ(text::LeadingNumber(text), value) << text;
  EXPECT_TRUE(std::isinf(text::LeadingNumber("1e400")));
}

}  // namespace
}  // namespace llupdate
