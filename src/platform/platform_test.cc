#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include "platform/error.h"
#include "platform/file_system.h"
#include "platform/os_faults.h"
#include "platform/overlay_file_system.h"
#include "test_support.h"
#include "text/text.h"

namespace llupdate {
namespace {

using testing::FormFolder;
using testing::TempDir;

int32_t ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const platform::Error& e) {
    return e.number();
  }
  return 0;
}

TEST(PathTest, ResolvesComponentsIgnoringCaseWithExactMatchFirst) {
  FormFolder dir;
  testing::WriteBytes(dir / "BerichteLL/Rechnung.lst", "x");
  EXPECT_EQ(platform::ResolvePath(dir.path() + "\\Berichtell\\rechnung.LST"),
            dir / "BerichteLL/Rechnung.lst");
  // A part that does not exist is kept as given, so new files get the name asked for.
  EXPECT_EQ(platform::ResolvePath(dir.path() + "\\Berichtell\\xx_Neu.lst"),
            dir / "BerichteLL/xx_Neu.lst");
  ::mkdir((dir / "berichtell").c_str(), 0755);
  EXPECT_EQ(platform::ResolvePath(dir.path() + "\\berichtell"), dir / "berichtell");
  // A closing separator is kept, so that the system tells a folder from a file; a root stays.
  EXPECT_EQ(platform::ResolvePath(dir.path() + "\\berichtell\\"), dir / "berichtell/");
  EXPECT_EQ(platform::ResolvePath("q\\"), "q/");
  EXPECT_EQ(platform::ResolvePath("\\"), "/");
  EXPECT_TRUE(text::EqualsIgnoringCase("ÄRGER.lst", "ärger.LST"));
}

TEST(PathTest, SeesChangesOfOthersAndOfItsOwn) {
  TempDir dir;
  auto fs = platform::NewOsFileSystem();
  for (int round = 0; round < 20; ++round) {
    std::string name = "Form" + std::to_string(round);
    EXPECT_FALSE(fs->FileExists(dir.path() + "\\xx_" + name));
    testing::WriteBytes(dir / ("XX_" + name), "x");  // another program, right afterwards
    EXPECT_TRUE(fs->FileExists(dir.path() + "\\xx_" + name));
    fs->MoveFile(dir.path() + "\\xx_" + name, dir.path() + "\\alt_" + name);
    EXPECT_FALSE(fs->FileExists(dir.path() + "\\XX_" + name));
    EXPECT_TRUE(fs->FileExists(dir.path() + "\\ALT_" + name));
  }
}

TEST(PathTest, AJobKeepsWhatItLearntUntilALookupFails) {
  FormFolder dir;
  testing::WriteBytes(dir / "BerichteLL/a.bel", "first");
  auto fs = platform::NewOsFileSystem();
  const std::string form = dir.path() + "\\Berichtell\\a.bel";
  fs->BeginJob();
  EXPECT_EQ(fs->ListFiles(dir.path() + "\\Berichtell").size(), 1u);
  // Another program renames the form and adds one: the kept listing does not know, but opening
  // the old name fails and the folder is read again.
  ::rename((dir / "BerichteLL/a.bel").c_str(), (dir / "BerichteLL/A.BEL").c_str());
  testing::WriteBytes(dir / "BerichteLL/b.bel", "second");
  auto file = fs->Open(form, platform::OpenMode::kRead);
  char buffer[16];
  EXPECT_EQ(std::string(buffer, file->Read(buffer, sizeof buffer)), "first");
  EXPECT_EQ(fs->ListFiles(dir.path() + "\\Berichtell").size(), 2u);
  fs->DeleteFile(dir.path() + "\\Berichtell\\b.bel", true);
  EXPECT_FALSE(fs->FileExists(dir.path() + "\\Berichtell\\b.bel"));
  fs->EndJob();
  // After the job nothing is kept: every question goes to the disk again.
  testing::WriteBytes(dir / "BerichteLL/c.bel", "third");
  EXPECT_TRUE(fs->FileExists(dir.path() + "\\berichtell\\C.bel"));
  // Nor is what was learnt outside a job kept for the next one.
  EXPECT_FALSE(fs->FileExists(dir.path() + "\\berichtell\\D.bel"));
  testing::WriteBytes(dir / "BerichteLL/d.bel", "fourth");
  fs->BeginJob();
  EXPECT_TRUE(fs->FileExists(dir.path() + "\\berichtell\\D.bel"));
  fs->EndJob();
}

TEST(OsFileSystemTest, AMissingFileIsNamedAsTheDiskHasIt) {
  FormFolder dir;
  testing::WriteBytes(dir / "BerichteLL/ Blank.bel ", "x");
  testing::WriteBytes(dir / "BerichteLL/a\\b.bel", "x");
  auto message = [&](const std::string& path) {
    try {
      NewOsFileSystem()->Open(path, OpenMode::kRead);
    } catch (const platform::Error& e) {
      return std::to_string(e.number()) + " " + e.description();
    }
    return std::string("opened");
  };
  const std::string forms = dir.path() + "\\berichtell\\";
  EXPECT_EQ(message(forms + "Blank.bel"), "53 Datei nicht gefunden: " + dir.path() +
                                              "/BerichteLL/ Blank.bel  (der Name beginnt oder "
                                              "endet mit Leerzeichen)");
  EXPECT_EQ(message(forms + "a\\b.bel"), "76 Pfad nicht gefunden: " + dir.path() +
                                             "/BerichteLL/a\\b.bel (der Name enthält \"\\\")");
  EXPECT_EQ(message(forms + "c.bel"),
            "53 Datei nicht gefunden: " + dir.path() + "/BerichteLL/c.bel");
}

