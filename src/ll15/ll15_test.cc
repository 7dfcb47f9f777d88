#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <set>

#include "component/internals.h"
#include "files/file_table.h"
#include "host/list_label.h"
#include "host/objects.h"
#include "ll15/block_rewrites.h"
#include "ll15/frame_lines.h"
#include "ll15/ll24_rules.h"
#include "ll15/save_ll15.h"
#include "llupdate/report_ll_update.h"
#include "test_support.h"

namespace llupdate {
namespace {

using testing::FsOp;

const std::string kSub = "\t\t  ";   // sub-section line
const std::string kKey = "\t\t   ";  // key line below it

std::shared_ptr<DynArray> Lines(const std::vector<std::string>& texts) {
  auto lines = host::NewDynArray();
  lines->Dimension(0, 0, 0, 0);
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) lines->AddRows(1);
    lines->SetValue(static_cast<int32_t>(i), 0, texts[i]);
  }
  return lines;
}

std::vector<std::string> Texts(DynArray& lines) {
  std::vector<std::string> texts;
  for (int32_t r = 0; r < lines.Count(1); ++r) texts.push_back(lines.GetValue(r, 0).ToString());
  return texts;
}

// A text block with a bordered sub-section: key line, marker, frame switch and width.
std::vector<std::string> Block(const std::string& key, const std::string& marker = "[Bottom]",
                               bool width = true) {
  std::vector<std::string> block = {"\t\t " + key, kSub + marker, kKey + "Line=False"};
  if (width) block.push_back(kKey + "LineWidth=0");
  return block;
}

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(FrameLinesTest, KorrekturLinien) {
  auto lines = Lines(Join({{"x"}, Block("Text=a"), {kSub + "[Bottom]", kKey + "Line=False", "y"}}));
  EXPECT_EQ(ll15::Korrektur_Linien(-1, lines, "[Bottom]", 400), -1);
  EXPECT_EQ(ll15::Korrektur_Linien(0, lines, "[Top]", 400), -1);
  EXPECT_EQ(ll15::Korrektur_Linien(0, lines, "[Bottom]", 400), 3);
  EXPECT_EQ(lines->GetValue(3, 0).ToString(), kKey + "Line=True");
  EXPECT_EQ(lines->GetValue(4, 0).ToString(), kKey + "LineWidth=400");
  // Without a "LineWidth=0" after it, "LineWidth=300" is inserted right after the switched line,
  // whatever the width asked for.
  std::vector<std::string> expected = Texts(*lines);
  EXPECT_EQ(ll15::Korrektur_Linien(5, lines, "[Bottom]", 500), 6);
  expected[6] = kKey + "Line=True";
  expected.insert(expected.begin() + 7, kKey + "LineWidth=300");
  EXPECT_EQ(Texts(*lines), expected);
  EXPECT_EQ(ll15::Korrektur_Linien(6, lines, "[Bottom]", 500), -1);   // no "Line=False" after it
  EXPECT_EQ(ll15::Korrektur_Linien(0, nullptr, "[Bottom]", 500), 0);  // an error gives 0
  // The sub-section without a frame switch after it: not found, nothing changed.
  auto no_switch = Lines({kSub + "[Bottom]", "z"});
  EXPECT_EQ(ll15::Korrektur_Linien(0, no_switch, "[Bottom]", 500), -1);
  EXPECT_EQ(Texts(*no_switch), (std::vector<std::string>{kSub + "[Bottom]", "z"}));
}

