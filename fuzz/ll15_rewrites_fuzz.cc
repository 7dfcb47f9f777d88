// The LL15 layout rewrites. Frame removal, which streams the form a piece at a time, gives
// exactly what replacing in the whole decoded text and writing it as one text gives (or leaves
// the form as it was); the block
// rewrites only switch frame lines on, set their widths and insert width lines.
//
// Input: one byte that picks the block rewrite and its start row, the form.
#include "files/file_helpers.h"
#include "files/file_table.h"
#include "fuzz_support.h"
#include "ll15/block_rewrites.h"
#include "ll15/frame_lines.h"
#include "rewrites/rewrite_pattern.h"
#include "text/encoding.h"

using namespace llupdate;

namespace {

const std::string kIndent = "\t\t   ";

// A line as it is before the block rewrites touch it.
std::string Unswitched(const std::string& line) {
  if (line == kIndent + "Line=True") return kIndent + "Line=False";
  if (line.rfind(kIndent + "LineWidth=", 0) == 0 &&
      line.find_first_not_of("0123456789", kIndent.size() + 10) == std::string::npos &&
      line.size() > kIndent.size() + 10) {
    return kIndent + "LineWidth=0";
  }
  return line;
}

void FrameRemoval(const std::string& form) {
  auto fs = fuzz::Database("a.bel", form);
  const std::string path = "db\\BerichteLL\\a.bel";
  files::FileTable table;
  files::FileContext ctx{*fs, table};
  text::Encoding encoding;
  std::shared_ptr<DynArray> lines = ll15::Entferne_Rahmen_LL15(ctx, path, &encoding);
  FUZZ_CHECK(table.OpenCount() == 0);
  FUZZ_CHECK(fuzz::ReadFile(*fs, path) == form);  // the file is only read
  if (!lines) return;
  size_t mark = 0;
  FUZZ_CHECK(encoding == text::DetectEncoding(form, &mark));
  std::string decoded = text::DecodeText(std::string_view(form).substr(mark), encoding);
  rewrites::ReplaceAll(decoded, "Line=True", "Line=False");
  // The lines of one text that ends with CR LF: each ends at CR or CR LF.
  decoded += "\r\n";
  std::vector<std::string> expected;
  size_t start = 0;
  for (size_t cr; (cr = decoded.find('\r', start)) != std::string::npos;) {
    expected.push_back(decoded.substr(start, cr - start));
    start = cr + (cr + 1 < decoded.size() && decoded[cr + 1] == '\n' ? 2 : 1);
  }
  expected.push_back("");  // the empty row after the last line
  std::vector<std::string> got;
  for (int32_t r = 0; r <= lines->UpperBound(1); ++r)
    got.push_back(lines->GetValue(r, 0).ToString());
  FUZZ_CHECK(got == expected);
}

void BlockRewrite(const std::string& form, uint8_t choice) {
  std::vector<std::string> before;
  size_t start = 0;
  while (start <= form.size() && before.size() < 4000) {
    size_t end = form.find('\n', start);
    if (end == std::string::npos) end = form.size();
    before.push_back(form.substr(start, end - start));
    start = end + 1;
  }
  auto lines = host::NewMemoryDynArray();
  lines->Dimension(0, static_cast<int32_t>(before.size()) - 1, 0, 0);
  for (size_t i = 0; i < before.size(); ++i) {
    lines->SetValue(static_cast<int32_t>(i), 0, Variant(before[i]));
  }
  int32_t from = static_cast<int32_t>((choice >> 2) % (before.size() + 1));
  switch (choice % 3) {
    case 0:
      ll15::Korrektur_Block_UEB(from, lines);
      break;
    case 1:
      ll15::Korrektur_Block_Summen(from, lines);
      break;
    default:
      ll15::Korrektur_Block_Preise(from, lines);
  }
  // Every line of before is still there, in order; what was added is width lines only.
  size_t j = 0;
  for (int32_t r = 0; r < lines->Count(1); ++r) {
    std::string line = Unswitched(lines->GetValue(r, 0).ToString());
    if (j < before.size() && line == Unswitched(before[j])) {
      ++j;
    } else {
      FUZZ_CHECK(line == kIndent + "LineWidth=0");
    }
  }
  FUZZ_CHECK(j == before.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::QuietMessages quiet;
  const std::string form = fuzz::Bytes(data + 1, size - 1);
  FrameRemoval(form);
  BlockRewrite(form, data[0]);
  return 0;
}
