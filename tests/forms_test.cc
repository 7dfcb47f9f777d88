#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <limits>

#include "component/internals.h"
#include "files/file_table.h"
#include "llupdate/report_ll_update.h"
#include "platform/error.h"
#include "rewrites/form_rules.h"
#include "rewrites/number_text.h"
#include "test_support.h"

namespace llupdate {
namespace {

using testing::FsOp;

TEST(NumberTextTest, ReadsDecimalsAndWritesTheGeneralFormat) {
  EXPECT_EQ(rewrites::ParseNumber(" 12000 "), 12000);
  EXPECT_EQ(rewrites::ParseNumber("-1.5e3"), -1500);
  EXPECT_EQ(rewrites::ParseNumber(".5"), 0.5);
  EXPECT_EQ(rewrites::ParseNumber("1e-400"), 0);  // too small reads as 0, too large overflows
  auto error_of = [](const char* text) {
    try {
      rewrites::ParseNumber(text);
    } catch (const platform::Error& e) {
      return e.number();
    }
    return 0;
  };
  for (const char* bad : {"", "abc", "1a", "12,5", "1e", "1.2.3", "0x10", "- 1", "1.5x"}) {
    EXPECT_EQ(error_of(bad), 13) << bad;  // no number
  }
  EXPECT_EQ(error_of("1e400"), 6);  // a number too large
  EXPECT_EQ(rewrites::FormatGeneral(12000.0 - 9000), "3000");
  EXPECT_EQ(rewrites::FormatGeneral(3000.0 - 9000), "-6000");
  EXPECT_EQ(rewrites::FormatGeneral(9000.1 - 9000), "0.100000000000364");
  EXPECT_EQ(rewrites::FormatGeneral(12000.5 - 9000), "3000.5");
  EXPECT_EQ(rewrites::FormatGeneral(1e15), "1E+15");
  EXPECT_EQ(rewrites::FormatGeneral(999999999999999.0), "999999999999999");
  EXPECT_EQ(rewrites::FormatGeneral(1.5e-5), "1.5E-05");
  EXPECT_EQ(rewrites::FormatGeneral(0.0001), "0.0001");
  EXPECT_EQ(rewrites::FormatGeneral(1000000000000005.0), "1.00000000000001E+15");  // half away
  EXPECT_EQ(rewrites::FormatGeneral(-0.0), "0");
  EXPECT_EQ(rewrites::FormatGeneral(std::numeric_limits<double>::infinity()), "0");
  EXPECT_EQ(rewrites::FormatGeneral(std::nan("")), "0");
  EXPECT_EQ(rewrites::FormatGeneral(0.9999999999999996), "1");  // the carry runs to the front
  EXPECT_EQ(rewrites::FormatGeneral(-9999999999999996.0), "-1E+16");
}

class FormsTest : public testing::ComponentFixture {
 protected:
  void Write(const std::string& name, const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& l : lines) text += l + "\r\n";
    testing::WriteBytes(dir_.Form(name), text);
  }
  // The text of a form, decoded as Windows-1252 (a UTF-16LE twin's bytes are decoded first).
  std::string Text(const std::string& name) {
    std::string bytes = testing::ReadBytes(dir_.Form(name));
    if (bytes.rfind("\xFF\xFE", 0) != 0) return bytes;
    std::string narrow;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      EXPECT_EQ(bytes[i + 1], '\0');
      narrow += bytes[i];
    }
    return narrow;
  }
  // Writes the UTF-16LE twin of an 8-bit form (its characters are all below 256).
  void WriteTwin(const std::string& from, const std::string& to) {
    testing::WriteBytes(dir_.Form(to), testing::Utf16Le(testing::ReadBytes(dir_.Form(from))));
  }
};

TEST_F(FormsTest, LL12Contents) {
  EXPECT_EQ(std::string(rewrites::kRtfTemplate).size(), 184u);
  const std::string rtf = std::string(rewrites::kRtfTemplate) + "\xABPosition.Text\xBB\\par{}}{}";
  Write("r.bel",
        {"bFormatFromVar=TRUE", "bFormatFromVar=True", "\tContents=\xABPosition.Text\xBB",
         "Contents=\xABPosition.Textblock\xBB", "Contents=\xABZuAbBelegende.Bezeichnung\xBB",
         "Contents=\xABZuAbBelegende.Bezeichnung \xBB", "Bilder.BildFS"});
  Write("m.Mah", {"Contents=\xABPosition.Text\xBB", "Bilder.BildFSx", "bFormatFromVar=TRUE"});
  Write("LSTm.mah", {"Bilder.BildFS"});
  Write("lstx.mah", {"Bilder.BildFS"});
  for (const char* twin : {"r.bel", "m.Mah"}) WriteTwin(twin, std::string("u_") + twin);
  EXPECT_TRUE(c_.Umstellung_auf_LL12(dir_.path()));
  std::string bel = "bFormatFromVar=FALSE\r\nbFormatFromVar=True\r\n\t" + rtf +
                    "\r\nContents=\xABPosition.Textblock\xBB\r\n"
                    "Contents=\xABZuAbBelegende.Bezeichnung\xBB\r\n" +
                    rewrites::kRtfTemplate + "\xABZuAbBelegende.Bezeichnung \xBB\\par{}}{}\r\n" +
                    "Bilder.BildFS\r\n";
  EXPECT_EQ(Text("r.bel"), bel);
  EXPECT_EQ(Text("u_r.bel"), bel);
  EXPECT_EQ(Text("m.Mah"),
            "Contents=\xABPosition.Text\xBB\r\nBilder.Bildx\r\nbFormatFromVar=TRUE\r\n");
  EXPECT_EQ(Text("u_m.Mah"), Text("m.Mah"));
  EXPECT_EQ(Text("LSTm.mah"), "Bilder.BildFS\r\n");
  EXPECT_EQ(Text("lstx.mah"), "Bilder.Bild\r\n");
  int replaces = faults_.fs().calls(FsOp::kReplace);
  EXPECT_TRUE(c_.Umstellung_auf_LL12(dir_.path()));  // nothing left to change
  EXPECT_EQ(faults_.fs().calls(FsOp::kReplace), replaces);
  EXPECT_TRUE(messages_.records().empty());
}

