#include "rewrites/form_rules.h"

#include <vector>

#include "platform/error.h"
#include "rewrites/number_text.h"
#include "rewrites/rewrite_pattern.h"
#include "text/text.h"

namespace llupdate::rewrites {

const char kRtfTemplate[] =
    R"(Contents={\rtf1\ansi\deff0{\fonttbl{\f0\fswiss\fprq2\fcharset0 Arial;}}{}{\colortbl ;)"
    R"(\red0\green0\blue0;}{}{\*\generator Msftedit 5.41.15.1507;}\viewkind4\uc1\pard\cf1)"
    R"(\lang1031\f0\fs20)";
const char kRtfClosing[] = R"(\par{}}{})";

namespace {

// The fields that become RTF contents, in the order they are tested; each is written between
// guillemets, and the one of "ZuAbBelegende" has a blank before its closing guillemet.
const char* const kRtfFields[] = {
    "«Position.Vorbemerkung»",      "«Position.KopftextRTF»",
    "«Position.BetreffRTF»",        "«Beleggruppe.GruppenBezeichnung»",
    "«Position.PositionsNr»",       "«Position.Artikelbezeichnung»",
    "«Position.Mengeneinheit»",     "«Position.Text»",
    "«PositionZwZuAb.Bezeichnung»", "«GruppenSumme.Bezeichnung»",
    "«ZuAbBelegende.Bezeichnung »", "«Belegende.Text»",
    "«Belegende.Bezeichnung»",      "«Belegende.Werbetext»",
    "«Belegende.Fusstext»",         "«Anlage.MonteuranweisungRTF»",
};

// Replaces search by replacement in line when the line contains it; true when it did.
bool ReplaceWhereFound(std::string& line, const std::string& search,
                       const std::string& replacement) {
  if (!Contains(line, search)) return false;
  ReplaceAll(line, search, replacement);
  return true;
}

// A "Position/..." line with its value moved by delta: the part before the first "=", "=", and
// the number between the first "=" and a second one (parts after a second "=" are dropped).
bool ShiftValue(std::string& line, const std::string& key, double delta) {
  if (!Contains(line, key)) return false;
  size_t first = line.find('=');
  if (first == std::string::npos) return false;
  size_t second = line.find('=', first + 1);
  std::string value =
      line.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
  line = line.substr(0, first) + "=" + FormatGeneral(ParseNumber(value) + delta);
  return true;
}

}  // namespace

bool RewriteLL12Line(std::string& line, bool dunning_form, bool list_form) {
  bool changed = false;
  if (!dunning_form) {
    changed |= ReplaceWhereFound(line, "bFormatFromVar=TRUE", "bFormatFromVar=FALSE");
    for (const char* field : kRtfFields) {
      changed |= ReplaceWhereFound(line, std::string("Contents=") + field,
                                   kRtfTemplate + std::string(field) + kRtfClosing);
    }
  } else if (!list_form) {
    changed |= ReplaceWhereFound(line, "Bilder.BildFS", "Bilder.Bild");
  }
  return changed;
}

bool ScanDunningLines(DynArray& lines) {
  bool found = false;
  for (int32_t r = lines.Count(1) - 1; r >= 0; --r) {
    std::string element = lines.GetValue(r, 0).ToString();
    // Tests on the trimmed element without regard to case; replacements with exact case.
    std::string test = text::UpperAscii(text::TrimSpaces(element));
    if (!found && Contains(test, "TEXT=POSITION.LEERZEILE1")) found = true;
    if (!found) continue;
    bool changed = ReplaceWhereFound(element, "LineWrap=False", "LineWrap=True");
    changed |= ReplaceWhereFound(element, "LineWrap=0", "LineWrap=1");
    bool width = Contains(test, "WIDTH=30000");
    if (width) {
      ReplaceAll(element, "width=30000", "width=130000");
      ReplaceAll(element, "Width=30000", "Width=130000");
      changed = true;
    }
    if (changed) lines.SetValue(r, 0, element);
    if (width) break;
    if (Contains(test, "COLUMN")) {
      found = false;
      break;
    }
  }
  return found;
}

bool CopyWithPageWindow(text::TextReader& form, text::TextWriter& temporary,
                        const PageTexts& texts) {
  bool changed = false;
  std::string line;
  while (form.ReadLine(line)) {
    if (Contains(line, texts.marker)) {
      // The window: the marker line and the ten lines after it get the position rule only.
      for (int counter = 0; counter <= 10; ++counter) {
        changed |= ShiftValue(line, "Position/Left", -9000);
        changed |= ShiftValue(line, "Position/Width", 9000);
        temporary.WriteLine(line);
        if (!form.ReadLine(line)) {
          throw platform::Error(platform::kInputPastEnd, "Fenster nach " + texts.marker);
        }
        if (form.AtEnd()) break;
      }
    }
    // The line after a window gets the selector rule and never opens a window.
    if (Contains(line, texts.selector)) {
      ReplaceAll(line, texts.search, texts.replacement);
      changed = true;
    }
    temporary.WriteLine(line);
  }
  return changed;
}

}  // namespace llupdate::rewrites
