// The run-time library's numbered files: a file is opened on a number (the lowest free one from 1
// to 255, or a fixed one such as 99), used by number and closed by number. Each instance of the
// component has its own table.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/file_system.h"
#include "text/text_io.h"

namespace llupdate::files {

using text::Encoding;
using text::TextReader;
using text::TextWriter;

inline constexpr int32_t kLineArrayFileNumber = 99;

class FileTable {
 public:
  // The lowest free number from 1 to 255; error 67 when all are in use.
  int32_t FreeFile() const;
  // Opens path on number for reading lines; error 55 when the number is in use.
  void OpenInput(int32_t number, platform::FileSystem& fs, const std::string& path);
  // Creates or empties path and opens it on number for writing lines in the given encoding.
  void OpenOutput(int32_t number, platform::FileSystem& fs, const std::string& path,
                  Encoding encoding, platform::OpenMode mode = platform::OpenMode::kWrite);
  // The reader or writer of an open number; error 52 when the number is not open that way.
  TextReader& Reader(int32_t number);
  TextWriter& Writer(int32_t number);
  // Closes the number; it is free afterwards even when closing fails (the error is thrown).
  void Close(int32_t number);
  // Closes the number if it is open, ignoring errors.
  void CloseQuietly(int32_t number) noexcept;
  bool IsOpen(int32_t number) const;
  int OpenCount() const;

 private:
  struct Slot {
    std::unique_ptr<TextReader> reader;
    std::unique_ptr<TextWriter> writer;
  };
  Slot& Use(int32_t number);
  std::array<Slot, 256> slots_;
};

// Closes a number when it goes out of scope, unless it was closed before. Routines hold one for
// each number they open, so that no path leaves a file open.
class NumberedFile {
 public:
  NumberedFile(FileTable& table, int32_t number) : table_(table), number_(number) {}
  ~NumberedFile() {
    if (number_ > 0) table_.CloseQuietly(number_);
  }
  NumberedFile(const NumberedFile&) = delete;
  NumberedFile& operator=(const NumberedFile&) = delete;

  int32_t number() const { return number_; }
  // Closes now, reporting a failure.
  void Close() {
    int32_t n = number_;
    number_ = 0;
    if (n > 0) table_.Close(n);
  }

 private:
  FileTable& table_;
  int32_t number_;
};

}  // namespace llupdate::files
