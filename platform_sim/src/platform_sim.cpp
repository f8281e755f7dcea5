// The simulated CoreFoundation, IOKit and DiskArbitration. Every object a
// Create or Copy call hands out is entered in a ledger and leaves it when its
// last reference is released; the registry and descriptions are kept as plain
// values and turned into fresh objects on every call, so the ledger counts
// exactly what the caller owns.
#include <CoreFoundation/CoreFoundation.h>
#include <DiskArbitration/DiskArbitration.h>
#include <IOKit/IOKitLib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "dispatch_work.hpp"
#include "platform_sim/control.hpp"

namespace platform_sim {
namespace {

enum TypeId : CFTypeID {
  kString = 7,
  kNumber = 22,
  kBoolean = 21,
  kUrl = 29,
  kDictionary = 18,
  kSession = 90,
  kDisk = 91,
  kDissenter = 92
};

struct Object {
  explicit Object(CFTypeID id) : type(id) {}
  virtual ~Object() = default;
  CFTypeID type;
  long references = 1;
};
struct String final : Object {
  explicit String(std::string text) : Object(kString), utf8(std::move(text)) {}
  std::string utf8;
};
struct Number final : Object {
  Number(std::int64_t v, bool ok) : Object(kNumber), value(v), convertible(ok) {}
  std::int64_t value;
  bool convertible;
};
struct BooleanObject final : Object {
  explicit BooleanObject(bool v) : Object(kBoolean), value(v) {}
  bool value;
};
struct UrlObject final : Object {
  explicit UrlObject(std::optional<std::string> p) : Object(kUrl), path(std::move(p)) {}
  std::optional<std::string> path;
};
struct Dictionary final : Object {
  Dictionary() : Object(kDictionary) {}
  ~Dictionary() override;
  std::vector<std::pair<const Object*, const Object*>> members;
};
struct Session final : Object {
  Session() : Object(kSession) {}
  ~Session() override;
  dispatch_queue_t queue = nullptr;                // where the daemon's messages are delivered
  std::vector<std::function<void()>> undelivered;  // messages waiting for a queue
};
struct Disk final : Object {
  Disk(std::string name, Session* owner);
  ~Disk() override;
  std::string bsd_name;
  Session* session;  // retained; null for the disks the daemon's messages carry
};
struct Dissenter final : Object {
  Dissenter(DAReturn code, const Object* text);
  ~Dissenter() override;
  DAReturn status;
  const Object* string;  // retained; may be null
};

const BooleanObject true_value(true);
const BooleanObject false_value(false);

struct Entry {
  Properties properties;
  std::optional<EntryId> parent;
  bool media = false;
  bool whole = false;
  std::string class_name;
};
struct Handle {
  std::optional<EntryId> entry;         // a registry entry ...
  std::vector<EntryId> iterator_items;  // ... or an iterator over these
  std::size_t iterator_next = 0;
  long references = 1;
};

struct Approval {
  const Session* session;
  DADiskMountApprovalCallback callback;
  void* context;
};
struct Claim {
  const Session* session;  // null: another program's
  DADiskClaimReleaseCallback release;
  void* context;
};
// What the simulated daemon knows besides its clients' sessions.
struct Daemon {
  std::vector<Approval> approvals;
  std::map<std::string, Claim> claims;  // by BSD name
  std::set<std::string> mounted;
  Arbitration arbitration;
  std::vector<std::string> log;
};

// The one simulated machine. Calls may come from several threads.
struct Platform {
  Daemon daemon;
  std::recursive_mutex lock;
  std::unordered_set<const Object*> ledger;
  std::vector<Entry> registry;
  std::map<std::string, Properties> descriptions;
  Failures failures;
  std::unordered_map<io_object_t, Handle> handles;
  io_object_t next_handle = 1;
};

Platform& platform() {
  static Platform instance;
  return instance;
}

bool is_static(const Object* object) { return object == &true_value || object == &false_value; }

template <class T, class... Args>
T* create(Args&&... args) {
  auto& p = platform();
  std::lock_guard guard(p.lock);
  auto* object = new T(std::forward<Args>(args)...);  // owned by the ledger until its last release
  p.ledger.insert(object);
  return object;
}

const Object* as_object(CFTypeRef ref) { return static_cast<const Object*>(ref); }

void retain(const Object* object) {
  if (object == nullptr || is_static(object)) return;
  std::lock_guard guard(platform().lock);
  ++const_cast<Object*>(object)->references;
}

void release(const Object* object) {
  if (object == nullptr || is_static(object)) return;
  auto& p = platform();
  std::lock_guard guard(p.lock);
  if (--const_cast<Object*>(object)->references > 0) return;
  p.ledger.erase(object);
  delete object;
}

Dictionary::~Dictionary() {
  for (const auto& [key, value] : members) {
    release(key);
    release(value);
  }
}

Disk::Disk(std::string name, Session* owner) : Object(kDisk), bsd_name(std::move(name)), session(owner) {
  retain(session);
}
Disk::~Disk() { release(session); }

Dissenter::Dissenter(DAReturn code, const Object* text) : Object(kDissenter), status(code), string(text) {
  retain(string);
}
Dissenter::~Dissenter() { release(string); }

// A client that goes away loses what it registered and claimed.
Session::~Session() {
  auto& d = platform().daemon;
  std::erase_if(d.approvals, [&](const Approval& a) { return a.session == this; });
  std::erase_if(d.claims, [&](const auto& claim) { return claim.second.session == this; });
}

// The whole disk of a BSD name: "disk4" for "disk4s1" and for "disk4".
std::string whole_disk_of(const std::string& name) {
  const auto slice = name.find('s', 4);
  return slice == std::string::npos ? name : name.substr(0, slice);
}

// A message from the daemon to `session`: run on its queue, or kept until
// it has one.
void deliver(Session* session, std::function<void()> message) {
  std::lock_guard guard(platform().lock);
  if (session->queue == nullptr) {
    session->undelivered.push_back(std::move(message));
    return;
  }
  submit(session->queue, std::move(message));
}

// Runs `ask` on `queue` and waits for what it returns (+1, or null), as the
// daemon waits for a client's approval; the platform's lock is not held.
DADissenterRef ask_on(dispatch_queue_t queue, std::function<DADissenterRef()> ask) {
  std::promise<DADissenterRef> answer;
  auto answered = answer.get_future();
  submit(queue, [&] { answer.set_value(ask()); });
  return answered.get();
}

// The refusal a dissenter carries; the dissenter released.
std::optional<Refusal> take_refusal(DADissenterRef dissenter) {
  if (dissenter == nullptr) return std::nullopt;
  const auto* d = reinterpret_cast<const Dissenter*>(as_object(dissenter));
  Refusal refusal{d->status, std::nullopt};
  if (d->string != nullptr) refusal.text = static_cast<const String*>(d->string)->utf8;
  release(d);
  return refusal;
}

DADissenterRef make_dissenter(const Refusal& refusal) {
  const Object* text = refusal.text ? create<String>(*refusal.text) : nullptr;
  const auto* made = create<Dissenter>(refusal.status, text);
  release(text);
  return reinterpret_cast<DADissenterRef>(made);
}

// Answers a request of `session`'s with `refusal` (none: done) on its queue.
template <class Callback>
void answer(Session* session, const std::string& name, Callback callback, void* context,
            std::optional<Refusal> refusal) {
  if (callback == nullptr) return;
  deliver(session, [=] {
    auto* disk = create<Disk>(name, nullptr);
    const DADissenterRef dissenter = refusal ? make_dissenter(*refusal) : nullptr;
    callback(reinterpret_cast<DADiskRef>(disk), dissenter, context);
    release(as_object(dissenter));
    release(disk);
  });
}

bool same_key(const Object* a, const Object* b) {
  if (a == b) return true;
  if (a == nullptr || b == nullptr || a->type != kString || b->type != kString) return false;
  return static_cast<const String*>(a)->utf8 == static_cast<const String*>(b)->utf8;
}

// A fresh object (+1) for a stored value.
const Object* make_value(const Value& value) {
  struct Maker {
    const Object* operator()(const std::string& s) const { return create<String>(s); }
    const Object* operator()(std::int64_t n) const { return create<Number>(n, true); }
    const Object* operator()(bool b) const { return b ? &true_value : &false_value; }
    const Object* operator()(const Url& u) const { return create<UrlObject>(u.path); }
    const Object* operator()(const UnconvertibleNumber&) const { return create<Number>(0, false); }
  };
  return std::visit(Maker{}, value);
}

std::string string_of(CFStringRef key) {
  const auto* object = as_object(key);
  if (object == nullptr || object->type != kString) return {};
  return static_cast<const String*>(object)->utf8;
}

std::size_t utf16_length(const std::string& utf8) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if ((c & 0xC0) == 0x80) continue;
    units += (c >= 0xF0) ? 2 : 1;
  }
  return units;
}

