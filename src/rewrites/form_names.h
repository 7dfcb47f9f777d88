// The names a rewrite gives the files beside a form: the new content goes to the temporary file,
// the old form stays as the backup until the new one is in place.
#pragma once

#include <string>
#include <string_view>

namespace llupdate::rewrites {

inline constexpr std::string_view kTemporaryPrefix = "xx_";
inline constexpr std::string_view kBackupPrefix = "alt_";

inline std::string TemporaryName(std::string_view form) {
  return std::string(kTemporaryPrefix).append(form);
}
inline std::string BackupName(std::string_view form) {
  return std::string(kBackupPrefix).append(form);
}

}  // namespace llupdate::rewrites