TEST(BlockRewritesTest, PositionsFollowTheStepRule) {
  // Only two header keys exist: exactly their sections are fixed.
  auto header = Lines(Join(
      {{"\t[Header]"}, Block("Text=@K_UEBMenge"), Block("Text=@K_UEBGP"), Block("Text=other")}));
  ll15::Korrektur_Block_UEB(0, header);
  EXPECT_EQ(header->GetValue(3, 0).ToString(), kKey + "Line=True");
  EXPECT_EQ(header->GetValue(4, 0).ToString(), kKey + "LineWidth=300");
  EXPECT_EQ(header->GetValue(7, 0).ToString(), kKey + "Line=True");
  EXPECT_EQ(header->GetValue(11, 0).ToString(), kKey + "Line=False");

  // "@K_UEB2_3" before "Mahnstufe" and after "Ausgleich": both fixed (steps 11 and 14).
  auto twice = Lines(Join({Block("Text=@K_UEB2_3"), Block("Text=@K_UEB2_Mahnstufe"),
                           Block("Text=@K_UEB2_Ausgleich"), Block("Text=@K_UEB2_3")}));
  ll15::Korrektur_Block_UEB(0, twice);
  for (int row : {2, 6, 10, 14}) EXPECT_EQ(twice->GetValue(row, 0).ToString(), kKey + "Line=True");

  // A key with no border section after it: the next key goes unsearched, the one after is
  // searched from where the failed step began.
  auto skip = Lines(
      Join({Block("Text=@K_UEBMenge"), Block("Text=@K_UEBca"), {"\t\t Text=@K_UEBPosition"}}));
  ll15::Korrektur_Block_UEB(0, skip);
  EXPECT_EQ(skip->GetValue(2, 0).ToString(), kKey + "Line=False");  // Menge: not searched
  EXPECT_EQ(skip->GetValue(6, 0).ToString(), kKey + "Line=True");   // ca

  // Sums: a start index past the end finds nothing in group 1, the later groups search from 0;
  // without the "Belegsummen" anchor its keys after the position of group 1 get [Top], 300.
  auto sum_lines = Join({Block("Text=ZuAbBelegende.Waehrung", "[Top]"),
                         {"\t\tDescription=Titelzusammenstellung_Gruppe3L"},
                         Block("Text=Belegende.Betrag", "[Top]")});
  auto late = Lines(sum_lines);
  ll15::Korrektur_Block_Summen(1000, late);
  EXPECT_EQ(late->GetValue(3, 0).ToString(), kKey + "LineWidth=0");
  EXPECT_EQ(late->GetValue(8, 0).ToString(), kKey + "LineWidth=400");
  auto sums = Lines(sum_lines);
  ll15::Korrektur_Block_Summen(0, sums);
  EXPECT_EQ(sums->GetValue(2, 0).ToString(), kKey + "Line=True");
  EXPECT_EQ(sums->GetValue(3, 0).ToString(), kKey + "LineWidth=300");
  EXPECT_EQ(sums->GetValue(8, 0).ToString(), kKey + "LineWidth=400");

  // Prices: the quoted keys, the blank one twice.
  auto prices = Lines(Join({Block("Text=\"Gesamtpreis\"", "[Top]"), Block("Text=\" \"", "[Top]"),
                            Block("Text=\" \"", "[Top]", false)}));
  ll15::Korrektur_Block_Preise(0, prices);
  EXPECT_EQ(prices->GetValue(3, 0).ToString(), kKey + "LineWidth=500");
  EXPECT_EQ(prices->GetValue(7, 0).ToString(), kKey + "LineWidth=500");
  EXPECT_EQ(prices->GetValue(11, 0).ToString(), kKey + "LineWidth=300");  // inserted
  ll15::Korrektur_Block_Preise(0, nullptr);  // without a line list: nothing to do, no error
}