// A missing folder on the way is "path not found" (76), a missing file "file not found" (53); a
// file is never copied onto itself, under any spelling; within a job, what a rename changed is
// seen at once by the next lookups.
TEST(OsFileSystemTest, MissingFoldersCopiesOntoThemselvesAndRenamesInAJob) {
  FormFolder dir;
  testing::WriteBytes(dir / "BerichteLL/a.bel", "form");
  auto fs = NewOsFileSystem();
  const std::string forms = dir.path() + "\\BerichteLL\\";
  const std::string missing = dir.path() + "\\Missing\\a.bel";
  const std::pair<std::function<void()>, int32_t> failing[] = {
      {[&] { fs->Open(missing, OpenMode::kRead); }, 76},
      {[&] { fs->Open(forms + "b.bel", OpenMode::kRead); }, 53},
      {[&] { fs->Open(missing, OpenMode::kWrite); }, 76},
      {[&] { fs->CopyFile(forms + "a.bel", missing, true); }, 76},
      {[&] { fs->CopyFile(forms + "a.bel", forms + "a.bel", true); }, 70},
      {[&] { fs->CopyFile(forms + "a.bel", forms + "A.BEL", true); }, 70},
  };
  for (const auto& [call, number] : failing) EXPECT_EQ(testing::ErrorNumber(call), number);
  EXPECT_EQ(testing::ReadBytes(dir / "BerichteLL/a.bel"), "form");

  fs->BeginJob();
  EXPECT_EQ(fs->ListFiles(dir.path() + "\\berichtell").size(), 1u);
  EXPECT_FALSE(fs->FileExists(dir.path() + "\\berichtell"));  // a folder is no file
  EXPECT_TRUE(fs->FolderExists(dir.path() + "\\berichtell"));
  EXPECT_TRUE(fs->FolderExists(forms + "..") && fs->FolderExists(forms + "."));
  EXPECT_FALSE(fs->FolderExists(forms + "a.bel"));
  EXPECT_TRUE(fs->FileExists(forms + "A.bel"));
  fs->MoveFile(forms + "a.bel", forms + "b.bel");
  EXPECT_FALSE(fs->FileExists(forms + "a.bel"));
  EXPECT_TRUE(fs->FileExists(forms + "B.BEL"));
  fs->CopyFile(forms + "b.bel", forms + "a.bel", false);
  EXPECT_TRUE(fs->FileExists(forms + "A.BEL"));
  fs->DeleteFile(forms + "B.bel", true);
  EXPECT_FALSE(fs->FileExists(forms + "b.bel"));
  EXPECT_EQ(fs->ListFiles(dir.path() + "\\berichtell").size(), 1u);
  fs->EndJob();
  EXPECT_EQ(testing::ReadBytes(dir / "BerichteLL/a.bel"), "form");

  // Under the folder's lock a new file is made unnamed first: a name that is taken, in any
  // case, is refused all the same and the file there keeps its content.
  auto lock = platform::LockFormFolder(*fs, dir.path() + "\\BerichteLL", 0);
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(testing::ErrorNumber([&] { fs->Open(forms + "a.bel", OpenMode::kCreateNew); }), 58);
  EXPECT_EQ(testing::ErrorNumber([&] { fs->Open(forms + "A.BEL", OpenMode::kCreateNew); }), 58);
  EXPECT_EQ(testing::ReadBytes(dir / "BerichteLL/a.bel"), "form");
}

// The names of the program's partial files, and of the copies of earlier versions.
// Which number the user sees for what the system says: a missing file 53, a missing folder 76,
// refused access 70, a full disk (or a file too large) 61, too many files 67, a name taken 58,
// no memory 7, a file used against how it was opened 52, anything else 75; the path stays in
// the description.
TEST(ErrorTest, SystemErrorsBecomeTheirNumbers) {
  const std::pair<int, int32_t> cases[] = {
      {ENOENT, 53}, {ENOTDIR, 76}, {EACCES, 70}, {EPERM, 70},  {EROFS, 70},  {ETXTBSY, 70},
      {ENOSPC, 61}, {EDQUOT, 61},  {EFBIG, 61},  {EMFILE, 67}, {ENFILE, 67}, {EEXIST, 58},
      {ENOMEM, 7},  {EIO, 75},     {ELOOP, 75},  {EBADF, 52},
  };
  for (const auto& [err, number] : cases) {
    platform::Error e = platform::ErrorFromErrno(err, "db/a.lst");
    EXPECT_EQ(e.number(), number) << err;
    EXPECT_NE(e.description().find("db/a.lst"), std::string::npos) << err;
  }
  EXPECT_NE(platform::ErrorFromErrno(EFBIG, "f").description().find("zu groß"), std::string::npos);
  EXPECT_EQ(platform::Error(53).description(), "Datei nicht gefunden");
}