TEST_F(FormsTest, DunningWidths) {
  const std::vector<std::string> block = {"  Width=30000", "  LineWrap=False", "[Other]",
                                          "  LineWrap=0", "  text=Position.LeerZeile1"};
  Write("a.mah", block);
  Write("caps.mah",
        {"WIDTH=30000", "linewrap=false", "LineWrap=False", "TEXT=POSITION.LEERZEILE1"});
  Write("column.mah", {"Width=30000", "[Column]", "LineWrap=False", "TEXT=POSITION.LEERZEILE1"});
  Write("top.mah", {"LineWrap=0", "TEXT=POSITION.LEERZEILE1", "Width=30000"});
  Write("twice.mah", {"width=300001", "TEXT=POSITION.LEERZEILE1", "Width=30000", "LineWrap=0",
                      "TEXT=POSITION.LEERZEILE1"});
  Write("none.mah", {"Width=30000", "LineWrap=False"});
  Write("LST.mah", block);
  WriteTwin("a.mah", "u_a.mah");
  std::string none = testing::ReadBytes(dir_.Form("none.mah"));
  EXPECT_TRUE(c_.Umstellung_Mahnformular(dir_.path(), "MAH"));
  EXPECT_EQ(Text("a.mah"),
            "  Width=130000\r\n  LineWrap=True\r\n[Other]\r\n  LineWrap=1\r\n"
            "  text=Position.LeerZeile1\r\n");
  EXPECT_EQ(Text("u_a.mah"), Text("a.mah"));
  EXPECT_EQ(Text("caps.mah"),
            "WIDTH=30000\r\nlinewrap=false\r\nLineWrap=True\r\nTEXT=POSITION.LEERZEILE1\r\n");
  EXPECT_EQ(Text("column.mah"),
            "Width=30000\r\n[Column]\r\nLineWrap=False\r\nTEXT=POSITION.LEERZEILE1\r\n");
  EXPECT_EQ(Text("top.mah"), "LineWrap=1\r\nTEXT=POSITION.LEERZEILE1\r\nWidth=30000\r\n");
  EXPECT_EQ(Text("twice.mah"),
            "width=300001\r\nTEXT=POSITION.LEERZEILE1\r\nWidth=130000\r\n"
            "LineWrap=1\r\nTEXT=POSITION.LEERZEILE1\r\n");
  EXPECT_EQ(testing::ReadBytes(dir_.Form("none.mah")), none);
  const std::string list_form = Text("LST.mah");
  EXPECT_EQ(list_form,
            "  Width=30000\r\n  LineWrap=False\r\n[Other]\r\n  LineWrap=0\r\n"
            "  text=Position.LeerZeile1\r\n");
  EXPECT_TRUE(c_.Suche_ErsetzeProjektdatei_Mahnung("LST.mah", dir_.path()));  // also by itself
  EXPECT_EQ(Text("LST.mah"), list_form);
  EXPECT_TRUE(messages_.records().empty());

  // A form that cannot be written stops the job; forms after it stay as they are.
  Write("a.mah", block);
  Write("b.mah", block);
  Write("c.mah", block);
  faults_.fs().FailOn(FsOp::kWrite, 1, 61, "xx_b.mah");
  EXPECT_FALSE(c_.Umstellung_Mahnformular(dir_.path(), "mah"));
  EXPECT_NE(Text("a.mah").find("130000"), std::string::npos);
  EXPECT_EQ(Text("c.mah").find("130000"), std::string::npos);
  EXPECT_EQ(messages_.only_text(),
            "Die Umstellung Mahnformular konnte bei Formular b.mah nicht vorgenommen werden.");
}