// A DynArray whose first SetValue fails: Korrektur_Linien then gives 0 and the next key is
// looked for from row 0.
class FailingOnce : public DynArray {
 public:
  explicit FailingOnce(std::shared_ptr<DynArray> base) : base_(std::move(base)) {}
  void Dimension(int32_t a, int32_t b, int32_t c, int32_t d) override {
    base_->Dimension(a, b, c, d);
  }
  Variant GetValue(int32_t r, int32_t c) override { return base_->GetValue(r, c); }
  void SetValue(int32_t r, int32_t c, const Variant& v) override {
    if (fail_) {
      fail_ = false;
      throw platform::Error(platform::kInternalError);
    }
    base_->SetValue(r, c, v);
  }
  void AddRows(int32_t n) override { base_->AddRows(n); }
  void InsertRows(int32_t r, int32_t n) override { base_->InsertRows(r, n); }
  int32_t Find(int32_t s, int32_t c, const Variant& v, int32_t a, int32_t b, int32_t d) override {
    return base_->Find(s, c, v, a, b, d);
  }
  int32_t Count(int32_t d) override { return base_->Count(d); }
  int32_t UpperBound(int32_t d) override { return base_->UpperBound(d); }

 private:
  std::shared_ptr<DynArray> base_;
  bool fail_ = true;
};

TEST(BlockRewritesTest, AFailingLineFixRestartsTheSearchAtRowZero) {
  // Menge lies before Position; the failure at Position lets Menge be found from row 0.
  auto base = Lines(Join({Block("Text=@K_UEBMenge"), Block("Text=@K_UEBPosition")}));
  auto lines = std::make_shared<FailingOnce>(base);
  ll15::Korrektur_Block_UEB(4, lines);
  EXPECT_EQ(base->GetValue(2, 0).ToString(), kKey + "Line=True");
  EXPECT_EQ(base->GetValue(6, 0).ToString(), kKey + "Line=False");
}

class Ll15Test : public testing::ComponentFixture {
 protected:
  files::FileTable table_;
  files::FileContext files_{faults_.fs(), table_};
};

std::string Project(const std::string& version, const std::vector<std::string>& body) {
  std::string text = "[Description]\r\nFileVersion=" + version +
                     "\r\n[UserSection]\r\nVersion=1\r\nReferenzbeleg=R\r\n{\r\n";
  for (const std::string& line : body) text += line + "\r\n";
  return text + "}\r\n";
}

const std::vector<std::string> kHeaderBody = {
    "\t[Header]",         "\t\t Text=@K_UEBMenge", kSub + "[Bottom]", kKey + "Line=True",
    kKey + "LineWidth=0", "\t\t Text=Rest",        kSub + "[Bottom]", kKey + "Line=True"};

TEST_F(Ll15Test, RewritesByFormType) {
  testing::WriteBytes(dir_.Form("r.bel"), Project("5", kHeaderBody));
  testing::WriteBytes(dir_.Form("plain.bel"), Project("5", {"Frame.Line=True", "x"}));
  testing::WriteBytes(dir_.Form("w.war"), Project("5", {"Line=True"}));
  testing::WriteBytes(dir_.Form("m.mon"), Project("5", kHeaderBody));
  testing::WriteBytes(dir_.Form("xx_r.bel"), "left over");
  std::string plain = testing::ReadBytes(dir_.Form("plain.bel"));
  std::string mon = testing::ReadBytes(dir_.Form("m.mon"));
  for (const char* name : {"r.bel", "plain.bel", "w.war", "m.mon"}) {
    EXPECT_TRUE(c_.Suche_ErsetzeProjektdatei_LL15(name, dir_.path())) << name;
  }
  // The header's first border is switched back on with its width, every other frame is off; the
  // file ends with the empty lines of the whole-text write and the line list. The control's save
  // stamps the current file version.
  std::vector<std::string> body = kHeaderBody;
  body[3] = kKey + "Line=True";
  body[4] = kKey + "LineWidth=300";
  body[7] = kKey + "Line=False";
  EXPECT_EQ(testing::ReadBytes(dir_.Form("r.bel")), Project("16", body) + "\r\n\r\n");
  EXPECT_EQ(testing::ReadBytes(dir_.Form("plain.bel")), plain);
  EXPECT_EQ(testing::ReadBytes(dir_.Form("w.war")), Project("16", {"Line=False"}) + "\r\n\r\n");
  EXPECT_EQ(testing::ReadBytes(dir_.Form("m.mon")), mon);
  EXPECT_EQ(dir_.Listing(), (std::vector<std::string>{"m.mon", "plain.bel", "r.bel", "w.war"}));
  EXPECT_TRUE(messages_.records().empty());
  EXPECT_EQ(component::Internals::ProjectLines(c_), nullptr);
}

