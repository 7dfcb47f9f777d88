#include "tools.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "catalogue/catalogue.h"
#include "component/internals.h"
#include "component/job_frame.h"
#include "component/writer_scope.h"
#include "exit_status.h"
#include "host/message_sinks.h"
#include "host/objects.h"
#include "output.h"
#include "platform/file_system.h"
#include "rewrites/form_names.h"
#include "rewrites/leftovers.h"
#include "rewrites/number_text.h"
#include "text/text.h"
#include "text/text_io.h"

namespace llupdate::cli {

bool ReadSetting(const std::string& file, const std::string& section, const std::string& key,
                 std::string* value) {
  value->clear();
  if (!Disk().FileExists(file)) return false;
  auto settings = host::NewSettingsSnapshot(file);
  std::shared_ptr<Object> connection = std::make_shared<SettingsConnection>(file);
  settings->Init(0, connection, "Standard");
  const std::string absent(1, '\0');
  settings->GetSetting(section, key, *value, "Standard", "Standard", absent);
  if (*value != absent) return true;
  value->clear();
  return false;
}

namespace {
constexpr char kOwnSection[] = "llupdate";

// The messages of the tools name paths as they are on the disk.
class DiskPaths : public host::Reporter {
 public:
  void ErrorShown(int32_t) override {}
  std::string ShownPath(const std::string& path) override { return Disk().ShownPath(path); }
};
DiskPaths disk_paths;

std::string Described(const platform::Error& e) {
  return host::WithShownPath(&disk_paths, e).description();
}

constexpr char kDatabaseKey[] = "Database";
}  // namespace

std::string SettingsDatabase(const std::string& settings_file) {
  std::string folder;
  try {
    ReadSetting(settings_file, kOwnSection, kDatabaseKey, &folder);
  } catch (const platform::Error&) {
    folder.clear();  // an unreadable file: the run that uses it says why
  }
  return folder;
}

void RecordSettingsDatabase(const std::string& settings_file, const std::string& form_folder) {
  auto settings = host::CreateAs<VMSettings>(host::kSettingsProgId);
  std::shared_ptr<Object> connection = std::make_shared<SettingsConnection>(settings_file);
  settings->Init(0, connection, "Standard");
  settings->SaveSetting(kOwnSection, kDatabaseKey, form_folder, "Standard");
}

int CountFormsOfType(const std::string& db, const std::string& type) {
  auto fs = NewOsFileSystem();
  files::FileTable table;
  files::FileContext ctx{*fs, table, nullptr, nullptr, &disk_paths};
  auto catalogue = host::NewDynArray();
  if (!catalogue::Aufbau_Array2(ctx, type, *catalogue, catalogue::FormDirectory(db), false)) {
    return 0;
  }
  int forms = 0;
  for (int32_t r = 0; r < catalogue->Count(1); ++r) {
    if (!text::TrimSpaces(catalogue->GetValue(r, 0).ToString()).empty()) ++forms;
  }
  return forms;
}

namespace {

void PrintSetting(const std::vector<std::string>& args, const std::string& value,
                  const Options& options) {
  if (options.json) {
    std::printf(
        "{\"v\":1,\"call\":\"Setting\",\"section\":%s,\"key\":%s,\"value\":%s,\"file\":%s}\n",
        host::JsonString(args[0]).c_str(), host::JsonString(args[1]).c_str(),
        host::JsonString(value).c_str(), host::JsonString(options.settings_file).c_str());
  } else {
    std::printf("%s\n", value.c_str());
  }
}

size_t CharacterCount(const std::string& text) {
  size_t n = 0;
  for (char ch : text) n += (static_cast<unsigned char>(ch) & 0xC0) != 0x80 ? 1 : 0;
  return n;
}

}  // namespace

int RunList(const std::vector<std::string>& args, const Options& options) {
  auto fs = host::CreateAs<platform::FileSystem>(host::kFileSystemProgId);
  std::string dir = catalogue::FormDirectory(args[0]);
  // Without a type, the forms of all twelve types, each as the conversions see it (also those
  // without a Version or Referenzbeleg, with empty values), in the order of their names.
  std::vector<std::string> types;
  if (args.size() == 2) {
    types.push_back(args[1]);
  } else {
    for (const char* dotted : catalogue::kFormTypes) types.push_back(dotted + 1);
  }
  std::vector<std::vector<std::string>> rows;
  for (const std::string& type : types) {
    auto catalogue = host::NewDynArray();
    files::FileTable table;
    files::FileContext ctx{*fs, table, nullptr, nullptr, &disk_paths};
    if (!catalogue::Aufbau_Array2(ctx, type, *catalogue, dir)) return kExitFalse;
    for (int32_t r = 0; r < catalogue->Count(1); ++r) {
      if (text::TrimSpaces(catalogue->GetValue(r, 0).ToString()).empty()) continue;
      std::vector<std::string> row;
      for (int c : {0, 1, 2, 3, 5}) row.push_back(catalogue->GetValue(r, c).ToString());
      rows.push_back(std::move(row));
    }
  }
  std::stable_sort(rows.begin(), rows.end(),
                   [](const auto& a, const auto& b) { return text::NameLess(a[0], b[0]); });
  if (options.json) {
    for (const auto& row : rows) {
      std::printf(
          "{\"v\":1,\"call\":\"Form\",\"name\":%s,\"path\":%s,\"version\":%s,\"referenzbeleg\":%s,"
          "\"fileversion\":%s}\n",
          host::JsonString(row[0]).c_str(), PathJson(Disk().ShownPath(row[1])).c_str(),
          host::JsonString(row[2]).c_str(), host::JsonString(row[3]).c_str(),
          host::JsonString(row[4]).c_str());
    }
    return kExitTrue;
  }
  std::vector<size_t> shown = {0, 2, 3, 4};
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
    // Reading never creates or changes the file: a missing one holds no value.
    if (args.size() == 2) {
      std::string value;
      if (!Disk().FileExists(options.settings_file)) {
        PrintProblem(options.json, "no settings file " + options.settings_file +
                                       " (is it the database's? 'setting -d DBPATH' reads "
                                       "DBPATH/llupdate-settings.sqlite)");
        return kExitFalse;
      }
      if (!ReadSetting(options.settings_file, args[0], args[1], &value)) {
        PrintProblem(options.json,
                     "no value " + args[0] + " " + args[1] + " in " + options.settings_file);
        return kExitFalse;
      }
      PrintSetting(args, value, options);
      return kExitTrue;
    }
    auto settings = host::CreateAs<VMSettings>(host::kSettingsProgId);
    std::shared_ptr<Object> connection =
        std::make_shared<SettingsConnection>(options.settings_file);
    settings->Init(0, connection, "Standard");
    settings->SaveSetting(args[0], args[1], args[2], "Standard");
    return kExitTrue;
  } catch (const platform::Error& e) {
    PrintProblem(options.json, "settings file " + options.settings_file + ": " +
                                   std::to_string(e.number()) + " " + e.description());
    return kExitFalse;
  }
}