// The memory file system answers as the disk does: the same script of calls on both gives the
// same results, error numbers and contents.
TEST(MemoryFileSystemTest, AnswersAsTheDiskDoes) {
  auto script = [](FileSystem& fs, const std::string& root) {
    std::vector<std::string> out;
    auto step = [&](const std::string& what, const std::function<std::string()>& call) {
      try {
        out.push_back(what + ": " + call());
      } catch (const Error& e) {
        out.push_back(what + ": error " + std::to_string(e.number()));
      }
    };
    auto write = [&](const std::string& name, const std::string& bytes, OpenMode mode) {
      fs.Open(root + "\\" + name, mode)->Finish(bytes.data(), bytes.size());
      return std::string("ok");
    };
    auto read = [&](const std::string& name) { return testing::ReadBytes(fs, root + "\\" + name); };
    auto at = [&](const std::string& name) { return root + "\\" + name; };
    auto yes = [](bool b) { return std::string(b ? "yes" : "no"); };
    // A call that returns nothing: "ok", or what it leaves in a file.
    auto ok = [](std::function<void()> call) {
      return [call] { return call(), std::string("ok"); };
    };
    auto then = [&](std::function<void()> call, const std::string& name) {
      return [call, name, &read] { return call(), read(name); };
    };
    step("mkdir", ok([&] { fs.CreateFolder(at("d")); }));
    step("mkdir again", ok([&] { fs.CreateFolder(at("d")); }));
    step("mkdir deep", ok([&] { fs.CreateFolder(at("x\\y")); }));
    step("new", [&] { return write("d\\a.lst", "A", OpenMode::kCreateNew); });
    step("new again", [&] { return write("d\\A.LST", "B", OpenMode::kCreateNew); });
    step("write", [&] { return write("d\\b.lst", "BB", OpenMode::kWrite); });
    step("no folder", [&] { return write("z\\c.lst", "C", OpenMode::kWrite); });
    step("read folder", [&] { return read("d"); });
    step("read missing", [&] { return read("d\\m.lst"); });
    step("write what is read",
         then([&] { fs.Open(at("d\\a.lst"), OpenMode::kRead)->Write("x", 1); }, "d\\a.lst"));
    step("read what is written", [&] {
      auto f = fs.Open(at("d\\w.lst"), OpenMode::kWrite);
      char c;
      return std::to_string(f->Read(&c, 1));
    });
    step("copy", then([&] { fs.CopyFile(at("d\\a.lst"), at("d\\c.lst"), false); }, "d\\c.lst"));
    step("copy taken",
         then([&] { fs.CopyFile(at("d\\b.lst"), at("d\\c.lst"), false); }, "d\\c.lst"));
    step("copy over", then([&] { fs.CopyFile(at("d\\b.lst"), at("d\\c.lst"), true); }, "d\\c.lst"));
    step("copy into no folder", ok([&] { fs.CopyFile(at("d\\a.lst"), at("z\\a.lst"), true); }));
    step("copy missing", ok([&] { fs.CopyFile(at("d\\m.lst"), at("d\\e.lst"), true); }));
    step("protect", [&] {
      fs.SetAttributes(at("d\\c.lst"), kAttrReadOnly);
      return std::to_string(fs.GetAttributes(at("d\\c.lst")));
    });
    step("copy onto protected",
         then([&] { fs.CopyFile(at("d\\a.lst"), at("d\\c.lst"), true); }, "d\\c.lst"));
    step("write protected", [&] { return write("d\\c.lst", "W", OpenMode::kWrite); });
    step("delete protected", [&] {
      fs.DeleteFile(at("d\\c.lst"), false);
      return yes(fs.FileExists(at("d\\c.lst")));
    });
    step("force delete", [&] {
      fs.DeleteFile(at("d\\c.lst"), true);
      return yes(fs.FileExists(at("d\\c.lst")));
    });
    step("delete missing", ok([&] { fs.DeleteFile(at("d\\c.lst"), true); }));
    step("move", [&] {
      fs.MoveFile(at("d\\b.lst"), at("d\\e.lst"));
      return read("d\\e.lst") + yes(fs.FileExists(at("d\\b.lst")));
    });
    step("move taken", then([&] { fs.MoveFile(at("d\\e.lst"), at("d\\a.lst")); }, "d\\a.lst"));
    step("move missing", ok([&] { fs.MoveFile(at("d\\m.lst"), at("d\\n.lst")); }));
    step("link", [&] {
      const bool linked = fs.LinkFile(at("d\\a.lst"), at("d\\l.lst"));
      return yes(linked) + yes(fs.FileExists(at("d\\l.lst")));
    });
    step("link taken", [&] { return yes(fs.LinkFile(at("d\\a.lst"), at("d\\e.lst"))); });
    step("replace", [&] {
      const bool replaced = fs.ReplaceFile(at("d\\e.lst"), at("d\\a.lst"));
      const std::string now = read("d\\a.lst");
      return yes(replaced) + now + yes(fs.FileExists(at("d\\e.lst"))) + read("d\\l.lst");
    });
    step("attributes", [&] {
      return std::to_string(fs.GetAttributes(at("d"))) + " " +
             std::to_string(fs.GetAttributes(at("d\\a.lst")));
    });
    step("attributes missing", [&] { return std::to_string(fs.GetAttributes(at("d\\m.lst"))); });
    step("attributes no folder", [&] { return std::to_string(fs.GetAttributes(at("z\\m.lst"))); });
    step("exists", [&] {
      return yes(fs.FileExists(at("D\\A.lst"))) + yes(fs.FileExists(at("d"))) +
             yes(fs.FolderExists(at("d"))) + yes(fs.FolderExists(at("d\\a.lst")));
    });
    step("list", [&] {
      std::string names;
      for (const FileEntry& e : fs.ListFiles(at("d"))) names += e.name + " ";
      return names;
    });
    step("kind", [&] {
      std::string kinds;
      for (const char* name : {"d", "d\\a.lst", "d\\m.lst"}) {
        kinds += std::to_string(static_cast<int>(fs.KindOf(at(name))));
      }
      return kinds;
    });
    step("list missing", [&] { return std::to_string(fs.ListFiles(at("z")).size()); });
    step("rmdir full", ok([&] { fs.RemoveFolder(at("d")); }));
    step("rmdir", then([&] { fs.CreateFolder(at("e")), fs.RemoveFolder(at("e")); }, "e"));
    step("rmdir missing", ok([&] { fs.RemoveFolder(at("e")); }));
    step("no identity", [&] {
      return yes(fs.FileIdentity(at("d")).empty()) + yes(fs.FileIdentity(at("d\\m.lst")).empty());
    });
    return out;
  };
  testing::TempDir dir;
  auto disk = NewOsFileSystem();
  auto memory = NewMemoryFileSystem();
  memory->CreateFolder("root");
  const std::vector<std::string> on_disk = script(*disk, dir.path());
  EXPECT_EQ(script(*memory, "root"), on_disk);
  // A preview over an empty folder answers as the disk did, and leaves the disk as it was.
  testing::TempDir shadow;
  platform::OverlayFileSystem preview(NewOsFileSystem(), {shadow.path()});
  EXPECT_EQ(script(preview, shadow.path()), on_disk);
  EXPECT_TRUE(disk->ListFiles(shadow.path()).empty());
  // What only a disk has: a symbolic link (not followed) and a pipe.
  ASSERT_EQ(::symlink("d", (dir / "link").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  EXPECT_EQ(disk->KindOf(dir / "link"), EntryKind::kLink);
  EXPECT_EQ(disk->KindOf(dir / "pipe"), EntryKind::kOther);
  EXPECT_EQ(disk->RealPath(dir / "link"), disk->RealPath(dir / "d"));
  EXPECT_EQ(disk->RealPath(dir / "nothing"), "");
  EXPECT_FALSE(disk->MayWrite(dir / "nothing", "0"));  // not even root writes where nothing is
  if (::geteuid() == 0) {  // root changes another account's attributes, in a preview too
    ASSERT_EQ(::chown((dir / "d/a.lst").c_str(), 65534, 65534), 0);
    platform::OverlayFileSystem(NewOsFileSystem(), {dir.path()})
        .SetAttributes(dir / "d/a.lst", kAttrReadOnly);
  }
}

// The memory file system locks folders only, one holder at a time.
TEST(MemoryFileSystemTest, LocksFoldersOnce) {
  auto fs = NewMemoryFileSystem();
  fs->CreateFolder("db");
  fs->Open("db\\f.lst", OpenMode::kWrite)->Finish("x", 1);
  EXPECT_EQ(platform::LockFormFolder(*fs, "missing", 0), nullptr);
  EXPECT_EQ(platform::LockFormFolder(*fs, "db\\f.lst", 0), nullptr);
  {
    auto lock = platform::LockFormFolder(*fs, "DB", 0);
    ASSERT_NE(lock, nullptr);
    EXPECT_FALSE(lock->previous_run_unfinished());
    EXPECT_EQ(testing::ErrorNumber([&] { platform::LockFormFolder(*fs, "db", 0); }), 70);
  }
  // The holder above never finished: the next one is told so, and after a finished run the
  // one after it is not.
  auto lock = platform::LockFormFolder(*fs, "db", 0);
  ASSERT_NE(lock, nullptr);
  EXPECT_TRUE(lock->previous_run_unfinished());
  lock->MarkFinished();
  lock.reset();
  EXPECT_FALSE(platform::LockFormFolder(*fs, "db", 0)->previous_run_unfinished());
}

// Another account of the group takes the lock of a folder whose record root left behind: a
// record it may read is replaced by one of its own (nothing of the replacement stays), and
// where it cannot, the message says what is wrong and what to do. Needs root to play both.
TEST(OsFileSystemTest, ARecordOfAnotherAccount) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const std::string forms = dir / "BerichteLL", record = forms + "/" + kLockFileName;
  // The lock as user "nobody": "" when it was taken, else the error's text.
  auto lock_as_other = [&] {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return std::string("no pipe");
    pid_t child = ::fork();
    if (child == 0) {
      ::close(pipe_fds[0]);
      std::string said;
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
        said = "no second account";
      } else {
        try {
          auto lock = platform::LockFormFolder(*NewOsFileSystem(), forms, 0);
          said = lock == nullptr ? "no lock" : lock->previous_run_unfinished() ? "unfinished" : "";
        } catch (const Error& e) {
          said = e.description();
        }
      }
      (void)!::write(pipe_fds[1], said.data(), said.size());
      ::_exit(0);
    }
    ::close(pipe_fds[1]);
    std::string said;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) said.append(buffer, n);
    ::close(pipe_fds[0]);
    ::waitpid(child, nullptr, 0);
    return said;
  };
  auto contains = [](const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  };
  ::mkdir(forms.c_str(), 0755);
  EXPECT_TRUE(contains(lock_as_other(), "kann nicht angelegt werden")) << lock_as_other();
  ASSERT_EQ(::chmod(forms.c_str(), 0777), 0);
  testing::WriteBytes(record, "state=finished\n");
  ASSERT_EQ(::chmod(record.c_str(), 0600), 0);
  EXPECT_TRUE(contains(lock_as_other(), "kann nicht gelesen werden")) << lock_as_other();
  ASSERT_EQ(::chmod(record.c_str(), 0644), 0);
  ASSERT_EQ(::chmod(forms.c_str(), 0755), 0);
  EXPECT_TRUE(contains(lock_as_other(), "eines anderen Benutzers kann nicht ersetzt werden"));
  EXPECT_FALSE(testing::Exists(record + ".new"));
  ASSERT_EQ(::chmod(forms.c_str(), 0777), 0);
  testing::WriteBytes(record + ".new", "half");  // a replacement an earlier run did not finish
  EXPECT_EQ(lock_as_other(), "");
  // A run of root's that did not finish is seen, from root's own record.
  ASSERT_EQ(::unlink(record.c_str()), 0);
  testing::WriteBytes(record, "state=running\n");
  ASSERT_EQ(::chmod(record.c_str(), 0644), 0);
  const std::string roots = forms + "/.llupdate-lock.0", others = forms + "/.llupdate-lock.65534";
  ::unlink(others.c_str());        // the other's runs above did not finish
  EXPECT_EQ(lock_as_other(), "");  // the shared record only names the holder
  ::unlink(others.c_str());
  testing::WriteBytes(roots, "state=running\n");
  ASSERT_EQ(::chmod(roots.c_str(), 0644), 0);
  EXPECT_EQ(lock_as_other(), "unfinished");
  EXPECT_EQ(testing::Stat(record).st_uid, 65534u);
  EXPECT_FALSE(testing::Exists(record + ".new"));
  // Root, in turn, takes that account's record as it is: neither its owner nor its mode changes.
  ASSERT_EQ(::chmod(record.c_str(), 0666), 0);
  ASSERT_NE(platform::LockFormFolder(*NewOsFileSystem(), forms, 0), nullptr);
  EXPECT_EQ(testing::Stat(record).st_uid, 65534u);
  EXPECT_EQ(testing::Mode(record), 0666u);
  EXPECT_EQ(testing::Stat(record).st_gid, 65534u);
  // Each account's record is its own and writable by it alone. One under another account's name,
  // or one others may write, is refused as a whole and says why; root's is made anew.
  EXPECT_EQ(testing::Stat(others).st_uid, 65534u);
  EXPECT_EQ(testing::Mode(others) & 022, 0u);
  testing::WriteBytes(roots, "state=running\nown=\t1:2\n");
  ASSERT_EQ(::chown(roots.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(others.c_str(), 0666), 0);
  {
    auto lock = platform::LockFormFolder(*NewOsFileSystem(), forms, 0);
    ASSERT_NE(lock, nullptr);
    const std::vector<std::string> refused = lock->refused_records();
    ASSERT_EQ(refused.size(), 2u);
    EXPECT_TRUE(
        contains(refused[0] + refused[1], ".llupdate-lock.0 (er gehört dem Benutzer 65534"));
    EXPECT_TRUE(contains(refused[0] + refused[1], "dürfen ihn schreiben"));
    EXPECT_TRUE(lock->previous_own_files().empty());
    EXPECT_EQ(testing::Stat(roots).st_uid, 0u);
  }
}