const Handle* find_handle(io_object_t handle) {
  const auto& handles = platform().handles;
  const auto found = handles.find(handle);
  return found == handles.end() ? nullptr : &found->second;
}

io_object_t new_handle(Handle handle) {
  auto& p = platform();
  const io_object_t id = p.next_handle++;
  p.handles.emplace(id, std::move(handle));
  return id;
}

const Entry* entry_of(io_registry_entry_t handle) {
  const Handle* h = find_handle(handle);
  if (h == nullptr || !h->entry) return nullptr;
  return &platform().registry[*h->entry];
}

}  // namespace

EntryId add_entry(Properties properties, std::optional<EntryId> parent, std::string class_name) {
  auto& p = platform();
  std::lock_guard guard(p.lock);
  p.registry.push_back({std::move(properties), parent, false, false, std::move(class_name)});
  return p.registry.size() - 1;
}

EntryId add_usb_device(Properties properties, std::optional<EntryId> parent) {
  return add_entry(std::move(properties), parent, "IOUSBHostDevice");
}

EntryId add_media(Properties properties, std::optional<EntryId> parent, bool whole) {
  auto& p = platform();
  std::lock_guard guard(p.lock);
  p.registry.push_back({std::move(properties), parent, true, whole, "IOMedia"});
  return p.registry.size() - 1;
}

