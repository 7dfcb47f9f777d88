#include "ll15/block_rewrites.h"

#include <string>
#include <vector>

#include "ll15/frame_lines.h"
#include "platform/error.h"

namespace llupdate::ll15 {
namespace {

// A group of steps: it begins at the start index (no anchor) or at the first line of its anchor,
// and every step of it uses the same marker section and line width.
struct Group {
  const char* anchor;  // nullptr: the group begins at the start index
  std::vector<const char*> keys;
  const char* marker;
  int16_t width;
};

using Table = std::vector<Group>;

const Table kHeaderTable = {
    {nullptr,
     {"Text=@K_UEBPosition", "Text=@K_UEBMenge", "Text=@K_UEBca", "Text=@K_UEBBez", "Text=@K_UEBEP",
      "Text=@K_UEBGP", "Text=@K_UEB2_1", "Text=@K_UEB2_2", "Text=@K_UEB2_Datum",
      "Text=@K_UEB2_Tage", "Text=@K_UEB2_3", "Text=@K_UEB2_Mahnstufe", "Text=@K_UEB2_Ausgleich",
      "Text=@K_UEB2_3"},
     "[Bottom]",
     300},
};

const Table kSumTable = {
    {nullptr, {"Description=ZuAbschlag_Folgetexte", "Text=GruppenSumme.Summe"}, "[Bottom]", 400},
    {"Description=Belegsummen",
     {"Text=@K_Belegsumme", "Text=ZuAbBelegende.Waehrung", "Text=ZuAbBelegende.ZuAbschlag"},
     "[Top]",
     300},
    {"Description=Titelzusammenstellung_Gruppe3L",
     {"Text=Belegende.Bezeichnung", "Text=Belegende.Waehrung", "Text=Belegende.Betrag"},
     "[Top]",
     400},
};

const Table kPriceTable = {
    {nullptr,
     {"Text=\"Gesamtpreis\"", "Text=\" \"", "Text=\" \"", "Text=Belegende.Waehrung",
      "Text=Position.BA_SummeNettoEK"},
     "[Top]",
     500},
};

// A key line as it stands in the project: "Text=" keys after two tabs and a blank,
// "Description=" keys after two tabs.
std::string SearchValue(const std::string& key) {
  return key.starts_with("Text=") ? "\t\t " + key : "\t\t" + key;
}

// P is the current position, S the position saved by the last step; both live for the whole run.
void RunTable(int32_t start, const std::shared_ptr<DynArray>& lines, const Table& table) {
  try {
    if (!lines) throw platform::Error(platform::kObjectNotSet, "Zeilenliste");
    int32_t p = start;
    int32_t s = 0;
    for (const Group& group : table) {
      if (group.anchor != nullptr) p = lines->Find(0, 0, SearchValue(group.anchor), 0, 1, 0);
      for (const char* key : group.keys) {
        if (p != -1) {
          s = p;
          p = lines->Find(p, 0, SearchValue(key), 0, 1, 0);
        }
        p = p != -1 ? Korrektur_Linien(p, lines, group.marker, group.width) : s;
      }
    }
  } catch (const HostFailure&) {
    throw;
  } catch (...) {
    // An error ends the rewrite silently; what it changed before stays.
  }
}

}  // namespace

void Korrektur_Block_UEB(int32_t start, const std::shared_ptr<DynArray>& lines) {
  RunTable(start, lines, kHeaderTable);
}

void Korrektur_Block_Summen(int32_t start, const std::shared_ptr<DynArray>& lines) {
  RunTable(start, lines, kSumTable);
}

void Korrektur_Block_Preise(int32_t start, const std::shared_ptr<DynArray>& lines) {
  RunTable(start, lines, kPriceTable);
}

}  // namespace llupdate::ll15
