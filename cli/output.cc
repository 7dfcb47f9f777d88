#include "output.h"

#include <algorithm>
#include <cstdio>

#include "llupdate/message_sinks.h"
#include "llupdate/operations.h"

namespace llupdate::cli {
namespace {

// Whether a message concerns a file that only an interrupted run leaves behind.
bool MentionsLeftover(const std::string& text) {
  for (std::string_view prefix : {kTemporaryPrefix, kBackupPrefix}) {
    for (char separator : {'\\', '/'}) {
      if (text.find(separator + std::string(prefix)) != std::string::npos) return true;
    }
  }
  return text.find(".llupdate-") != std::string::npos;
}

// A JSON object with more keys: the object's closing brace goes after them.
std::string WithKeys(std::string object, const std::string& keys) {
  if (keys.empty()) return object;
  object.pop_back();
  return object + keys + "}";
}

class Sink : public HostMessages {
 public:
  Sink(bool json, Progress* progress) : json_(json), progress_(progress) {}

  void ShowMessage(const std::string& text, int32_t level, const std::string& title, int32_t number,
                   bool flag) override {
    ShowMessageWithCause(text, level, title, number, flag, nullptr);
  }

  // A handled error's message says where it happened; its cause says what happened.
  void ShowMessageWithCause(const std::string& text, int32_t level, const std::string& title,
                            int32_t number, bool flag, const Error* cause) override {
    if (!flag && progress_ != nullptr && progress_->quiet()) return;  // quiet: errors only
    Before(flag);
    if (!flag) cause = nullptr;
    if (json_) {
      std::string keys;
      if (cause != nullptr) {
        keys = ",\"cause\":{\"number\":" + std::to_string(cause->number()) +
               ",\"description\":" + JsonString(cause->description()) + "}";
      }
      Json({"ShowMessage", text, level, title, number, flag, "", ""}, text + Describe(cause), keys,
           cause != nullptr ? cause->number() : number);
    } else {
      std::string prefix = Prefix();
      std::fflush(stderr);
      if (!prefix.empty()) std::fprintf(stderr, "%s", prefix.c_str());
      console_->ShowMessage(text, level, title, number, flag);
      if (cause != nullptr && text.find(cause->description()) == std::string::npos) {
        std::fprintf(stderr, "    cause: %d %s\n", cause->number(), cause->description().c_str());
      }
      Hint(text + Describe(cause), cause != nullptr ? cause->number() : number);
    }
    CheckOutput();
  }

  void ReportError(const std::string& title, const std::string& routine, int32_t number,
                   const std::string& description, bool flag) override {
    Before(true);
    if (json_) {
      Json({"ReportError", "", 0, title, number, flag, routine, description}, description, "",
           number);
    } else {
      std::string prefix = Prefix();
      if (!prefix.empty()) std::fprintf(stderr, "%s", prefix.c_str());
      console_->ReportError(title, routine, number, description, flag);
      Hint(description, number);
    }
    CheckOutput();
  }

 private:
  void Before(bool error) {
    if (progress_ == nullptr) return;
    progress_->Clear();
    if (error) progress_->ErrorShown();
  }

  // "PATH: " of the form in work, for people.
  std::string Prefix() const {
    if (progress_ == nullptr || progress_->form().empty()) return "";
    return progress_->form_path() + ": ";
  }

