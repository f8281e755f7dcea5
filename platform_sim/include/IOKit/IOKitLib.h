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
typedef int boolean_t;

#define KERN_SUCCESS 0
#define kIOReturnNoDevice ((kern_return_t)0xe00002c0)
#define kIOReturnBadArgument ((kern_return_t)0xe00002c2)
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
/* True when the object's class is `className` or derives from it. */
boolean_t IOObjectConformsTo(io_object_t object, const io_name_t className);
/* The entry's parent in `plane` (a new handle), or an error for the root. */
kern_return_t IORegistryEntryGetParentEntry(io_registry_entry_t entry, const io_name_t plane,
                                            io_registry_entry_t* parent);
/* An iterator over the entry's children in `plane`; with
   kIORegistryIterateRecursively over all its descendants, depth first. */
kern_return_t IORegistryEntryCreateIterator(io_registry_entry_t entry, const io_name_t plane, IOOptionBits options,
                                            io_iterator_t* iterator);
CFTypeRef IORegistryEntrySearchCFProperty(io_registry_entry_t entry, const io_name_t plane, CFStringRef key,
                                          CFAllocatorRef allocator, IOOptionBits options);

#ifdef __cplusplus
}
#endif

#endif
