/* The slice of IOKit that the helper's macOS code calls, with the platform's
   names, types and ownership rules, over a simulated registry. */
#ifndef PLATFORM_SIM_IOKITLIB_H
#define PLATFORM_SIM_IOKITLIB_H

#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned int mach_port_t;
typedef int kern_return_t;
typedef mach_port_t io_object_t;
typedef io_object_t io_iterator_t;
typedef io_object_t io_registry_entry_t;
typedef io_object_t io_service_t;
typedef UInt32 IOOptionBits;
typedef char io_name_t[128];

#define KERN_SUCCESS 0
#define kIOServicePlane "IOService"

extern const mach_port_t kIOMainPortDefault;
extern const mach_port_t kIOMasterPortDefault;

enum { kIORegistryIterateRecursively = 0x00000001, kIORegistryIterateParents = 0x00000002 };

CFMutableDictionaryRef IOServiceMatching(const char* name);
/* Consumes one reference to `matching`, whatever the outcome. */
kern_return_t IOServiceGetMatchingServices(mach_port_t mainPort, CFDictionaryRef matching, io_iterator_t* existing);
io_object_t IOIteratorNext(io_iterator_t iterator);
kern_return_t IOObjectRelease(io_object_t object);
CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key, CFAllocatorRef allocator,
                                          IOOptionBits options);
CFTypeRef IORegistryEntrySearchCFProperty(io_registry_entry_t entry, const io_name_t plane, CFStringRef key,
                                          CFAllocatorRef allocator, IOOptionBits options);

#ifdef __cplusplus
}
#endif

#endif
