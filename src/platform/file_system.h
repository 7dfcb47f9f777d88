// The file-system object: one interface between the component's logic and the operating system,
// so that every file operation can be replaced (by a fault-injecting wrapper in tests, or by a
// host's own implementation registered under the ProgID "Scripting.FileSystemObject").
//
// Paths are component paths: "\" separates their parts (the platform maps it), and every part
// that exists is found without regard to letter case, an exact match first. So
// "db\Berichtell\a.lst" names "db/BerichteLL/a.lst" when only that spelling exists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "llupdate/object.h"

namespace llupdate::platform {

// File attributes in the platform's classic bit values.
enum Attribute : uint32_t {
  kAttrNormal = 0,
  kAttrReadOnly = 1,
  kAttrHidden = 2,
  kAttrSystem = 4,
  kAttrDirectory = 16,
  kAttrArchive = 32,
};

enum class OpenMode {
  kRead,   // the file must exist
  kWrite,  // created when missing, emptied when present
};

// An open file. Errors are thrown as platform::Error. A file that is destroyed without Close()
// is closed quietly.
class File {
 public:
  virtual ~File() = default;
  // Reads up to size bytes; returns 0 at the end of the file.
  virtual size_t Read(char* buffer, size_t size) = 0;
  virtual void Write(const char* data, size_t size) = 0;
  virtual void Close() = 0;
};

struct FileEntry {
  std::string name;  // the name as the directory holds it
  std::string path;  // the folder as given, "\" and the name
};

class FileSystem : public Object {
 public:
  // What the Scripting Runtime's file-system object offers.
  virtual bool FileExists(const std::string& path) = 0;
  virtual bool FolderExists(const std::string& path) = 0;
  virtual void CreateFolder(const std::string& path) = 0;
  // Copies a file; with overwrite an existing destination is replaced (unless it is read-only).
  // The copy keeps the source's attributes and modification time.
  virtual void CopyFile(const std::string& source, const std::string& destination,
                        bool overwrite) = 0;
  // Moves a file; fails when the destination exists.
  virtual void MoveFile(const std::string& source, const std::string& destination) = 0;
  // Deletes a file; a read-only file only with force.
  virtual void DeleteFile(const std::string& path, bool force) = 0;
  // The files directly in a folder (no subdirectories), ordered by name ignoring case.
  virtual std::vector<FileEntry> ListFiles(const std::string& folder) = 0;

  // What the run-time library offers.
  virtual std::unique_ptr<File> Open(const std::string& path, OpenMode mode) = 0;
  // The attributes of an existing file or directory.
  virtual uint32_t GetAttributes(const std::string& path) = 0;
  virtual void SetAttributes(const std::string& path, uint32_t attributes) = 0;
};

// The file system of the operating system.
std::shared_ptr<FileSystem> NewOsFileSystem();

// The operating-system path that a component path names (see the file comment).
std::string ResolvePath(const std::string& component_path);

// Tell path resolution that this thread created or removed an entry (an OS path), so that what
// it knows of the directory stays right.
void NoteCreated(const std::string& os_path);
void NoteRemoved(const std::string& os_path);

}  // namespace llupdate::platform
