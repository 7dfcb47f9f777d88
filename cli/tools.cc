#include "tools.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "catalogue/catalogue.h"
#include "component/writer_scope.h"
#include "host/message_sinks.h"
#include "host/objects.h"
#include "rewrites/leftovers.h"
#include "text/text.h"

namespace llupdate::cli {
namespace {

constexpr int kExitTrue = 0;
constexpr int kExitFalse = 1;
constexpr int kExitDatabaseBusy = 5;

size_t CharacterCount(const std::string& text) {
  size_t n = 0;
  for (char ch : text) n += (static_cast<unsigned char>(ch) & 0xC0) != 0x80 ? 1 : 0;
  return n;
}

}  // namespace

int RunList(const std::vector<std::string>& args, const Options& options) {
  auto fs = host::CreateAs<platform::FileSystem>(host::kFileSystemProgId);
  auto catalogue = host::NewDynArray();
  std::string dir = catalogue::FormDirectory(args[0]);
  bool built = args.size() == 2 ? catalogue::Aufbau_Array2(*fs, args[1], *catalogue, dir)
                                : catalogue::Aufbau_Array(*fs, *catalogue, dir);
  if (!built) return kExitFalse;
  std::vector<std::vector<std::string>> rows;
  for (int32_t r = 0; r < catalogue->Count(1); ++r) {
    if (text::TrimSpaces(catalogue->GetValue(r, 0).ToString()).empty()) continue;
    std::vector<std::string> row;
    for (int c : {0, 1, 2, 3, 5}) row.push_back(catalogue->GetValue(r, c).ToString());
    rows.push_back(std::move(row));
  }
  if (options.json) {
    for (const auto& row : rows) {
      std::printf(
          "{\"name\":%s,\"path\":%s,\"version\":%s,\"referenzbeleg\":%s,\"fileversion\":%s}\n",
          host::JsonString(row[0]).c_str(), host::JsonString(row[1]).c_str(),
          host::JsonString(row[2]).c_str(), host::JsonString(row[3]).c_str(),
          host::JsonString(row[4]).c_str());
    }
    return kExitTrue;
  }
  // The list of all types carries no file versions: that column is left out.
  std::vector<size_t> shown = {0, 2, 3};
  if (args.size() == 2) shown.push_back(4);
  std::vector<std::string> header = {"NAME", "PATH", "VERSION", "REFERENZBELEG", "FILEVERSION"};
  std::vector<size_t> width(header.size());
  for (size_t c = 0; c < header.size(); ++c) width[c] = CharacterCount(header[c]);
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], CharacterCount(row[c]));
  }
  auto print = [&](const std::vector<std::string>& row) {
    std::string line;
    for (size_t c : shown) line += row[c] + std::string(width[c] - CharacterCount(row[c]) + 2, ' ');
    line.erase(line.find_last_not_of(' ') + 1);
    std::printf("%s\n", line.c_str());
  };
  print(header);
  for (const auto& row : rows) print(row);
  if (rows.empty()) std::printf("(no forms)\n");
  return kExitTrue;
}

int RunSetting(const std::vector<std::string>& args, const Options& options) {
  try {
    auto settings = host::CreateAs<VMSettings>(host::kSettingsProgId);
    std::shared_ptr<Object> connection =
        std::make_shared<SettingsConnection>(options.settings_file);
    settings->Init(0, connection, "Standard");
    if (args.size() == 3) {
      settings->SaveSetting(args[0], args[1], args[2], "Standard");
    } else {
      std::string value;
      settings->GetSetting(args[0], args[1], value, "Standard", "Standard", "");
      std::printf("%s\n", value.c_str());
    }
    return kExitTrue;
  } catch (const platform::Error& e) {
    std::fprintf(stderr, "llupdate: settings file %s: %d %s\n", options.settings_file.c_str(),
                 e.number(), e.description().c_str());
    return kExitFalse;
  }
}

int RunRecover(const std::vector<std::string>& args, const Options& options) {
  auto fs = host::CreateAs<platform::FileSystem>(host::kFileSystemProgId);
  const std::string dir = catalogue::FormDirectory(args[0]);
  std::string shown_dir = platform::ResolvePath(dir);
  // Repairs are writes: they wait for, or leave to, a run that holds the database.
  std::unique_ptr<platform::WriterLock> lock;
  try {
    if (options.apply) lock = fs->LockDatabase(args[0], component::LockWaitSeconds());
  } catch (const platform::Error& e) {
    std::fprintf(stderr, "llupdate: %s\n", e.description().c_str());
    return e.number() == platform::kPermissionDenied ? kExitDatabaseBusy : kExitFalse;
  }
  std::vector<platform::FileEntry> files;
  try {
    files = fs->ListFiles(dir);
  } catch (const platform::Error& e) {
    std::fprintf(stderr, "llupdate: %s: %d %s\n", dir.c_str(), e.number(), e.description().c_str());
    return kExitFalse;
  }
  using Action = rewrites::Leftover::Action;
  bool failed = false, kept = false;
  const std::vector<rewrites::Leftover> leftovers = rewrites::FindLeftovers(files);
  for (const rewrites::Leftover& f : leftovers) {
    std::string kind, action;
    if (f.action == Action::kRestore) {
      kind = "restore";
      action = "restores " + f.form + " from its backup " + f.file;
    } else if (f.action == Action::kKeep) {
      kind = "orphan";
      action = "keeps " + f.file + ": it may be incomplete, and " + f.form +
               " and its backup are missing; look at it and rename it yourself if it is whole";
      kept = true;
    } else if (f.form.empty()) {
      kind = "partial";
      action = "removes the partial file " + f.file + " of an interrupted run";
    } else if (f.file.rfind("alt_", 0) == 0) {
      kind = "backup";
      action = "removes the backup " + f.file + ": " + f.form + " is complete";
    } else {
      kind = "leftover";
      action = "removes the temporary file " + f.file + " of an interrupted run";
    }
    std::string outcome;
    if (options.apply) {
      try {
        rewrites::ResolveLeftover(*fs, dir, f);
        outcome = f.action == Action::kKeep ? "kept" : "done";
      } catch (const platform::Error& e) {
        outcome = "failed: " + std::to_string(e.number()) + " " + e.description();
        failed = true;
      }
    }
    if (options.json) {
      std::printf("{\"kind\":%s,\"file\":%s,\"form\":%s,\"apply\":%s%s}\n",
                  host::JsonString(kind).c_str(), host::JsonString(f.file).c_str(),
                  host::JsonString(f.form).c_str(), host::JsonString(action).c_str(),
                  options.apply ? (",\"outcome\":" + host::JsonString(outcome)).c_str() : "");
    } else if (options.apply) {
      std::printf("%s: %s (%s)\n", kind.c_str(), action.c_str(), outcome.c_str());
    } else {
      std::printf("%s: %s/%s: --apply %s\n", kind.c_str(), shown_dir.c_str(), f.file.c_str(),
                  action.c_str());
    }
  }
  if (leftovers.empty()) {
    if (!options.json) std::printf("%s: nothing to recover\n", shown_dir.c_str());
    return kExitTrue;
  }
  if (options.apply && !failed) {
    if (lock) lock->MarkFinished();
    return kept ? kExitFalse : kExitTrue;
  }
  return kExitFalse;
}

}  // namespace llupdate::cli
