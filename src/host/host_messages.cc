#include <string>

#include "llupdate/message_sinks.h"

namespace llupdate {
namespace {

std::string LevelWord(int32_t level) {
  switch (level) {
    case 1:
      return "info";
    case 2:
      return "question";
    case 3:
      return "error";
    case 4:
      return "notice";
    default:
      return "level " + std::to_string(level);
  }
}

// Continuation lines of a multi-line text are indented under the first.
std::string Indent(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
    if (text[i] == '\n' || text[i] == '\r') {
      if (text[i] == '\r') out.back() = '\n';
      out += "    ";
    }
  }
  return out;
}

class ConsoleMessages : public HostMessages {
 public:
  explicit ConsoleMessages(FILE* out) : out_(out) {}

  void ShowMessage(const std::string& text, int32_t level, const std::string& title, int32_t,
                   bool flag) override {
    std::string word = LevelWord(level);
    if (!flag && level == 3) word = "notice";  // a missing directory is not an error
    std::fprintf(out_, "%s [%s] %s\n", word.c_str(), title.c_str(), Indent(text).c_str());
    std::fflush(out_);
  }

  void ReportError(const std::string& title, const std::string& routine, int32_t number,
                   const std::string& description, bool) override {
    std::fprintf(out_, "error [%s] %s: %d %s\n", title.c_str(), routine.c_str(), number,
                 description.c_str());
    std::fflush(out_);
  }

 private:
  FILE* out_;
};

// The length of the valid UTF-8 sequence at s[i], or 0 when the byte there does not start one.
size_t Utf8SequenceLength(const std::string& s, size_t i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  }
  return n;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t n = Utf8SequenceLength(text, i);
    if (n == 0) {
      // A byte that is not part of UTF-8 (a file name in Latin-1) stays recoverable: U+DC00 plus
      // the byte, as Python's "surrogateescape" has it (os.fsencode gives the bytes back).
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\udc%02x", c);
      out += buffer;
      ++i;
      continue;
    }
    if (n > 1) {
      out.append(text, i, n);
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
      out += buffer;
    } else {
      out += static_cast<char>(c);
    }
    i += n;
  }
  return out + "\"";
}

std::string JsonLine(const MessageRecord& r) {
  std::string flag = r.flag ? "true" : "false";
  if (r.call == "ReportError") {
    return "{\"v\":1,\"call\":\"ReportError\",\"title\":" + JsonString(r.title) +
           ",\"routine\":" + JsonString(r.routine) + ",\"number\":" + std::to_string(r.number) +
           ",\"description\":" + JsonString(r.description) + ",\"flag\":" + flag + "}";
  }
  return "{\"v\":1,\"call\":\"ShowMessage\",\"text\":" + JsonString(r.text) +
         ",\"level\":" + std::to_string(r.level) + ",\"title\":" + JsonString(r.title) +
         ",\"number\":" + std::to_string(r.number) + ",\"flag\":" + flag + "}";
}

std::shared_ptr<HostMessages> NewConsoleMessages(FILE* out) {
  return std::make_shared<ConsoleMessages>(out);
}

void RecordingMessages::ShowMessage(const std::string& text, int32_t level,
                                    const std::string& title, int32_t number, bool flag) {
  records.push_back({"ShowMessage", text, level, title, number, flag, "", ""});
}

void RecordingMessages::ShowMessageWithCause(const std::string& text, int32_t level,
                                             const std::string& title, int32_t number, bool flag,
                                             const Error* cause) {
  records.push_back({"ShowMessage", text, level, title, number, flag, "",
                     cause != nullptr ? cause->description() : ""});
}

void RecordingMessages::ReportError(const std::string& title, const std::string& routine,
                                    int32_t number, const std::string& description, bool flag) {
  records.push_back({"ReportError", "", 0, title, number, flag, routine, description});
}

}  // namespace llupdate
