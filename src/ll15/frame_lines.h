// The frame lines of a project: all switched off in the whole file, then single ones switched
// back on with a width where the block rewrites want a border.
#pragma once

#include <cstdint>
#include <string>

#include "files/file_helpers.h"
#include "llupdate/host.h"

namespace llupdate::ll15 {

// Every "Line=True" of the file becomes "Line=False", in the text kept in memory: the lines the
// rewritten file would load as (TXT_ReplaceAllLines), its encoding to *encoding. Shows its own
// message on an error; nullptr then.
std::shared_ptr<DynArray> Entferne_Rahmen_LL15(files::FileContext& ctx, const std::string& path,
                                               text::Encoding* encoding);

// From start_row on: finds the sub-section line (two tabs, two blanks, the section name), the next
// frame switch "Line=False" after it, switches that on, and sets the next "LineWidth=0" after it
// to the width (or inserts "LineWidth=300" after the switch when there is none). The switch row,
// -1 when start_row is -1 or a line was not found, 0 after an error (shown nowhere).
int32_t Korrektur_Linien(int32_t start_row, const std::shared_ptr<DynArray>& lines,
                         const std::string& section, int16_t width);

}  // namespace llupdate::ll15