void set_description(const std::string& bsd_name, Properties description) {
  auto& p = platform();
  std::lock_guard guard(p.lock);
  p.descriptions[bsd_name] = std::move(description);
}

void set_failures(Failures failures) {
  auto& p = platform();
  std::lock_guard guard(p.lock);
  p.failures = std::move(failures);
}

void reset() {
  auto& p = platform();
  std::lock_guard guard(p.lock);
  p.registry.clear();
  p.descriptions.clear();
  p.failures = {};
  std::erase_if(p.daemon.claims, [](const auto& claim) { return claim.second.session == nullptr; });
  p.daemon.mounted.clear();
  p.daemon.arbitration = {};
  p.daemon.log.clear();
}

void set_arbitration(Arbitration arbitration) {
  auto& p = platform();
  std::lock_guard guard(p.lock);
  p.daemon.arbitration = std::move(arbitration);
}

std::optional<Refusal> attempt_mount(const std::string& bsd_name) {
  auto& p = platform();
  std::vector<Approval> asked;
  {
    std::lock_guard guard(p.lock);
    if (p.daemon.mounted.contains(bsd_name)) return Refusal{kDAReturnBusy, std::nullopt};
    for (const Approval& approval : p.daemon.approvals) {
      if (approval.session->queue != nullptr) asked.push_back(approval);
    }
  }
  for (const Approval& approval : asked) {
    auto* session = const_cast<Session*>(approval.session);
    const auto refusal = take_refusal(ask_on(session->queue, [&] {
      auto* disk = create<Disk>(bsd_name, nullptr);
      const DADissenterRef dissenter = approval.callback(reinterpret_cast<DADiskRef>(disk), approval.context);
      release(disk);
      return dissenter;
    }));
    if (refusal) return refusal;
  }
  std::lock_guard guard(p.lock);
  p.daemon.mounted.insert(bsd_name);
  return std::nullopt;
}

