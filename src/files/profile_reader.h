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
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace llupdate::files {

class ProfileFile {
 public:
  // Parses the bytes of a whole file.
  explicit ProfileFile(std::string_view bytes);

  // The value of key in section, or default_value when the section or the key is missing.
  std::string Get(std::string_view section, std::string_view key,
                  const std::string& default_value) const;

 private:
  struct Entry {
    std::string folded_name;
    bool has_value;
    std::string value;
  };
  struct Section {
    std::string folded_name;
    std::vector<Entry> entries;
  };
  std::vector<Section> sections_;
};

inline constexpr size_t kProfileValueLimit = 2047;

}  // namespace llupdate::files