  // A way out that fits the cause: the remedy of a full disk, a refused permission, line ends
  // of LF alone, a file of llupdate's names that is in the way.
  std::string HintText(const std::string& text, int32_t number) const {
    std::string db = progress_ != nullptr ? progress_->database() : "";
    if (db.empty()) db = "DBPATH";
    if (text.find("Zeilenenden nur LF") != std::string::npos) {
      return "the form's lines end in LF alone (saved by a Unix editor?): convert them to CR LF, "
             "for example with 'unix2dos FILE', then run again";
    }
    if (number == kDiskFull) {
      return text.find("Datei zu gro") != std::string::npos
                 ? "the file-size limit of this process was reached (ulimit -f): raise it, then "
                   "run again"
                 : "the disk is full: free space on it, then run again";
    }
    if (number == kTypeMismatch && text.find(DriverOperation().name) != std::string::npos) {
      return "the step record " + StepRecordWords() +
             " in the settings file is no number: 'llupdate status " + db +
             "' shows it; set it with 'llupdate setting " + StepRecordWords() +
             " N', N the last step done (0 runs every step)";
    }
    if (number == kPermissionDenied && text.find("Aufbau_Array") != std::string::npos) {
      return "this user may not read the form folder or a form: check that the folder may be "
             "read and entered (r and x) and the forms read (r) by this user";
    }
    if (number == kPermissionDenied) {
      return "this user may not read or change the file or its folder: check that the form "
             "folder may be read, entered and changed (r, x and w) and the form read and "
             "changed (r and w) by this user, and that the disk is not mounted read-only";
    }
    if (!MentionsLeftover(text)) return "";
    if (number == kFileAlreadyExists) {
      return "a file named like llupdate's temporary file or backup is in the way: 'llupdate "
             "recover " +
             db +
             "' shows whether an interrupted run made it (llupdate never touches a file it did "
             "not make); otherwise rename or remove it";
    }
    if (number == kPathFileAccessError) {
      return "the disk refused the file beside the form (is the form's name too long for the "
             "prefix 'xx_' or 'alt_'?): shorten the name or check the disk";
    }
    return "";
  }

  void Hint(const std::string& text, int32_t number) const {
    std::string hint = HintText(text, number);
    if (!hint.empty()) std::fprintf(stderr, "hint: %s\n", hint.c_str());
    std::fflush(stderr);
  }

  static std::string Describe(const Error* cause) {
    return cause == nullptr ? "" : " " + cause->description();
  }

  void Json(const MessageRecord& record, const std::string& text, std::string keys,
            int32_t number) const {
    if (progress_ != nullptr && !progress_->form().empty()) {
      keys += ",\"form\":" + JsonString(progress_->form()) +
              ",\"path\":" + PathJson(progress_->form_path());
    }
    std::string hint = HintText(text, number);
    if (!hint.empty()) keys += ",\"hint\":" + JsonString(hint);
    std::fprintf(stderr, "%s\n", WithKeys(JsonLine(record), keys).c_str());
    std::fflush(stderr);
  }

