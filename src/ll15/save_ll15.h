// Loading and saving a project through the List & Label control on frmListLabel.
#pragma once

#include <cstdint>
#include <string>

#include "files/file_helpers.h"

namespace llupdate::ll15 {

// Has the control open the project at path and save it again (to save_to when given: a new
// file there, none when the project would be saved as it is). -1 when every call of the control
// completed, 0 after a shown error.
int32_t Save_LL15_Format(files::FileContext& ctx, const std::string& path,
                         const std::string& save_to = "");

}  // namespace llupdate::ll15