TEST_F(FormsTest, PageWindow) {
  std::vector<std::string> lines = {
      "S=old", "Identifier=F_Seite", "  Position/Left=12000", "  Position/Width=12000",
      "S=old", "Position/Left"};
  lines.push_back("Position/Left=9000.1=x");
  for (int i = 0; i < 5; ++i) lines.push_back("filler");
  lines.push_back("S=old Identifier=F_Seite Position/Left=3000");  // after the window
  lines.push_back("Identifier=F_Seite");  // a window that the end of the file closes
  lines.push_back("S=old Position/Width=1");
  Write("p.bel", lines);
  WriteTwin("p.bel", "u_p.bel");
  for (const char* name : {"p.bel", "u_p.bel"}) {
    EXPECT_TRUE(c_.Suche_ErsetzeProjektdatei_Seite(name, dir_.path(), "S=", "old", "new",
                                                   "Identifier=F_Seite", "bel"));
  }
  std::string expected =
      "S=new\r\nIdentifier=F_Seite\r\n  Position/Left=3000\r\n  Position/Width=21000\r\n"
      "S=old\r\nPosition/Left\r\nPosition/Left=0.100000000000364\r\n";
  for (int i = 0; i < 5; ++i) expected += "filler\r\n";
  expected +=
      "S=new Identifier=F_Seite Position/Left=3000\r\nIdentifier=F_Seite\r\n"
      "S=new Position/Width=1\r\n";
  EXPECT_EQ(Text("p.bel"), expected);
  EXPECT_EQ(Text("u_p.bel"), expected);

  // Not a number, or a marker on the last line: the form stays, with the operation's message.
  Write("bad.bel", {"Identifier=F_Seite", "Position/Left=abc", "x"});
  Write("last.bel", {"x", "Identifier=F_Seite"});
  std::string bad = testing::ReadBytes(dir_.Form("bad.bel"));
  EXPECT_FALSE(c_.Suche_ErsetzeProjektdatei_Seite("bad.bel", dir_.path(), "S=", "a", "b",
                                                  "Identifier=F_Seite", "bel"));
  EXPECT_FALSE(c_.Suche_ErsetzeProjektdatei_Seite("last.bel", dir_.path(), "S=", "a", "b",
                                                  "Identifier=F_Seite", "bel"));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("bad.bel")), bad);
  EXPECT_EQ(messages_.texts(),
            (std::vector<std::string>{
                "Die Umstellung auf Seite von / bis konnte bei Formular bad.bel nicht vorgenommen "
                "werden.",
                "Die Umstellung auf Seite von / bis konnte bei Formular last.bel nicht vorgenommen "
                "werden."}));
  EXPECT_FALSE(testing::Exists(dir_.Form("xx_bad.bel")));
  EXPECT_EQ(component::Internals::Table(c_).OpenCount(), 0);
  // A window without a position value and no selected line: nothing to change, the form is not
  // written.
  std::vector<std::string> plain(12, "x");
  plain[0] = "Identifier=F_Seite", plain[1] = "Position/Left";
  Write("plain.bel", plain);
  const std::string before = testing::Identity(dir_.Form("plain.bel"));
  EXPECT_TRUE(c_.Suche_ErsetzeProjektdatei_Seite("plain.bel", dir_.path(), "S=", "a", "b",
                                                 "Identifier=F_Seite", "bel"));
  EXPECT_EQ(testing::Identity(dir_.Form("plain.bel")), before);
}

TEST_F(FormsTest, PageNumberSwitchOvers) {
  const std::string old_formula = R"(  Contents==@F_Seitennr;"Seite " + fstr$(page(),"####"))";
  const std::string new_formula =
      R"(  Contents==@F_Seitennr;"Seite " + Page$ () + " von " + TotalPages$ ())";
  Write("a.lst", {"Identifier=F_Seite", "Position/Left=30000", "Position/Width=5000", "x", "y", "z",
                  "1", "2", "3", "4", "5", "6", old_formula});
  EXPECT_TRUE(c_.Umstellung_Auf_Seite_Von_Bis(dir_.path(), "lst"));
  EXPECT_TRUE(c_.Umstellung_Auf_Seite_Von_Bis(dir_.path(), "lst"));
  std::string text = Text("a.lst");
  EXPECT_NE(text.find("Position/Left=12000\r\nPosition/Width=23000\r\n"), std::string::npos);
  EXPECT_NE(text.find(new_formula + "\r\n"), std::string::npos);

  int replaces = faults_.fs().calls(FsOp::kReplace);
  EXPECT_TRUE(c_.Suche_ErsetzeProjektdatei_WarFarbe(dir_.path(), "lst"));
  EXPECT_EQ(faults_.fs().calls(FsOp::kReplace), replaces + 3);  // replaced three times
  EXPECT_NE(Text("a.lst").find("Position/Left=-15000\r\nPosition/Width=50000\r\n"),
            std::string::npos);
  EXPECT_TRUE(c_.Suche_ErsetzeProjektdatei_WarFarbe(dir_.path(), "ter"));  // no forms of it
  EXPECT_TRUE(messages_.records().empty());
  faults_.fs().FailOn(FsOp::kOpen, 2, 70, "a.lst");  // a form that cannot be read fails the call
  EXPECT_FALSE(c_.Suche_ErsetzeProjektdatei_WarFarbe(dir_.path(), "lst"));
}

}  // namespace
}  // namespace llupdate
