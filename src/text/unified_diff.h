// The line edits behind UnifiedDiff (llupdate/preview.h).
#pragma once

#include <string>
#include <vector>

namespace llupdate::text {

// UnifiedDiff (llupdate/preview.h).
std::string Diff(const std::string& before, const std::string& after);

// A shortest edit script from a to b, one character per step: '=' keeps a line, '-' removes one
// of a, '+' adds one of b. Time O((N+M)D), memory O(N+M).
std::string LineEdits(const std::vector<std::string>& a, const std::vector<std::string>& b);

}  // namespace llupdate::text
