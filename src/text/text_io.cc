#include "text/text_io.h"

#include <cstring>
#include <vector>

namespace llupdate::text {
namespace {
// Reads and writes go to the file in pieces this large: few calls, and little memory.
constexpr size_t kChunk = 1 << 18;

// The buffers of the readers and writers a thread has finished with, kept for its next ones: a
// job over a thousand forms asks the system for its memory once, and no page is given back and
// faulted in again between two forms. A buffer that grew far beyond a chunk (a form with very
// long lines) is given back.
class SpareBuffers {
 public:
  std::string Take() {
    if (spare_.empty()) return {};
    std::string buffer = std::move(spare_.back());
    spare_.pop_back();
    return buffer;
  }
  void Give(std::string& buffer) {
    if (buffer.capacity() < 4096 || buffer.capacity() > 16 * kChunk || spare_.size() >= 8) {
      return;
    }
    spare_.push_back(std::move(buffer));
  }

 private:
  std::vector<std::string> spare_;
};

// Text buffers (kept empty) and read buffers (kept a chunk long, so never cleared again).
SpareBuffers& Spare() {
  thread_local SpareBuffers spare;
  return spare;
}
SpareBuffers& SpareChunks() {
  thread_local SpareBuffers spare;
  return spare;
}

// A buffer from the spare ones, empty.
std::string EmptySpare() {
  std::string buffer = Spare().Take();
  buffer.clear();
  return buffer;
}

}  // namespace

TextReader::TextReader(std::unique_ptr<ByteSource> file)
    : file_(std::move(file)),
      raw_(EmptySpare()),
      text_(EmptySpare()),
      chunk_(SpareChunks().Take()) {}

TextReader::~TextReader() {
  SpareChunks().Give(chunk_);
  Spare().Give(text_);
  Spare().Give(raw_);
}

Encoding TextReader::encoding() {
  if (!started_) Fill();
  return encoding_;
}

void TextReader::Compact() {
  if (pos_ > 0 && pos_ >= text_.size() / 2) {
    text_.erase(0, pos_);
    pos_ = 0;
  }
}

void TextReader::DetectMark() {
  started_ = true;
  size_t mark = 0;
  encoding_ = DetectEncoding(raw_, &mark);
  raw_.erase(0, mark);
}

void TextReader::DecodeRaw(bool final) {
  switch (encoding_) {
    case Encoding::kAnsi:  // kept as bytes: a line is decoded when it is read
      text_.append(raw_);
      raw_.clear();
      break;
    case Encoding::kUtf8Bom:
      text_.append(raw_);
      raw_.clear();
      break;
    case Encoding::kUtf16Le:
    case Encoding::kUtf16Be:
      raw_.erase(0, AppendUtf16AsUtf8(text_, raw_, encoding_ == Encoding::kUtf16Be, final));
      break;
  }
}

void TextReader::NoteLineEnds(size_t from) {
  if (refuse_path_.empty() || saw_cr_ || from >= text_.size()) return;
  std::string_view added(text_.data() + from, text_.size() - from);
  saw_cr_ = added.find('\r') != std::string_view::npos;
  saw_lf_ = saw_lf_ || added.find('\n') != std::string_view::npos;
}

void TextReader::CheckLossless(bool odd_length) {
  if (refuse_path_.empty()) return;
  if (odd_length) {
    throw LossyText(refuse_path_ + ": UTF-16 mit ungerader Länge (kein Textprojekt)");
  }
  if (saw_lf_ && !saw_cr_) {
    throw LossyText(refuse_path_ + ": Zeilenenden nur LF, ohne CR (kein Textprojekt)");
  }
}

bool TextReader::Fill() {
  if (eof_) return false;
  Compact();
  size_t before = text_.size();
  for (;;) {
    const size_t scan_from = text_.size();
    // The bytes of an 8-bit file go straight into the text, once the mark is known; others
    // through raw_ to be decoded.
    std::string& into = started_ && encoding_ == Encoding::kAnsi ? text_ : raw_;
    if (chunk_.size() < kChunk) chunk_.resize(kChunk);  // once per buffer, not per read
    size_t n = file_->Read(chunk_.data(), kChunk);
    into.append(chunk_.data(), n);
    if (n == 0) {
      eof_ = true;
      if (!started_) DetectMark();
      const bool odd_length =
          (encoding_ == Encoding::kUtf16Le || encoding_ == Encoding::kUtf16Be) && raw_.size() % 2;
      size_t from = text_.size();
      DecodeRaw(true);
      NoteLineEnds(from);
      CheckLossless(odd_length);
      return text_.size() > before;
    }
    if (!started_) {
      if (raw_.size() < 3) continue;  // the mark is known after three bytes or at the end
      DetectMark();
    }
    DecodeRaw(false);
    NoteLineEnds(scan_from);
    if (text_.size() > before) return true;
  }
}

bool TextReader::AtEnd() {
  while (pos_ >= text_.size()) {
    if (!Fill()) return true;
  }
  return false;
}

bool TextReader::ReadLine(std::string& line) { return ReadLineAs(line, true); }

bool TextReader::ReadLineBytes(std::string& line) { return ReadLineAs(line, false); }

bool TextReader::ReadLineAs(std::string& line, bool decode) {
  if (AtEnd()) return false;
  line.clear();
  auto take = [&](size_t end) {
    std::string_view piece(text_.data() + pos_, end - pos_);
    if (decode && encoding_ == Encoding::kAnsi) {
      AppendCp1252AsUtf8(line, piece);
    } else {
      line.append(piece);
    }
  };
  for (;;) {
    const char* start = text_.data() + pos_;
    const void* found = std::memchr(start, '\r', text_.size() - pos_);
    if (found != nullptr) {
      size_t cr = static_cast<size_t>(static_cast<const char*>(found) - text_.data());
      take(cr);
      pos_ = cr + 1;
      // A LF right after the CR belongs to the line end, even when it is in the next chunk.
      if (pos_ >= text_.size()) Fill();
      if (pos_ < text_.size() && text_[pos_] == '\n') ++pos_;
      return true;
    }
    take(text_.size());
    pos_ = text_.size();
    if (!Fill()) return true;  // the last line has no end
  }
}

std::string TextReader::ReadAll() {
  std::string all, piece;
  while (ReadPiece(piece)) all.append(piece);
  return all;
}

bool TextReader::ReadPiece(std::string& piece) {
  if (AtEnd()) return false;
  piece.clear();
  std::string_view rest(text_.data() + pos_, text_.size() - pos_);
  if (encoding_ == Encoding::kAnsi) {
    AppendCp1252AsUtf8(piece, rest);
  } else {
    piece.append(rest);
  }
  pos_ = text_.size();
  return true;
}

void TextReader::Close() { file_->Close(); }

TextWriter::TextWriter(std::unique_ptr<ByteSink> file, Encoding encoding)
    : file_(std::move(file)), encoding_(encoding), buffer_(EmptySpare()) {
  buffer_.append(ByteOrderMark(encoding));
}

TextWriter::~TextWriter() { Spare().Give(buffer_); }

void TextWriter::Write(const std::string& text) {
  // A long text is encoded piece by piece, so that the buffer never holds more than a chunk;
  // pieces end between characters.
  std::string_view rest = text;
  while (!rest.empty()) {
    size_t take = rest.size();
    if (take > kChunk) {
      take = kChunk;
      while (take > 0 && (static_cast<unsigned char>(rest[take]) & 0xC0) == 0x80) --take;
      if (take == 0) take = kChunk;
    }
    std::string_view piece = rest.substr(0, take);
    rest.remove_prefix(take);
    AppendEncoded(buffer_, piece, encoding_);
    if (buffer_.size() >= kChunk) Flush();
  }
}

void TextWriter::WriteLine(const std::string& line) {
  Write(line);
  Write("\r\n");
}

void TextWriter::WriteLineBytes(std::string_view line) {
  if (encoding_ != Encoding::kAnsi) {
    Write(std::string(line));  // only 8-bit files have bytes that are not UTF-8 text
    Write("\r\n");
    return;
  }
  buffer_.append(line);
  buffer_.append("\r\n");
  if (buffer_.size() >= kChunk) Flush();
}

void TextWriter::Flush() {
  if (!buffer_.empty()) {
    file_->Write(buffer_.data(), buffer_.size());
    buffer_.clear();  // keeps its capacity for the next lines
  }
}

void TextWriter::Close() {
  if (buffer_.empty()) {
    file_->Close();
    return;
  }
  file_->Finish(buffer_.data(), buffer_.size());
  buffer_.clear();
}

}  // namespace llupdate::text
