// Run-time errors inside the component (the public type and numbers, and the mapping of the
// operating system's error numbers).
#pragma once

#include <string>

#include "llupdate/error.h"

namespace llupdate::platform {

using llupdate::Error;
using llupdate::ErrorDescription;
using enum llupdate::ErrorNumber;

// Maps an errno value to the nearest run-time error, naming the path in the description.
Error ErrorFromErrno(int err, const std::string& path);

}  // namespace llupdate::platform
