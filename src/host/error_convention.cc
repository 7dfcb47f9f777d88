#include "host/error_convention.h"

#include <new>

#include "host/objects.h"
#include "platform/file_system.h"
#include "text/text_io.h"

namespace llupdate::host {

ErrorText ErrorText::General(std::string label) {
  return ErrorText("Allgemeiner Fehler in " + std::move(label), false);
}

ErrorText ErrorText::Custom(std::string text) { return ErrorText(std::move(text), false); }

ErrorText ErrorText::WithDetails() && { return ErrorText(std::move(text_), true); }

std::string ErrorText::Format(const platform::Error& error) const {
  if (!details_) return text_;
  return text_ + "\r\n" + std::to_string(error.number()) + "\r\n" + error.description();
}

namespace {

HostMessages& MessagesOf(Reporter* reporter) {
  HostMessages* own = reporter != nullptr ? reporter->messages() : nullptr;
  return own != nullptr ? *own : ThreadHostMessages();
}

// Calls the host's message component: whatever it throws ends the whole call as a HostFailure
// (what: the method, for a failure that says nothing itself).
template <class Call>
void CallHost(const char* what, Call call) {
  try {
    call();
  } catch (const HostFailure&) {
    throw;
  } catch (const std::exception& e) {
    throw HostFailure(platform::kCannotCreateObject, e.what());
  } catch (...) {
    throw HostFailure(platform::kCannotCreateObject, what);
  }
}

// Shows a message, with the error behind it for a component that can tell it (the cause goes
// with the call, never beside it).
void ShowWithCause(Reporter* reporter, const std::string& text, int32_t level, bool flag,
                   const platform::Error* cause) {
  if (flag && reporter != nullptr) reporter->ErrorShown(cause != nullptr ? cause->number() : 0);
  HostMessages& messages = MessagesOf(reporter);
  CallHost("HostMessages.ShowMessage",
           [&] { messages.ShowMessageWithCause(text, level, kTitle, 0, flag, cause); });
}

}  // namespace

void ShowHostMessage(Reporter* reporter, const std::string& text, int32_t level, bool flag) {
  ShowWithCause(reporter, text, level, flag, nullptr);
}

void ShowErrorMessage(Reporter* reporter, const std::string& text, const platform::Error& error) {
  ShowWithCause(reporter, text, 3, true, &error);
}

platform::Error WithShownPath(Reporter* reporter, const platform::Error& error) {
  const std::string standard = platform::ErrorDescription(error.number()) + ": ";
  if (reporter == nullptr || error.description().rfind(standard, 0) != 0) return error;
  const std::string detail = error.description().substr(standard.size());
  const std::string shown = reporter->ShownPath(detail);
  return shown == detail ? error : platform::Error(error.number(), shown);
}

void ReportHostError(Reporter* reporter, const std::string& routine,
                     const platform::Error& original) {
  const platform::Error error = WithShownPath(reporter, original);
  if (reporter != nullptr) reporter->ErrorShown(error.number());
  HostMessages& messages = MessagesOf(reporter);
  CallHost("HostMessages.ReportError", [&] {
    messages.ReportError(kTitle, routine, error.number(), error.description(), true);
  });
}

platform::Error CurrentError() {
  try {
    throw;
  } catch (const HostFailure&) {
    throw;
  } catch (const platform::Error& e) {
    return e;
  } catch (const text::LossyText& e) {
    return platform::Error(platform::kNotATextProject, e.what());
  } catch (const std::bad_alloc&) {
    return platform::Error(platform::kOutOfMemory);
  } catch (const std::exception& e) {
    return platform::Error(platform::kInternalError, e.what());
  } catch (...) {
    return platform::Error(platform::kInternalError);
  }
}

}  // namespace llupdate::host
