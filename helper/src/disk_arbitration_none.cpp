// Hosts without DiskArbitration: the exclusive open is all the hold there is,
// and a BSD-named disk is not ejected here.
#include "disk_arbitration.hpp"

namespace kelmar_vindle::helper::disk_arbitration {

Result<std::unique_ptr<write::DiskHold>> hold_whole_disk(const std::string& /*bsd_name*/,
                                                         std::chrono::milliseconds /*bound*/) {
  return nullptr;
}

Result<void> eject_whole_disk(const std::string& /*bsd_name*/, std::chrono::milliseconds /*bound*/) {
  return std::unexpected(Error::io("this disk cannot be ejected here"));
}

}  // namespace kelmar_vindle::helper::disk_arbitration
