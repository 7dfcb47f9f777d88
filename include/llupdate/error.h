// The run-time errors of the component: a number and a German description, in the manner of the
// classic run-time library. A file system (see file_system.h) throws them, so that the component
// can tell a missing file (53) from a full disk (61); any other exception counts as error 51.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace llupdate {

// The numbers used by the component. Descriptions come from ErrorDescription().
enum ErrorNumber : int32_t {
  kInvalidProcedureCall = 5,
  kOverflow = 6,
  kOutOfMemory = 7,
  kSubscriptOutOfRange = 9,
  kTypeMismatch = 13,
  kInternalError = 51,
  kBadFileNumber = 52,
  kFileNotFound = 53,
  kFileAlreadyOpen = 55,
  kInputPastEnd = 62,
  kFileAlreadyExists = 58,
  kDiskFull = 61,
  kTooManyFiles = 67,
  kPermissionDenied = 70,
  kPathFileAccessError = 75,
  kPathNotFound = 76,
  kObjectNotSet = 91,
  kNotATextProject = 321,  // a file that cannot be read as a text project without loss
  kCannotCreateObject = 429,
};

// The German description of an error number ("Datei nicht gefunden" for 53).
std::string ErrorDescription(int32_t number);

class Error : public std::runtime_error {
 public:
  // An error with the standard description of its number.
  explicit Error(int32_t number);
  // An error whose description is the standard one followed by ": " and the detail, typically
  // the file the error concerns, so that the user learns which file and why.
  Error(int32_t number, const std::string& detail);

  int32_t number() const { return number_; }
  const std::string& description() const { return description_; }

 private:
  int32_t number_;
  std::string description_;
};

}  // namespace llupdate
