// llupdate: the command line of clsReportLLUpdate.
//
//   llupdate [--json] [--settings FILE] OPERATION [ARG ...]
//   llupdate [--settings FILE] setting SECTION KEY [VALUE]
//
// Exit status: 0 when the operation returned True (SchreibschutzEntfernenAlleDateien: always),
// 1 when it returned False, 2 for a usage error, 3 when the message output itself failed.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "commands.h"
#include "host/error_convention.h"
#include "host/message_sinks.h"
#include "host/objects.h"
#include "llupdate/host.h"
#include "llupdate/report_ll_update.h"
#include "platform/error.h"

namespace llupdate::cli {
namespace {

constexpr int kExitTrue = 0;
constexpr int kExitFalse = 1;
constexpr int kExitUsage = 2;
constexpr int kExitHostFailure = 3;

constexpr char kDefaultSettingsFile[] = "llupdate-settings.sqlite";

std::string UsageText() {
  std::string text =
      "Usage: llupdate [--json] [--settings FILE] OPERATION [ARG ...]\n"
      "       llupdate [--json] list DBPATH [TYPE]\n"
      "       llupdate [--settings FILE] setting SECTION KEY [VALUE]\n"
      "       llupdate --help\n"
      "\n"
      "Keeps the List & Label report forms below a database path up to date. OPERATION is\n"
      "the exact name of an operation of clsReportLLUpdate; its arguments follow in order:\n"
      "\n";
  for (const Operation& op : Operations()) {
    text += "  " + op.name;
    for (const std::string& p : op.params) text += " " + p;
    text += "\n";
  }
  text +=
      "\n"
      "DBPATH is the database path; the forms are in DBPATH/BerichteLL, deliveries in\n"
      "DBPATH/BerichteLLOrg. FILENAME is a form's file name without directory, TYPE a form type\n"
      "as a file extension without the dot (lst, bel, mah, ...).\n"
      "\n"
      "Options:\n"
      "  --json           messages as JSON lines on stderr, the result as JSON on stdout\n"
      "  --settings FILE  the SQLite settings file of the conversion driver and of 'setting'\n"
      "                   (default: $LLUPDATE_SETTINGS, else ./llupdate-settings.sqlite)\n"
      "  --help           this text\n"
      "\n"
      "list DBPATH [TYPE] shows the forms of DBPATH/BerichteLL with their Version,\n"
      "Referenzbeleg and FileVersion: of one TYPE, or of all types those with a version.\n"
      "\n"
      "setting SECTION KEY prints the stored value (empty when none); with VALUE it stores it.\n"
      "The driver records its last completed step under: setting CheckReportLL LetzterWert\n"
      "\n"
      "Exit status: 0 the operation returned True (SchreibschutzEntfernenAlleDateien always),\n"
      "1 it returned False, 2 usage error, 3 the message output failed.\n";
  return text;
}

int UsageError(const std::string& problem) {
  std::fprintf(stderr, "llupdate: %s\n\n%s", problem.c_str(), UsageText().c_str());
  return kExitUsage;
}

int RunSetting(const std::vector<std::string>& args, const std::string& settings_file) {
  if (args.size() < 2 || args.size() > 3) {
    return UsageError("setting takes SECTION KEY [VALUE]");
  }
  try {
    auto settings = host::CreateAs<VMSettings>(host::kSettingsProgId);
    std::shared_ptr<Object> connection = std::make_shared<SettingsConnection>(settings_file);
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
    std::fprintf(stderr, "llupdate: settings file %s: %d %s\n", settings_file.c_str(), e.number(),
                 e.description().c_str());
    return kExitFalse;
  }
}

// llupdate list DBPATH [TYPE]: the catalogue of the form directory, for people or as JSON.
int RunList(const std::vector<std::string>& args, bool json) {
  if (args.empty() || args.size() > 2) return UsageError("list takes DBPATH [TYPE]");
  auto fs = host::CreateAs<platform::FileSystem>(host::kFileSystemProgId);
  auto catalogue = host::NewDynArray();
  std::string dir = catalogue::FormDirectory(args[0]);
  bool built = args.size() == 2 ? catalogue::Aufbau_Array2(*fs, args[1], *catalogue, dir)
                                : catalogue::Aufbau_Array(*fs, *catalogue, dir);
  if (!built) return kExitFalse;
  std::vector<std::vector<std::string>> rows;
  for (int32_t r = 0; r < catalogue->Count(1); ++r) {
    if (catalogue->GetValue(r, 0).ToString().find_first_not_of(' ') == std::string::npos) continue;
    std::vector<std::string> row;
    for (int c : {0, 1, 2, 3, 5}) row.push_back(catalogue->GetValue(r, c).ToString());
    rows.push_back(std::move(row));
  }
  if (json) {
    for (const auto& row : rows) {
      std::printf(
          "{\"name\":%s,\"path\":%s,\"version\":%s,\"referenzbeleg\":%s,\"fileversion\":%s}\n",
          host::JsonString(row[0]).c_str(), host::JsonString(row[1]).c_str(),
          host::JsonString(row[2]).c_str(), host::JsonString(row[3]).c_str(),
          host::JsonString(row[4]).c_str());
    }
    return kExitTrue;
  }
  // Columns are as wide as their widest text, counted in characters.
  auto width_of = [](const std::string& text) {
    size_t n = 0;
    for (char ch : text) n += (static_cast<unsigned char>(ch) & 0xC0) != 0x80 ? 1 : 0;
    return n;
  };
  std::vector<std::string> header = {"NAME", "PATH", "VERSION", "REFERENZBELEG", "FILEVERSION"};
  std::vector<size_t> width(header.size());
  for (size_t c = 0; c < header.size(); ++c) width[c] = width_of(header[c]);
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], width_of(row[c]));
  }
  // The list of all types carries no file versions: that column is left out.
  std::vector<size_t> shown = {0, 2, 3};
  if (args.size() == 2) shown.push_back(4);
  auto print = [&](const std::vector<std::string>& row) {
    std::string line;
    for (size_t c : shown) {
      line += row[c] + std::string(width[c] - width_of(row[c]) + 2, ' ');
    }
    line.erase(line.find_last_not_of(' ') + 1);
    std::printf("%s\n", line.c_str());
  };
  print(header);
  for (const auto& row : rows) print(row);
  if (rows.empty()) std::printf("(no forms)\n");
  return kExitTrue;
}

