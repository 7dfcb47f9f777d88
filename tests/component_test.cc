#include <gtest/gtest.h>
#include <sys/stat.h>

#include "llupdate/report_ll_update.h"
#include "test_support.h"

namespace llupdate {
namespace {

using testing::TempDir;

TEST(ComponentTest, ReadOnlyRemovalOfAllFilesOfADirectory) {
  testing::RecordedMessages messages;
  testing::FaultInjection faults;
  TempDir dir;
  ::mkdir((dir / "Sub").c_str(), 0755);
  for (const char* name : {"a.lst", "b.bel", "Sub/c.lst"}) {
    testing::WriteBytes(dir / name, "x");
    testing::MakeReadOnly(dir / name);
  }
  clsReportLLUpdate c;
  EXPECT_TRUE(c.SchreibschutzEntfernenAlleDateien(dir.path()).IsEmpty());
  EXPECT_FALSE(testing::IsReadOnly(dir / "a.lst"));
  EXPECT_FALSE(testing::IsReadOnly(dir / "b.bel"));
  EXPECT_TRUE(testing::IsReadOnly(dir / "Sub/c.lst"));
  EXPECT_TRUE(c.SchreibschutzEntfernenAlleDateien(dir / "missing").IsEmpty());
  EXPECT_TRUE(messages.records().empty());

  // One file that cannot be changed shows its own message; the others are still done.
  testing::MakeReadOnly(dir / "a.lst");
  testing::MakeReadOnly(dir / "b.bel");
  faults.fs().FailOn(testing::FsOp::kSetAttributes, 1, 70, "a.lst");
  EXPECT_TRUE(c.SchreibschutzEntfernenAlleDateien(dir.path()).IsEmpty());
  EXPECT_TRUE(testing::IsReadOnly(dir / "a.lst"));
  EXPECT_FALSE(testing::IsReadOnly(dir / "b.bel"));
  ASSERT_EQ(messages.texts().size(), 1u);
  EXPECT_EQ(messages.texts()[0].rfind("Schreibschutz bei Datei " + dir.path() + "\\a.lst", 0), 0u);
}

TEST(ComponentTest, AFailingMessageComponentLeavesTheOperation) {
  ScopedObjectRegistration none("HostMessages", nullptr);
  ResetThreadHostMessages();
  clsReportLLUpdate c;
  EXPECT_THROW(c.Umstellung_auf_LL12("/nowhere"), HostFailure);
  EXPECT_THROW(c.Pruefe_Druckkataloge("/nowhere", "u"), HostFailure);
  ResetThreadHostMessages();
}

}  // namespace
}  // namespace llupdate
