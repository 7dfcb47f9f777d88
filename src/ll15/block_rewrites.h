// The block rewrites of the LL15 layout: each walks forward through the project lines by a fixed
// table of key lines and, for every key found, has Korrektur_Linien switch on the border line of
// the marker section after it. The three rewrites share one engine; only their tables differ.
#pragma once

#include <cstdint>
#include <memory>

#include "llupdate/host.h"

namespace llupdate::ll15 {

// Column-header texts, from start on.
void Korrektur_Block_UEB(int32_t start, const std::shared_ptr<DynArray>& lines);
// Sum lines, from start on and from two anchors.
void Korrektur_Block_Summen(int32_t start, const std::shared_ptr<DynArray>& lines);
// Price columns, from start on.
void Korrektur_Block_Preise(int32_t start, const std::shared_ptr<DynArray>& lines);

}  // namespace llupdate::ll15
