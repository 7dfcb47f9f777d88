// The rules of the LL24 switch-over: which block rewrites run for which form type, how each form
// type is treated, and how a form's file version is read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "llupdate/host.h"

namespace llupdate::ll15 {

// The block rewrites by form type, in order: each searched line (a whole line of the project,
// searched from the first line of the list as the rewrites before have left it) starts its
// rewrite; without a line the rewrite starts at the first line.
struct BlockSearch {
  const char* type;
  const char* line;
  void (*rewrite)(int32_t start, const std::shared_ptr<DynArray>& lines);
};
extern const BlockSearch kBlockSearches[7];

// How the switch-over treats the forms of one type.
struct TypeRule {
  const char* extension;  // as given to the catalogue
  bool unprotect_each;    // removes the read-only attribute form by form
  int16_t threshold;      // below it the LL15 rewrite, at or above a control save; 0: always a save
};
extern const TypeRule kTypeRules[8];

// The file version of a catalogue row as a 16-bit number: the leading number of the trimmed
// text (0 when there is none), rounded with halves to the even neighbour; error 6 outside 16 bits.
int16_t FileVersionNumber(const std::string& text);

}  // namespace llupdate::ll15