int RunRecover(const std::vector<std::string>& args, const Options& options) {
  auto fs = host::CreateAs<platform::FileSystem>(host::kFileSystemProgId);
  const std::string dir = catalogue::FormDirectory(args[0]);
  std::string shown_dir = Disk().ShownPath(dir);
  // Repairs are writes: they wait for, or leave to, a run that holds the folder. What may be
  // repaired is what the unfinished run recorded as its own, and nothing else.
  std::unique_ptr<platform::WriterLock> lock;
  std::vector<platform::OwnFile> own;
  std::vector<LockPeek::InterruptedRewrite> in_place;
  std::vector<std::string> refused;
  try {
    if (options.apply) {
      // Taking the lock gives forms of interrupted in-place rewrites their content back.
      lock = fs->LockFormFolder(dir, component::LockWaitSeconds());
      if (lock && lock->previous_run_unfinished()) own = lock->previous_own_files();
      if (lock) {
        for (const std::string& form : lock->restored_in_place()) {
          in_place.push_back({form, "", ""});
        }
        for (const auto& [form, copy] : lock->kept_in_place())
          in_place.push_back({form, copy, "kept"});
        refused = lock->refused_records();
      }
    } else {
      LockPeek peek = Disk().PeekFormFolderLock(dir);
      if (peek.held) {
        // Its temporary files and backups are its work in progress, not leftovers.
        PrintProblem(options.json,
                     "another run holds the database (" + HolderWords(peek.text) +
                         "): the files in " + shown_dir +
                         " named like leftovers are its work in progress, and nothing can be "
                         "recovered while it runs; run 'llupdate recover " +
                         args[0] + "' again when it has ended");
        return kExitDatabaseBusy;
      }
      own = std::move(peek.own);
      in_place = std::move(peek.in_place);
      refused = std::move(peek.refused);
    }
  } catch (const platform::Error& e) {
    PrintProblem(options.json, Described(e));
    return e.number() == platform::kPermissionDenied ? kExitDatabaseBusy : kExitFalse;
  }
  std::vector<platform::FileEntry> files;
  try {
    files = fs->ListFiles(dir);
  } catch (const platform::Error& e) {
    PrintProblem(options.json, shown_dir + ": " + std::to_string(e.number()) + " " + Described(e));
    return kExitFalse;
  }
  using Action = rewrites::Leftover::Action;
  bool failed = false, kept = false, needs_doing = false;
  // Records that are not trusted: nothing is done from them, and the person learns which.
  for (const std::string& record : refused) {
    if (options.json) {
      std::printf("{\"v\":1,\"call\":\"RefusedRecord\",\"record\":%s}\n",
                  host::JsonString(record).c_str());
    } else {
      std::printf(
          "refused record: %s: nothing is done from it (remove it if no run of llupdate "
          "wrote it)\n",
          record.c_str());
    }
  }
  std::vector<rewrites::Leftover> leftovers = rewrites::FindLeftovers(
      *fs, dir, files, own, options.apply ? decltype(in_place){} : in_place);
  if (options.apply) {
    // What the lock did already, told like the rest.
    std::vector<rewrites::Leftover> done;
    for (const LockPeek::InterruptedRewrite& r : in_place) {
      done.push_back({Action::kRestoreInPlace, r.backup, r.form, r.why});
    }
    leftovers.insert(leftovers.begin(), done.begin(), done.end());
  }
  for (const rewrites::Leftover& f : leftovers) {
    std::string kind, action;
    if (f.action == Action::kRestoreInPlace) {
      kind = "restore-in-place";
      if (options.apply && f.why.empty()) {
        action = "gave " + f.form + " its old content back from its complete copy";
      } else if (options.apply) {
        action = "keeps " + f.form + " as it is and its old content in " + f.file;
        kept = true;
      } else if (f.why.empty()) {
        action = "gives " + f.form + " its old content back from " + f.file +
                 ", the complete copy made before an interrupted rewrite in place; " + f.form +
                 " may be half-written";
      } else {
        action = "keeps " + f.form + " as it is and " + f.file +
                 ", the complete copy of its old content: " + f.form +
                 " changed since an interrupted rewrite in place (" + f.why +
                 "); compare them yourself";
        kept = true;
      }
    } else if (f.action == Action::kForeign) {
      kind = "foreign";
      action = "keeps " + f.file + ": not made by llupdate (the lock's record does not name it)";
    } else if (f.action == Action::kRestore) {
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
    } else if (f.file.rfind(rewrites::kBackupPrefix, 0) == 0) {
      kind = "backup";
      action = "removes the backup " + f.file + ": " + f.form + " is complete";
    } else {
      kind = "leftover";
      action = "removes the temporary file " + f.file + " of an interrupted run";
    }
    if (f.action != Action::kForeign) needs_doing = true;
    std::string outcome;
    if (options.apply) {
      try {
        rewrites::ResolveLeftover(*fs, dir, f);
        outcome = f.action == Action::kKeep || f.action == Action::kForeign ||
                          (f.action == Action::kRestoreInPlace && !f.why.empty())
                      ? "kept"
                      : "done";
      } catch (const platform::Error& e) {
        outcome = "failed: " + std::to_string(e.number()) + " " + Described(e);
        failed = true;
      }
    }
    if (options.json) {
      std::printf(
          "{\"v\":1,\"call\":\"Leftover\",\"leftover\":%s,\"file\":%s,\"path\":%s,\"form\":%s,"
          "\"apply\":%s%s}\n",
          host::JsonString(kind).c_str(), host::JsonString(f.file).c_str(),
          PathJson(shown_dir + "/" + f.file).c_str(), host::JsonString(f.form).c_str(),
          host::JsonString(action).c_str(),
          options.apply ? (",\"outcome\":" + host::JsonString(outcome)).c_str() : "");
    } else if (options.apply || f.action == Action::kForeign) {
      std::printf("%s: %s (%s)\n", kind.c_str(), action.c_str(),
                  options.apply ? outcome.c_str() : shown_dir.c_str());
    } else {
      std::printf("%s: %s/%s: --apply %s\n", kind.c_str(), shown_dir.c_str(), f.file.c_str(),
                  action.c_str());
    }
  }
  if (!needs_doing) {
    if (!options.json) std::printf("%s: nothing to recover\n", shown_dir.c_str());
    if (lock && !failed) lock->MarkFinished();
    return kExitTrue;
  }
  if (options.apply && !failed) {
    if (lock) lock->MarkFinished();
    return kept ? kExitFalse : kExitTrue;
  }
  return kExitFalse;
}