std::optional<Refusal> attempt_claim(const std::string& bsd_name) {
  auto& p = platform();
  std::unique_lock guard(p.lock);
  const auto held = p.daemon.claims.find(bsd_name);
  if (held != p.daemon.claims.end()) {
    const Claim holder = held->second;
    if (holder.release == nullptr) return Refusal{kDAReturnNotPermitted, std::nullopt};
    auto* session = const_cast<Session*>(holder.session);
    if (session->queue != nullptr) {
      const dispatch_queue_t queue = session->queue;
      guard.unlock();
      const auto refusal = take_refusal(ask_on(queue, [&] {
        auto* disk = create<Disk>(bsd_name, nullptr);
        const DADissenterRef dissenter = holder.release(reinterpret_cast<DADiskRef>(disk), holder.context);
        release(disk);
        return dissenter;
      }));
      if (refusal) return refusal;
      guard.lock();
    }
  }
  p.daemon.claims[bsd_name] = Claim{nullptr, nullptr, nullptr};
  return std::nullopt;
}

bool is_mounted(const std::string& bsd_name) {
  auto& p = platform();
  std::lock_guard guard(p.lock);
  return p.daemon.mounted.contains(bsd_name);
}

std::vector<std::string> arbitration_log() {
  auto& p = platform();
  std::lock_guard guard(p.lock);
  return p.daemon.log;
}

std::size_t live_objects() {
  auto& p = platform();
  std::lock_guard guard(p.lock);
  return p.ledger.size() + p.handles.size();
}

}  // namespace platform_sim

using namespace platform_sim;

extern "C" {

const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFBooleanRef kCFBooleanTrue = reinterpret_cast<CFBooleanRef>(&true_value);
const CFBooleanRef kCFBooleanFalse = reinterpret_cast<CFBooleanRef>(&false_value);
const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0};
const mach_port_t kIOMainPortDefault = 0;
const mach_port_t kIOMasterPortDefault = 0;

CFTypeRef CFRetain(CFTypeRef cf) {
  retain(as_object(cf));
  return cf;
}
void CFRelease(CFTypeRef cf) { release(as_object(cf)); }
CFTypeID CFGetTypeID(CFTypeRef cf) { return as_object(cf)->type; }

CFTypeID CFStringGetTypeID(void) { return kString; }
CFTypeID CFNumberGetTypeID(void) { return kNumber; }
CFTypeID CFBooleanGetTypeID(void) { return kBoolean; }
CFTypeID CFURLGetTypeID(void) { return kUrl; }
CFTypeID CFDictionaryGetTypeID(void) { return kDictionary; }

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes, CFStringEncoding encoding,
                                    Boolean) {
  if (encoding != kCFStringEncodingUTF8 || numBytes < 0) return nullptr;
  const auto* object =
      create<String>(std::string(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(numBytes)));
  return reinterpret_cast<CFStringRef>(object);
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr, CFStringEncoding encoding) {
  return CFStringCreateWithBytes(alloc, reinterpret_cast<const UInt8*>(cStr), static_cast<CFIndex>(std::strlen(cStr)),
                                 encoding, false);
}

CFIndex CFStringGetLength(CFStringRef theString) { return static_cast<CFIndex>(utf16_length(string_of(theString))); }

// Like the platform, this answers only for some strings (here: plain ASCII),
// so that callers must handle the copying path too.
const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding) {
  const auto* object = reinterpret_cast<const String*>(as_object(theString));
  if (encoding != kCFStringEncodingUTF8) return nullptr;
  for (const char c : object->utf8) {
    if (static_cast<unsigned char>(c) >= 0x80 || c == '\0') return nullptr;
  }
  return object->utf8.c_str();
}

