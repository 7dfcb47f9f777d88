// Loading and saving a project through the List & Label control on frmListLabel.
#pragma once

#include <cstdint>
#include <string>

#include "files/file_helpers.h"

namespace llupdate::ll15 {

// Has the control open the project at path and save it again. -1 when every call of the control
// completed, 0 after a shown error.
int32_t Save_LL15_Format(files::FileContext& ctx, const std::string& path);

}  // namespace llupdate::ll15
