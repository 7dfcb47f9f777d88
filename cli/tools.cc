#include "tools.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "exit_status.h"
#include "llupdate/database.h"
#include "llupdate/message_sinks.h"
#include "llupdate/operations.h"
#include "output.h"

namespace llupdate::cli {
namespace {
constexpr char kDatabaseKey[] = "Database";

// A component the command line takes from the factory, as the operations do.
template <class T>
std::shared_ptr<T> FromFactory(const char* progid) {
  auto object = std::dynamic_pointer_cast<T>(CreateObject(progid));
  if (!object) throw Error(kCannotCreateObject, progid);
  return object;
}

std::shared_ptr<VMSettings> SettingsStore(const std::string& file) {
  auto settings = FromFactory<VMSettings>(kSettingsProgId);
  std::shared_ptr<Object> connection = std::make_shared<SettingsConnection>(file);
  settings->Init(0, connection, "Standard");
  return settings;
}

std::shared_ptr<FileSystem> Forms() { return FromFactory<FileSystem>(kFileSystemProgId); }

}  // namespace

std::string SettingsDatabase(const std::string& settings_file) {
  std::string folder;
  try {
    ReadSettingsValue(settings_file, kOwnSettingsSection, kDatabaseKey, &folder);
  } catch (const Error&) {
    folder.clear();  // an unreadable file: the run that uses it says why
  }
  return folder;
}

void RecordSettingsDatabase(const std::string& settings_file, const std::string& form_folder) {
  SettingsStore(settings_file)
      ->SaveSetting(kOwnSettingsSection, kDatabaseKey, form_folder, "Standard");
}

namespace {

void PrintSetting(const std::vector<std::string>& args, const std::string& value,
                  const Options& options) {
  if (options.json) {
    std::printf(
        "{\"v\":1,\"call\":\"Setting\",\"section\":%s,\"key\":%s,\"value\":%s,\"file\":%s}\n",
        JsonString(args[0]).c_str(), JsonString(args[1]).c_str(), JsonString(value).c_str(),
        JsonString(options.settings_file).c_str());
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
  // Without a type, the forms of all twelve types, each as the conversions see it (also those
  // without a Version or Referenzbeleg, with empty values), in the order of their names.
  std::vector<FormListing> forms;
  if (!ListForms(*Forms(), args[0], args.size() == 2 ? args[1] : "", &forms)) return kExitFalse;
  if (options.json) {
    for (const FormListing& form : forms) {
      std::printf(
          "{\"v\":1,\"call\":\"Form\",\"name\":%s,\"path\":%s,\"version\":%s,\"referenzbeleg\":%s,"
          "\"fileversion\":%s}\n",
          JsonString(form.name).c_str(), PathJson(Disk().ShownPath(form.path)).c_str(),
          JsonString(form.version).c_str(), JsonString(form.referenzbeleg).c_str(),
          JsonString(form.fileversion).c_str());
    }
    return kExitTrue;
  }
  std::vector<std::vector<std::string>> rows = {
      {"NAME", "VERSION", "REFERENZBELEG", "FILEVERSION"}};
  for (const FormListing& f : forms)
    rows.push_back({f.name, f.version, f.referenzbeleg, f.fileversion});
  std::vector<size_t> width(rows[0].size());
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], CharacterCount(row[c]));
  }
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      line += row[c] + std::string(width[c] - CharacterCount(row[c]) + 2, ' ');
    }
    line.erase(line.find_last_not_of(' ') + 1);
    std::printf("%s\n", line.c_str());
  }
  if (forms.empty()) std::printf("(no forms)\n");
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
      if (!ReadSettingsValue(options.settings_file, args[0], args[1], &value)) {
        PrintProblem(options.json,
                     "no value " + args[0] + " " + args[1] + " in " + options.settings_file);
        return kExitFalse;
      }
      PrintSetting(args, value, options);
      return kExitTrue;
    }
    SettingsStore(options.settings_file)->SaveSetting(args[0], args[1], args[2], "Standard");
    return kExitTrue;
  } catch (const Error& e) {
    PrintProblem(options.json, "settings file " + options.settings_file + ": " +
                                   std::to_string(e.number()) + " " + e.description());
    return kExitFalse;
  }
}

