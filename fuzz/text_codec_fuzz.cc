// Text encodings and the text reader: decoding and encoding give the bytes back where that is
// promised (every 8-bit file, UTF-8 and UTF-16 of even length, damaged surrogates included), and
// what the reader returns does not depend on how the file's bytes arrive.
#include "fuzz_support.h"
#include "text/encoding.h"
#include "text/text_io.h"

using namespace llupdate;

namespace {

// A file that hands out at most chunk bytes per read.
class ChunkedFile : public File {
 public:
  ChunkedFile(std::string bytes, size_t chunk) : bytes_(std::move(bytes)), chunk_(chunk) {}
  size_t Read(char* buffer, size_t size) override {
    size_t n = std::min({size, chunk_, bytes_.size() - position_});
    bytes_.copy(buffer, n, position_);
    position_ += n;
    return n;
  }
  void Write(const char*, size_t) override { std::abort(); }
  void Close() override {}

 private:
  std::string bytes_;
  size_t chunk_;
  size_t position_ = 0;
};

// Everything a reader returns: the encoding, the lines, or the refusal.
std::string ReadLines(const std::string& bytes, size_t chunk, bool refuse_lossy) {
  text::TextReader reader(std::make_unique<ChunkedFile>(bytes, chunk));
  if (refuse_lossy) reader.RefuseLossyText("f");
  std::string out;
  try {  // a file too short to tell its encoding is refused when the encoding is asked for
    out = std::to_string(static_cast<int>(reader.encoding())) + "|";
    std::string line;
    while (reader.ReadLine(line)) out += line + "\n|";
  } catch (const text::LossyText&) {
    out += "refused";
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes = fuzz::Bytes(data, size);
  using text::Encoding;
  FUZZ_CHECK(text::EncodeText(text::DecodeText(bytes, Encoding::kAnsi), Encoding::kAnsi) == bytes);
  FUZZ_CHECK(text::EncodeText(text::DecodeText(bytes, Encoding::kUtf8Bom), Encoding::kUtf8Bom) ==
             bytes);
  if (bytes.size() % 2 == 0) {
    for (Encoding e : {Encoding::kUtf16Le, Encoding::kUtf16Be}) {
      FUZZ_CHECK(text::EncodeText(text::DecodeText(bytes, e), e) == bytes);
    }
  }
  for (bool refuse : {false, true}) {
    const std::string whole = ReadLines(bytes, 1 << 20, refuse);
    FUZZ_CHECK(ReadLines(bytes, 1, refuse) == whole);
    FUZZ_CHECK(ReadLines(bytes, 3, refuse) == whole);
  }
  return 0;
}
