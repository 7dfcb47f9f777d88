#include "files/file_helpers.h"

#include "files/profile_reader.h"
#include "host/error_convention.h"
#include "host/objects.h"
#include "journal/journal.h"

namespace llupdate::files {

using host::Armed;
using host::ErrorText;

bool FindFile(platform::FileSystem& fs, const std::string& path, uint32_t* attributes) {
  if (!fs.FileExists(path)) return false;
  uint32_t hidden = platform::kAttrHidden | platform::kAttrSystem | platform::kAttrDirectory;
  const uint32_t found = fs.GetAttributes(path);
  if (attributes != nullptr) *attributes = found;
  return (found & hidden) == 0;
}

int32_t Ausgabe_Open(FileContext& ctx, bool flag, const std::string& path, Encoding encoding,
                     bool create_new) {
  try {
    int32_t number = ctx.table.FreeFile();
    if (flag) {
      ctx.table.OpenInput(number, ctx.fs, path);
    } else {
      ctx.table.OpenOutput(
          number, ctx.fs, path, encoding,
          create_new ? platform::OpenMode::kCreateNew : platform::OpenMode::kWrite);
    }
    return number;
  } catch (...) {
    host::ReportHostError(ctx.reporter, "Ausgabe_Open", host::CurrentError());
    return 0;
  }
}

namespace {

// Copies the text of reader to writer with every occurrence of search replaced, a piece at a
// time; routine names the reading or the writing routine while it is at work.
void CopyReplacing(TextReader& reader, TextWriter& writer, const std::string& search,
                   const std::string& replacement, const char*& routine) {
  // A match may straddle two pieces: the last search.size() - 1 bytes wait for the next one.
  const size_t keep = search.empty() ? 0 : search.size() - 1;
  std::string pending, piece, ready;
  auto emit = [&](bool final) {
    size_t hold = final ? pending.size() : (pending.size() > keep ? pending.size() - keep : 0);
    ready.clear();
    size_t from = 0;
    for (size_t at = search.empty() ? std::string::npos : pending.find(search);
         at != std::string::npos && (final || at < hold); at = pending.find(search, from)) {
      ready.append(pending, from, at - from);
      ready.append(replacement);
      from = at + search.size();
    }
    size_t end = std::max(from, hold);
    while (end > from && end < pending.size() &&
           (static_cast<unsigned char>(pending[end]) & 0xC0) == 0x80) {
      --end;  // whole characters only
    }
    ready.append(pending, from, end - from);
    pending.erase(0, end);
    writer.Write(ready);
  };
  for (;;) {
    routine = "TXT_ReadAll";
    if (!reader.ReadPiece(piece)) break;
    pending.append(piece);
    routine = "TXT_WriteAll";
    emit(false);
  }
  routine = "TXT_WriteAll";
  emit(true);
  writer.Write("\r\n");
}

// The lines of a text in a new line array (one column), with one empty row after the last line.
std::shared_ptr<DynArray> LinesOf(TextReader& reader) {
  std::shared_ptr<DynArray> lines = host::NewDynArray();
  lines->Dimension(0, 0, 0, 0);
  std::string line;
  while (reader.ReadLine(line)) {
    lines->SetValue(lines->UpperBound(1), 0, line);
    lines->AddRows(1);
  }
  return lines;
}

}  // namespace

std::shared_ptr<DynArray> Aufbau_ProjektArray(FileContext& ctx, const std::string& path,
                                              Encoding* encoding) {
  return Armed(ctx.reporter, ErrorText::General("Aufbau_ProjektArray").WithDetails(),
               std::shared_ptr<DynArray>(), [&] {
                 ctx.table.OpenInput(kLineArrayFileNumber, ctx.fs, path);
                 NumberedFile file(ctx.table, kLineArrayFileNumber);
                 TextReader& reader = ctx.table.Reader(kLineArrayFileNumber);
                 if (encoding != nullptr) *encoding = reader.encoding();
                 std::shared_ptr<DynArray> lines = LinesOf(reader);
                 file.Close();
                 return lines;
               });
}

int32_t Speichern_ProjektArray(FileContext& ctx, const std::string& path,
                               const std::shared_ptr<DynArray>& lines, Encoding encoding) {
  return Armed(ctx.reporter, ErrorText::General("Speichern_ProjektArray").WithDetails(), int32_t{0},
               [&] {
                 if (!lines) throw platform::Error(platform::kObjectNotSet, "Zeilenliste");
                 ctx.table.OpenOutput(kLineArrayFileNumber, ctx.fs, path, encoding);
                 NumberedFile file(ctx.table, kLineArrayFileNumber);
                 TextWriter& writer = ctx.table.Writer(kLineArrayFileNumber);
                 int32_t last = lines->UpperBound(1);
                 for (int32_t r = 0; r <= last; ++r)
                   writer.WriteLine(lines->GetValue(r, 0).ToString());
                 file.Close();
                 return int32_t{-1};
               });
}

std::shared_ptr<DynArray> TXT_ReplaceAllLines(FileContext& ctx, const std::string& path,
                                              const std::string& search,
                                              const std::string& replacement, Encoding* encoding) {
  const char* routine = "TXT_ReadAll";
  return Armed(
      ctx.reporter, [&] { return ErrorText::General(routine).WithDetails(); },
      std::shared_ptr<DynArray>(),
      [&]() -> std::shared_ptr<DynArray> {
        int32_t in = ctx.table.FreeFile();
        ctx.table.OpenInput(in, ctx.fs, path);
        NumberedFile input(ctx.table, in);
        TextReader& reader = ctx.table.Reader(in);
        const Encoding own = reader.encoding();
        if (encoding != nullptr) *encoding = own;
        std::string bytes;
        {
          TextWriter writer(std::unique_ptr<text::ByteSink>(new text::MemoryBytes(bytes)), own);
          CopyReplacing(reader, writer, search, replacement, routine);
          writer.Close();
        }
        input.Close();
        TextReader text(std::unique_ptr<text::ByteSource>(new text::MemoryBytes(bytes)));
        return LinesOf(text);
      });
}

void CopyToTemporary(FileContext& ctx, const std::string& source, const std::string& destination) {
  std::string bytes;
  {
    std::unique_ptr<platform::File> in = ctx.fs.Open(source, platform::OpenMode::kRead);
    char buffer[1 << 16];
    for (size_t n; (n = in->Read(buffer, sizeof buffer)) > 0;) bytes.append(buffer, n);
    in->Close();
  }
  ctx.fs.Open(destination, platform::OpenMode::kCreateNew)->Finish(bytes.data(), bytes.size());
}

bool RemoveReadOnly(FileContext& ctx, const std::string& sFilename) {
  platform::FileSystem& fs = ctx.fs;
  return Armed(
      ctx.reporter,
      ErrorText::Custom("Schreibschutz bei Datei " + sFilename + " kann nicht entfernt werden!")
          .WithDetails(),
      false, [&] {
        ctx.SettleFor(sFilename);
        uint32_t attributes = 0;
        if (!FindFile(fs, sFilename, &attributes)) return true;
        fs.SetAttributes(sFilename, attributes & ~uint32_t{platform::kAttrReadOnly});
        if ((attributes & platform::kAttrReadOnly) == 0) return true;  // writable, and stays so
        // No window messages to process here: the change is settled when the call returns.
        const uint32_t now = fs.GetAttributes(sFilename);
        if (ctx.journal != nullptr) ctx.journal->AttributesChanged(sFilename, attributes, now);
        return (now & platform::kAttrReadOnly) == 0;
      });
}

}  // namespace llupdate::files
