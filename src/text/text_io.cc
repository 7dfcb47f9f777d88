#include "text/text_io.h"

namespace llupdate::text {
namespace {
constexpr size_t kChunk = 1 << 16;
}

TextReader::TextReader(std::unique_ptr<File> file) : file_(std::move(file)) {}

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
    case Encoding::kAnsi:
      AppendCp1252AsUtf8(text_, raw_);
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

bool TextReader::Fill() {
  if (eof_) return false;
  Compact();
  size_t before = text_.size();
  char buffer[kChunk];
  for (;;) {
    size_t n = file_->Read(buffer, sizeof buffer);
    if (n == 0) {
      eof_ = true;
      if (!started_) DetectMark();
      DecodeRaw(true);
      return text_.size() > before;
    }
    raw_.append(buffer, n);
    if (!started_) {
      if (raw_.size() < 3) continue;  // the mark is known after three bytes or at the end
      DetectMark();
    }
    DecodeRaw(false);
    if (text_.size() > before) return true;
  }
}

bool TextReader::AtEnd() {
  while (pos_ >= text_.size()) {
    if (!Fill()) return true;
  }
  return false;
}

bool TextReader::ReadLine(std::string& line) {
  if (AtEnd()) return false;
  line.clear();
  for (;;) {
    size_t cr = text_.find('\r', pos_);
    if (cr != std::string::npos) {
      line.append(text_, pos_, cr - pos_);
      pos_ = cr + 1;
      // A LF right after the CR belongs to the line end, even when it is in the next chunk.
      if (pos_ >= text_.size()) Fill();
      if (pos_ < text_.size() && text_[pos_] == '\n') ++pos_;
      return true;
    }
    line.append(text_, pos_, std::string::npos);
    pos_ = text_.size();
    if (!Fill()) return true;  // the last line has no end
  }
}

std::string TextReader::ReadAll() {
  std::string all;
  while (!AtEnd()) {
    all.append(text_, pos_, std::string::npos);
    pos_ = text_.size();
  }
  return all;
}

void TextReader::Close() { file_->Close(); }

TextWriter::TextWriter(std::unique_ptr<File> file, Encoding encoding)
    : file_(std::move(file)), encoding_(encoding) {
  buffer_.append(ByteOrderMark(encoding));
}

TextWriter::~TextWriter() = default;

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

void TextWriter::Flush() {
  if (!buffer_.empty()) {
    file_->Write(buffer_.data(), buffer_.size());
    buffer_.clear();  // keeps its capacity for the next lines
  }
}

void TextWriter::Close() {
  Flush();
  file_->Close();
}

}  // namespace llupdate::text
