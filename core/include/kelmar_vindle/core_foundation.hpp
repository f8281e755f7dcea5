// Owning CoreFoundation references and their strings, for the macOS-bound
// sources (on other hosts, compiled against platform_sim in tests only).
// Header-only, so that each such source takes it without a library of its own.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

namespace kelmar_vindle::cf {

struct Release {
  void operator()(const void* object) const {
    if (object != nullptr) CFRelease(object);
  }
};
// Owns one reference to a CoreFoundation (or DiskArbitration) object.
template <class Ref>
using Owned = std::unique_ptr<std::remove_pointer_t<Ref>, Release>;

// A new string holding `text` (UTF-8); null when the system refuses it.
inline Owned<CFStringRef> make_string(std::string_view text) {
  return Owned<CFStringRef>(CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                                    static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false));
}

// The UTF-8 text of `string`, which is borrowed.
inline std::string string_text(CFStringRef string) {
  if (const char* direct = CFStringGetCStringPtr(string, kCFStringEncodingUTF8)) return direct;
  const CFIndex length = CFStringGetLength(string);
  const CFIndex capacity = CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8);
  std::string text(static_cast<std::size_t>(capacity), '\0');
  CFIndex used = 0;
  CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false,
                   reinterpret_cast<UInt8*>(text.data()), capacity, &used);
  text.resize(static_cast<std::size_t>(used));
  return text;
}

}  // namespace kelmar_vindle::cf