// A form replaced by a new file keeps its extended attributes (an ACL is one), every one of
// them, and does not take on those the new file had of its own.
TEST(OsFileSystemTest, AReplacedFormKeepsItsExtendedAttributes) {
  TempDir dir;
  const std::string form = dir / "f.bel", fresh = dir / "xx_f.bel";
  testing::WriteBytes(form, "old");
  if (::setxattr(form.c_str(), "user.kunde", "eigen", 5, 0) != 0) {
    GTEST_SKIP() << "no extended attributes on this file system";
  }
  ASSERT_EQ(::setxattr(form.c_str(), "user.b", "zwei", 4, 0), 0);
  auto fs = NewOsFileSystem();
  fs->Open(dir.path() + "\\xx_f.bel", OpenMode::kCreateNew)->Finish("new", 3);
  auto value = [&](const char* name) {
    char buffer[16];
    ssize_t n = ::getxattr(form.c_str(), name, buffer, sizeof buffer);
    return n < 0 ? std::string("(none)") : std::string(buffer, static_cast<size_t>(n));
  };
  // A new file that cannot lose an attribute of its own, take one of the form's, or take the
  // form's mode does not take the form's place.
  for (int failing : {0, 1, 3}) {
    SCOPED_TRACE(failing);
    ASSERT_EQ(::setxattr(fresh.c_str(), "user.fremd", "x", 1, 0), 0);
    int seen = 0;
    platform::SetOsFaultHook([&](platform::OsCall c, const std::string&) {
      return (c == platform::OsCall::kAttributes || c == platform::OsCall::kOwner) &&
                     seen++ == failing
                 ? EIO
                 : 0;
    });
    EXPECT_THROW(fs->ReplaceFile(dir.path() + "\\xx_f.bel", dir.path() + "\\f.bel"),
                 platform::Error);
    platform::SetOsFaultHook(nullptr);
    EXPECT_EQ(testing::ReadBytes(form), "old");
    EXPECT_EQ(value("user.kunde"), "eigen");
  }
  ASSERT_EQ(::setxattr(fresh.c_str(), "user.fremd", "x", 1, 0), 0);
  ASSERT_TRUE(fs->ReplaceFile(dir.path() + "\\xx_f.bel", dir.path() + "\\f.bel"));
  EXPECT_EQ(testing::ReadBytes(form), "new");
  EXPECT_EQ(value("user.kunde"), "eigen");
  EXPECT_EQ(value("user.b"), "zwei");
  EXPECT_EQ(value("user.fremd"), "(none)");
}

