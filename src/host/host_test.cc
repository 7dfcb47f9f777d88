#include <gtest/gtest.h>
#include <malloc.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "host/error_convention.h"
#include "host/objects.h"
#include "llupdate/message_sinks.h"
#include "test_support.h"
#include "text/text_io.h"

namespace llupdate {
namespace {

using testing::TempDir;

TEST(DynArrayTest, BehavesAsTheCallersRelyOn) {
  auto a = host::NewDynArray();
  a->Dimension(0, 0, 0, 5);
  EXPECT_EQ(a->Count(1), 1);
  EXPECT_EQ(a->UpperBound(1), 0);
  for (int c = 0; c <= 5; ++c) EXPECT_TRUE(a->GetValue(0, c).IsEmpty());
  a->AddRows(1);
  EXPECT_EQ(a->Count(1), 2);
  a->SetValue(0, 0, "Rechnung.lst");
  a->SetValue(1, 0, "Angebot.lst");
  EXPECT_EQ(a->Find(0, 0, "Angebot.lst", 0, 1, 0), 1);
  EXPECT_EQ(a->Find(1, 0, "Rechnung.lst", 0, 1, 0), -1);  // the match lies before the start
  EXPECT_EQ(a->Find(a->Count(1), 0, "Angebot.lst", 0, 1, 0), -1);  // a start past the last row
  EXPECT_EQ(a->Find(0, 0, "angebot.lst", 0, 1, 0), -1);
  // Values as text, as the platform shows them.
  std::string shown;
  for (const Variant& v : {Variant(true), Variant(false), Variant(int32_t{-7}), Variant(0.25),
                           Variant(1e20), Variant()}) {
    shown += v.ToString() + "|";
  }
  EXPECT_EQ(shown, "True|False|-7|0.25|1E+20||");
  // Numbers and flags are found by kind and value: 5 is not 5.0.
  a->SetValue(0, 1, int32_t{5});
  a->SetValue(1, 1, 5.0);
  a->SetValue(1, 2, true);
  EXPECT_EQ(a->Find(0, 1, int32_t{5}, 0, 1, 0), 0);
  EXPECT_EQ(a->Find(0, 1, 5.0, 0, 1, 0), 1);
  EXPECT_EQ(a->Find(0, 1, int32_t{6}, 0, 1, 0), -1);
  EXPECT_EQ(a->Find(0, 2, true, 0, 1, 0), 1);
  EXPECT_EQ(a->Find(0, 2, false, 0, 1, 0), -1);
  a->InsertRows(1, 1);
  EXPECT_TRUE(a->GetValue(1, 0).IsEmpty());
  EXPECT_EQ(a->Find(0, 0, Variant(), 0, 1, 0), 1);  // an empty cell is found as empty
  EXPECT_EQ(a->GetValue(2, 0).ToString(), "Angebot.lst");
  EXPECT_EQ(testing::ErrorNumber([&] { a->SetValue(3, 0, "x"); }), platform::kSubscriptOutOfRange);
  // The table counts from row and column 0; any other start is refused, not shifted.
  for (auto [first_row, first_column] : {std::pair{1, 0}, std::pair{0, 1}}) {
    EXPECT_THROW(a->Dimension(first_row, 3, first_column, 3), platform::Error);
  }
  // Rows go in from row 0 to just after the last; a search names a column of the table.
  EXPECT_EQ(a->Count(1), 3);
  for (auto [row, rows] : {std::pair{-1, 1}, std::pair{4, 1}, std::pair{0, -1}}) {
    EXPECT_THROW(a->InsertRows(row, rows), platform::Error);
  }
  EXPECT_THROW(a->AddRows(-1), platform::Error);
  a->InsertRows(3, 2);
  EXPECT_EQ(a->Count(1), 5);
  EXPECT_EQ(a->GetValue(2, 0).ToString(), "Angebot.lst");
  for (int column : {-1, 6}) EXPECT_THROW(a->Find(0, column, "x", 0, 1, 0), platform::Error);
  EXPECT_EQ(a->Find(-5, 0, "Angebot.lst", 0, 1, 0), 2);
}

// Cells overwritten again and again (the table then moves its texts into a new buffer) keep
// every text and number that is still in use.
TEST(DynArrayTest, ValuesSurviveManyOverwrites) {
  auto a = host::NewDynArray();
  a->Dimension(0, 0, 0, 3);
  a->AddRows(9);
  for (int32_t r = 0; r < 10; ++r) {
    a->SetValue(r, 1, 0.5 + r);
    a->SetValue(r, 2, "keep " + std::to_string(r));
    a->SetValue(r, 3, int32_t{r});
  }
  for (int round = 0; round < 400; ++round) {
    for (int32_t r = 0; r < 10; ++r) {
      a->SetValue(r, 0, std::string(50 + round % 7, static_cast<char>('a' + r)));
      if (round % 3 == 0) a->SetValue(r, 1, 0.25 * round + r);
    }
  }
  for (int32_t r = 0; r < 10; ++r) {
    EXPECT_EQ(a->GetValue(r, 0).ToString(), std::string(50 + 399 % 7, static_cast<char>('a' + r)));
    EXPECT_EQ(a->GetValue(r, 1), Variant(0.25 * 399 + r));
    EXPECT_EQ(a->GetValue(r, 2).ToString(), "keep " + std::to_string(r));
    EXPECT_EQ(a->GetValue(r, 3), Variant(int32_t{r}));
  }
  // The texts overwritten are given back: a cell written over and over does not make the
  // table grow (a line list is rewritten many times in one run).
  auto in_use = [] { return ::mallinfo2().uordblks + ::mallinfo2().hblkhd; };
  const size_t before = in_use();
  const std::string text(1000, 'x');
  for (int round = 0; round < 20000; ++round) a->SetValue(0, 0, text);
  EXPECT_LT(in_use(), before + (1u << 20));
}

// A text in a JSON record: a byte that starts no valid UTF-8 sequence is escaped as
// \udcXX, whole sequences stay as they are.
TEST(JsonTest, BytesThatAreNoUtf8AreEscaped) {
  EXPECT_EQ(JsonString("a\xC3\xA4"), "\"a\xC3\xA4\"");
  EXPECT_EQ(JsonString("a\xC3("), "\"a\\udcc3(\"");
  EXPECT_EQ(JsonString("\xE2\x82"), "\"\\udce2\\udc82\"");
  EXPECT_EQ(JsonString("\xF0\x9F\x98\x80\x80"), "\"\xF0\x9F\x98\x80\\udc80\"");
  // Quotes, backslashes and control characters are escaped; the rest stays.
  EXPECT_EQ(JsonString("\"\\\n\r\t\x01\x1f ~"), "\"\\\"\\\\\\n\\r\\t\\u0001\\u001f ~\"");
  // A record per line, with the version of its form.
  EXPECT_EQ(JsonLine({"ShowMessage", "Hinweis", 4, "T", 0, false, "", ""}),
            R"({"v":1,"call":"ShowMessage","text":"Hinweis","level":4,"title":"T","number":0,)"
            R"("flag":false})");
  EXPECT_EQ(JsonLine({"ReportError", "", 0, "T", 53, true, "Ausgabe_Open", "fehlt"}),
            R"({"v":1,"call":"ReportError","title":"T","routine":"Ausgabe_Open","number":53,)"
            R"("description":"fehlt","flag":true})");
}

std::shared_ptr<VMSettings> OpenSettings(const std::string& file) {
  auto settings = host::CreateAs<VMSettings>(host::kSettingsProgId);
  std::shared_ptr<Object> connection = std::make_shared<SettingsConnection>(file);
  settings->Init(0, connection, "Standard");
  return settings;
}

std::string Get(VMSettings& s, const std::string& section = "CheckReportLL",
                const std::string& key = "LetzterWert") {
  std::string value = "unset";
  s.GetSetting(section, key, value, "Standard", "Standard", "0");
  return value;
}

// The factory: a registration replaces the creator and gives the previous one back, a creator
// that fails creates nothing, and the thread's message component is made once and kept until
// the thread's objects are released.
TEST(ObjectFactoryTest, RegistersReplacesAndRestores) {
  const std::string id = "Test.Object";
  EXPECT_EQ(CreateObject(id), nullptr);
  auto first = std::make_shared<RecordingMessages>();
  EXPECT_FALSE(RegisterObject(id, [&] { return first; }));
  EXPECT_EQ(CreateObject(id), first);
  {
    ScopedObjectRegistration failing(
        id, []() -> std::shared_ptr<Object> { throw std::runtime_error("no such component"); });
    EXPECT_EQ(CreateObject(id), nullptr);
  }
  EXPECT_EQ(CreateObject(id), first);
  EXPECT_TRUE(RegisterObject(id, nullptr));
  EXPECT_EQ(CreateObject(id), nullptr);

  int made = 0;
  ScopedObjectRegistration messages(kMessagesProgId, [&] {
    ++made;
    return std::make_shared<RecordingMessages>();
  });
  ReleaseThreadHostObjects();
  host::ShowHostMessage(nullptr, "a", 4, false);
  host::ShowHostMessage(nullptr, "b", 4, false);
  EXPECT_EQ(made, 1);
  ReleaseThreadHostObjects();
  host::ShowHostMessage(nullptr, "c", 4, false);
  EXPECT_EQ(made, 2);
  ResetThreadHostMessages();
}

// The console sink: the level as a word (a notice at level 3 is no error), the title, and every
// further line of the text indented under the first, whatever its line ends.
TEST(ConsoleMessagesTest, LevelWordsAndIndentedLines) {
  char* bytes = nullptr;
  size_t size = 0;
  FILE* out = ::open_memstream(&bytes, &size);
  ASSERT_NE(out, nullptr);
  {
    auto console = NewConsoleMessages(out);
    console->ShowMessage("a\r\nb\rc\nd", 3, "T", 0, true);
    console->ShowMessage("\r\nx\ry\r\n", 3, "T", 0, false);
    console->ShowMessage("n", 4, "T", 0, false);
    for (int32_t level : {1, 2, 7}) console->ShowMessage("m", level, "T", 0, false);
    console->ReportError("T", "Ausgabe_Open", 53, "Datei nicht gefunden", true);
  }
  std::fclose(out);
  std::string text(bytes, size);
  std::free(bytes);
  EXPECT_EQ(text,
            "error [T] a\n    b\n    c\n    d\n"
            "notice [T] \n    x\n    y\n    \n"
            "notice [T] n\n"
            "info [T] m\nquestion [T] m\nlevel 7 [T] m\n"
            "error [T] Ausgabe_Open: 53 Datei nicht gefunden\n");
}

TEST(SettingsTest, StoresAcrossConnectionsAndDefaultsWhenEmpty) {
  TempDir dir;
  std::string file = dir / "settings.sqlite";
  EXPECT_EQ(Get(*OpenSettings(file)), "0");
  OpenSettings(file)->SaveSetting("CheckReportLL", "LetzterWert", "3", "Standard");
  OpenSettings(file)->SaveSetting("CheckReportLL", "LetzterWert", "4", "Standard");
  EXPECT_EQ(Get(*OpenSettings(file)), "4");
  // A store connected again (the driver does so on every call) lets go of the file it had.
  auto open_files = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator());
  };
  auto settings = OpenSettings(file);
  const auto before = open_files();
  std::shared_ptr<Object> connection = std::make_shared<SettingsConnection>(file);
  for (int call = 0; call < 3; ++call) settings->Init(0, connection, "Standard");
  EXPECT_EQ(open_files(), before);
  EXPECT_EQ(Get(*settings), "4");
}