namespace {

// What a person calls a leftover, and what a repair does or did with it.
std::pair<std::string, std::string> LeftoverWords(const LeftoverFile& f, bool apply) {
  using Kind = LeftoverFile::Kind;
  switch (f.kind) {
    case Kind::kRestoreInPlace:
      if (apply && f.why.empty()) {
        return {"restore-in-place",
                "gave " + f.form + " its old content back from its complete copy"};
      }
      if (apply) {
        return {"restore-in-place",
                "keeps " + f.form + " as it is and its old content in " + f.file};
      }
      if (f.why.empty()) {
        return {"restore-in-place",
                "gives " + f.form + " its old content back from " + f.file +
                    ", the complete copy made before an interrupted rewrite in place; " + f.form +
                    " may be half-written"};
      }
      return {"restore-in-place", "keeps " + f.form + " as it is and " + f.file +
                                      ", the complete copy of its old content: " + f.form +
                                      " changed since an interrupted rewrite in place (" + f.why +
                                      "); compare them yourself"};
    case Kind::kForeign:
      return {"foreign",
              "keeps " + f.file + ": not made by llupdate (the lock's record does not name it)"};
    case Kind::kRestore:
      return {"restore", "restores " + f.form + " from its backup " + f.file};
    case Kind::kOrphan:
      return {"orphan", "keeps " + f.file + ": it may be incomplete, and " + f.form +
                            " and its backup are missing; look at it and rename it yourself if it "
                            "is whole"};
    case Kind::kPartial:
      return {"partial", "removes the partial file " + f.file + " of an interrupted run"};
    case Kind::kBackup:
      return {"backup", "removes the backup " + f.file + ": " + f.form + " is complete"};
    case Kind::kTemporary:
      break;
  }
  return {"leftover", "removes the temporary file " + f.file + " of an interrupted run"};
}

}  // namespace

int RunRecover(const std::vector<std::string>& args, const Options& options) {
  const std::string shown_dir = Disk().ShownPath(FormFolderOf(args[0]));
  Recovery recovery;
  try {
    recovery = RecoverFormFolder(*Forms(), args[0], options.apply);
  } catch (const Error& e) {
    PrintProblem(options.json, e.description());
    return e.number() == kPermissionDenied ? kExitDatabaseBusy : kExitFalse;
  }
  if (recovery.held) {
    // Its temporary files and backups are its work in progress, not leftovers.
    PrintProblem(options.json, "another run holds the database (" + recovery.holder +
                                   "): the files in " + shown_dir +
                                   " named like leftovers are its work in progress, and nothing "
                                   "can be recovered while it runs; run 'llupdate recover " +
                                   args[0] + "' again when it has ended");
    return kExitDatabaseBusy;
  }
  if (!recovery.unreadable.empty()) {
    PrintProblem(options.json, shown_dir + ": " + recovery.unreadable);
    return kExitFalse;
  }
  // Records that are not trusted: nothing is done from them, and the person learns which.
  for (const std::string& record : recovery.refused_records) {
    if (options.json) {
      std::printf("{\"v\":1,\"call\":\"RefusedRecord\",\"record\":%s}\n",
                  JsonString(record).c_str());
    } else {
      std::printf(
          "refused record: %s: nothing is done from it (remove it if no run of llupdate "
          "wrote it)\n",
          record.c_str());
    }
  }
  bool failed = false, kept = false, needs_doing = false;
  for (const Recovery::Step& step : recovery.steps) {
    const LeftoverFile& f = step.leftover;
    const auto [kind, action] = LeftoverWords(f, options.apply);
    if (f.kind != LeftoverFile::Kind::kForeign) needs_doing = true;
    kept = kept || f.kind == LeftoverFile::Kind::kOrphan ||
           (f.kind == LeftoverFile::Kind::kRestoreInPlace && !f.why.empty());
    failed = failed || step.outcome.starts_with("failed");
    if (options.json) {
      std::printf(
          "{\"v\":1,\"call\":\"Leftover\",\"leftover\":%s,\"file\":%s,\"path\":%s,\"form\":%s,"
          "\"apply\":%s%s}\n",
          JsonString(kind).c_str(), JsonString(f.file).c_str(),
          PathJson(shown_dir + "/" + f.file).c_str(), JsonString(f.form).c_str(),
          JsonString(action).c_str(),
          options.apply ? (",\"outcome\":" + JsonString(step.outcome)).c_str() : "");
    } else if (options.apply || f.kind == LeftoverFile::Kind::kForeign) {
      std::printf("%s: %s (%s)\n", kind.c_str(), action.c_str(),
                  options.apply ? step.outcome.c_str() : shown_dir.c_str());
    } else {
      std::printf("%s: %s/%s: --apply %s\n", kind.c_str(), shown_dir.c_str(), f.file.c_str(),
                  action.c_str());
    }
  }
  if (!needs_doing) {
    if (!options.json) std::printf("%s: nothing to recover\n", shown_dir.c_str());
    return kExitTrue;
  }
  if (options.apply && !failed) return kept ? kExitFalse : kExitTrue;
  return kExitFalse;
}