// Only whole-string ranges are supported, which is all the helper asks for.
CFIndex CFStringGetBytes(CFStringRef theString, CFRange range, CFStringEncoding encoding, UInt8, Boolean, UInt8* buffer,
                         CFIndex maxBufLen, CFIndex* usedBufLen) {
  const std::string& text = reinterpret_cast<const String*>(as_object(theString))->utf8;
  if (encoding != kCFStringEncodingUTF8 || range.location != 0 ||
      range.length != static_cast<CFIndex>(utf16_length(text))) {
    if (usedBufLen != nullptr) *usedBufLen = 0;
    return 0;
  }
  std::size_t bytes = text.size();
  if (buffer != nullptr) {
    bytes = std::min(bytes, static_cast<std::size_t>(maxBufLen));
    while (bytes > 0 && bytes < text.size() && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) --bytes;
    std::memcpy(buffer, text.data(), bytes);
  }
  if (usedBufLen != nullptr) *usedBufLen = static_cast<CFIndex>(bytes);
  return static_cast<CFIndex>(utf16_length(text.substr(0, bytes)));
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding) { return length * 3; }

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void* valuePtr) {
  std::int64_t value = 0;
  if (theType == kCFNumberSInt64Type) {
    std::memcpy(&value, valuePtr, sizeof value);
  } else {
    std::int32_t narrow = 0;
    std::memcpy(&narrow, valuePtr, sizeof narrow);
    value = narrow;
  }
  return reinterpret_cast<CFNumberRef>(create<Number>(value, true));
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
  const auto* n = reinterpret_cast<const Number*>(as_object(number));
  if (theType == kCFNumberSInt64Type) {
    std::memcpy(valuePtr, &n->value, sizeof n->value);
    return n->convertible;
  }
  const auto narrow = static_cast<std::int32_t>(n->value);
  std::memcpy(valuePtr, &narrow, sizeof narrow);
  return n->convertible && narrow == n->value;
}

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
  return reinterpret_cast<const platform_sim::BooleanObject*>(as_object(boolean))->value;
}

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef, CFStringRef filePath, CFURLPathStyle, Boolean) {
  return reinterpret_cast<CFURLRef>(create<UrlObject>(string_of(filePath)));
}

CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle) {
  const auto* url = reinterpret_cast<const UrlObject*>(as_object(anURL));
  if (!url->path) return nullptr;
  return reinterpret_cast<CFStringRef>(create<String>(*url->path));
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex, const CFDictionaryKeyCallBacks*,
                                                 const CFDictionaryValueCallBacks*) {
  return reinterpret_cast<CFMutableDictionaryRef>(create<Dictionary>());
}

const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key) {
  const auto* dict = reinterpret_cast<const Dictionary*>(as_object(theDict));
  for (const auto& [k, v] : dict->members) {
    if (same_key(k, as_object(key))) return v;
  }
  return nullptr;
}

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
  auto* dict = reinterpret_cast<Dictionary*>(theDict);
  retain(as_object(value));
  for (auto& [k, v] : dict->members) {
    if (same_key(k, as_object(key))) {
      release(v);
      v = as_object(value);
      return;
    }
  }
  retain(as_object(key));
  dict->members.emplace_back(as_object(key), as_object(value));
}

CFMutableDictionaryRef IOServiceMatching(const char* name) {
  if (platform().failures.matching_dictionary) return nullptr;
  auto* dict = create<Dictionary>();
  dict->members.emplace_back(create<String>("IOProviderClass"), create<String>(name));
  return reinterpret_cast<CFMutableDictionaryRef>(dict);
}

kern_return_t IOServiceGetMatchingServices(mach_port_t, CFDictionaryRef matching, io_iterator_t* existing) {
  auto& p = platform();
  std::lock_guard guard(p.lock);
  const auto* dict = reinterpret_cast<const Dictionary*>(as_object(matching));
  std::string provider;
  bool whole_only = false;
  for (const auto& [k, v] : dict->members) {
    const std::string key = static_cast<const String*>(k)->utf8;
    if (key == "IOProviderClass" && v->type == kString) provider = static_cast<const String*>(v)->utf8;
    if (key == "Whole") whole_only = v == &true_value;
  }
  release(dict);  // the matching dictionary is consumed, whatever the outcome
  if (p.failures.matching_services != 0) return p.failures.matching_services;
  Handle iterator;
  for (EntryId id = 0; id < p.registry.size(); ++id) {
    const Entry& entry = p.registry[id];
    if (provider == "IOMedia" && entry.media && (!whole_only || entry.whole)) iterator.iterator_items.push_back(id);
  }
  *existing = new_handle(std::move(iterator));
  return KERN_SUCCESS;
}

