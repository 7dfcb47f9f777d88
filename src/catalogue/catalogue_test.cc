#include "catalogue/catalogue.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "component/internals.h"
#include "host/objects.h"
#include "llupdate/report_ll_update.h"
#include "test_support.h"

namespace llupdate {
namespace {

using testing::FsOp;

std::string FormText(const std::string& version, const std::string& beleg,
                     const std::string& body = "") {
  return "[Description]\r\nFileVersion=24\r\n[UserSection]\r\nVersion=" + version +
         "\r\nReferenzbeleg=" + beleg + "\r\n" + body;
}

class CatalogueTest : public ::testing::Test {
 protected:
  CatalogueTest() { ::mkdir((dir_ / "BerichteLLOrg").c_str(), 0755); }
  std::vector<std::string> Column(DynArray& a, int c) {
    std::vector<std::string> values;
    for (int r = 0; r < a.Count(1); ++r) values.push_back(a.GetValue(r, c).ToString());
    return values;
  }

  testing::RecordedMessages messages_;
  testing::FormFolder dir_;
  std::shared_ptr<platform::FileSystem> fs_ = platform::NewOsFileSystem();
  files::FileTable table_;
  files::FileContext ctx_{*fs_, table_};
};

TEST_F(CatalogueTest, ListsFormsWithTheirHeaderValues) {
  testing::WriteBytes(dir_.Form("Rechnung.lst"), FormText("3", "Rechnung"));
  testing::WriteBytes(dir_.Form("Angebot.LST"), FormText("2", ""));
  for (const char* name : {"~Rechnung.lst", "Notiz.txt", "Beleg.bel.bak"}) {
    testing::WriteBytes(dir_.Form(name), FormText("3", "Rechnung"));  // no forms
  }
  auto all = host::NewDynArray();
  ASSERT_TRUE(catalogue::Aufbau_Array(ctx_, *all, dir_.forms));
  EXPECT_EQ(Column(*all, 0), std::vector<std::string>{"Rechnung.lst"});
  EXPECT_EQ(all->GetValue(0, 1).ToString(), dir_.forms + "\\Rechnung.lst");
  EXPECT_EQ(all->GetValue(0, 2).ToString(), "3");
  EXPECT_EQ(all->GetValue(0, 4), Variant(false));
  EXPECT_TRUE(all->GetValue(0, 5).IsEmpty());

  auto lst = host::NewDynArray();
  ASSERT_TRUE(catalogue::Aufbau_Array2(ctx_, "lst", *lst, dir_.forms));
  EXPECT_EQ(Column(*lst, 0), (std::vector<std::string>{"Angebot.LST", "Rechnung.lst"}));
  EXPECT_EQ(Column(*lst, 3), (std::vector<std::string>{"", "Rechnung"}));
  EXPECT_EQ(Column(*lst, 5), (std::vector<std::string>{"24", "24"}));

  auto none = host::NewDynArray();
  ASSERT_TRUE(catalogue::Aufbau_Array2(ctx_, "MON", *none, dir_.forms));
  EXPECT_EQ(Column(*none, 0), std::vector<std::string>{""});
  EXPECT_TRUE(messages_.records().empty());

  EXPECT_FALSE(catalogue::Aufbau_Array2(ctx_, "lst", *none, dir_ / "missing"));
  EXPECT_EQ(messages_.only_text().rfind("Allgemeiner Fehler in Aufbau_Array\r\n76\r\n", 0), 0u);
}

TEST_F(CatalogueTest, FormDirectoriesAreChecked) {
  EXPECT_TRUE(catalogue::Pruefe_Kataloge(ctx_, dir_.path()));
  EXPECT_FALSE(catalogue::Pruefe_Kataloge(ctx_, dir_ / "nothing"));
  ::rmdir((dir_ / "BerichteLLOrg").c_str());
  EXPECT_FALSE(catalogue::Pruefe_Kataloge(ctx_, dir_.path()));
  ASSERT_EQ(messages_.records().size(), 2u);
  EXPECT_EQ(messages_.records()[0].text, "Das Verzeichnis BerichteLL ist nicht vorhanden");
  EXPECT_EQ(messages_.records()[1].text, "Das Verzeichnis BerichteLLOrg ist nicht vorhanden");
  EXPECT_FALSE(messages_.records()[0].flag);
  EXPECT_EQ(messages_.records()[0].level, 3);
}

TEST_F(CatalogueTest, AddressJobConvertsFourTypesAndStopsAtTheFirstFailure) {
  std::string old_line = "  Spacing.Paragraph=8\r\n";
  std::string new_line = "  Spacing.Paragraph=Firmendaten.NeueAnschrift\r\n";
  for (const char* name : {"a.BEL", "b.war", "c.mah", "d.bst", "e.lst"}) {
    testing::WriteBytes(dir_.Form(name), FormText("1", "X", old_line));
  }
  testing::FaultInjection faults;
  clsReportLLUpdate c;
  faults.fs().FailOn(FsOp::kOpen, 1, 70, "xx_b.war");
  EXPECT_FALSE(c.Umstellung_Auf_Neue_Anschrift(dir_.path()));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("a.BEL")), FormText("1", "X", new_line));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("c.mah")), FormText("1", "X", old_line));
  EXPECT_EQ(component::Internals::Catalogue(c), nullptr);  // a failed form ends the job normally

  EXPECT_TRUE(c.Umstellung_Auf_Neue_Anschrift(dir_.path()));
  EXPECT_EQ(component::Internals::Catalogue(c), nullptr);
  for (const char* name : {"a.BEL", "b.war", "c.mah", "d.bst"}) {
    EXPECT_EQ(testing::ReadBytes(dir_.Form(name)), FormText("1", "X", new_line)) << name;
  }
  EXPECT_EQ(testing::ReadBytes(dir_.Form("e.lst")), FormText("1", "X", old_line));
  int replaces = faults.fs().calls(FsOp::kReplace);
  EXPECT_TRUE(c.Umstellung_Auf_Neue_Anschrift(dir_.path()));  // nothing left to change
  EXPECT_EQ(faults.fs().calls(FsOp::kReplace), replaces);
  EXPECT_TRUE(c.Umstellung_Auf_Neue_Anschrift(dir_ / "no-database"));
}