  bool json_;
  Progress* progress_;
  std::shared_ptr<HostMessages> console_ = NewConsoleMessages(stderr);
};

}  // namespace

FileSystem& Disk() {
  static const std::shared_ptr<FileSystem> disk = NewOsFileSystem();
  return *disk;
}

JobLabel LabelOf(const std::string& operation) {
  const Operation* found = FindOperation(operation);
  if (found == nullptr) return {0, operation};
  return {found->driver_step, found->label};
}

void Progress::TypeStarted(const std::string& operation, const std::string& type, int total) {
  operation_ = operation;
  type_ = type;
  total_ = total;
  done_ = 0;
  Draw();
}

void Progress::FormStarted(const std::string& operation, const std::string& type,
                           const std::string& name, const std::string& path) {
  operation_ = operation;
  type_ = type;
  form_ = name;
  form_listed_path_ = path;
  form_path_.clear();
  form_written_ = false;
  if (mode_ != Mode::kJson) Draw();  // a record comes when the form is finished
}

void Progress::FormFinished(const std::string& operation, const std::string& type,
                            const std::string& name, bool ok) {
  operation_ = operation;
  type_ = type;
  ++done_;
  if (verbose_ && !json_) {
    Clear();
    const std::string shown = form_path().empty() ? name : form_path();
    if (!ok) {
      std::fprintf(stderr, "%s: failed (%s)\n", shown.c_str(), StepText().c_str());
    } else if (!written_elsewhere_.empty()) {
      // A delivered form: the line names the form it became.
      std::fprintf(stderr, "%s: copied from %s (%s)\n",
                   Disk().ShownPath(written_elsewhere_).c_str(), shown.c_str(), StepText().c_str());
    } else {
      std::fprintf(stderr, "%s: %s (%s)\n", shown.c_str(),
                   form_written_ ? "rewritten"
                   : operation == FindFriendly("distribute")->name
                       ? "not copied, the installed form stays"
                       : "unchanged",
                   StepText().c_str());
    }
  }
  Draw();
  CheckOutput();
  form_.clear();
  form_listed_path_.clear();
  form_path_.clear();
  written_elsewhere_.clear();
  if (mode_ == Mode::kLog && ++logged_forms_ % 100 == 0) {
    std::fprintf(stderr, "llupdate: %s, %d forms\n", StepText().c_str(), logged_forms_);
    std::fflush(stderr);
  }
}

const std::string& Progress::form_path() const {
  if (form_path_.empty() && !form_listed_path_.empty()) {
    form_path_ = Disk().ShownPath(form_listed_path_);
  }
  return form_path_;
}

void Progress::FormWritten(const std::string& path) {
  // Written where it was found: rewritten; elsewhere: a copy (a delivered form).
  std::string a = path, b = form_listed_path_;
  for (std::string* p : {&a, &b}) std::replace(p->begin(), p->end(), '/', '\\');
  if (b.empty() || SameName(a, b)) {
    form_written_ = true;
  } else {
    written_elsewhere_ = path;
  }
}

void Progress::ErrorShown() { ++errors_shown_; }

void Progress::Healed(const std::string& action, const std::string& path, const std::string& form) {
  const std::string shown = Disk().ShownPath(path);
  if (json_) {
    Clear();
    std::fprintf(stderr, "{\"v\":1,\"call\":\"Heal\",\"action\":%s,\"path\":%s,\"form\":%s}\n",
                 JsonString(action).c_str(), PathJson(shown).c_str(),
                 JsonString(form.empty() ? "" : Disk().ShownPath(form)).c_str());
    std::fflush(stderr);
    return;
  }
  if (!quiet_) return;
  const char* words = action == "restored"  ? "restored"
                      : action == "removed" ? "removed"
                      : action == "kept"    ? "kept"
                                            : "could not be tidied up";
  std::fprintf(stderr, "llupdate: a file of an interrupted run %s%s: %s\n",
               action == "failed" ? "" : "was ", words, shown.c_str());
  std::fflush(stderr);
}

std::string Progress::StepText() const {
  JobLabel label = LabelOf(operation_);
  std::string text;
  if (driver_ && label.step > 0) {
    text = "step " + std::to_string(label.step) + " of " + std::to_string(kDriverSteps) + ": ";
  }
  return text + label.words;
}

void Progress::Draw() {
  if (mode_ == Mode::kJson) {
    JobLabel label = LabelOf(operation_);
    std::string line = "{\"v\":1,\"call\":\"Progress\",\"operation\":" + JsonString(operation_);
    if (driver_ && label.step > 0) {
      line +=
          ",\"step\":" + std::to_string(label.step) + ",\"steps\":" + std::to_string(kDriverSteps);
    }
    line += ",\"label\":" + JsonString(label.words) + ",\"type\":" + JsonString(type_) +
            ",\"done\":" + std::to_string(done_) + ",\"total\":" + std::to_string(total_);
    if (!form_.empty()) {
      line += ",\"form\":" + JsonString(form_) + ",\"path\":" + PathJson(form_path());
    }
    std::fprintf(stderr, "%s}\n", line.c_str());
    std::fflush(stderr);
    return;
  }
  if (mode_ == Mode::kLog) {
    // For a pipe or a log: a line when a step begins and a count every 100 forms.
    if (operation_ != logged_operation_) {
      logged_operation_ = operation_;
      logged_forms_ = 0;
      std::fprintf(stderr, "llupdate: %s\n", StepText().c_str());
    }
    std::fflush(stderr);
    return;
  }
  if (mode_ != Mode::kTerminal && mode_ != Mode::kPlain) return;
  std::string line = StepText();
  if (!type_.empty()) line += ", " + type_;
  line += ' ';
  line += std::to_string(done_) + "/" + std::to_string(total_);
  if (!form_.empty()) line += ": " + form_;
  if (line.size() > 100) line.resize(100);
  if (mode_ == Mode::kTerminal) {
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
  } else {
    // Plain: the old line is covered with blanks, no escape sequence.
    size_t cover = drawn_ > line.size() ? drawn_ - line.size() : 0;
    std::fprintf(stderr, "\r%s%s", line.c_str(), std::string(cover, ' ').c_str());
  }
  std::fflush(stderr);
  drawn_ = std::max<size_t>(line.size(), 1);
}

void Progress::Clear() {
  if (drawn_ == 0) return;
  if (mode_ == Mode::kTerminal) {
    std::fprintf(stderr, "\r\033[K");
  } else {
    std::fprintf(stderr, "\r%s\r", std::string(drawn_, ' ').c_str());
  }
  std::fflush(stderr);
  drawn_ = 0;
}

void Progress::PrintSummary(const CallSummary& summary, bool interrupted) {
  Clear();
  // Errors shown outside a call that writes (an operation by its exact name) count as well.
  const int errors = std::max(summary.errors_shown, errors_shown_);
  if (quiet_ || (summary.examined == 0 && !interrupted && errors == 0)) return;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  if (json_) {
    std::fprintf(stderr,
                 "{\"v\":1,\"call\":\"Summary\",\"examined\":%d,\"rewritten\":%d,\"copied\":%d,"
                 "\"unchanged\":%d,\"refused\":%d,\"failed\":%d,\"errors\":%d,\"interrupted\":%s,"
                 "\"seconds\":%.3f}\n",
                 summary.examined, summary.rewritten, summary.copied, summary.unchanged,
                 summary.refused, summary.failed, errors, interrupted ? "true" : "false", seconds);
  } else {
    const std::string copied =
        summary.copied > 0 ? ", copied: " + std::to_string(summary.copied) : std::string();
    std::fprintf(stderr,
                 "%sforms examined: %d, rewritten: %d%s, unchanged: %d, refused: %d, failed: %d, "
                 "errors shown: %d, time: %.2f s\n",
                 interrupted ? "interrupted: " : "", summary.examined, summary.rewritten,
                 copied.c_str(), summary.unchanged, summary.refused, summary.failed, errors,
                 seconds);
  }
}

std::shared_ptr<HostMessages> NewMessageSink(bool json, Progress* progress) {
  return std::make_shared<Sink>(json, progress);
}

void PrintProblem(bool json, const std::string& text) {
  if (json) {
    std::fprintf(stderr, "{\"v\":1,\"call\":\"Error\",\"message\":%s}\n", JsonString(text).c_str());
  } else {
    std::fprintf(stderr, "llupdate: %s\n", text.c_str());
  }
  std::fflush(stderr);
}

namespace {
bool output_lost = false;
}  // namespace

void NoteOutputLost() {
  if (!output_lost) RequestStop();
  output_lost = true;
}

void CheckOutput() {
  if (!output_lost && (std::ferror(stdout) || std::ferror(stderr))) NoteOutputLost();
}

bool OutputLost() {
  CheckOutput();
  return output_lost;
}

std::string PathJson(const std::string& path) {
  std::string value = JsonString(path);
  if (value.find("\\udc") == std::string::npos) return value;
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : path) {
    hex += kHex[c >> 4];
    hex += kHex[c & 15];
  }
  return value + ",\"path_bytes\":\"" + hex + "\"";
}

}  // namespace llupdate::cli
