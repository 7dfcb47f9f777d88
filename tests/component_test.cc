#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <thread>

#include "llupdate/call.h"
#include "llupdate/message_sinks.h"
#include "llupdate/progress.h"
#include "llupdate/report_ll_update.h"
#include "test_support.h"

namespace llupdate {
namespace {

using testing::FormFolder;
using testing::TempDir;

TEST(ComponentTest, ReadOnlyRemovalOfAllFilesOfADirectory) {
  testing::RecordedMessages messages;
  testing::FaultInjection faults;
  TempDir dir;
  // One file that cannot be changed shows its own message; the others are still done.
  for (const char* name : {"a.lst", "b.bel"}) {
    testing::WriteBytes(dir / name, "x");
    testing::MakeReadOnly(dir / name);
  }
  clsReportLLUpdate c;
  faults.fs().FailOn(testing::FsOp::kSetAttributes, 1, 70, "a.lst");
  EXPECT_TRUE(c.SchreibschutzEntfernenAlleDateien(dir.path()).IsEmpty());
  EXPECT_TRUE(testing::IsReadOnly(dir / "a.lst"));
  EXPECT_FALSE(testing::IsReadOnly(dir / "b.bel"));
  EXPECT_EQ(messages.only_text().rfind("Schreibschutz bei Datei " + dir.path() + "\\a.lst", 0), 0u);
}

TEST(ComponentTest, AFailingMessageComponentLeavesTheOperation) {
  ScopedObjectRegistration none("HostMessages", nullptr);
  ResetThreadHostMessages();
  clsReportLLUpdate c;
  EXPECT_THROW(c.Umstellung_auf_LL12("/nowhere"), HostFailure);
  EXPECT_THROW(c.Pruefe_Druckkataloge("/nowhere", "u"), HostFailure);
  ResetThreadHostMessages();
}

// Cancels its token when the first form is finished.
class CancelAfterFirstForm : public testing::QuietObserver {
 public:
  explicit CancelAfterFirstForm(std::shared_ptr<CancellationToken> token) : token_(token) {}
  void FormFinished(const std::string&, const std::string&, const std::string&, bool) override {
    token_->Cancel();
  }

