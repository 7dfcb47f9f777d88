// The two ways a routine deals with run-time errors.
//
// "Error handler armed": the routine's body runs; the first error abandons it, exactly one message
// goes to the host's message component (level 3, flag True), and the routine returns its failure
// value. Nothing is undone on that path; files are still closed, because they are owned by RAII
// guards in the body.
//
// "Errors ignored": each statement runs on its own; a failing one is skipped.
//
// A failure of the message component itself (HostFailure) passes through both: the whole call
// then fails, as it would for the host.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <type_traits>
#include <utility>

#include "llupdate/host.h"
#include "llupdate/object.h"
#include "platform/error.h"

namespace llupdate::host {

inline constexpr char kTitle[] = "clsReportLLUpdate";

// The text of a handler's message.
class ErrorText {
 public:
  // "Allgemeiner Fehler in " followed by the label.
  static ErrorText General(std::string label);
  // A text of its own.
  static ErrorText Custom(std::string text);
  // Adds CR LF, the error number, CR LF and the error description to the message.
  ErrorText WithDetails() &&;

  std::string Format(const platform::Error& error) const;

 private:
  ErrorText(std::string text, bool details) : text_(std::move(text)), details_(details) {}
  std::string text_;
  bool details_;
};

// Where the messages of a job go, and what counts them. The routines of a job are handed the
// job's reporter; outside a job they are given none (nullptr), and their messages go to the
// thread's message component uncounted.
class Reporter {
 public:
  virtual ~Reporter() = default;
  // Told of every error message shown (the job's summary counts them); number is the error's, 0
  // when the message has none.
  virtual void ErrorShown(int32_t number) = 0;
  // The message component of the job's instance; nullptr for the thread's.
  virtual HostMessages* messages() { return nullptr; }
  // A path as a person finds it on the disk (its separators, its letter case there).
  virtual std::string ShownPath(const std::string& path) { return path; }
};

// A path as a person finds it on the disk, for the messages a reporter shows.
inline std::string Shown(Reporter* reporter, const std::string& path) {
  return reporter != nullptr ? reporter->ShownPath(path) : path;
}

// The error with the file it names spelled as on the disk (ShownPath of the reporter).
platform::Error WithShownPath(Reporter* reporter, const platform::Error& error);

// Shows a message through this thread's HostMessages with the component's title and number 0.
// Any failure of the message component becomes HostFailure.
void ShowHostMessage(Reporter* reporter, const std::string& text, int32_t level, bool flag);

// Shows the message of a handled error (level 3); the host can learn the error itself while the
// message is shown (ShownErrorCause).
void ShowErrorMessage(Reporter* reporter, const std::string& text, const platform::Error& error);

// Reports a routine's error through ReportError of this thread's HostMessages.
void ReportHostError(Reporter* reporter, const std::string& routine, const platform::Error& error);

// The error in flight inside a catch block, as a run-time error. HostFailure is rethrown.
platform::Error CurrentError();

// Runs body with the error handler armed; text is an ErrorText or a callable that makes one when
// the error happens (for texts that carry a value known only then).
template <class Text, class Result, class Body>
Result Armed(Reporter* reporter, const Text& text, Result failure, Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    const platform::Error error = WithShownPath(reporter, CurrentError());
    if constexpr (std::is_invocable_v<const Text&>) {
      ShowErrorMessage(reporter, text().Format(error), error);
    } else {
      ShowErrorMessage(reporter, text.Format(error), error);
    }
    return failure;
  }
}

// Runs one statement with errors ignored.
template <class Body>
void IgnoreErrors(Body&& body) {
  try {
    std::forward<Body>(body)();
  } catch (const HostFailure&) {
    throw;
  } catch (...) {
  }
}

}  // namespace llupdate::host
