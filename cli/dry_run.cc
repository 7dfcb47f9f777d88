#include "dry_run.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "exit_status.h"
#include "llupdate/message_sinks.h"
#include "llupdate/operations.h"
#include "llupdate/preview.h"

namespace llupdate::cli {
namespace {

namespace fsys = std::filesystem;

class Report {
 public:
  explicit Report(bool json) : json_(json) {}

  void Line(const std::string& kind, const std::string& path, const std::string& text) {
    if (json_) {
      std::printf("{\"v\":1,\"call\":\"Preview\",\"change\":%s,\"path\":%s,\"text\":%s}\n",
                  JsonString(kind).c_str(), PathJson(path).c_str(), JsonString(text).c_str());
    } else {
      std::printf("%s\n", text.c_str());
    }
  }

  void Diff(const std::string& path, const std::string& diff) {
    if (json_) {
      std::printf("{\"v\":1,\"call\":\"Preview\",\"change\":\"rewrite\",\"path\":%s,\"diff\":%s}\n",
                  PathJson(path).c_str(), JsonString(diff).c_str());
    } else {
      std::printf("--- %s\n+++ %s (after)\n%s", path.c_str(), path.c_str(), diff.c_str());
    }
  }

 private:
  bool json_;
};

std::string RecordedStep(VMSettings& settings) {
  try {
    std::shared_ptr<Object> connection = std::make_shared<SettingsConnection>("");
    settings.Init(0, connection, "Standard");
    std::string value;
    settings.GetSetting(kStepRecordSection, kStepRecordKey, value, "Standard", "Standard", "0");
    return value;
  } catch (...) {
    return "?";
  }
}

}  // namespace

int DryRun(const Command& command, const std::vector<std::string>& args, const Options& options,
           Progress& progress) {
  // Links may lead only into the directories the command was given.
  std::vector<std::string> roots;
  for (size_t i = 0; i < args.size(); ++i) {
    Role role = command.params[std::min(i, command.params.size() - 1)].role;
    std::string original = Disk().ShownPath(args[i]);
    bool directory = Disk().FolderExists(args[i]);
    if (role == Role::kDbPath) {
      roots.push_back(original);
      for (const char* sub : {"BerichteLL", "BerichteLLOrg"}) {
        roots.push_back(Disk().ShownPath(args[i] + "\\" + sub));
      }
    } else if (role == Role::kExeDir || role == Role::kDir || directory) {
      roots.push_back(original);
    }
    // A single file is only made writable, never read: it adds no directory to follow links into.
  }
  std::shared_ptr<PreviewFileSystem> overlay = NewPreviewFileSystem(NewOsFileSystem(), roots);
  std::shared_ptr<VMSettings> settings;
  std::string settings_before;
  if (command.uses_settings) settings = NewSettingsSnapshot(options.settings_file);

  int exit_status = 1;
  try {
    if (settings) settings_before = RecordedStep(*settings);
    Results results;
    int errors_shown = 0;
    {
      clsReportLLUpdate component;
      CallOptions call;
      call.command = options.command_line;
      call.file_system = overlay;
      call.settings = settings;
      component.SetCallOptions(call);
      results = command.operation(component, args, options);
      progress.PrintSummary(component.LastCallSummary(), StopRequested());
      errors_shown = std::max(component.LastCallSummary().errors_shown, progress.errors_shown());
    }

    Report report(options.json);
    for (const auto& change : overlay->Changes()) {
      const std::string& path = change.os_path;
      // The run's journal is the program's bookkeeping, not a change to the database.
      if (path.find(std::string("/") + kJournalFolderName) != std::string::npos) continue;
      switch (change.kind) {
        case PreviewFileSystem::Change::kCreatedFolder:
          report.Line("create", path, "would create the directory " + path);
          break;
        case PreviewFileSystem::Change::kCreated:
          report.Line("create", path, "would create " + path);
          break;
        case PreviewFileSystem::Change::kDeleted:
          if (change.stranded) {
            report.Line("stranded", path,
                        "would leave " + path + " missing; its content would be in " +
                            fsys::path(path).parent_path().string() + "/" + kBackupPrefix +
                            fsys::path(path).filename().string());
          } else {
            report.Line("delete", path, "would delete " + path);
          }
          break;
        case PreviewFileSystem::Change::kChanged:
          if (change.content_changed) {
            std::string before = overlay->BytesBefore(change.path);
            std::string after = overlay->BytesAfter(change.path);
            if (before != after) {
              std::string diff = UnifiedDiff(FormText(before), FormText(after));
              if (diff.empty()) {
                report.Line("change", path, "would rewrite " + path + " (same text, other bytes)");
              } else {
                report.Diff(path, diff);
              }
            }
          }
          if (change.read_only_before != change.read_only_after) {
            report.Line(
                "attributes", path,
                "would make " + path + (change.read_only_after ? " read-only" : " writable"));
          }
          break;
      }
    }
    if (settings) {
      std::string after = RecordedStep(*settings);
      if (after != settings_before) {
        report.Line("setting", options.settings_file,
                    "would record step " + after + " in " + options.settings_file + " (now " +
                        settings_before + ")");
      }
    }
    if (!overlay->held_by().empty()) {
      // Said in the report itself, so that nobody takes it for the final word.
      report.Line("held", "",
                  "note: another run holds the database (" + LockHolderWords(overlay->held_by()) +
                      "); this preview shows the forms as they are now and may change when "
                      "that run ends");
    }
    exit_status = 0;
    for (const auto& [operation, result] : results) {
      std::string value = result.IsEmpty() ? "null" : (result == Variant(true) ? "true" : "false");
      if (options.json) {
        std::printf(
            "{\"v\":1,\"call\":\"Result\",\"command\":%s,\"operation\":%s,\"result\":%s,\"dry_"
            "run\":true}"
            "\n",
            JsonString(command.name).c_str(), JsonString(operation).c_str(), value.c_str());
      } else {
        std::printf("%s would return %s\n", operation.c_str(),
                    result.IsEmpty() ? "nothing" : (result == Variant(true) ? "True" : "False"));
      }
      if (!result.IsEmpty() && !(result == Variant(true))) exit_status = 1;
    }
    // True with errors shown is what the real run would end with too.
    if (exit_status == 0 && errors_shown > 0) exit_status = kExitErrorsShown;
  } catch (const std::exception& e) {
    progress.Clear();
    std::fprintf(stderr, "llupdate: dry run: %s\n", e.what());
    exit_status = 1;
  }
  return exit_status;
}

}  // namespace llupdate::cli
