// The machine's own disk list, whatever the host: the build links one
// implementation per platform (platform_macos.cpp, platform_linux.cpp,
// platform_none.cpp).
#pragma once

#include <vector>

#include "kelmar_vindle/device.hpp"
#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle {

// IOKit and DiskArbitration on macOS, sysfs on Linux; elsewhere it fails with
// `PlatformEnumerationUnavailable`.
[[nodiscard]] Result<std::vector<DeviceCandidate>> platform_disk_list();

}  // namespace kelmar_vindle
