// A unified diff of two texts, for showing a person what a conversion would change.
#pragma once

#include <string>

namespace llupdate::cli {

// The hunks (with three lines of context) that turn before into after, or "" when the texts are
// equal. The texts are UTF-8 with their line ends; a line end is shown only in hunks where line
// ends change ("[CR LF]", "[CR]", "[LF]", "[no line end]").
std::string UnifiedDiff(const std::string& before, const std::string& after);

}  // namespace llupdate::cli
