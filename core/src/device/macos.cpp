// The macOS disk list, read from the IOKit registry and DiskArbitration.
// Every platform object this code creates or copies is released by an owner
// below, on every path.
#include <CoreFoundation/CoreFoundation.h>
#include <DiskArbitration/DiskArbitration.h>
#include <IOKit/IOKitLib.h>

#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "kelmar_vindle/core_foundation.hpp"
#include "kelmar_vindle/device/macos.hpp"

namespace kelmar_vindle::device::macos {
namespace {

template <class Ref>
using CfOwned = cf::Owned<Ref>;
using cf::string_text;

// Owns one IOKit object handle.
class IoObject {
 public:
  explicit IoObject(io_object_t object) : object_(object) {}
  IoObject(const IoObject&) = delete;
  IoObject& operator=(const IoObject&) = delete;
  ~IoObject() {
    if (object_ != 0) IOObjectRelease(object_);
  }
  io_object_t get() const { return object_; }

 private:
  io_object_t object_;
};

CfOwned<CFStringRef> make_key(std::string_view text) { return cf::make_string(text); }

bool has_type(CFTypeRef value, CFTypeID type) { return value != nullptr && CFGetTypeID(value) == type; }

// The URL's POSIX path; the path object the platform returns is released.
std::optional<std::string> cf_url_to_string(CFURLRef url) {
  const CfOwned<CFStringRef> path(CFURLCopyFileSystemPath(url, kCFURLPOSIXPathStyle));
  if (!path) return std::nullopt;
  return string_text(path.get());
}

// Text of a borrowed string or URL value; anything else is none.
std::optional<std::string> text_of(CFTypeRef value) {
  if (has_type(value, CFStringGetTypeID())) return string_text(static_cast<CFStringRef>(value));
  if (has_type(value, CFURLGetTypeID())) return cf_url_to_string(static_cast<CFURLRef>(value));
  return std::nullopt;
}

// A dictionary value as text, without taking ownership of it.
std::optional<std::string> dict_string(CFDictionaryRef dictionary, std::string_view key) {
  const auto cf_key = make_key(key);
  return text_of(CFDictionaryGetValue(dictionary, cf_key.get()));
}

// Takes ownership of a value obtained under the create rule.
std::optional<std::string> cf_value_to_string_from_create(CFTypeRef created) {
  const CfOwned<CFTypeRef> value(created);
  return text_of(value.get());
}

std::optional<std::int64_t> number_of(CFTypeRef value) {
  if (!has_type(value, CFNumberGetTypeID())) return std::nullopt;
  std::int64_t number = 0;
  if (!CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &number)) return std::nullopt;
  return number;
}

CfOwned<CFTypeRef> own_property(io_registry_entry_t entry, std::string_view key) {
  const auto cf_key = make_key(key);
  return CfOwned<CFTypeRef>(IORegistryEntryCreateCFProperty(entry, cf_key.get(), kCFAllocatorDefault, 0));
}

// The entry's own property, low 16 bits.
std::optional<std::uint16_t> property_u16(io_registry_entry_t entry, std::string_view key) {
  const auto value = own_property(entry, key);
  const auto number = number_of(value.get());
  if (!number) return std::nullopt;
  return static_cast<std::uint16_t>(*number & 0xFFFF);
}

bool is_usb_device(io_registry_entry_t entry) {
  return IOObjectConformsTo(entry, "IOUSBHostDevice") || IOObjectConformsTo(entry, "IOUSBDevice");
}

// Where a whole-disk media object sits in the IOService plane.
struct Provenance {
  // It sits on other media: a disk an APFS container (or another volume
  // manager) synthesizes from a partition, not a physical disk.
  bool synthesized = false;
  // The USB device it belongs to (null: none), whose properties alone are its
  // USB identity: a hub's or a dock's further up are not the disk's.
  std::unique_ptr<IoObject> usb_device;
};

Provenance provenance_of(io_registry_entry_t media) {
  Provenance found;
  io_registry_entry_t at = media;
  std::unique_ptr<IoObject> held;  // the ancestor `at` names, once above `media`
  for (;;) {
    io_registry_entry_t parent = 0;
    if (IORegistryEntryGetParentEntry(at, kIOServicePlane, &parent) != KERN_SUCCESS) return found;
    held = std::make_unique<IoObject>(parent);
    at = held->get();
    if (IOObjectConformsTo(at, "IOMedia")) {
      found.synthesized = true;
      return found;
    }
    if (is_usb_device(at)) {
      found.usb_device = std::move(held);
      return found;
    }
  }
}

struct Arbitration {
  std::string vendor;
  std::string model;
  std::string protocol;
  bool internal = false;
  std::optional<std::int64_t> media_size;
  bool system_volume = false;
};

// The volume paths of a mounted system: the root, and the volumes the
// system mounts beside it (its data, preboot, VM and update volumes).
bool is_system_volume(const std::optional<std::string>& path) {
  return path && (*path == "/" || *path == "file:" || *path == "file:///" || path->starts_with("/System/Volumes/"));
}

// What DiskArbitration says of the disk; all empty when it says nothing.
Arbitration describe(DASessionRef session, const std::string& bsd_name) {
  Arbitration found;
  const CfOwned<DADiskRef> disk(DADiskCreateFromBSDName(kCFAllocatorDefault, session, bsd_name.c_str()));
  if (!disk) return found;
  const CfOwned<CFDictionaryRef> description(DADiskCopyDescription(disk.get()));
  if (!description) return found;
  found.vendor = dict_string(description.get(), "DADeviceVendor").value_or("");
  found.model = dict_string(description.get(), "DADeviceModel").value_or("");
  found.protocol = dict_string(description.get(), "DADeviceProtocol").value_or("");
  const auto internal_key = make_key("DADeviceInternal");
  found.internal = CFDictionaryGetValue(description.get(), internal_key.get()) == kCFBooleanTrue;
  const auto size_key = make_key("DAMediaSize");
  found.media_size = number_of(CFDictionaryGetValue(description.get(), size_key.get()));
  found.system_volume = is_system_volume(dict_string(description.get(), "DAVolumePath"));
  return found;
}

// Whether a system volume is mounted from media below `whole` in the
// registry: its partitions, the disks an APFS container on them synthesizes,
// and their volumes and snapshots.
bool holds_system_volume(io_registry_entry_t whole, DASessionRef session) {
  io_iterator_t below_handle = 0;
  if (IORegistryEntryCreateIterator(whole, kIOServicePlane, kIORegistryIterateRecursively, &below_handle) !=
      KERN_SUCCESS) {
    return false;
  }
  const IoObject below(below_handle);
  while (const io_object_t next = IOIteratorNext(below.get())) {
    const IoObject entry(next);
    if (!IOObjectConformsTo(entry.get(), "IOMedia")) continue;
    const auto name = cf_value_to_string_from_create(own_property(entry.get(), "BSD Name").release());
    if (!name || name->empty() || name->find('\0') != std::string::npos) continue;
    if (describe(session, *name).system_volume) return true;
  }
  return false;
}

std::optional<DeviceCandidate> candidate_for(io_registry_entry_t media, DASessionRef session) {
  const auto bsd_name = cf_value_to_string_from_create(own_property(media, "BSD Name").release());
  if (!bsd_name || bsd_name->empty() || bsd_name->find('/') != std::string::npos) return std::nullopt;
  const auto registry_size = own_property(media, "Size");
  std::int64_t size = number_of(registry_size.get()).value_or(0);

  // Only physical whole disks: a synthesized one is written through the
  // physical disk it lives on, never in its place.
  const Provenance provenance = provenance_of(media);
  if (provenance.synthesized) return std::nullopt;

  DeviceIdentity identity;
  identity.scheme = "vindle-1";
  if (const auto& usb = provenance.usb_device) {
    identity.serial =
        cf_value_to_string_from_create(own_property(usb->get(), "USB Serial Number").release()).value_or("");
    identity.vendor_id = property_u16(usb->get(), "idVendor");
    identity.product_id = property_u16(usb->get(), "idProduct");
  }
  // A name with a NUL cannot be handed over as a C string without changing it.
  if (bsd_name->find('\0') != std::string::npos) return std::nullopt;

  const Arbitration arbitration = describe(session, *bsd_name);
  if (arbitration.media_size) size = *arbitration.media_size;
  // Sizes are never negative on a real disk; such a value is treated as none.
  if (size <= 0) return std::nullopt;

  identity.vendor = arbitration.vendor;
  identity.product = arbitration.model;
  identity.size = static_cast<std::uint64_t>(size);
  identity.bus = protocol_to_bus(arbitration.protocol);
  // A Mac started from an external disk has its system there, mounted from
  // a partition or an APFS container on it, never from the whole disk.
  identity.is_system = arbitration.internal || arbitration.system_volume || holds_system_volume(media, session);
  identity.mac_bsd_name = *bsd_name;

  return candidate_from_identity(std::move(identity));
}

}  // namespace