namespace {

std::string RunJson(const JournalRun& r) {
  auto text = [](const std::string& s) { return host::JsonString(s); };
  return "{\"run\":" + text(r.id) + ",\"started\":" + text(r.started + " UTC") +
         ",\"user\":" + text(r.user) + ",\"account\":" + text(r.account) +
         ",\"host\":" + text(r.host) + ",\"process\":" + text(r.process) +
         ",\"command\":" + text(r.command) +
         ",\"undo_of\":" + (r.undo_of.empty() ? "null" : text(r.undo_of)) +
         ",\"ended\":" + text(r.ended) + ",\"rewritten\":" + std::to_string(r.rewritten) +
         ",\"unchanged\":" + std::to_string(r.unchanged) +
         ",\"failed\":" + std::to_string(r.failed) + ",\"changes\":" + std::to_string(r.changes) +
         ",\"kept_bytes\":" + std::to_string(r.kept_bytes) +
         ",\"taken_back\":" + (r.taken_back ? "true" : "false") +
         ",\"refused\":" + (r.refused.empty() ? "null" : text(r.refused)) + "}";
}

std::string Kilobytes(int64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / 1024.0);
  return text;
}

std::string RunWords(const JournalRun& r) {
  std::string words =
      r.started + " UTC, " + r.user + " (" + r.account + ") on " + r.host + ": " + r.command;
  if (!r.undo_of.empty()) words += " (took back " + r.undo_of + ")";
  words += "; ended " + r.ended + ", " + std::to_string(r.rewritten) + " rewritten, " +
           std::to_string(r.unchanged) + " unchanged, " + std::to_string(r.failed) + " failed; " +
           std::to_string(r.changes) + " changes, " + Kilobytes(r.kept_bytes) + " kept";
  if (r.taken_back) words += "; taken back";
  if (!r.refused.empty()) words += "; not followed: " + r.refused;
  return words;
}

