// The line rules of the LL12 contents rewrite, the dunning-form rewrite and the page-aware
// rewrite.
#pragma once

#include <string>

#include "llupdate/host.h"
#include "text/text_io.h"

namespace llupdate::rewrites {

// The RTF contents that a plain field becomes in List & Label 12: this text, the field, and
// kRtfClosing.
extern const char kRtfTemplate[];
extern const char kRtfClosing[];

// LL12: in a form that is not a dunning form, "bFormatFromVar=TRUE" becomes FALSE and the sixteen
// plain field contents become RTF contents; in a dunning form that is not a list form,
// "Bilder.BildFS" becomes "Bilder.Bild". True when a rule matched.
bool RewriteLL12Line(std::string& line, bool dunning_form, bool list_form);

// Dunning forms: scans the lines from the last upwards for the empty-line field and, from there
// up to the nearest width line, switches line wrapping on and widens 30000 to 130000, unless a
// column boundary comes first. True when the lines are to be written.
bool ScanDunningLines(DynArray& lines);

// The texts of the page-aware rewrite.
struct PageTexts {
  std::string selector, search, replacement, marker;
};

// Copies the form line by line: the line with the marker and the ten after it get the position
// rule (Position/Left 9000 less, Position/Width 9000 more), every other line the selector rule.
// True when a line changed or was selected.
bool CopyWithPageWindow(text::TextReader& form, text::TextWriter& temporary,
                        const PageTexts& texts);

}  // namespace llupdate::rewrites
