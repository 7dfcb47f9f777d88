// The operating system's files read and changed in place (FileSystem::OpenInPlace).
#pragma once

#include <memory>
#include <string>

#include "platform/file_system.h"

namespace llupdate::platform {

// Opens os_path to read (and with write to change) in place, a symbolic link refused; with create
// a missing file is made. durable: Sync puts the data on the disk.
std::unique_ptr<InPlaceFile> OpenOsInPlaceFile(const std::string& os_path, bool write, bool create,
                                               bool durable);

}  // namespace llupdate::platform