io_object_t IOIteratorNext(io_iterator_t iterator) {
  auto& p = platform();
  std::lock_guard guard(p.lock);
  const auto found = p.handles.find(iterator);
  if (found == p.handles.end() || found->second.entry) return 0;
  Handle& h = found->second;
  if (h.iterator_next >= h.iterator_items.size()) return 0;
  Handle entry;
  entry.entry = h.iterator_items[h.iterator_next++];
  return new_handle(std::move(entry));
}

kern_return_t IOObjectRelease(io_object_t object) {
  auto& p = platform();
  std::lock_guard guard(p.lock);
  const auto found = p.handles.find(object);
  if (found == p.handles.end()) return 1;
  if (--found->second.references == 0) p.handles.erase(found);
  return KERN_SUCCESS;
}

CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key, CFAllocatorRef, IOOptionBits) {
  std::lock_guard guard(platform().lock);
  const Entry* e = entry_of(entry);
  if (e == nullptr) return nullptr;
  const auto found = e->properties.find(string_of(key));
  return found == e->properties.end() ? nullptr : make_value(found->second);
}

CFTypeRef IORegistryEntrySearchCFProperty(io_registry_entry_t entry, const io_name_t plane, CFStringRef key,
                                          CFAllocatorRef, IOOptionBits options) {
  auto& p = platform();
  std::lock_guard guard(p.lock);
  const Entry* e = entry_of(entry);
  if (e == nullptr || std::strcmp(plane, kIOServicePlane) != 0) return nullptr;
  const bool up = (options & kIORegistryIterateParents) != 0 && (options & kIORegistryIterateRecursively) != 0;
  const std::string name = string_of(key);
  for (;;) {
    if (const auto found = e->properties.find(name); found != e->properties.end()) return make_value(found->second);
    if (!up || !e->parent) return nullptr;
    e = &p.registry[*e->parent];
  }
}

boolean_t IOObjectConformsTo(io_object_t object, const io_name_t className) {
  std::lock_guard guard(platform().lock);
  const Entry* e = entry_of(object);
  if (e == nullptr) return 0;
  const std::string wanted = className;
  return wanted == e->class_name || wanted == "IOService" || wanted == "IORegistryEntry" ? 1 : 0;
}

kern_return_t IORegistryEntryGetParentEntry(io_registry_entry_t entry, const io_name_t plane,
                                            io_registry_entry_t* parent) {
  auto& p = platform();
  std::lock_guard guard(p.lock);
  const Handle* h = find_handle(entry);
  if (h == nullptr || !h->entry || std::strcmp(plane, kIOServicePlane) != 0) return kIOReturnBadArgument;
  const auto above = p.registry[*h->entry].parent;
  if (!above) return kIOReturnNoDevice;
  Handle found;
  found.entry = *above;
  *parent = new_handle(std::move(found));
  return KERN_SUCCESS;
}

kern_return_t IORegistryEntryCreateIterator(io_registry_entry_t entry, const io_name_t plane, IOOptionBits options,
                                            io_iterator_t* iterator) {
  auto& p = platform();
  std::lock_guard guard(p.lock);
  const Handle* h = find_handle(entry);
  if (h == nullptr || !h->entry || std::strcmp(plane, kIOServicePlane) != 0) return kIOReturnBadArgument;
  Handle items;
  const bool recursive = (options & kIORegistryIterateRecursively) != 0;
  // Depth first, each entry's children in the order they were attached.
  std::vector<EntryId> pending{*h->entry};
  while (!pending.empty()) {
    const EntryId at = pending.back();
    pending.pop_back();
    std::vector<EntryId> children;
    for (EntryId id = 0; id < p.registry.size(); ++id) {
      if (p.registry[id].parent == at) children.push_back(id);
    }
    for (auto child = children.rbegin(); child != children.rend(); ++child) {
      if (recursive) pending.push_back(*child);
    }
    if (at != *h->entry) items.iterator_items.push_back(at);
    if (!recursive && at == *h->entry) items.iterator_items = children;
  }
  *iterator = new_handle(std::move(items));
  return KERN_SUCCESS;
}