TEST_F(Ll15Test, Utf16FormsGiveTheSameLines) {
  std::string ansi = Project("5", kHeaderBody);
  testing::WriteBytes(dir_.Form("a.bel"), ansi);
  testing::WriteBytes(dir_.Form("u.bel"), testing::Utf16Le(ansi));
  EXPECT_TRUE(c_.Suche_ErsetzeProjektdatei_LL15("a.bel", dir_.path()));
  EXPECT_TRUE(c_.Suche_ErsetzeProjektdatei_LL15("u.bel", dir_.path()));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("u.bel")),
            testing::Utf16Le(testing::ReadBytes(dir_.Form("a.bel"))));
}

TEST_F(Ll15Test, AFailedStepNeverReplacesTheForm) {
  const std::string war = Project("5", {"Line=True"});
  testing::WriteBytes(dir_.Form("w.war"), war);
  struct Case {
    FsOp op;
    int nth;
    std::string message_start;
  };
  // Reads of the temporary file (two each, the second at its end): the control's load (it keeps
  // the bytes for its save), the frame removal (which gives the line list in memory). Its writes:
  // the copy, the control's save, the line list.
  std::vector<Case> cases = {
      {FsOp::kRead, 1, "Allgemeiner Fehler in Save_LL15_Format\r\n75\r\n"},
      {FsOp::kRead, 3, "Allgemeiner Fehler in TXT_ReadAll\r\n75\r\n"},
      {FsOp::kWrite, 3, "Allgemeiner Fehler in Speichern_ProjektArray\r\n61\r\n"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.message_start);
    messages_.records().clear();
    faults_.fs().FailOn(k.op, k.nth, k.op == FsOp::kWrite ? 61 : 75, "xx_w.war");
    EXPECT_TRUE(c_.Suche_ErsetzeProjektdatei_LL15("w.war", dir_.path()));
    EXPECT_EQ(testing::ReadBytes(dir_.Form("w.war")), war);
    EXPECT_EQ(dir_.Listing(), std::vector<std::string>{"w.war"});
    EXPECT_EQ(messages_.only_text().rfind(k.message_start, 0), 0u) << messages_.only_text();
    EXPECT_EQ(faults_.fs().open_files(), 0);
    EXPECT_EQ(component::Internals::Table(c_).OpenCount(), 0);
  }
  messages_.records().clear();
  EXPECT_FALSE(c_.Suche_ErsetzeProjektdatei_LL15("missing.bel", dir_.path()));
  EXPECT_EQ(messages_.only_text(), "Allgemeiner Fehler in Umstellung_Auf_LL15");
  // The frame removal of a file that is not there fails with its own message.
  messages_.records().clear();
  files::FileContext ctx = component::Internals::Files(c_);
  EXPECT_EQ(ll15::Entferne_Rahmen_LL15(ctx, dir_.Form("missing.war"), nullptr), nullptr);
  EXPECT_EQ(messages_.only_text().rfind("Allgemeiner Fehler in Entferne_Rahmen_LL15\r\n53\r\n", 0),
            0u);
}