// Where the file system has no rename that refuses to replace (network and FUSE file systems), a
// move still never replaces what has the destination's name.
TEST(OsFileSystemTest, AMoveWithoutTheNoReplaceFlagRefusesAnExistingDestination) {
  TempDir dir;
  platform::SetOsFaultHook([](platform::OsCall c, const std::string&) {
    return c == platform::OsCall::kNoReplace ? EINVAL : 0;
  });
  auto fs = NewOsFileSystem();
  testing::WriteBytes(dir / "alt_f.bel", "backup");
  testing::WriteBytes(dir / "f.bel", "reappeared");
  EXPECT_THROW(fs->MoveFile(dir.path() + "\\alt_f.bel", dir.path() + "\\f.bel"), platform::Error);
  EXPECT_EQ(testing::ReadBytes(dir / "f.bel"), "reappeared");
  fs->MoveFile(dir.path() + "\\alt_f.bel", dir.path() + "\\g.bel");
  platform::SetOsFaultHook(nullptr);
  EXPECT_EQ(testing::ReadBytes(dir / "g.bel"), "backup");
}

// Flushes in batches: a new file waits for the batch's one flush, and never takes the place of a
// file whose data is on the disk before its own data is there (a waiting file may replace another
// waiting one unflushed). Every flush is seen through the fault hook, so each one counts here.
TEST(OsFileSystemTest, NewFilesWaitForOneFlushAndNoneReplacesAFormBeforeIt) {
  TempDir dir;
  std::vector<std::string> flushes;
  platform::SetOsFaultHook([&](platform::OsCall c, const std::string& path) {
    if (c == platform::OsCall::kFlush) flushes.push_back(path.substr(path.find_last_of("\\/") + 1));
    return 0;
  });
  auto fs = NewOsFileSystem();
  fs->UseDurableWrites(true);
  ASSERT_TRUE(fs->DeferFlushes(true));
  const std::string d = dir.path() + "\\";
  testing::WriteBytes(dir / "f.bel", "old");
  testing::WriteBytes(dir / "g.bel", "old");
  auto write = [&](const std::string& name, const std::string& bytes) {
    std::unique_ptr<File> file = fs->Open(d + name, OpenMode::kCreateNew);
    file->Finish(bytes.data(), bytes.size());
  };
  write("xx_f.bel", "one");
  write("part", "two");
  write("xx_g.bel", "new g");
  EXPECT_TRUE(flushes.empty());                              // closed, not yet flushed
  EXPECT_TRUE(fs->ReplaceFile(d + "part", d + "xx_f.bel"));  // waiting over waiting
  EXPECT_TRUE(flushes.empty());
  EXPECT_TRUE(fs->ReplaceFile(d + "xx_g.bel", d + "g.bel"));  // over a form: flushed first
  EXPECT_EQ(flushes, std::vector<std::string>{"xx_g.bel"});
  flushes.clear();
  fs->FlushWritten();  // one flush for the file system, whatever waits
  EXPECT_EQ(flushes.size(), 1u);
  EXPECT_TRUE(fs->ReplaceFile(d + "xx_f.bel", d + "f.bel"));
  fs->FlushWritten();  // nothing waits any more
  EXPECT_EQ(flushes.size(), 1u);
  platform::SetOsFaultHook(nullptr);
  EXPECT_EQ(testing::ReadBytes(dir / "f.bel"), "two");
  EXPECT_EQ(testing::ReadBytes(dir / "g.bel"), "new g");
  fs->DeferFlushes(false);
}

