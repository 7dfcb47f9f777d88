// What the fuzz targets share: a property check that stops the run with the place it failed, a
// file system in memory with one file, and a message component that keeps messages quiet.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "host/objects.h"
#include "llupdate/file_system.h"
#include "llupdate/host.h"
#include "llupdate/message_sinks.h"

#define FUZZ_CHECK(condition)                                                               \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (0)

namespace llupdate::fuzz {

inline std::string Bytes(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

inline void WriteFile(FileSystem& fs, const std::string& path, const std::string& bytes) {
  std::unique_ptr<File> file = fs.Open(path, OpenMode::kWrite);
  file->Write(bytes.data(), bytes.size());
  file->Close();
}

inline std::string ReadFile(FileSystem& fs, const std::string& path) {
  std::unique_ptr<File> file = fs.Open(path, OpenMode::kRead);
  std::string bytes;
  char buffer[4096];
  while (size_t n = file->Read(buffer, sizeof buffer)) bytes.append(buffer, n);
  return bytes;
}

// A memory file system with the folders of a database "db" and, when bytes are given, the form
// "db\BerichteLL\<name>".
inline std::shared_ptr<FileSystem> Database(const std::string& name, const std::string& bytes) {
  std::shared_ptr<FileSystem> fs = NewMemoryFileSystem();
  fs->CreateFolder("db");
  fs->CreateFolder("db\\BerichteLL");
  WriteFile(*fs, "db\\BerichteLL\\" + name, bytes);
  return fs;
}

// Messages shown while it lives are kept, not printed.
class QuietMessages {
 public:
  QuietMessages()
      : recorder_(std::make_shared<llupdate::RecordingMessages>()),
        registration_(host::kMessagesProgId, [r = recorder_] { return r; }) {
    ResetThreadHostMessages();
  }
  ~QuietMessages() { ResetThreadHostMessages(); }

 private:
  std::shared_ptr<llupdate::RecordingMessages> recorder_;
  ScopedObjectRegistration registration_;
};

}  // namespace llupdate::fuzz