TEST_F(Ll15Test, TheReSaverRefusesWhatIsNoTextProject) {
  testing::WriteBytes(dir_.Form("nul.war"), Project("5", {std::string("bad\0byte", 8)}));
  testing::WriteBytes(dir_.Form("open.war"), Project("5", {"{", "Line=True"}));
  std::string nul = testing::ReadBytes(dir_.Form("nul.war"));
  EXPECT_TRUE(c_.Suche_ErsetzeProjektdatei_LL15("nul.war", dir_.path()));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("nul.war")), nul);
  EXPECT_EQ(ll15::Save_LL15_Format(files_, dir_.Form("open.war")), 0);
  ASSERT_EQ(messages_.texts().size(), 2u);
  EXPECT_NE(messages_.texts()[0].find("xx_nul.war, Zeile 7: NUL-Zeichen"), std::string::npos);
  EXPECT_EQ(messages_.texts()[1].rfind("Allgemeiner Fehler in Save_LL15_Format\r\n321\r\n", 0), 0u);
  EXPECT_NE(messages_.texts()[1].find("open.war, Zeile 6: \"{\" ohne \"}\""), std::string::npos);

  // A good project is saved with CR LF line ends and the current file version, nothing else
  // changed; the version goes where the project has it, or where it belongs.
  using namespace std::string_literals;
  const std::string stamp = "[Description]\r\n FileVersion=16\r\n";
  struct Case {
    std::string before, after;
  } cases[] = {
      {"[A]\rB=1\n2\r\n{\r\n}", stamp + "[A]\r\nB=1\n2\r\n{\r\n}\r\n"},
      {"", stamp},
      {"[A]\r\n \t[ description ] \r\nX=1\r\n[B]\r\nFileVersion=3\r\n",
       "[A]\r\n \t[ description ] \r\n FileVersion=16\r\nX=1\r\n[B]\r\nFileVersion=3\r\n"},
      {"[Description]\r\n\t fileversion =7.9 x\r\n[Description]\r\nFileVersion=1\r\n",
       "[Description]\r\n\t fileversion =16\r\n[Description]\r\nFileVersion=1\r\n"},
      {"[Description]\r\nFileVersion=24.1\r\n", "[Description]\r\nFileVersion=24.1\r\n"},
      {"[Description]\r\nFileVersion=5\r\nFileVersion=20\r\n",
       "[Description]\r\nFileVersion=16\r\nFileVersion=20\r\n"},
      {"[Description]\r\nFileVersion=1e400\r\n", "[Description]\r\nFileVersion=1e400\r\n"},
      {"[Description]\rFileVersion=16\rX=1", "[Description]\r\nFileVersion=16\r\nX=1\r\n"},
      {"\xFF\xFE[\0D\0e\0s\0c\0r\0i\0p\0t\0i\0o\0n\0]\0\r\0"
       "F\0i\0l\0e\0V\0e\0r\0s\0i\0o\0n\0=\0\x31\0\x36\0\r\0"s,
       "\xFF\xFE[\0D\0e\0s\0c\0r\0i\0p\0t\0i\0o\0n\0]\0\r\0\n\0"
       "F\0i\0l\0e\0V\0e\0r\0s\0i\0o\0n\0=\0\x31\0\x36\0\r\0\n\0"s},
  };
  // A save that would give the same bytes leaves the file alone, time stamp and all.
  const auto old_time = std::filesystem::file_time_type::clock::now() - std::chrono::hours(48);
  for (const Case& k : cases) {
    testing::WriteBytes(dir_.Form("ok.ter"), k.before);
    std::filesystem::last_write_time(dir_.Form("ok.ter"), old_time);
    EXPECT_EQ(ll15::Save_LL15_Format(files_, dir_.Form("ok.ter")), -1);
    EXPECT_EQ(testing::ReadBytes(dir_.Form("ok.ter")), k.after) << k.before;
    EXPECT_EQ(std::filesystem::last_write_time(dir_.Form("ok.ter")) == old_time,
              k.before == k.after)
        << k.before;
    std::filesystem::last_write_time(dir_.Form("ok.ter"), old_time);
    EXPECT_EQ(ll15::Save_LL15_Format(files_, dir_.Form("ok.ter")),
              -1);  // a second save changes nothing
    EXPECT_EQ(testing::ReadBytes(dir_.Form("ok.ter")), k.after) << k.before;
    EXPECT_EQ(std::filesystem::last_write_time(dir_.Form("ok.ter")), old_time) << k.before;
  }
  // Saved under a name that holds a file, the project replaces that file whole.
  testing::WriteBytes(dir_.Form("ok.ter"), cases[0].before);
  testing::WriteBytes(dir_.Form("copy.ter"), "alt");
  EXPECT_EQ(ll15::Save_LL15_Format(files_, dir_.Form("ok.ter"), dir_.Form("copy.ter")), -1);
  EXPECT_EQ(testing::ReadBytes(dir_.Form("copy.ter")), cases[0].after);
  EXPECT_EQ(dir_.Listing(),
            (std::vector<std::string>{"copy.ter", "nul.war", "ok.ter", "open.war"}));
}

