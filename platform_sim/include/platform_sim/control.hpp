// The test side of the simulated platform: build an IOKit registry and the
// DiskArbitration descriptions of its disks, make single calls fail, and read
// the ledger of live objects to prove that code released what it owned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <variant>

namespace platform_sim {

// A URL value; no path means the platform cannot give its file-system path.
struct Url {
  std::optional<std::string> path;
};
// A number that does not convert to a signed 64-bit integer.
struct UnconvertibleNumber {};

using Value = std::variant<std::string, std::int64_t, bool, Url, UnconvertibleNumber>;
using Properties = std::map<std::string, Value>;

using EntryId = std::size_t;

// A registry entry in the IOService plane of the class `class_name` (a
// controller, an interface, an APFS container, ...), attached to `parent`.
EntryId add_entry(Properties properties, std::optional<EntryId> parent = std::nullopt,
                  std::string class_name = "IOService");
// A USB device as the platform's USB stack publishes it (class
// IOUSBHostDevice): where a disk's USB identity is found.
EntryId add_usb_device(Properties properties, std::optional<EntryId> parent = std::nullopt);
// An IOMedia object; `whole` is what matching on "Whole" selects. Media
// attached under other media (partitions, the disks an APFS container
// synthesizes and their volumes) are its descendants in the registry.
EntryId add_media(Properties properties, std::optional<EntryId> parent = std::nullopt, bool whole = true);
// What DADiskCopyDescription answers for the disk of that BSD name; a name
// without a description gets none.
void set_description(const std::string& bsd_name, Properties description);

struct Failures {
  bool matching_dictionary = false;         // IOServiceMatching returns null
  int matching_services = 0;                // IOServiceGetMatchingServices returns this code
  bool session = false;                     // DASessionCreate returns null
  std::set<std::string> disk_objects = {};  // DADiskCreateFromBSDName returns null for these names
  std::set<std::string> descriptions = {};  // DADiskCopyDescription returns null for these names
};
void set_failures(Failures failures);

// Forgets the registry, the descriptions and the failures (not the ledger).
void reset();

// Objects handed out by Create/Copy calls (CoreFoundation, DiskArbitration)
// and IOKit handles, not yet released.
std::size_t live_objects();

}  // namespace platform_sim