Result<std::vector<DeviceCandidate>> list_read_only() {
  CfOwned<CFMutableDictionaryRef> matching(IOServiceMatching("IOMedia"));
  if (!matching) return std::unexpected(Error::io("IOServiceMatching IOMedia failed"));
  const auto whole_key = make_key("Whole");
  CFDictionarySetValue(matching.get(), whole_key.get(), kCFBooleanTrue);

  io_iterator_t iterator_handle = 0;
  // The call consumes the matching dictionary, whatever it returns.
  const kern_return_t result = IOServiceGetMatchingServices(kIOMainPortDefault, matching.release(), &iterator_handle);
  if (result != KERN_SUCCESS)
    return std::unexpected(Error::io("IOServiceGetMatchingServices " + std::to_string(result)));
  const IoObject iterator(iterator_handle);

  const CfOwned<DASessionRef> session(DASessionCreate(kCFAllocatorDefault));
  if (!session) return std::unexpected(Error::io("DASessionCreate failed"));

  std::vector<DeviceCandidate> disks;
  while (const io_object_t next = IOIteratorNext(iterator.get())) {
    const IoObject media(next);
    if (auto candidate = candidate_for(media.get(), session.get())) disks.push_back(std::move(*candidate));
  }
  return disks;
}

}  // namespace kelmar_vindle::device::macos