TEST_F(Ll15Test, SwitchOverByVersionTypeAndStop) {
  // Versions are rounded to a 16-bit number, whose ends are in range and nothing beyond them.
  const std::pair<const char*, int> versions[] = {
      {"", 0},     {" 6.5 ", 6},  {"7.5", 8},         {"24.0.3", 24},
      {"LL15", 0}, {"1e-400", 0}, {"-32768", -32768}, {"32767", 32767}};
  for (auto [text, number] : versions) EXPECT_EQ(ll15::FileVersionNumber(text), number) << text;
  for (const char* text : {"40000", "-32769", "32768", "1e400"}) {
    EXPECT_THROW(ll15::FileVersionNumber(text), platform::Error) << text;
  }

  // "Line=True" survives a control save and is switched off by the LL15 rewrite.
  const std::string saved = Project("16", {"Line=True"});
  testing::WriteBytes(dir_.Form("a.war"), Project("6", {"Line=True"}));  // control save
  testing::WriteBytes(dir_.Form("b.bel"), Project("6", kHeaderBody));    // LL15 rewrite
  testing::WriteBytes(dir_.Form("c.MAH"), Project("", {"Line=True"}));   // version 0: rewrite
  testing::WriteBytes(dir_.Form("d.ter"), Project("1", {"Line=True"}));  // control save
  testing::MakeReadOnly(dir_.Form("c.MAH"));
  EXPECT_TRUE(c_.Umstellung_auf_LL24(dir_.path()));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("a.war")), saved);
  EXPECT_NE(testing::ReadBytes(dir_.Form("b.bel")).find(kKey + "LineWidth=300"), std::string::npos);
  EXPECT_EQ(testing::ReadBytes(dir_.Form("c.MAH")), Project("16", {"Line=False"}) + "\r\n\r\n");
  EXPECT_EQ(testing::ReadBytes(dir_.Form("d.ter")), Project("16", {"Line=True"}));
  // Converted forms carry the current version: a second switch-over only saves them again.
  std::string converted = testing::ReadBytes(dir_.Form("b.bel"));
  EXPECT_TRUE(c_.Umstellung_auf_LL24(dir_.path()));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("b.bel")), converted);
  EXPECT_TRUE(messages_.records().empty());
  EXPECT_EQ(component::Internals::Catalogue(c_), nullptr);

  // The first LL15 rewrite that fails ends the run: the later types stay untouched.
  testing::WriteBytes(dir_.Form("e.war"), Project("5", {"Line=True"}));
  testing::WriteBytes(dir_.Form("f.bst"), Project("5", {"Line=True"}));
  faults_.fs().FailOn(FsOp::kOpen, 1, 70, "xx_e.war");
  EXPECT_FALSE(c_.Umstellung_auf_LL24(dir_.path()));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("f.bst")), Project("5", {"Line=True"}));
  EXPECT_EQ(messages_.only_text(), "Allgemeiner Fehler in Umstellung_Auf_LL15");

  // A version outside 16 bits is an error of the switch-over itself.
  messages_.records().clear();
  testing::WriteBytes(dir_.Form("e.war"), Project("99999", {"x"}));
  EXPECT_FALSE(c_.Umstellung_auf_LL24(dir_.path()));
  EXPECT_EQ(messages_.only_text(), "Allgemeiner Fehler in Umstellung_Auf_LL15");
}

