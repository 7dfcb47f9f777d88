// A reader of INI-style files with the contract of the Windows profile reader, so that the values
// read from project files are the ones Windows would read:
//  - the text is decoded by its byte order mark (UTF-8, UTF-16LE, UTF-16BE), otherwise as
//    Windows-1252;
//  - any run of CR and LF ends a line; each line is trimmed of blanks (tab, LF, VT, FF, CR, 0x1A,
//    space) at both ends;
//  - "[name]" lines start sections (name between the "[" and the last "]", trimmed); lines before
//    the first header form an unnamed section;
//  - other lines split at their first "=" into a name and a value; a line without "=" is a key
//    without a value;
//  - only the first section of the name asked for (ignoring case) is searched, and in it the first
//    key of the name asked for wins; a key without "=" gives the default;
//  - a value of two or more characters enclosed in the same quote (" or ') loses both quotes;
//    a name or value ends at a NUL; at most 2047 characters come back.
//
// Several values of one file are read in one pass, which stops as soon as every value is known:
// the header values of a large form cost only the lines up to them.
#pragma once

#include <string>
#include <vector>

#include "platform/file_system.h"

namespace llupdate::files {

inline constexpr size_t kProfileValueLimit = 2047;

struct ProfileQuery {
  std::string section;
  std::string key;
  std::string default_value;
};

// The value of each query, as separate reads of the file would give them: the default when the
// file, the section or the key is missing. Errors other than a missing file are thrown. A file
// that is there but cannot be opened reads as missing too, and sets *unreadable when asked.
std::vector<std::string> ReadProfileValues(platform::FileSystem& fs, const std::string& file,
                                           const std::vector<ProfileQuery>& queries,
                                           bool* unreadable = nullptr);

}  // namespace llupdate::files
