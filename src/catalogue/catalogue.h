// The form directories below a database path and the catalogue of the project files in them.
//
// A catalogue is a DynArray with one row per listed form, in listing order (by name, ignoring
// case): column 0 the file name, 1 the directory path, "\" and the name, 2 "Version",
// 3 "Referenzbeleg", 4 False, 5 "FileVersion" (Aufbau_Array2 only). It always has at least one
// row; a catalogue without forms has one row of empty cells.
#pragma once

#include <string>

#include "files/file_helpers.h"
#include "llupdate/host.h"
#include "platform/file_system.h"

namespace llupdate::catalogue {

inline constexpr char kFormDirectory[] = "BerichteLL";
inline constexpr char kDeliveryDirectory[] = "BerichteLLOrg";

// pDBPath & "\" & "BerichteLL"
std::string FormDirectory(const std::string& pDBPath);

// True when the form directory and the delivery directory exist; otherwise a notice names the
// first one missing.
bool Pruefe_Kataloge(files::FileContext& ctx, const std::string& pDBPath);

// A form whose header values could not be read (an I/O error, not a missing value) is listed as
// if it had none, and counted in the job's notes as unread and as an I/O failure: a job that
// decides by these values cannot be sure, nor can a step that converted by them.
//
// The forms of all twelve form types that carry a "Version" and a "Referenzbeleg".
bool Aufbau_Array(files::FileContext& ctx, DynArray& catalogue, const std::string& path);

// The forms of one form type (an extension without the dot, in any case). A caller that uses
// only the names (column 0) passes read_values false: the forms are then not opened, and columns
// 2, 3 and 5 stay empty.
bool Aufbau_Array2(files::FileContext& ctx, const std::string& type, DynArray& catalogue,
                   const std::string& path, bool read_values = true);

// The form types as extensions with the dot, upper case.
extern const char* const kFormTypes[12];

}  // namespace llupdate::catalogue