// Each type has the version from which a control save is enough; below it the form is
// rewritten (a form the rewrite has nothing for keeps its old version).
TEST_F(Ll15Test, EachTypeIsSavedFromItsOwnVersionOn) {
  const std::vector<std::pair<std::string, int>> types = {{"bel", 7}, {"war", 6}, {"MAH", 7},
                                                          {"bst", 7}, {"Mon", 7}, {"ter", 0},
                                                          {"ueb", 0}, {"lbl", 0}};
  for (const auto& [type, from] : types) {
    testing::WriteBytes(dir_.Form("at." + type), Project(std::to_string(from), {"Line=True"}));
    if (from > 0) {
      testing::WriteBytes(dir_.Form("below." + type),
                          Project(std::to_string(from - 1), {"Line=True"}));
    }
  }
  EXPECT_TRUE(c_.Umstellung_auf_LL24(dir_.path()));
  const std::string saved = Project("16", {"Line=True"});
  for (const auto& [type, from] : types) {
    EXPECT_EQ(testing::ReadBytes(dir_.Form("at." + type)), saved) << type;
    EXPECT_TRUE(from == 0 || testing::ReadBytes(dir_.Form("below." + type)) != saved) << type;
  }
  EXPECT_TRUE(messages_.records().empty());

  // The read-only attribute is removed folder-wide, then again form by form but for the forms
  // of the first type: each removal that fails says so.
  const std::string refusal = "Schreibschutz bei Datei " + dir_.path() + "\\";
  std::multiset<std::string> refused, expected;
  for (const auto& [type, from] : types) {
    testing::MakeReadOnly(dir_.Form("at." + type));
    for (const std::string folder : {"BerichteLL\\", "Berichtell\\"}) {  // folder-wide, by form
      faults_.fs().FailOn(FsOp::kSetAttributes, 1, 70, "at." + type);
      if (type != "bel" || folder[8] == 'L') expected.insert(refusal + folder + "at." + type);
    }
  }
  c_.Umstellung_auf_LL24(dir_.path());
  for (const std::string& t : messages_.texts()) refused.insert(t.substr(0, t.find(" kann")));
  EXPECT_EQ(refused, expected);
}

// The control is the host's own where it registers one (called as it is, outside the job); one
// that cannot be created fails each save, which does not change the result.
TEST_F(Ll15Test, TheHostsControlSavesAndAFailedOneChangesNoResult) {
  testing::WriteBytes(dir_.Form("t.ter"), "x\r\n");
  struct HostControl : host::ListLabelControl {
    std::vector<std::string> saved;
    void OpenProjectFile(int32_t, const std::string&, int32_t) override {}
    void GetProjectHandle(int32_t&) override {}
    void GetChildHandle(int32_t&, const std::string&, int32_t&) override {}
    void SaveProjectFile(const std::string& path) override { saved.push_back(path); }
    void CloseProjectFile() override {}
  };
  auto control = std::make_shared<HostControl>();
  {
    ScopedObjectRegistration own(host::kListLabelProgId, [control] { return control; });
    EXPECT_TRUE(clsReportLLUpdate().Umstellung_auf_LL24(dir_.path()));
  }
  EXPECT_EQ(control->saved, std::vector<std::string>{dir_.path() + "\\Berichtell\\xx_t.ter"});
  int created = 0;
  ScopedObjectRegistration none(host::kListLabelProgId, [&created]() -> std::shared_ptr<Object> {
    ++created;
    throw std::runtime_error("no control");
  });
  EXPECT_TRUE(c_.Umstellung_auf_LL24(dir_.path()));
  EXPECT_EQ(created, 1);
  EXPECT_EQ(messages_.only_text().rfind("Allgemeiner Fehler in Save_LL15_Format\r\n429\r\n", 0),
            0u);
}

}  // namespace
}  // namespace llupdate