// True when 'undo' has a run to take back: the newest that changed something and was not taken
// back, and whose record is followed.
bool TakesBack(const std::vector<JournalRun>& newest_first) {
  for (const JournalRun& r : newest_first) {
    if (!r.refused.empty()) return false;
    if (r.changes > 0 && !r.taken_back) return true;
  }
  return false;
}

}  // namespace

int RunHistory(const std::vector<std::string>& args, const Options& options) {
  clsReportLLUpdate component;
  const std::vector<JournalRun> runs = component.History(args[0]);
  if (component.LastCallSummary().errors_shown > 0) return kExitFalse;
  int64_t kept = 0;
  for (const JournalRun& r : runs) kept += r.kept_bytes;
  if (options.json) {
    for (const JournalRun& r : runs) {
      std::string line = RunJson(r);
      std::printf("{\"v\":1,\"call\":\"History\",%s\n", line.c_str() + 1);
    }
    return kExitTrue;
  }
  if (runs.empty()) {
    std::printf("no runs in the journal of %s\n", Disk().ShownPath(args[0]).c_str());
    return kExitTrue;
  }
  for (const JournalRun& r : runs) {
    std::printf("%s  %s\n", r.id.c_str(), RunWords(r).c_str());
  }
  std::printf("%zu runs, %s kept (the newest %d runs are kept; --keep-runs N changes it)\n",
              runs.size(), Kilobytes(kept).c_str(), KeptRuns());
  if (TakesBack(runs)) {
    std::printf(
        "'llupdate undo %s' takes back the newest run that changed something and was not "
        "taken back\n",
        args[0].c_str());
  }
  return kExitTrue;
}