int RunOperation(const Operation& op, const Invocation& invocation, bool json) {
  clsReportLLUpdate component;
  Variant result = op.run(component, invocation);
  std::string shown = result.IsEmpty() ? "null" : (result == Variant(true) ? "true" : "false");
  if (json) {
    std::printf("{\"operation\":%s,\"result\":%s}\n", host::JsonString(op.name).c_str(),
                shown.c_str());
  } else {
    std::printf("%s: %s\n", op.name.c_str(),
                result.IsEmpty() ? "done" : (result == Variant(true) ? "True" : "False"));
  }
  if (result.IsEmpty()) return kExitTrue;
  return result == Variant(true) ? kExitTrue : kExitFalse;
}

int Main(int argc, char** argv) {
  bool json = false;
  std::string settings_file;
  if (const char* env = std::getenv("LLUPDATE_SETTINGS"); env != nullptr && *env != '\0') {
    settings_file = env;
  } else {
    settings_file = kDefaultSettingsFile;
  }

  int i = 1;
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--json") {
      json = true;
    } else if (arg == "--settings") {
      if (i + 1 >= argc) return UsageError("--settings needs a FILE");
      settings_file = argv[++i];
    } else if (arg == "--help" || arg == "-h") {
      std::printf("%s", UsageText().c_str());
      return kExitTrue;
    } else if (arg == "--") {
      ++i;
      break;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option " + arg);
    } else {
      break;
    }
  }
  if (i >= argc) return UsageError("no operation given");
  std::string name = argv[i++];
  std::vector<std::string> args(argv + i, argv + argc);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::printf("%s", UsageText().c_str());
    return kExitTrue;
  }

  if (name == "setting") return RunSetting(args, settings_file);

  const Operation* op = FindOperation(name);
  if (op == nullptr && name != "list") return UsageError("unknown operation '" + name + "'");
  if (op != nullptr && args.size() != op->params.size()) {
    return UsageError(name + " takes " + std::to_string(op->params.size()) + " argument(s), " +
                      std::to_string(args.size()) + " given");
  }

  RegisterObject(host::kMessagesProgId, [json]() -> std::shared_ptr<Object> {
    return json ? host::NewJsonMessages(stderr) : host::NewConsoleMessages(stderr);
  });
  ResetThreadHostMessages();
  try {
    if (op == nullptr) return RunList(args, json);
    return RunOperation(*op, Invocation{args, settings_file}, json);
  } catch (const HostFailure& e) {
    std::fprintf(stderr, "llupdate: the message output failed: %s\n", e.what());
    return kExitHostFailure;
  }
}

}  // namespace
}  // namespace llupdate::cli

int main(int argc, char** argv) { return llupdate::cli::Main(argc, argv); }
