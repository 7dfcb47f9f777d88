#include "files/file_helpers.h"

#include "files/profile_reader.h"
#include "host/error_convention.h"
#include "host/objects.h"

namespace llupdate::files {

using host::Armed;
using host::ErrorText;

bool FindFile(platform::FileSystem& fs, const std::string& path) {
  if (!fs.FileExists(path)) return false;
  uint32_t hidden = platform::kAttrHidden | platform::kAttrSystem | platform::kAttrDirectory;
  return (fs.GetAttributes(path) & hidden) == 0;
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
    host::ReportHostError("Ausgabe_Open", host::CurrentError());
    return 0;
  }
}

std::string LeseIniWert(platform::FileSystem& fs, const std::string& file,
                        const std::string& section, const std::string& key,
                        const std::string& default_value) {
  try {
    return ReadProfileValues(fs, file, {{section, key, default_value}}).front();
  } catch (const HostFailure&) {
    throw;
  } catch (...) {
    return "";
  }
}

std::shared_ptr<DynArray> Aufbau_ProjektArray(FileContext& ctx, const std::string& path,
                                              Encoding* encoding) {
  return Armed(ErrorText::General("Aufbau_ProjektArray").WithDetails(), std::shared_ptr<DynArray>(),
               [&] {
                 std::shared_ptr<DynArray> lines = host::NewDynArray();
                 lines->Dimension(0, 0, 0, 0);
                 ctx.table.OpenInput(kLineArrayFileNumber, ctx.fs, path);
                 NumberedFile file(ctx.table, kLineArrayFileNumber);
                 TextReader& reader = ctx.table.Reader(kLineArrayFileNumber);
                 if (encoding != nullptr) *encoding = reader.encoding();
                 std::string line;
                 while (reader.ReadLine(line)) {
                   lines->SetValue(lines->UpperBound(1), 0, line);
                   lines->AddRows(1);
                 }
                 file.Close();
                 return lines;
               });
}

int32_t Speichern_ProjektArray(FileContext& ctx, const std::string& path,
                               const std::shared_ptr<DynArray>& lines, Encoding encoding) {
  return Armed(ErrorText::General("Speichern_ProjektArray").WithDetails(), int32_t{0}, [&] {
    if (!lines) throw platform::Error(platform::kObjectNotSet, "Zeilenliste");
    ctx.table.OpenOutput(kLineArrayFileNumber, ctx.fs, path, encoding);
    NumberedFile file(ctx.table, kLineArrayFileNumber);
    TextWriter& writer = ctx.table.Writer(kLineArrayFileNumber);
    int32_t last = lines->UpperBound(1);
    for (int32_t r = 0; r <= last; ++r) writer.WriteLine(lines->GetValue(r, 0).ToString());
    file.Close();
    return int32_t{-1};
  });
}

std::string TXT_ReadAll(FileContext& ctx, std::string path, Encoding* encoding, bool* read) {
  if (read != nullptr) *read = false;
  return Armed(ErrorText::General("TXT_ReadAll").WithDetails(), std::string(), [&] {
    if (!FindFile(ctx.fs, path)) return std::string();
    int32_t number = ctx.table.FreeFile();
    ctx.table.OpenInput(number, ctx.fs, path);
    NumberedFile file(ctx.table, number);
    TextReader& reader = ctx.table.Reader(number);
    if (encoding != nullptr) *encoding = reader.encoding();
    std::string text = reader.ReadAll();
    file.Close();
    if (read != nullptr) *read = true;
    return text;
  });
}

void TXT_WriteAll(FileContext& ctx, std::string path, std::string text, Encoding encoding,
                  bool* written) {
  if (written != nullptr) *written = false;
  Armed(ErrorText::General("TXT_WriteAll").WithDetails(), 0, [&] {
    int32_t number = ctx.table.FreeFile();
    ctx.table.OpenOutput(number, ctx.fs, path, encoding);
    NumberedFile file(ctx.table, number);
    ctx.table.Writer(number).WriteLine(text);
    file.Close();
    if (written != nullptr) *written = true;
    return 0;
  });
}

bool SchreibschutzEntfernen(platform::FileSystem& fs, const std::string& sFilename) {
  return Armed(
      ErrorText::Custom("Schreibschutz bei Datei " + sFilename + " kann nicht entfernt werden!")
          .WithDetails(),
      false, [&] {
        if (!FindFile(fs, sFilename)) return true;
        uint32_t attributes = fs.GetAttributes(sFilename);
        fs.SetAttributes(sFilename, attributes & ~uint32_t{platform::kAttrReadOnly});
        // No window messages to process here: the change is settled when the call returns.
        return (fs.GetAttributes(sFilename) & platform::kAttrReadOnly) == 0;
      });
}

}  // namespace llupdate::files
