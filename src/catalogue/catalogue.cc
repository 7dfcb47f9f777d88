#include "catalogue/catalogue.h"

#include <cstdint>
#include <limits>

#include "files/profile_reader.h"
#include "host/error_convention.h"
#include "platform/counter16.h"
#include "text/text.h"

namespace llupdate::catalogue {

const char* const kFormTypes[12] = {".LST", ".LBL", ".DFI", ".UEB", ".BEL", ".BST",
                                    ".FIB", ".WAR", ".MAH", ".PRS", ".TER", ".MON"};

namespace {

// The last four characters of a name (fewer when it is shorter), upper-cased.
std::string LastFourUpper(const std::string& name) {
  return text::UpperAscii(std::string(text::LastCharacters(name, 4)));
}

using RowCounter = platform::Counter16;

struct HeaderValues {
  std::string version, referenzbeleg, file_version;
};

// "Version", then "Referenzbeleg" only when "Version" is not empty, and "FileVersion" when asked:
// the values separate profile reads would give, from one pass over the file.
HeaderValues ReadHeaderValues(platform::FileSystem& fs, const std::string& path, bool file_version,
                              platform::JobNotes* notes) {
  std::vector<files::ProfileQuery> queries = {{"UserSection", "Version", ""},
                                              {"UserSection", "Referenzbeleg", ""}};
  if (file_version) queries.push_back({"Description", "FileVersion", ""});
  std::vector<std::string> values;
  bool unread = false;
  try {
    values = files::ReadProfileValues(fs, path, queries, &unread);
  } catch (const HostFailure&) {
    throw;
  } catch (...) {
    values.assign(queries.size(), "");  // the profile reader gives "" on an error
    unread = true;
  }
  if (unread && notes != nullptr) {
    ++notes->unread;
    ++notes->io_failures;
  }
  HeaderValues result;
  result.version = values[0];
  if (!result.version.empty()) result.referenzbeleg = values[1];
  if (file_version) result.file_version = values[2];
  return result;
}

void AddRow(DynArray& catalogue, RowCounter& r, const std::string& name, const std::string& path,
            const HeaderValues& values, bool file_version) {
  if (r.value() > 0) catalogue.AddRows(1);
  catalogue.SetValue(r.value(), 0, name);
  catalogue.SetValue(r.value(), 1, path);
  catalogue.SetValue(r.value(), 2, values.version);
  catalogue.SetValue(r.value(), 3, values.referenzbeleg);
  catalogue.SetValue(r.value(), 4, false);
  if (file_version) catalogue.SetValue(r.value(), 5, values.file_version);
  r.Next();
}

}  // namespace

std::string FormDirectory(const std::string& pDBPath) { return pDBPath + "\\" + kFormDirectory; }

bool Pruefe_Kataloge(files::FileContext& ctx, const std::string& pDBPath) {
  return host::Armed(ctx.reporter, host::ErrorText::General("Pruefe_Kataloge"), false, [&] {
    for (const char* dir : {kFormDirectory, kDeliveryDirectory}) {
      if (!ctx.fs.FolderExists(pDBPath + "\\" + dir)) {
        host::ShowHostMessage(
            ctx.reporter, std::string("Das Verzeichnis ") + dir + " ist nicht vorhanden", 3, false);
        return false;
      }
    }
    return true;
  });
}

bool Aufbau_Array(files::FileContext& ctx, DynArray& catalogue, const std::string& path) {
  platform::FileSystem& fs = ctx.fs;
  return host::Armed(ctx.reporter, host::ErrorText::General("Aufbau_Array").WithDetails(), false,
                     [&] {
                       catalogue.Dimension(0, 0, 0, 5);
                       RowCounter r;
                       for (const platform::FileEntry& file : fs.ListFiles(path)) {
                         std::string ending = LastFourUpper(file.name);
                         bool form = false;
                         for (const char* type : kFormTypes) form = form || ending == type;
                         if (!form) continue;
                         // A name with "~" is never listed; testing it first spares reading the
                         // file.
                         if (file.name.find('~') != std::string::npos) continue;
                         std::string p = path + "\\" + file.name;
                         HeaderValues values = ReadHeaderValues(fs, p, false, ctx.notes);
                         if (values.version.empty() || values.referenzbeleg.empty()) continue;
                         AddRow(catalogue, r, file.name, p, values, false);
                       }
                       return true;
                     });
}

bool Aufbau_Array2(files::FileContext& ctx, const std::string& type, DynArray& catalogue,
                   const std::string& path, bool read_values) {
  platform::FileSystem& fs = ctx.fs;
  ctx.Settle();  // the folder is listed with every waiting swap carried out
  return host::Armed(
      ctx.reporter, host::ErrorText::General("Aufbau_Array").WithDetails(), false, [&] {
        catalogue.Dimension(0, 0, 0, 5);
        std::string wanted = text::UpperAscii(type);
        wanted.insert(wanted.begin(), '.');
        RowCounter r;
        for (const platform::FileEntry& file : fs.ListFiles(path)) {
          if (LastFourUpper(text::TrimSpaces(file.name)) != wanted) continue;
          if (file.name.find('~') != std::string::npos) continue;
          std::string p = path + "\\" + file.name;
          HeaderValues values =
              read_values ? ReadHeaderValues(fs, p, true, ctx.notes) : HeaderValues{};
          AddRow(catalogue, r, file.name, p, values, true);
        }
        return true;
      });
}

}  // namespace llupdate::catalogue