// A full disk while the lock's record is written: the message says so, and no empty record stays.
TEST(OsFileSystemTest, AFullDiskAtTheLockLeavesNoEmptyRecordAndSaysWhy) {
  TempDir dir;
  platform::SetOsFaultHook([](platform::OsCall c, const std::string& path) {
    return c == platform::OsCall::kWrite && path.find(kLockFileName) != std::string::npos ? ENOSPC
                                                                                          : 0;
  });
  auto fs = NewOsFileSystem();
  try {
    platform::LockFormFolder(*fs, dir.path(), 0);
    ADD_FAILURE() << "locked on a full disk";
  } catch (const platform::Error& e) {
    EXPECT_NE(e.description().find("der Datenträger ist voll"), std::string::npos)
        << e.description();
  }
  platform::SetOsFaultHook(nullptr);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));  // nothing was left
  EXPECT_NE(platform::LockFormFolder(*fs, dir.path(), 0), nullptr);
}

// On a file system without unnamed files a new file is named first and recorded by name; a file
// of the run's own renamed over another of its names is recorded under that name too, so that
// after a crash the next writer still knows it.
TEST(OsFileSystemTest, WithoutUnnamedFilesNewFilesAreRecordedByName) {
  TempDir dir;
  platform::SetOsFaultHook([](platform::OsCall c, const std::string&) {
    return c == platform::OsCall::kUnnamed ? EOPNOTSUPP : 0;
  });
  auto fs = NewOsFileSystem();
  {
    auto lock = platform::LockFormFolder(*fs, dir.path(), 0);
    const std::string draft = dir.path() + "\\xx_a.bel";
    const std::string saved = platform::PartialFileName(draft);
    fs->Open(draft, OpenMode::kCreateNew)->Finish("1", 1);
    fs->Open(saved, OpenMode::kCreateNew)->Finish("2", 1);
    ASSERT_TRUE(fs->ReplaceFile(saved, draft));
    const std::string record =
        testing::ReadBytes(dir / (".llupdate-lock." + std::to_string(::geteuid())));
    EXPECT_NE(record.find("own=xx_a.bel\t" + testing::Identity(dir / "xx_a.bel") + "\n"),
              std::string::npos)
        << record;
  }
  platform::SetOsFaultHook(nullptr);
}