int RunStatus(const std::vector<std::string>& args, const Options& options) {
  const std::string& db = args[0];
  auto fs = host::CreateAs<platform::FileSystem>(host::kFileSystemProgId);
  const std::string dir = catalogue::FormDirectory(db);

  // The record, read without creating the settings file, and read as the driver reads it.
  int recorded = 0;
  bool has_record = false;
  std::string record_value, record_broken;
  try {
    has_record = ReadSetting(options.settings_file, component::kStepRecordSection,
                             component::kStepRecordKey, &record_value);
    if (has_record) {
      try {
        recorded = rewrites::ToInteger16(record_value);
        if (recorded == 32767) throw platform::Error(platform::kOverflow);
      } catch (const platform::Error& e) {
        record_broken = std::to_string(e.number()) + " " + ErrorDescription(e.number());
        recorded = 0;
      }
    }
  } catch (const platform::Error& e) {
    PrintProblem(options.json, "settings file " + options.settings_file + ": " +
                                   std::to_string(e.number()) + " " + e.description());
    return kExitFalse;
  }
  const LockPeek lock = Disk().PeekFormFolderLock(dir);
  std::vector<rewrites::Leftover> leftovers, foreign, in_work;
  try {
    leftovers = rewrites::FindLeftovers(*fs, dir, fs->ListFiles(dir), lock.own, lock.in_place);
    for (auto it = leftovers.begin(); it != leftovers.end();) {
      // While a run holds the database, its temporary files and backups are its work.
      if (lock.held) {
        in_work.push_back(*it);
      } else if (it->action == rewrites::Leftover::Action::kForeign) {
        foreign.push_back(*it);
      } else {
        ++it;
        continue;
      }
      it = leftovers.erase(it);
    }
  } catch (const platform::Error& e) {
    PrintProblem(options.json, Described(e));
    return kExitFalse;
  }
  // Forms per type and their file versions; a file named like a leftover is no form.
  std::set<std::string> not_forms;
  for (const auto* list : {&leftovers, &foreign, &in_work}) {
    for (const rewrites::Leftover& f : *list) not_forms.insert(text::FoldCase(f.file));
  }
  std::map<std::string, std::map<std::string, int>> versions;
  std::map<std::string, int> counts;
  for (const char* dotted : catalogue::kFormTypes) {
    std::string type = text::FoldCase(std::string(dotted + 1));
    auto catalogue = host::NewDynArray();
    files::FileTable table;
    files::FileContext ctx{*fs, table, nullptr, nullptr, &disk_paths};
    if (!catalogue::Aufbau_Array2(ctx, type, *catalogue, dir)) continue;
    for (int32_t r = 0; r < catalogue->Count(1); ++r) {
      const std::string name = catalogue->GetValue(r, 0).ToString();
      if (text::TrimSpaces(name).empty() || not_forms.count(text::FoldCase(name)) > 0) continue;
      ++counts[type];
      std::string version = catalogue->GetValue(r, 5).ToString();
      ++versions[type][version.empty() ? "-" : version];
    }
  }
  const std::string holder =
      lock.held ? "another run holds the database (" + HolderWords(lock.text) + ")" : std::string();
  // A delivery that waits for 'distribute': its marker and the forms it brought.
  const std::string delivery = db + "\\" + catalogue::kDeliveryDirectory;
  int delivered = -1;
  if (fs->FileExists(delivery + "\\NeueBerichte.txt")) {
    delivered = 0;
    auto catalogue = host::NewDynArray();
    files::FileTable table;
    files::FileContext ctx{*fs, table, nullptr, nullptr, &disk_paths};
    if (catalogue::Aufbau_Array(ctx, *catalogue, delivery))
      delivered = component::CountForms(*catalogue);
  }
  const std::string fix_record = "'llupdate --settings " + options.settings_file + " setting " +
                                 component::StepRecordWords() +
                                 " N' with N the last step done (0 runs every step)";
  clsReportLLUpdate component;
  const std::vector<JournalRun> history = component.History(db);
  const std::string shown_db = Disk().ShownPath(db);

  if (options.json) {
    std::string line = "{\"v\":1,\"call\":\"Status\",\"database\":" + host::JsonString(shown_db) +
                       ",\"settings\":" + host::JsonString(options.settings_file) +
                       ",\"recorded_step\":" +
                       (record_broken.empty() ? std::to_string(recorded) : std::string("null"));
    if (!record_broken.empty()) {
      line += ",\"recorded_value\":" + host::JsonString(record_value) +
              ",\"record_broken\":" + host::JsonString(record_broken) + ",\"hint\":" +
              host::JsonString("every convert fails until the record is set: " + fix_record);
    }
    if (record_broken.empty()) {
      line += ",\"steps_to_run\":[";
      for (int step = recorded + 1; step <= kDriverSteps; ++step) {
        line += (step > recorded + 1 ? "," : "") + std::to_string(step);
      }
      line += "]";
    } else {
      line += ",\"steps_to_run\":null";
    }
    line += ",\"leftovers\":[";
    for (size_t i = 0; i < leftovers.size(); ++i) {
      line += std::string(i > 0 ? "," : "") + "{\"file\":" + host::JsonString(leftovers[i].file) +
              ",\"path\":" + PathJson(Disk().ShownPath(dir) + "/" + leftovers[i].file) +
              ",\"form\":" + host::JsonString(leftovers[i].form) + "}";
    }
    line += "],\"in_work\":[";
    for (size_t i = 0; i < in_work.size(); ++i) {
      line += std::string(i > 0 ? "," : "") +
              host::JsonString(Disk().ShownPath(dir) + "/" + in_work[i].file);
    }
    line += "],\"not_made_by_llupdate\":[";
    for (size_t i = 0; i < foreign.size(); ++i) {
      line += std::string(i > 0 ? "," : "") +
              host::JsonString(Disk().ShownPath(dir) + "/" + foreign[i].file);
    }
    line += "],\"refused_records\":[";
    for (size_t i = 0; i < lock.refused.size(); ++i) {
      line += std::string(i > 0 ? "," : "") + host::JsonString(lock.refused[i]);
    }
    line += "],\"forms\":{";
    bool first = true;
    for (const auto& [type, count] : counts) {
      line += std::string(first ? "" : ",") + host::JsonString(type) +
              ":{\"count\":" + std::to_string(count) + ",\"fileversions\":{";
      bool first_version = true;
      for (const auto& [version, n] : versions[type]) {
        line += std::string(first_version ? "" : ",") + host::JsonString(version) + ":" +
                std::to_string(n);
        first_version = false;
      }
      line += "}}";
      first = false;
    }
    line += "},\"delivery_waiting\":" + std::string(delivered >= 0 ? "true" : "false");
    if (delivered >= 0) line += ",\"delivered_forms\":" + std::to_string(delivered);
    line += ",\"held\":" + std::string(lock.held ? "true" : "false");
    if (lock.held) line += ",\"holder\":" + host::JsonString(holder);
    line += ",\"last_run_unfinished\":" + std::string(lock.unfinished ? "true" : "false");
    line += ",\"last_run\":" + (history.empty() ? std::string("null") : RunJson(history[0]));
    line += ",\"can_be_taken_back\":" + std::string(TakesBack(history) ? "true" : "false") + "}";
    std::printf("%s\n", line.c_str());
    return kExitTrue;
  }

  std::printf("database: %s\n", shown_db.c_str());
  if (!record_broken.empty()) {
    std::printf(
        "recorded step: '%s' is no step number (%s): every 'llupdate convert' fails until "
        "it is set, with %s\n",
        record_value.c_str(), record_broken.c_str(), fix_record.c_str());
  } else {
    std::printf("recorded step: %d of %d%s (%s)\n", recorded, kDriverSteps,
                has_record ? "" : ", nothing recorded yet", options.settings_file.c_str());
  }
  if (!record_broken.empty()) {
    // No step list: which steps would run depends on the value it gets.
  } else if (recorded >= kDriverSteps) {
    std::printf("steps to run: none\n");
  } else {
    std::printf("steps to run ('llupdate convert'):\n");
    for (int step = recorded + 1; step <= kDriverSteps; ++step) {
      std::printf("  %d %s\n", step, component::StepWords(step).c_str());
    }
  }
  if (leftovers.empty()) {
    std::printf("left by an interrupted run: nothing\n");
  } else {
    std::printf("left by an interrupted run ('llupdate recover %s'):\n", db.c_str());
    for (const rewrites::Leftover& f : leftovers) {
      std::printf("  %s/%s\n", Disk().ShownPath(dir).c_str(), f.file.c_str());
    }
  }
  if (!in_work.empty()) {
    std::printf("in work by the run that holds the database (not leftovers):\n");
    for (const rewrites::Leftover& f : in_work) {
      std::printf("  %s/%s\n", Disk().ShownPath(dir).c_str(), f.file.c_str());
    }
  }
  if (!foreign.empty()) {
    std::printf("named like leftovers but not made by llupdate (never touched):\n");
    for (const rewrites::Leftover& f : foreign) {
      std::printf("  %s/%s\n", Disk().ShownPath(dir).c_str(), f.file.c_str());
    }
  }
  if (history.empty()) {
    std::printf("last run: none in the journal\n");
  } else {
    std::printf("last run: %s\n", RunWords(history[0]).c_str());
    std::printf("%s\n", TakesBack(history) ? ("  'llupdate undo " + db + "' takes back " +
                                              (history[0].taken_back || history[0].changes == 0
                                                   ? std::string("the newest run that changed "
                                                                 "something")
                                                   : std::string("this run")))
                                                 .c_str()
                                           : "  nothing to take back");
  }
  if (!lock.refused.empty()) {
    std::printf(
        "records not trusted (nothing is done from them; remove them if no run wrote "
        "them):\n");
    for (const std::string& record : lock.refused) std::printf("  %s\n", record.c_str());
  }
  if (delivered >= 0) {
    std::printf(
        "delivery waiting: %d forms in %s ('llupdate distribute %s EXEDIR USER' copies "
        "the new ones in)\n",
        delivered, Disk().ShownPath(delivery).c_str(), db.c_str());
  } else {
    std::printf("delivery waiting: none\n");
  }
  std::printf("forms:%s\n", counts.empty() ? " none" : "");
  for (const auto& [type, count] : counts) {
    std::string line = "  " + type + ": " + std::to_string(count) + " (FileVersion";
    bool first = true;
    for (const auto& [version, n] : versions[type]) {
      line += std::string(first ? " " : ", ") + version + ": " + std::to_string(n);
      first = false;
    }
    std::printf("%s)\n", line.c_str());
  }
  if (lock.held) {
    std::printf("held: yes, %s\n", holder.c_str());
  } else {
    std::printf("held: no%s\n", lock.unfinished
                                    ? " (the last run did not finish; the next run that writes "
                                      "repairs what it left)"
                                    : "");
  }
  return kExitTrue;
}