// Three processes write the same settings file at once, each its own keys, a value at a time:
// the file's locks let one write at a time, and every value is there afterwards.
TEST(SettingsTest, ProcessesWriteInTurn) {
  TempDir dir;
  const std::string file = dir / "shared.sqlite";
  OpenSettings(file)->SaveSetting("s", "start", "1", "Standard");
  std::vector<pid_t> children;
  auto key = [](int writer, int i) { return std::to_string(writer) + "." + std::to_string(i); };
  for (int writer = 0; writer < 3; ++writer) {
    const pid_t child = ::fork();
    if (child == 0) {
      try {
        auto settings = OpenSettings(file);
        for (int i = 0; i < 40; ++i) settings->SaveSetting("s", key(writer, i), "v", "Standard");
      } catch (...) {
        ::_exit(1);
      }
      ::_exit(0);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
  }
  auto settings = OpenSettings(file);
  for (int writer = 0; writer < 3; ++writer) {
    for (int i = 0; i < 40; ++i) EXPECT_EQ(Get(*settings, "s", key(writer, i)), "v");
  }
}

TEST(SettingsTest, BadFilesGiveErrorsNeverDefaults) {
  TempDir dir;
  std::string junk = dir / "junk.sqlite";
  testing::WriteBytes(junk, std::string(4096, 'j'));
  EXPECT_THROW(Get(*OpenSettings(junk)), platform::Error);

  std::string ro = dir / "ro.sqlite";
  OpenSettings(ro)->SaveSetting("CheckReportLL", "LetzterWert", "2", "Standard");
  testing::MakeReadOnly(ro);
  auto settings = OpenSettings(ro);
  EXPECT_EQ(Get(*settings), "2");
  EXPECT_THROW(settings->SaveSetting("CheckReportLL", "LetzterWert", "5", "Standard"),
               platform::Error);
  EXPECT_EQ(Get(*OpenSettings(ro)), "2");

  std::string locked = dir / "locked.sqlite";
  OpenSettings(locked)->SaveSetting("a", "b", "1", "Standard");
  // Another process (SQLite on its own) holds the file: the write waits, then fails.
  int ready[2], done[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(done), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(done[1]);
    sqlite3* other = nullptr;
    sqlite3_open(locked.c_str(), &other);
    const int rc = sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
    char byte = rc == SQLITE_OK ? 'y' : 'n';
    if (::write(ready[1], &byte, 1) != 1 || ::read(done[0], &byte, 1) < 0) ::_exit(1);
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  EXPECT_EQ(byte, 'y');
  EXPECT_THROW(OpenSettings(locked)->SaveSetting("a", "b", "2", "Standard"), platform::Error);
  ::close(done[1]);
  ::waitpid(child, nullptr, 0);
  for (int fd : {ready[0], ready[1], done[0]}) ::close(fd);
  std::string value;
  OpenSettings(locked)->GetSetting("a", "b", value, "Standard", "Standard", "");
  EXPECT_EQ(value, "1");
  // Another account's file, which this one may only read: read, never written.
  auto store = host::NewSqliteSettings();
  std::shared_ptr<Object> theirs = std::make_shared<SettingsConnection>(
      locked, std::make_shared<testing::OthersFiles>(platform::NewOsFileSystem()));
  store->Init(0, theirs, "Standard");
  EXPECT_EQ(Get(*store, "a", "b"), "1");
  EXPECT_EQ(testing::ErrorNumber([&] { store->SaveSetting("a", "b", "3", "Standard"); }),
            platform::kPermissionDenied);
}

// A snapshot (the preview's store) reads what the file holds and keeps its saves in memory; a
// store refuses a call before Init, a missing or foreign connection, and a folder as its file.
TEST(SettingsTest, SnapshotsNeverWriteAndMisuseIsRefused) {
  TempDir dir;
  std::string file = dir / "settings.sqlite";
  OpenSettings(file)->SaveSetting("CheckReportLL", "LetzterWert", "3", "Standard");
  const std::string before = testing::ReadBytes(file);
  auto snapshot = host::NewSettingsSnapshot(file);
  std::shared_ptr<Object> connection = std::make_shared<SettingsConnection>(file);
  snapshot->Init(0, connection, "Standard");
  EXPECT_EQ(Get(*snapshot), "3");
  snapshot->SaveSetting("CheckReportLL", "LetzterWert", "6", "Standard");
  EXPECT_EQ(Get(*snapshot), "6");
  EXPECT_EQ(Get(*OpenSettings(file)), "3");
  EXPECT_EQ(testing::ReadBytes(file), before);
  auto empty = host::NewSettingsSnapshot(dir / "missing.sqlite");
  empty->Init(0, connection, "Standard");
  EXPECT_EQ(Get(*empty), "0");
  EXPECT_FALSE(testing::Exists(dir / "missing.sqlite"));

  auto store = host::NewSqliteSettings();
  EXPECT_EQ(testing::ErrorNumber([&] { Get(*store); }), platform::kObjectNotSet);
  std::shared_ptr<Object> none;
  EXPECT_EQ(testing::ErrorNumber([&] { store->Init(0, none, "Standard"); }),
            platform::kObjectNotSet);
  std::shared_ptr<Object> foreign = std::make_shared<RecordingMessages>();
  EXPECT_EQ(testing::ErrorNumber([&] { store->Init(0, foreign, "Standard"); }),
            platform::kTypeMismatch);
  EXPECT_EQ(testing::ErrorNumber([&] { OpenSettings(dir.path()); }),
            platform::kPathFileAccessError);
  auto folder = host::NewSettingsSnapshot(dir.path());
  EXPECT_EQ(testing::ErrorNumber([&] { folder->Init(0, connection, "Standard"); }),
            platform::kPathFileAccessError);
}

TEST(ErrorConventionTest, OneMessageAndTheFailureValue) {
  testing::RecordedMessages messages;
  platform::Error error(platform::kFileNotFound, "x.lst");
  bool result = host::Armed(nullptr, host::ErrorText::General("Umstellung_Auf_LL12"), false,
                            [&]() -> bool { throw error; });
  EXPECT_FALSE(result);
  int32_t n = host::Armed(nullptr, host::ErrorText::General("Aufbau_Array").WithDetails(),
                          int32_t{7}, [&]() -> int32_t { throw error; });
  EXPECT_EQ(n, 7);
  ASSERT_EQ(messages.records().size(), 2u);
  EXPECT_EQ(messages.records()[0].text, "Allgemeiner Fehler in Umstellung_Auf_LL12");
  EXPECT_EQ(messages.records()[1].text,
            "Allgemeiner Fehler in Aufbau_Array\r\n53\r\nDatei nicht gefunden: x.lst");
  EXPECT_EQ(messages.records()[1].level, 3);
  EXPECT_EQ(messages.records()[1].title, "clsReportLLUpdate");
  EXPECT_TRUE(messages.records()[1].flag);

  // Errors ignored: each statement on its own.
  int ran = 0;
  host::IgnoreErrors([&] { throw error; });
  host::IgnoreErrors([&] { ++ran; });
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(messages.records().size(), 2u);

  // What else a body throws becomes its run-time error; the reporter counts each message by it,
  // and the message component is handed the cause with the message.
  struct Causes : HostMessages {
    void ShowMessage(const std::string&, int32_t, const std::string&, int32_t, bool) override {}
    void ShowMessageWithCause(const std::string& text, int32_t, const std::string&, int32_t, bool,
                              const Error* cause) override {
      numbers.push_back(cause != nullptr ? cause->number() : 0);
      last = text;
    }
    void ReportError(const std::string&, const std::string&, int32_t, const std::string&,
                     bool) override {}
    std::vector<int32_t> numbers;
    std::string last;
  } causes;
  struct Counting : host::Reporter {
    explicit Counting(HostMessages* sink) : sink(sink) {}
    void ErrorShown(int32_t number) override { numbers.push_back(number); }
    HostMessages* messages() override { return sink; }
    HostMessages* sink;
    std::vector<int32_t> numbers;
  } counting(&causes);
  auto number_of = [&](auto thrown) {
    host::Armed(&counting, host::ErrorText::General("X").WithDetails(), false,
                [&]() -> bool { throw thrown; });
    return counting.numbers.back();
  };
  EXPECT_EQ(number_of(std::bad_alloc()), platform::kOutOfMemory);
  EXPECT_EQ(number_of(std::runtime_error("kaputt")), platform::kInternalError);
  EXPECT_EQ(number_of(text::LossyText("a.lst: nur LF")), platform::kNotATextProject);
  EXPECT_NE(causes.last.find("a.lst: nur LF"), std::string::npos);
  EXPECT_EQ(number_of(42), platform::kInternalError);
  host::ReportHostError(&counting, "Ausgabe_Open", error);
  host::ShowHostMessage(&counting, "Hinweis", 4, false);
  host::ShowHostMessage(&counting, "Fehler", 3, true);
  EXPECT_EQ(counting.numbers, (std::vector<int32_t>{7, 51, 321, 51, 53, 0}));
  EXPECT_EQ(causes.numbers, (std::vector<int32_t>{7, 51, 321, 51, 0, 0}));
}

class BrokenMessages : public HostMessages {
 public:
  void ShowMessage(const std::string&, int32_t, const std::string&, int32_t, bool) override {
    throw 42;  // not even an exception
  }
  void ReportError(const std::string&, const std::string&, int32_t, const std::string&,
                   bool) override {
    throw std::runtime_error("display gone");
  }
};

TEST(ErrorConventionTest, AFailingMessageComponentFailsTheWholeCall) {
  {
    ScopedObjectRegistration broken(host::kMessagesProgId,
                                    [] { return std::make_shared<BrokenMessages>(); });
    ResetThreadHostMessages();
    EXPECT_THROW(host::Armed(nullptr, host::ErrorText::General("X"), false,
                             []() -> bool { throw platform::Error(53); }),
                 HostFailure);
    EXPECT_THROW(host::IgnoreErrors([] { host::ShowHostMessage(nullptr, "x", 3, true); }),
                 HostFailure);
    EXPECT_THROW(host::ReportHostError(nullptr, "R", platform::Error(53)), HostFailure);
  }
  {
    ScopedObjectRegistration missing(host::kMessagesProgId, nullptr);
    ResetThreadHostMessages();
    EXPECT_THROW(host::ShowHostMessage(nullptr, "x", 3, true), HostFailure);
  }
  ResetThreadHostMessages();
}

}  // namespace
}  // namespace llupdate