// A folder another run holds is busy: the writer says which run, from what that run recorded.
TEST(OsFileSystemTest, AHeldFolderNamesItsHolder) {
  TempDir dir;
  int held = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  testing::WriteBytes(dir / ".llupdate-lock",
                      "host=nebenan\npid=4711\nsince=2026-12-07 10:00:00\nstate=running\n");
  auto fs = NewOsFileSystem();
  std::string message;
  try {
    platform::LockFormFolder(*fs, dir.path(), 0);
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), 70);
    message = e.what();
  }
  EXPECT_NE(message.find("die Datenbank mit dem Formularordner " + dir.path() +
                         " wird von einem anderen Lauf bearbeitet (Rechner nebenan, Prozess "
                         "4711, seit 2026-12-07 10:00:00)"),
            std::string::npos)
      << message;
  ::close(held);
  auto lock = platform::LockFormFolder(*fs, dir.path(), 0);
  ASSERT_NE(lock, nullptr);
  // A nested call of the same job runs inside the lock, also through another path; another
  // file system in the same thread is another run, and waits like one.
  ::mkdir((dir / "sub").c_str(), 0755);
  EXPECT_NE(platform::LockFormFolder(*fs, dir.path() + "/sub/..", 0), nullptr);
  EXPECT_EQ(
      testing::ErrorNumber([&] { platform::LockFormFolder(*NewOsFileSystem(), dir.path(), 0); }),
      70);
}

TEST(PartialFileTest, NamesAreKnownAgain) {
  const std::string name = platform::PartialFileName("a.bel");
  EXPECT_TRUE(platform::IsPartialFileName(name));
  EXPECT_NE(platform::PartialFileName("a.bel"), name);
  EXPECT_TRUE(platform::IsPartialFileName("a.bel.llupdate-copy"));
  // Neither without a form's name, nor with a digit that is no hex digit, nor with another end.
  for (const char* other :
       {".llupdate-copy", ".llupdate-0123456789abcdef.tmp", "a.bel.llupdate-0123456789abcdeg.tmp",
        "a.bel.llupdate-g123456789abcdef.tmp", "a.bel.llupdate-0123456789abcdef.tm"}) {
    EXPECT_FALSE(platform::IsPartialFileName(other)) << other;
  }
  EXPECT_TRUE(platform::IsPartialFileName("a.bel.llupdate-0123456789abcdef.tmp"));
}

TEST(OsFileSystemTest, ListsFilesOnlyOrderedByNameIgnoringCase) {
  TempDir dir;
  for (const char* name : {"b.lst", "A.lst", "c.LST", "a2.lst"})
    testing::WriteBytes(dir / name, "");
  ::mkdir((dir / "Sub").c_str(), 0755);
  auto fs = platform::NewOsFileSystem();
  EXPECT_EQ(testing::Names(*fs, dir.path()),
            (std::vector<std::string>{"A.lst", "a2.lst", "b.lst", "c.LST"}));
  EXPECT_EQ(fs->ListFiles(dir.path())[0].path, dir.path() + "\\A.lst");
  EXPECT_EQ(ErrorOf([&] { fs->ListFiles(dir / "missing"); }), platform::kPathNotFound);
}

// A "\" inside a name (copied from elsewhere) is listed as U+F05C and found again under that
// name; its neighbours in the private-use area are characters like any other. Reading a file,
// even after a read that failed, leaves its access time as it was.
TEST(OsFileSystemTest, NamesWithABackslashAndAccessTimes) {
  TempDir dir;
  const std::string back =
                        "a\xEF\x81\x9C"
                        "b.bel",
                    near =
                        "a\xEF\x81\x81"
                        "b.bel";
  testing::WriteBytes(dir / "a\\b.bel", "back");
  testing::WriteBytes(dir / near, "near");
  const struct timespec old[2] = {{1000000000, 0}, {UTIME_OMIT, 0}};
  for (const char* name : {"a\\b.bel", near.c_str()}) {
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / name).c_str(), old, 0), 0);
  }
  auto fs = NewOsFileSystem();
  EXPECT_THROW(fs->Open(dir.path() + "\\missing.bel", OpenMode::kRead), Error);
  std::map<std::string, std::string> read;
  for (const auto& e : fs->ListFiles(dir.path())) read[e.name] = testing::ReadBytes(*fs, e.path);
  EXPECT_EQ(read, (std::map<std::string, std::string>{{back, "back"}, {near, "near"}}));
  for (const char* name : {"a\\b.bel", near.c_str()}) {
    EXPECT_EQ(testing::Stat(dir / name).st_atim.tv_sec, 1000000000) << name;
  }
}