int RunCompletion(const std::vector<std::string>& args, const Options&) {
  std::string names;
  for (const Command& c : Commands()) names += (names.empty() ? "" : " ") + c.name;
  const std::string options =
      "--json --settings --database --adopt-settings --dry-run --apply --force --wait "
      "--no-sync -q --quiet -v "
      "--verbose --help --version";
  if (args[0] == "bash") {
    std::printf(
        "# bash completion for llupdate\n"
        "_llupdate() {\n"
        "  local cur=\"${COMP_WORDS[COMP_CWORD]}\" prev=\"${COMP_WORDS[COMP_CWORD-1]}\"\n"
        "  case \"$prev\" in\n"
        "    --settings) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
        "    --database|-d) COMPREPLY=($(compgen -d -- \"$cur\")); return ;;\n"
        "    --wait) COMPREPLY=(); return ;;\n"
        "  esac\n"
        "  if [[ \"$cur\" == -* ]]; then\n"
        "    COMPREPLY=($(compgen -W \"%s\" -- \"$cur\")); return\n"
        "  fi\n"
        "  local i word command=\"\"\n"
        "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
        "    word=\"${COMP_WORDS[i]}\"\n"
        "    case \"$word\" in\n"
        "      --settings|--database|-d|--wait) ((i++)) ;;\n"
        "      -*) ;;\n"
        "      *) command=\"$word\"; break ;;\n"
        "    esac\n"
        "  done\n"
        "  if [[ -z \"$command\" ]]; then\n"
        "    COMPREPLY=($(compgen -W \"%s\" -- \"$cur\"))\n"
        "  elif [[ \"$command\" == completion ]]; then\n"
        "    COMPREPLY=($(compgen -W \"bash zsh\" -- \"$cur\"))\n"
        "  else\n"
        "    COMPREPLY=($(compgen -f -- \"$cur\"))\n"
        "  fi\n"
        "}\n"
        "complete -o filenames -F _llupdate llupdate\n",
        options.c_str(), names.c_str());
    return kExitTrue;
  }
  if (args[0] == "zsh") {
    std::string described;
    for (const Command& c : Commands()) {
      std::string summary;
      for (char ch : c.summary) {
        if (ch == ':') {
          summary += "\\:";
        } else if (ch != '\'') {
          summary += ch;
        }
      }
      described += "    '" + c.name + ":" + summary + "'\n";
    }
    std::printf(
        "#compdef llupdate\n"
        "_llupdate() {\n"
        "  local -a commands\n"
        "  commands=(\n%s  )\n"
        "  _arguments -C \\\n"
        "    '--json[JSON records]' '--settings=[settings file]:file:_files' \\\n"
        "    '--database=[database path]:directory:_files -/' '--dry-run[show, change nothing]' "
        "\\\n"
        "    '--apply[let recover repair]' '--force[run a guarded command anyway]' \\\n"
        "    '--adopt-settings[take a settings file of another database]' \\\n"
        "    '--wait=[seconds to wait for another run]:seconds:' '--no-sync[do not flush]' \\\n"
        "    '(-q --quiet)'{-q,--quiet}'[errors only]' '(-v --verbose)'{-v,--verbose}'[a line per "
        "form]' \\\n"
        "    '--help[help]' '--version[version]' \\\n"
        "    '1:command:->command' '*::argument:_files'\n"
        "  case $state in\n"
        "    command) _describe 'command' commands ;;\n"
        "  esac\n"
        "}\n"
        "_llupdate \"$@\"\n",
        described.c_str());
    return kExitTrue;
  }
  PrintProblem(false, "completion: no script for the shell '" + args[0] + "' (bash or zsh)");
  return kExitUsage;
}

