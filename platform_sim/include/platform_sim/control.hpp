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
#include <vector>

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

// The DiskArbitration daemon. A refusal is what a dissenter carries.
struct Refusal {
  std::int32_t status = 0;
  std::optional<std::string> text;
  friend bool operator==(const Refusal&, const Refusal&) = default;
};
// How it answers the program's unmount and eject requests, by BSD name:
// refused so, or never answered at all (a daemon that hangs; claims of those
// names are then taken but not answered either); any other request succeeds. An eject is refused as the platform
// refuses it: of a partition (kDAReturnUnsupported) or while a volume of the disk is mounted (EBUSY, as unix_err).
struct Arbitration {
  std::map<std::string, Refusal> unmount_refusals = {};
  std::map<std::string, Refusal> eject_refusals = {};
  std::set<std::string> unanswered = {};
};
void set_arbitration(Arbitration arbitration);

// Another program's requests as the daemon handles them, from the test's
// thread (never while the program tears a session down); none means done.
// A mount of the volume on `bsd_name` ("disk4s1"): refused while it is
// mounted (kDAReturnBusy); else each mount-approval callback of a session
// scheduled on a queue is asked on that queue, and the first dissenter
// refuses it; else the volume is mounted.
std::optional<Refusal> attempt_mount(const std::string& bsd_name);
// A claim of the disk `bsd_name`: a disk claimed by a session is let go
// only when its release callback, asked on that session's queue, returns no
// dissenter (a session not scheduled cannot be asked and loses it); a claim
// without a release callback is never let go (kDAReturnNotPermitted). A
// claim taken here is held until `reset`.
std::optional<Refusal> attempt_claim(const std::string& bsd_name);
bool is_mounted(const std::string& bsd_name);
// The program's unmount and eject requests, in order: "unmount disk4 whole",
// "eject disk4".
std::vector<std::string> arbitration_log();

// Forgets the registry, the descriptions, the failures and the daemon's
// state (not the ledger, nor what live sessions registered).
void reset();

// Objects handed out by Create/Copy calls (CoreFoundation, DiskArbitration)
// and IOKit handles, not yet released.
std::size_t live_objects();

}  // namespace platform_sim
