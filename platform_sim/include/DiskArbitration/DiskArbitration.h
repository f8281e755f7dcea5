/* The slice of DiskArbitration that the helper's macOS code calls, with the
   platform's names, types and ownership rules. Sessions and disks are
   CoreFoundation objects, released with CFRelease. */
#ifndef PLATFORM_SIM_DISKARBITRATION_H
#define PLATFORM_SIM_DISKARBITRATION_H

#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct __DASession* DASessionRef;
typedef struct __DADisk* DADiskRef;

DASessionRef DASessionCreate(CFAllocatorRef allocator);
DADiskRef DADiskCreateFromBSDName(CFAllocatorRef allocator, DASessionRef session, const char* name);
CFDictionaryRef DADiskCopyDescription(DADiskRef disk);

#ifdef __cplusplus
}
#endif

#endif