std::string PageNumbersKey(const std::string& type) {
  return "PageNumbers." + text::FoldCase(type);
}

std::string FormsOfTypeGuard(const std::vector<std::string>& args, const Options&) {
  if (CountFormsOfType(args[0], args[1]) > 0) return "";
  return "no forms of type " + args[1] + " in " +
         Disk().ShownPath(catalogue::FormDirectory(args[0])) +
         " (TYPE is an extension without the dot, such as bel): nothing was changed or recorded";
}

std::string PageNumbersGuard(const std::vector<std::string>& args, const Options& options) {
  // A type without forms would be recorded as switched over, and its real forms refused later.
  std::string refusal = FormsOfTypeGuard(args, options);
  if (!refusal.empty()) return refusal;
  if (options.force) return "";
  std::string done;
  try {
    ReadSetting(options.settings_file, kOwnSection, PageNumbersKey(args[1]), &done);
  } catch (const platform::Error&) {
    // an unreadable settings file: the forms decide
  }
  if (!done.empty()) {
    return "the page numbers of " + args[1] + " in " + Disk().ShownPath(args[0]) +
           " were switched over already (recorded in " + options.settings_file +
           "): a second run would move the page-number objects 9000 further to the left. "
           "Nothing was changed; --force runs it anyway.";
  }
  for (const auto& [path, shows] : PageCountOfForms(*NewOsFileSystem(), args[0], args[1])) {
    if (shows) {
      return Disk().ShownPath(path) +
             " already shows the page count: a second run would move its page-number object "
             "9000 further to the left. Nothing was changed; --force runs it anyway.";
    }
  }
  return "";
}

std::vector<std::pair<std::string, bool>> PageCountOfForms(FileSystem& fs, const std::string& db,
                                                           const std::string& type) {
  std::vector<std::pair<std::string, bool>> forms;
  const std::string ending = "." + text::FoldCase(type);
  std::vector<platform::FileEntry> files;
  try {
    files = fs.ListFiles(catalogue::FormDirectory(db));
  } catch (const platform::Error&) {
    return forms;  // the operation itself reports a missing directory
  }
  for (const platform::FileEntry& f : files) {
    std::string name = text::FoldCase(f.name);
    if (name.size() < ending.size() ||
        name.compare(name.size() - ending.size(), ending.size(), ending) != 0) {
      continue;
    }
    try {
      text::TextReader reader(fs.Open(f.path, platform::OpenMode::kRead));
      forms.emplace_back(
          f.path, reader.ReadAll().find(component::kPageNumberWithCount) != std::string::npos);
    } catch (const platform::Error&) {
      // an unreadable form is the operation's to report
    }
  }
  return forms;
}

}  // namespace llupdate::cli