TEST_F(CatalogueTest, WarColoursBecomeBlack) {
  const std::string quantity = "=if(Position.Menge=0,RGB (255,255,255),RGB (0,0,0))";
  const std::string price = "=if(Position.Einzelpreis=0,RGB (255,255,255),RGB (0,0,0))";
  testing::WriteBytes(dir_.Form("w.war"),
                      FormText("1", "X", "Color=" + quantity + ";" + quantity + "\r\n"));
  testing::WriteBytes(dir_.Form("v.war"),
                      FormText("1", "X", "Color=" + quantity + "\r\nC=" + price + "\r\n"));
  testing::WriteBytes(dir_.Form("b.bel"), FormText("1", "X", "Color=" + quantity + "\r\n"));
  testing::FaultInjection faults;
  clsReportLLUpdate c;
  EXPECT_TRUE(c.Korrektur_Wart_Farbe(dir_.path()));
  EXPECT_EQ(faults.fs().calls(FsOp::kReplace), 3);  // v.war twice, w.war once
  EXPECT_EQ(testing::ReadBytes(dir_.Form("w.war")),
            FormText("1", "X", "Color==RGB (0,0,0);=RGB (0,0,0)\r\n"));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("v.war")),
            FormText("1", "X", "Color==RGB (0,0,0)\r\nC==RGB (0,0,0)\r\n"));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("b.bel")),
            FormText("1", "X", "Color=" + quantity + "\r\n"));
  EXPECT_TRUE(c.Korrektur_Wart_Farbe(dir_.path()));
  EXPECT_EQ(faults.fs().calls(FsOp::kReplace), 3);

  // A form that cannot be read fails the job, which stops there; a rerun does the rest.
  testing::WriteBytes(dir_.Form("u.war"), FormText("1", "X", "Color=" + quantity + "\r\n"));
  testing::WriteBytes(dir_.Form("x.war"), FormText("1", "X", "Color=" + price + "\r\n"));
  faults.fs().FailOn(FsOp::kRead, 1, 75, "u.war");
  EXPECT_FALSE(c.Korrektur_Wart_Farbe(dir_.path()));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("u.war")),
            FormText("1", "X", "Color=" + quantity + "\r\n"));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("x.war")), FormText("1", "X", "Color=" + price + "\r\n"));
  ASSERT_EQ(messages_.texts().size(), 1u);
  messages_.records().clear();
  EXPECT_TRUE(c.Korrektur_Wart_Farbe(dir_.path()));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("u.war")), FormText("1", "X", "Color==RGB (0,0,0)\r\n"));
  EXPECT_EQ(testing::ReadBytes(dir_.Form("x.war")), FormText("1", "X", "Color==RGB (0,0,0)\r\n"));

  // An error that reaches the job's handler is reported under the LL12 label.
  faults.fs().FailOn(FsOp::kList);
  ScopedObjectRegistration no_arrays("DynArray", nullptr);
  EXPECT_FALSE(c.Korrektur_Wart_Farbe(dir_.path()));
  EXPECT_EQ(messages_.only_text(), "Allgemeiner Fehler in Umstellung_Auf_LL12");
}

// A catalogue holds at most 32767 forms (a 16-bit row counter): a type with that many is worked
// through to its last form, one more is the overflow error and the type is left as it is.
TEST_F(CatalogueTest, ATypeOfAtMost32767FormsIsWorkedThrough) {
  const std::string old_colour = "Color==if(Position.Menge=0,RGB (255,255,255),RGB (0,0,0))\r\n";
  std::shared_ptr<platform::FileSystem> memory = platform::NewMemoryFileSystem();
  ScopedObjectRegistration registration(host::kFileSystemProgId, [&] { return memory; });
  memory->CreateFolder("db");
  memory->CreateFolder("db\\BerichteLL");
  auto write = [&](const std::string& name, const std::string& bytes) {
    memory->Open("db\\BerichteLL\\" + name, platform::OpenMode::kWrite)
        ->Write(bytes.data(), bytes.size());
  };
  auto read = [&](const std::string& name) {
    return testing::ReadBytes(*memory, "db\\BerichteLL\\" + name);
  };
  for (int i = 1; i < 32767; ++i) write("f" + std::to_string(i) + ".war", "");
  write("zz.war", old_colour);  // listed last
  clsReportLLUpdate c;
  EXPECT_TRUE(c.Korrektur_Wart_Farbe("db"));
  EXPECT_EQ(read("zz.war"), "Color==RGB (0,0,0)\r\n");
  EXPECT_TRUE(messages_.texts().empty());

  write("zz.war", old_colour);
  write("f0.war", "");
  c.Korrektur_Wart_Farbe("db");
  EXPECT_EQ(read("zz.war"), old_colour);
  EXPECT_EQ(messages_.only_text(), "Allgemeiner Fehler in Aufbau_Array\r\n6\r\n\u00DCberlauf");
}

}  // namespace
}  // namespace llupdate