namespace {

std::string RunJson(const JournalRun& r) {
  auto text = [](const std::string& s) { return JsonString(s); };
  return "{\"run\":" + text(r.id) +
         ",\"started\":" + (r.started.empty() ? "null" : text(r.started + " UTC")) +
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
  // A record that is none of this version's tells nothing but why it is not followed.
  if (r.started.empty() && !r.refused.empty()) return "not followed: " + r.refused;
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
  const std::string dir = FormFolderOf(db);

  // The record, read without creating the settings file, and read as the driver reads it.
  int recorded = 0;
  bool has_record = false;
  std::string record_value, record_broken;
  try {
    has_record =
        ReadSettingsValue(options.settings_file, kStepRecordSection, kStepRecordKey, &record_value);
    if (has_record) {
      try {
        recorded = StepOfRecord(record_value);
      } catch (const Error& e) {
        record_broken = std::to_string(e.number()) + " " + ErrorDescription(e.number());
        recorded = 0;
      }
    }
  } catch (const Error& e) {
    PrintProblem(options.json, "settings file " + options.settings_file + ": " +
                                   std::to_string(e.number()) + " " + e.description());
    return kExitFalse;
  }
  FormFolderState folder;
  try {
    folder = InspectFormFolder(*Forms(), db);
  } catch (const Error& e) {
    PrintProblem(options.json, e.description());
    return kExitFalse;
  }
  const auto& [leftovers, in_work, foreign, refused, held, holder_words, unfinished, counts,
               versions, delivered] = folder;
  const std::string holder =
      held ? "another run holds the database (" + holder_words + ")" : std::string();
  const std::string delivery = DeliveryFolderOf(db);
  const std::string fix_record = "'llupdate --settings " + options.settings_file + " setting " +
                                 StepRecordWords() +
                                 " N' with N the last step done (0 runs every step)";
  clsReportLLUpdate component;
  const std::vector<JournalRun> history = component.History(db);
  const std::string shown_db = Disk().ShownPath(db);

  if (options.json) {
    std::string line = "{\"v\":1,\"call\":\"Status\",\"database\":" + JsonString(shown_db) +
                       ",\"settings\":" + JsonString(options.settings_file) +
                       ",\"recorded_step\":" +
                       (record_broken.empty() ? std::to_string(recorded) : std::string("null"));
    if (!record_broken.empty()) {
      line += ",\"recorded_value\":" + JsonString(record_value) +
              ",\"record_broken\":" + JsonString(record_broken) + ",\"hint\":" +
              JsonString("every convert fails until the record is set: " + fix_record);
    }
    if (record_broken.empty()) {
      line += ",\"steps_to_run\":[";
      for (int step = recorded + 1; step <= kDriverSteps; ++step) {
        if (step > recorded + 1) line += ',';
        line += std::to_string(step);
      }
      line += "]";
    } else {
      line += ",\"steps_to_run\":null";
    }
    line += ",\"leftovers\":[";
    for (size_t i = 0; i < leftovers.size(); ++i) {
      line += std::string(i > 0 ? "," : "") + "{\"file\":" + JsonString(leftovers[i].file) +
              ",\"path\":" + PathJson(Disk().ShownPath(dir) + "/" + leftovers[i].file) +
              ",\"form\":" + JsonString(leftovers[i].form) + "}";
    }
    line += "],\"in_work\":[";
    for (size_t i = 0; i < in_work.size(); ++i) {
      line +=
          std::string(i > 0 ? "," : "") + JsonString(Disk().ShownPath(dir) + "/" + in_work[i].file);
    }
    line += "],\"not_made_by_llupdate\":[";
    for (size_t i = 0; i < foreign.size(); ++i) {
      line +=
          std::string(i > 0 ? "," : "") + JsonString(Disk().ShownPath(dir) + "/" + foreign[i].file);
    }
    line += "],\"refused_records\":[";
    for (size_t i = 0; i < refused.size(); ++i) {
      line += std::string(i > 0 ? "," : "") + JsonString(refused[i]);
    }
    line += "],\"forms\":{";
    bool first = true;
    for (const auto& [type, count] : counts) {
      line += std::string(first ? "" : ",") + JsonString(type) +
              ":{\"count\":" + std::to_string(count) + ",\"fileversions\":{";
      bool first_version = true;
      for (const auto& [version, n] : versions.at(type)) {
        line +=
            std::string(first_version ? "" : ",") + JsonString(version) + ":" + std::to_string(n);
        first_version = false;
      }
      line += "}}";
      first = false;
    }
    line += "},\"delivery_waiting\":" + std::string(delivered >= 0 ? "true" : "false");
    if (delivered >= 0) line += ",\"delivered_forms\":" + std::to_string(delivered);
    line += ",\"held\":" + std::string(held ? "true" : "false");
    if (held) line += ",\"holder\":" + JsonString(holder);
    line += ",\"last_run_unfinished\":" + std::string(unfinished ? "true" : "false");
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
      std::printf("  %d %s\n", step, StepWords(step).c_str());
    }
  }
  if (leftovers.empty()) {
    std::printf("left by an interrupted run: nothing\n");
  } else {
    std::printf("left by an interrupted run ('llupdate recover %s'):\n", db.c_str());
    for (const LeftoverFile& f : leftovers) {
      std::printf("  %s/%s\n", Disk().ShownPath(dir).c_str(), f.file.c_str());
    }
  }
  if (!in_work.empty()) {
    std::printf("in work by the run that holds the database (not leftovers):\n");
    for (const LeftoverFile& f : in_work) {
      std::printf("  %s/%s\n", Disk().ShownPath(dir).c_str(), f.file.c_str());
    }
  }
  if (!foreign.empty()) {
    std::printf("named like leftovers but not made by llupdate (never touched):\n");
    for (const LeftoverFile& f : foreign) {
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
  if (!refused.empty()) {
    std::printf(
        "records not trusted (nothing is done from them; remove them if no run wrote "
        "them):\n");
    for (const std::string& record : refused) std::printf("  %s\n", record.c_str());
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
    for (const auto& [version, n] : versions.at(type)) {
      line += std::string(first ? " " : ", ") + version + ": " + std::to_string(n);
      first = false;
    }
    std::printf("%s)\n", line.c_str());
  }
  if (held) {
    std::printf("held: yes, %s\n", holder.c_str());
  } else {
    std::printf("held: no%s\n", unfinished
                                    ? " (the last run did not finish; the next run that writes "
                                      "repairs what it left)"
                                    : "");
  }
  return kExitTrue;
}

int RunCompletion(const std::vector<std::string>& args, const Options&) {
  std::string names;
  for (const Command& c : Commands()) names += (names.empty() ? "" : " ") + c.name;
  if (args[0] == "bash") {
    // Every name of every option; what follows an option that takes a value.
    std::string words, with_value, values;
    for (const OptionInfo& o : CommandLineOptions()) {
      std::string both = o.name;
      if (o.short_name != nullptr) both += std::string("|") + o.short_name;
      words += std::string(words.empty() ? "" : " ") + o.name;
      if (o.short_name != nullptr) words += std::string(" ") + o.short_name;
      if (o.value == nullptr) continue;
      with_value += (with_value.empty() ? "" : "|") + both;
      const std::string v = o.values;
      values += "    " + both + ") COMPREPLY=(" +
                (v == "file"  ? "$(compgen -f -- \"$cur\")"
                 : v == "dir" ? "$(compgen -d -- \"$cur\")"
                 : v.empty()  ? ""
                              : "$(compgen -W \"" + v + "\" -- \"$cur\")") +
                "); return ;;\n";
    }
    std::printf(
        "# bash completion for llupdate\n"
        "_llupdate() {\n"
        "  local cur=\"${COMP_WORDS[COMP_CWORD]}\" prev=\"${COMP_WORDS[COMP_CWORD-1]}\"\n"
        "  case \"$prev\" in\n"
        "%s"
        "  esac\n"
        "  if [[ \"$cur\" == -* ]]; then\n"
        "    COMPREPLY=($(compgen -W \"%s\" -- \"$cur\")); return\n"
        "  fi\n"
        "  local i word command=\"\"\n"
        "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
        "    word=\"${COMP_WORDS[i]}\"\n"
        "    case \"$word\" in\n"
        "      %s) ((i++)) ;;\n"
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
        values.c_str(), words.c_str(), with_value.c_str(), names.c_str());
    return kExitTrue;
  }
  if (args[0] == "zsh") {
    auto quoted = [](const std::string& text) {
      std::string out;
      for (char ch : text) {
        if (ch == ':') {
          out += "\\:";
        } else if (ch != '\'') {
          out += ch;
        }
      }
      return out;
    };
    std::string described;
    for (const Command& c : Commands()) {
      described += "    '" + c.name + ":" + quoted(c.summary) + "'\n";
    }
    std::string option_lines;
    for (const OptionInfo& o : CommandLineOptions()) {
      const std::string v = o.values;
      const std::string action = o.value == nullptr ? ""
                                 : v == "file"      ? ":file:_files"
                                 : v == "dir"       ? ":directory:_files -/"
                                 : v.empty()        ? std::string(":") + o.value + ":"
                                                    : std::string(":") + o.value + ":(" + v + ")";
      std::string brief = "[";
      brief += quoted(o.brief) + "]" + action;
      if (o.short_name != nullptr) {
        option_lines += std::string("    '(") + o.short_name + " " + o.name + ")'{" + o.short_name +
                        "," + o.name + (o.value != nullptr ? "=" : "") + "}'" + brief + "' \\\n";
      } else {
        option_lines +=
            std::string("    '") + o.name + (o.value != nullptr ? "=" : "") + brief + "' \\\n";
      }
    }
    std::printf(
        "#compdef llupdate\n"
        "_llupdate() {\n"
        "  local -a commands\n"
        "  commands=(\n%s  )\n"
        "  _arguments -C \\\n"
        "%s"
        "    '1:command:->command' '*::argument:_files'\n"
        "  case $state in\n"
        "    command) _describe 'command' commands ;;\n"
        "  esac\n"
        "}\n"
        "_llupdate \"$@\"\n",
        described.c_str(), option_lines.c_str());
    return kExitTrue;
  }
  PrintProblem(false, "completion: no script for the shell '" + args[0] + "' (bash or zsh)");
  return kExitUsage;
}

std::string PageNumbersKey(const std::string& type) { return "PageNumbers." + Lower(type); }

std::string FormsOfTypeGuard(const std::vector<std::string>& args, const Options&) {
  if (CountFormsOfType(*NewOsFileSystem(), args[0], args[1]) > 0) return "";
  return "no forms of type " + args[1] + " in " + Disk().ShownPath(FormFolderOf(args[0])) +
         " (TYPE is an extension without the dot, such as bel): nothing was changed or recorded";
}

std::string PageNumbersGuard(const std::vector<std::string>& args, const Options& options) {
  // A type without forms would be recorded as switched over, and its real forms refused later.
  std::string refusal = FormsOfTypeGuard(args, options);
  if (!refusal.empty()) return refusal;
  if (options.force) return "";
  std::string done;
  try {
    ReadSettingsValue(options.settings_file, kOwnSettingsSection, PageNumbersKey(args[1]), &done);
  } catch (const Error&) {
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

}  // namespace llupdate::cli
