// The one text reader and the one text writer behind every routine that reads or writes project
// text. Lines end at CR or CR LF; a LF alone belongs to the line. Every written line ends with
// CR LF. Text is UTF-8 on this side and the file's own encoding on the other.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

#include "text/encoding.h"

namespace llupdate::text {

// The bytes under a reader and a writer. Failures are thrown as the bytes' own exceptions, and
// pass through the reader and the writer as they are.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to size bytes; 0 at the end.
  virtual size_t Read(char* buffer, size_t size) = 0;
  virtual void Close() = 0;
};

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void Write(const char* data, size_t size) = 0;
  // Writes the last data and closes.
  virtual void Finish(const char* data, size_t size) = 0;
  virtual void Close() = 0;
};

// Any file that reads, writes and closes in these terms (the component's files do), as bytes.
template <class File>
class FileBytes final : public ByteSource, public ByteSink {
 public:
  explicit FileBytes(std::unique_ptr<File> file) : file_(std::move(file)) {}
  size_t Read(char* buffer, size_t size) override { return file_->Read(buffer, size); }
  void Write(const char* data, size_t size) override { file_->Write(data, size); }
  void Finish(const char* data, size_t size) override { file_->Finish(data, size); }
  void Close() override { file_->Close(); }

 private:
  std::unique_ptr<File> file_;
};

// Bytes held in memory: a writer appends to them, a reader reads them from the start.
class MemoryBytes final : public ByteSource, public ByteSink {
 public:
  explicit MemoryBytes(std::string& bytes) : bytes_(bytes) {}
  size_t Read(char* buffer, size_t size) override {
    const size_t n = bytes_.copy(buffer, size, at_);
    at_ += n;
    return n;
  }
  void Write(const char* data, size_t size) override { bytes_.append(data, size); }
  void Finish(const char* data, size_t size) override { bytes_.append(data, size); }
  void Close() override {}

 private:
  std::string& bytes_;
  size_t at_ = 0;
};

// A text that RefuseLossyText refused; what() names the file and the reason.
class LossyText : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TextReader {
 public:
  explicit TextReader(std::unique_ptr<ByteSource> bytes);
  template <class File>
  explicit TextReader(std::unique_ptr<File> file)
      : TextReader(std::unique_ptr<ByteSource>(new FileBytes<File>(std::move(file)))) {}
  ~TextReader();
  TextReader(const TextReader&) = delete;
  TextReader& operator=(const TextReader&) = delete;

  // The file's encoding, known from its first bytes.
  Encoding encoding();
  // Refuses, when the end of the file is reached, a text that cannot be read without loss: line
  // ends that are LF alone (no CR in the whole file, at least one LF) or UTF-16 of odd length.
  // The refusal is a LossyText naming shown_path and the reason (the component shows it as error
  // 321). Rewrites ask for it, so that such a form is never written back.
  void RefuseLossyText(std::string shown_path) { refuse_path_ = std::move(shown_path); }

  // Reads the next line without its end; false at the end of the file.
  bool ReadLine(std::string& line);
  // Reads the next line as the file's own bytes (for an 8-bit file: Windows-1252, not decoded).
  bool ReadLineBytes(std::string& line);
  // True when no character is left.
  bool AtEnd();
  // The rest of the text, line ends and all.
  std::string ReadAll();
  // The next piece of the text, line ends and all, whole characters; false at the end.
  bool ReadPiece(std::string& piece);
  void Close();

 private:
  // Decodes more of the file into text_; false at the end of the file.
  bool Fill();
  void Compact();
  void DetectMark();
  void DecodeRaw(bool final);

  void NoteLineEnds(size_t from);
  void CheckLossless(bool odd_length);

  std::unique_ptr<ByteSource> file_;
  std::string refuse_path_;  // empty: everything is read as it is
  bool saw_cr_ = false, saw_lf_ = false;
  bool started_ = false;
  bool eof_ = false;
  Encoding encoding_ = Encoding::kAnsi;
  bool ReadLineAs(std::string& line, bool decode);

  std::string raw_;    // bytes read but not yet decoded (an incomplete UTF-16 unit or pair)
  std::string text_;   // text not yet returned: decoded, or for an 8-bit file its own bytes
  std::string chunk_;  // what one read of the file gives
  size_t pos_ = 0;
};

class TextWriter {
 public:
  // Writes the encoding's byte order mark at once.
  TextWriter(std::unique_ptr<ByteSink> bytes, Encoding encoding);
  template <class File>
  TextWriter(std::unique_ptr<File> file, Encoding encoding)
      : TextWriter(std::unique_ptr<ByteSink>(new FileBytes<File>(std::move(file))), encoding) {}
  ~TextWriter();
  TextWriter(const TextWriter&) = delete;
  TextWriter& operator=(const TextWriter&) = delete;

  Encoding encoding() const { return encoding_; }
  void Write(const std::string& text);
  void WriteLine(const std::string& line);
  // Writes a line given in the file's own bytes (as ReadLineBytes gave it), and CR LF.
  void WriteLineBytes(std::string_view line);
  // Writes what is buffered and closes the file.
  void Close();

 private:
  void Flush();

  std::unique_ptr<ByteSink> file_;
  Encoding encoding_;
  std::string buffer_;
};

}  // namespace llupdate::text