 private:
  std::shared_ptr<CancellationToken> token_;
};

// Two instances on two threads, each with its own options: cancelling one stops its call after
// the form in work, and the other converts every form; each call's summary says what it did.
TEST(ComponentTest, ACancellationStopsOnlyTheCallsThatCarryIt) {
  testing::TempDir dir;
  ScopedObjectRegistration messages(kMessagesProgId,
                                    [] { return std::make_shared<llupdate::RecordingMessages>(); });
  auto database = [&](const std::string& name) {
    const std::string db = dir / name;
    ::mkdir(db.c_str(), 0755);
    ::mkdir((db + "/BerichteLL").c_str(), 0755);
    for (int i = 0; i < 40; ++i) {
      testing::WriteBytes(db + "/BerichteLL/F" + std::to_string(i) + ".bel",
                          "[UserSection]\r\nVersion=1\r\n  Spacing.Paragraph=8\r\n");
    }
    return db;
  };
  const std::string first = database("a"), second = database("b");
  auto token = std::make_shared<CancellationToken>();
  CancelAfterFirstForm observer(token);
  clsReportLLUpdate a, b;
  CallOptions options;
  options.durable_writes = false;
  b.SetCallOptions(options);
  options.cancellation = token;
  options.progress = &observer;
  a.SetCallOptions(options);

  bool a_result = true, b_result = false;
  std::thread ta([&] { a_result = a.Umstellung_Auf_Neue_Anschrift(first); });
  std::thread tb([&] { b_result = b.Umstellung_Auf_Neue_Anschrift(second); });
  ta.join();
  tb.join();
  EXPECT_FALSE(a_result);
  EXPECT_TRUE(a.LastCallSummary().cancelled);
  EXPECT_EQ(a.LastCallSummary().rewritten, 1);
  EXPECT_TRUE(b_result);
  EXPECT_FALSE(b.LastCallSummary().cancelled);
  EXPECT_EQ(b.LastCallSummary().rewritten, 40);
  EXPECT_EQ(b.LastCallSummary().unchanged + b.LastCallSummary().failed, 0);
  EXPECT_FALSE(StopRequested());

  // With a new token the next call of the same instance runs to the end.
  options.cancellation = std::make_shared<CancellationToken>();
  options.progress = nullptr;
  a.SetCallOptions(options);
  EXPECT_TRUE(a.Umstellung_Auf_Neue_Anschrift(first));
  EXPECT_EQ(a.LastCallSummary().rewritten, 39);
  EXPECT_EQ(a.LastCallSummary().unchanged, 1);
}

// The job gives its file system the instance's choice of durable writes and of the wait for a
// busy database, or the process-wide one; an operation that changes no file still runs as a job.
TEST(ComponentTest, TheJobGivesItsFileSystemTheDurableChoiceAndTheWait) {
  struct Recorder : ForwardingFileSystem, platform::FolderLocks {
    using ForwardingFileSystem::ForwardingFileSystem;
    void UseDurableWrites(bool on) override { choices.push_back(on); }
    std::unique_ptr<platform::WriterLock> LockFormFolder(const std::string& folder,
                                                         double wait) override {
      waits.push_back(wait);
      return platform::LockFormFolder(target(), folder, wait);
    }
    platform::LockPeek PeekFormFolderLock(const std::string& folder) override {
      return platform::PeekFormFolderLock(target(), folder);
    }
    std::vector<bool> choices;
    std::vector<double> waits;
  };
  testing::FormFolder dir;
  ScopedObjectRegistration messages(kMessagesProgId,
                                    [] { return std::make_shared<llupdate::RecordingMessages>(); });
  auto recorder = std::make_shared<Recorder>(NewOsFileSystem());
  ScopedObjectRegistration fs(kFileSystemProgId, [&] { return recorder; });
  clsReportLLUpdate c;
  EXPECT_TRUE(c.Umstellung_Auf_Neue_Anschrift(dir.path()));
  CallOptions options;
  options.durable_writes = false;
  c.SetCallOptions(options);
  EXPECT_TRUE(c.Umstellung_Auf_Neue_Anschrift(dir.path()));
  SetDurableWrites(false);
  c.SetCallOptions({});
  EXPECT_TRUE(c.Umstellung_Auf_Neue_Anschrift(dir.path()));
  SetDurableWrites(true);
  EXPECT_EQ(recorder->choices, (std::vector<bool>{true, false, false}));
  // By default a busy database is not waited for; a negative wait is none.
  EXPECT_EQ(recorder->waits, (std::vector<double>{0, 0, 0}));
  recorder->waits.clear();
  SetWriterLockWait(-3);
  EXPECT_TRUE(c.Umstellung_Auf_Neue_Anschrift(dir.path()));
  SetWriterLockWait(0.5);
  EXPECT_TRUE(c.Umstellung_Auf_Neue_Anschrift(dir.path()));
  options = {};
  options.lock_wait_seconds = 0.25;
  c.SetCallOptions(options);
  EXPECT_TRUE(c.Umstellung_Auf_Neue_Anschrift(dir.path()));
  SetWriterLockWait(0);
  EXPECT_EQ(recorder->waits, (std::vector<double>{0, 0.5, 0.25}));

  // A stop asked for the whole process stops every instance's next call at once, until it is
  // taken back.
  RequestStop();
  EXPECT_FALSE(c.Umstellung_Auf_Neue_Anschrift(dir.path()));
  ClearStopRequest();
  EXPECT_FALSE(StopRequested());
  EXPECT_TRUE(c.Umstellung_Auf_Neue_Anschrift(dir.path()));
}

// Without a file-system object an operation fails and says so, and nothing is held.
// A call made inside another (from its progress) on another database takes that database's own
// lock: nothing there is written while another run holds it.
TEST(ComponentTest, ACallInsideACallOnAnotherDatabaseTakesItsLock) {
  testing::RecordedMessages messages;
  TempDir a, b;
  const std::string old_form = "Spacing.Paragraph=8\r\n";
  for (const TempDir* db : {&a, &b}) {
    ::mkdir((*db / "BerichteLL").c_str(), 0755);
    testing::WriteBytes(*db / "BerichteLL/f.bel", old_form);
  }
  int held = ::open((b / "BerichteLL").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  clsReportLLUpdate c;
  struct Inner : testing::QuietObserver {
    clsReportLLUpdate* c;
    std::string other;
    int calls = 0;
    bool result = true;
    void FormStarted(const std::string&, const std::string&, const std::string&,
                     const std::string&) override {
      if (calls++ == 0) result = c->Umstellung_Auf_Neue_Anschrift(other);
    }
  } inner;
  inner.c = &c;
  inner.other = b.path();
  CallOptions options;
  options.progress = &inner;
  options.lock_wait_seconds = 0;
  c.SetCallOptions(options);
  EXPECT_TRUE(c.Umstellung_Auf_Neue_Anschrift(a.path()));
  EXPECT_FALSE(inner.result);
  EXPECT_EQ(testing::ReadBytes(b / "BerichteLL/f.bel"), old_form);
  EXPECT_NE(testing::ReadBytes(a / "BerichteLL/f.bel"), old_form);
  ::close(held);
}

TEST(ComponentTest, WithoutAFileSystemObjectAnOperationFails) {
  testing::FormFolder dir;
  auto messages = std::make_shared<llupdate::RecordingMessages>();
  ScopedObjectRegistration none(kFileSystemProgId, nullptr);
  clsReportLLUpdate c;
  CallOptions options;
  options.messages = messages;
  c.SetCallOptions(options);
  EXPECT_FALSE(c.Umstellung_Auf_Neue_Anschrift(dir.path()));
  EXPECT_EQ(messages->records.size(), 1u);
  EXPECT_EQ(c.LastCallSummary().errors_shown, 1);
}

}  // namespace
}  // namespace llupdate
