// A host without known disk ioctls: no size to compare, no cache to flush
// beyond fsync.
#include "raw_device.hpp"

namespace kelmar_vindle::helper::raw_device {

std::optional<std::uint64_t> media_size(int /*fd*/) { return std::nullopt; }

int exclusive_open_flags() { return 0; }

std::optional<std::uint32_t> block_size(int /*fd*/) { return std::nullopt; }

Result<void> synchronize_cache(int /*fd*/) { return {}; }

}  // namespace kelmar_vindle::helper::raw_device