DASessionRef DASessionCreate(CFAllocatorRef) {
  if (platform().failures.session) return nullptr;
  return reinterpret_cast<DASessionRef>(const_cast<Session*>(create<Session>()));
}

void DASessionSetDispatchQueue(DASessionRef session, dispatch_queue_t queue) {
  std::lock_guard guard(platform().lock);
  auto* s = reinterpret_cast<Session*>(session);
  s->queue = queue;
  if (queue == nullptr) return;
  for (auto& message : s->undelivered) submit(queue, std::move(message));
  s->undelivered.clear();
}

DADiskRef DADiskCreateFromBSDName(CFAllocatorRef, DASessionRef session, const char* name) {
  if (session == nullptr || platform().failures.disk_objects.contains(name)) return nullptr;
  return reinterpret_cast<DADiskRef>(create<Disk>(name, reinterpret_cast<Session*>(session)));
}

const char* DADiskGetBSDName(DADiskRef disk) { return reinterpret_cast<const Disk*>(disk)->bsd_name.c_str(); }

DADiskRef DADiskCopyWholeDisk(DADiskRef disk) {
  const auto* d = reinterpret_cast<const Disk*>(disk);
  return reinterpret_cast<DADiskRef>(create<Disk>(whole_disk_of(d->bsd_name), d->session));
}

DADissenterRef DADissenterCreate(CFAllocatorRef, DAReturn status, CFStringRef string) {
  return reinterpret_cast<DADissenterRef>(create<Dissenter>(status, as_object(string)));
}

DAReturn DADissenterGetStatus(DADissenterRef dissenter) {
  return reinterpret_cast<const Dissenter*>(as_object(dissenter))->status;
}

CFStringRef DADissenterGetStatusString(DADissenterRef dissenter) {
  return reinterpret_cast<CFStringRef>(reinterpret_cast<const Dissenter*>(as_object(dissenter))->string);
}

void DARegisterDiskMountApprovalCallback(DASessionRef session, CFDictionaryRef match,
                                         DADiskMountApprovalCallback callback, void* context) {
  // Matching dictionaries are not simulated: every disk is asked about.
  if (match != nullptr) std::abort();
  std::lock_guard guard(platform().lock);
  platform().daemon.approvals.push_back({reinterpret_cast<const Session*>(session), callback, context});
}

void DAUnregisterApprovalCallback(DASessionRef session, void* callback, void* context) {
  std::lock_guard guard(platform().lock);
  std::erase_if(platform().daemon.approvals, [&](const Approval& a) {
    return a.session == reinterpret_cast<const Session*>(session) && reinterpret_cast<void*>(a.callback) == callback &&
           a.context == context;
  });
}

void DADiskUnmount(DADiskRef disk, DADiskUnmountOptions options, DADiskUnmountCallback callback, void* context) {
  auto& p = platform();
  std::lock_guard guard(p.lock);
  const auto* d = reinterpret_cast<const Disk*>(disk);
  const std::string& name = d->bsd_name;
  const bool whole = (options & kDADiskUnmountOptionWhole) != 0;
  p.daemon.log.push_back("unmount " + name + (whole ? " whole" : ""));
  if (p.daemon.arbitration.unanswered.contains(name)) return;
  if (const auto refused = p.daemon.arbitration.unmount_refusals.find(name);
      refused != p.daemon.arbitration.unmount_refusals.end()) {
    answer(d->session, name, callback, context, refused->second);
    return;
  }
  // Without the whole option only the volume on this very disk object goes.
  std::erase_if(p.daemon.mounted,
                [&](const std::string& volume) { return volume == name || (whole && whole_disk_of(volume) == name); });
  answer(d->session, name, callback, context, std::nullopt);
}

