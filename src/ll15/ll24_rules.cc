#include "ll15/ll24_rules.h"

#include <cmath>
#include <limits>

#include "ll15/block_rewrites.h"
#include "platform/error.h"
#include "text/text.h"

namespace llupdate::ll15 {

const BlockSearch kBlockSearches[7] = {
    {"BEL", "\t[Header]", Korrektur_Block_UEB},
    {"BEL", "\t[GroupHeader]", Korrektur_Block_UEB},
    {"BEL", "  [Tables]", Korrektur_Block_Summen},
    {"BST", "\t[Header]", Korrektur_Block_UEB},
    {"BST", "\t\tDescription=BA_Kurztext", Korrektur_Block_Preise},
    {"WAR", nullptr, Korrektur_Block_UEB},
    {"MAH", nullptr, Korrektur_Block_UEB},
};

const TypeRule kTypeRules[8] = {
    {"bel", false, 7}, {"war", true, 6}, {"MAH", true, 7}, {"bst", true, 7},
    {"Mon", true, 7},  {"ter", true, 0}, {"ueb", true, 0}, {"lbl", true, 0},
};

int16_t FileVersionNumber(const std::string& text) {
  double rounded = std::nearbyint(text::LeadingNumber(text));  // halves to the even neighbour
  if (!(rounded >= std::numeric_limits<int16_t>::min() &&
        rounded <= std::numeric_limits<int16_t>::max())) {
    throw platform::Error(platform::kOverflow, "FileVersion " + text);
  }
  return static_cast<int16_t>(rounded);
}

}  // namespace llupdate::ll15