TEST(OsFileSystemTest, RefusesWhatWindowsRefusesOnReadOnlyFilesWhoeverRunsIt) {
  TempDir dir;
  auto fs = platform::NewOsFileSystem();
  std::string ro = dir / "ro.lst", other = dir / "other.lst";
  testing::WriteBytes(ro, "old");
  testing::WriteBytes(other, "new");
  testing::MakeReadOnly(ro);
  EXPECT_EQ(ErrorOf([&] { fs->Open(ro, platform::OpenMode::kWrite); }),
            platform::kPermissionDenied);
  EXPECT_EQ(ErrorOf([&] { fs->CopyFile(other, ro, true); }), platform::kPermissionDenied);
  EXPECT_EQ(ErrorOf([&] { fs->MoveFile(other, ro); }), platform::kFileAlreadyExists);
  EXPECT_EQ(ErrorOf([&] { fs->DeleteFile(ro, false); }), platform::kPermissionDenied);
  EXPECT_EQ(testing::ReadBytes(ro), "old");
  EXPECT_EQ(ErrorOf([&] { fs->DeleteFile(ro, true); }), 0);
  EXPECT_FALSE(testing::Exists(ro));
  EXPECT_EQ(ErrorOf([&] { fs->Open(dir / "nodir/x.lst", platform::OpenMode::kWrite); }),
            platform::kPathNotFound);
  EXPECT_EQ(ErrorOf([&] { fs->Open(dir.path(), platform::OpenMode::kRead); }),
            platform::kPathFileAccessError);
}

TEST(OsFileSystemTest, CopyKeepsContentModeAndTimeAndLeavesNoPartialFile) {
  TempDir dir;
  auto fs = platform::NewOsFileSystem();
  std::string src = dir / "a.lst";
  testing::WriteBytes(src, std::string(200000, 'x'));
  struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
  ::utimensat(AT_FDCWD, src.c_str(), times, 0);
  fs->CopyFile(src, dir.path() + "\\alt_a.lst", true);
  EXPECT_EQ(testing::Stat(dir / "alt_a.lst").st_mtim.tv_sec, 1000000000);
  EXPECT_EQ(testing::ReadBytes(dir / "alt_a.lst"), testing::ReadBytes(src));
  EXPECT_EQ(fs->ListFiles(dir.path()).size(), 2u);
}

// The settings file's locks between two openings of it, as SQLite has them: readers share, one
// writer reserves, the exclusive lock waits for the readers to leave and keeps new ones out, and
// going back to shared lets them in again.
TEST(OsFileSystemTest, InPlaceFilesLockAsSqliteDoes) {
  TempDir dir;
  testing::WriteBytes(dir / "s.sqlite", "x");
  auto fs = NewOsFileSystem();
  errno = ELOOP;  // an earlier call's failure says nothing about this opening
  std::unique_ptr<InPlaceFile> files[] = {fs->OpenInPlace(dir / "s.sqlite", true, false),
                                          fs->OpenInPlace(dir / "s.sqlite", true, false)};
  // Each step: which opening (0 or 1), its call (Lock, Unlock, or Reserved: whether a writer of
  // the other reserves), the level, and what the call gives (+ true, - false).
  std::istringstream steps(
      "0L1+ 1L1+ 1L2+ 0L2- 0R0+ 1L4- 0L1+ 0U0+ 0L1- 1L4+ 0L1- 1U1+ 0L1+ 0R0- 0L2+");
  for (std::string s; steps >> s;) {
    InPlaceFile& f = *files[s[0] - '0'];
    const int n = s[2] - '0';
    const bool got = s[1] == 'L' ? f.Lock(n) : s[1] == 'R' ? f.Reserved() : (f.Unlock(n), true);
    EXPECT_EQ(got, s[3] == '+') << s;
  }
}

// A kernel or file system that cannot write and flush in one call gets a write and a flush; one
// that fails otherwise fails the file.
TEST(OsFileSystemTest, ADurableWriteFallsBackWhenTheSystemCannot) {
  TempDir dir;
  auto fs = platform::NewOsFileSystem();
  for (int err : {EOPNOTSUPP, EINVAL, ENOSYS, EIO}) {
    SCOPED_TRACE(err);
    int seen = 0;
    platform::SetOsFaultHook([&](platform::OsCall c, const std::string&) {
      return c == platform::OsCall::kWrite && seen++ == 0 ? err : 0;
    });
    auto file = fs->Open(dir.path() + "\\f.bel", OpenMode::kCreateNew);
    if (err == EIO) {
      EXPECT_THROW(file->Finish("abc", 3), platform::Error);
    } else {
      file->Finish("abc", 3);
      EXPECT_EQ(testing::ReadBytes(dir / "f.bel"), "abc");
    }
    platform::SetOsFaultHook(nullptr);
    ::unlink((dir / "f.bel").c_str());
    // The same for the lock's record of the files a run makes.
    auto lock = platform::LockFormFolder(*fs, dir.path(), 0);
    seen = 0;
    platform::SetOsFaultHook([&](platform::OsCall c, const std::string& path) {
      return c == platform::OsCall::kWrite && path == ".llupdate-lock" && seen++ == 0 ? err : 0;
    });
    if (err == EIO) {
      EXPECT_THROW(fs->Open(dir.path() + "\\f.bel", OpenMode::kCreateNew), platform::Error);
    } else {
      fs->Open(dir.path() + "\\f.bel", OpenMode::kCreateNew)->Finish("abc", 3);
      EXPECT_EQ(testing::ReadBytes(dir / "f.bel"), "abc");
    }
    platform::SetOsFaultHook(nullptr);
    lock.reset();
    ::unlink((dir / "f.bel").c_str());
  }
}

}  // namespace
}  // namespace llupdate
