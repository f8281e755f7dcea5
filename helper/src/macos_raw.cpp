#include "macos_raw.hpp"

namespace kelmar_vindle::helper {

Result<std::string> MacosRawBackend::write_and_verify(const WriteJob& job, std::span<const std::byte> /*image*/,
                                                      const std::atomic<bool>& cancel, ProgressFn& progress) const {
  return write_job(job, cancel, progress);
}

Result<std::string> MacosRawBackend::write_job(const WriteJob& /*job*/, const std::atomic<bool>& /*cancel*/,
                                               ProgressFn& /*progress*/) const {
  // The interlock and the raw copy are not built yet. Until they are, no job
  // ever reaches a device: without real writes the backend stops where it
  // always stops, and with them it fails.
  if (!settings_.allow_real_write) return std::unexpected(Error::make<ErrorKind::WriteStoppedBeforeDeviceOpen>());
  return std::unexpected(Error::io("raw disk writing is not available in this build"));
}

}  // namespace kelmar_vindle::helper
