// Message components for the three audiences: people at a console, programs reading JSON lines,
// and tests that inspect what was shown.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "llupdate/host.h"

namespace llupdate {

// One ShowMessage or ReportError call as it was made.
struct MessageRecord {
  std::string call;  // "ShowMessage" or "ReportError"
  std::string text;  // ShowMessage
  int32_t level = 0;
  std::string title;
  int32_t number = 0;
  bool flag = false;
  std::string routine;      // ReportError
  std::string description;  // ReportError; for ShowMessage, the description of its cause
};

// Prints each message for a person: the level as a word, the title and the text.
std::shared_ptr<HostMessages> NewConsoleMessages(FILE* out);

// The JSON line of one record (without the line end).
std::string JsonLine(const MessageRecord& record);

// A text as a JSON string literal, quotes included.
std::string JsonString(const std::string& text);

// Keeps every message, for tests.
class RecordingMessages : public HostMessages {
 public:
  void ShowMessage(const std::string& text, int32_t level, const std::string& title, int32_t number,
                   bool flag) override;
  void ShowMessageWithCause(const std::string& text, int32_t level, const std::string& title,
                            int32_t number, bool flag, const Error* cause) override;
  void ReportError(const std::string& title, const std::string& routine, int32_t number,
                   const std::string& description, bool flag) override;

  std::vector<MessageRecord> records;
};

}  // namespace llupdate