void DADiskEject(DADiskRef disk, DADiskEjectOptions, DADiskEjectCallback callback, void* context) {
  auto& p = platform();
  std::lock_guard guard(p.lock);
  const auto* d = reinterpret_cast<const Disk*>(disk);
  const std::string& name = d->bsd_name;
  p.daemon.log.push_back("eject " + name);
  if (p.daemon.arbitration.unanswered.contains(name)) return;
  std::optional<Refusal> refusal;
  if (const auto refused = p.daemon.arbitration.eject_refusals.find(name);
      refused != p.daemon.arbitration.eject_refusals.end()) {
    refusal = refused->second;
  } else if (whole_disk_of(name) != name) {
    refusal = Refusal{kDAReturnUnsupported, std::nullopt};
  } else if (std::any_of(p.daemon.mounted.begin(), p.daemon.mounted.end(),
                         [&](const std::string& volume) { return whole_disk_of(volume) == name; })) {
    refusal = Refusal{0xC000 | EBUSY, std::nullopt};  // unix_err(EBUSY): the media is open
  }
  answer(d->session, name, callback, context, refusal);
}

void DADiskClaim(DADiskRef disk, DADiskClaimOptions, DADiskClaimReleaseCallback release_callback, void* releaseContext,
                 DADiskClaimCallback callback, void* callbackContext) {
  auto& p = platform();
  std::unique_lock guard(p.lock);
  const auto* d = reinterpret_cast<const Disk*>(disk);
  const std::string name = d->bsd_name;
  std::optional<Refusal> refusal;
  if (const auto held = p.daemon.claims.find(name);
      held != p.daemon.claims.end() && held->second.session != d->session) {
    const Claim holder = held->second;
    auto* session = const_cast<Session*>(holder.session);
    if (holder.release == nullptr) {
      refusal = Refusal{kDAReturnNotPermitted, std::nullopt};
    } else if (session->queue != nullptr) {
      const dispatch_queue_t queue = session->queue;
      guard.unlock();
      refusal = take_refusal(ask_on(queue, [&] {
        auto* asked = create<Disk>(name, nullptr);
        const DADissenterRef dissenter = holder.release(reinterpret_cast<DADiskRef>(asked), holder.context);
        release(asked);
        return dissenter;
      }));
      guard.lock();
    }
  }
  if (!refusal) p.daemon.claims[name] = Claim{d->session, release_callback, releaseContext};
  if (p.daemon.arbitration.unanswered.contains(name)) return;
  answer(d->session, name, callback, callbackContext, refusal);
}

Boolean DADiskIsClaimed(DADiskRef disk) {
  std::lock_guard guard(platform().lock);
  return platform().daemon.claims.contains(reinterpret_cast<const Disk*>(disk)->bsd_name) ? 1 : 0;
}

void DADiskUnclaim(DADiskRef disk) {
  auto& p = platform();
  std::lock_guard guard(p.lock);
  const auto* d = reinterpret_cast<const Disk*>(disk);
  const auto held = p.daemon.claims.find(d->bsd_name);
  if (held != p.daemon.claims.end() && held->second.session == d->session) p.daemon.claims.erase(held);
}

CFDictionaryRef DADiskCopyDescription(DADiskRef disk) {
  auto& p = platform();
  std::lock_guard guard(p.lock);
  const std::string& name = reinterpret_cast<const Disk*>(as_object(disk))->bsd_name;
  if (p.failures.descriptions.contains(name)) return nullptr;
  const auto found = p.descriptions.find(name);
  if (found == p.descriptions.end()) return nullptr;
  auto* dict = create<Dictionary>();
  for (const auto& [key, value] : found->second) dict->members.emplace_back(create<String>(key), make_value(value));
  return reinterpret_cast<CFDictionaryRef>(dict);
}

}  // extern "C"
