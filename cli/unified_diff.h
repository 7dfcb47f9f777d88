// A unified diff of two texts, for showing a person what a conversion would change.
#pragma once

#include <string>
#include <vector>

namespace llupdate::cli {

// The hunks (with three lines of context) that turn before into after, or "" when the texts are
// equal. The texts are UTF-8 with their line ends; a line end is shown only in hunks where line
// ends change ("[CR LF]", "[CR]", "[LF]", "[no line end]").
std::string UnifiedDiff(const std::string& before, const std::string& after);

// A shortest edit script from a to b, one character per step: '=' keeps a line, '-' removes one
// of a, '+' adds one of b. Time O((N+M)D), memory O(N+M).
std::string LineEdits(const std::vector<std::string>& a, const std::vector<std::string>& b);

}  // namespace llupdate::cli
