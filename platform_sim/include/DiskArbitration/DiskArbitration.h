/* The slice of DiskArbitration that the helper's macOS code calls, with the
   platform's names, types and ownership rules. Sessions, disks and
   dissenters are CoreFoundation objects, released with CFRelease. A session
   hears from the daemon (callbacks, answers) only while it is scheduled on a
   dispatch queue, and on that queue; releasing a session drops its claims and
   callbacks, as the daemon does for a client that went away. */
#ifndef PLATFORM_SIM_DISKARBITRATION_H
#define PLATFORM_SIM_DISKARBITRATION_H

#include <CoreFoundation/CoreFoundation.h>
#include <dispatch/dispatch.h>

#ifdef __cplusplus
extern "C" {
#endif

/* mach/error.h: err_local | err_sub(0x368), as a signed 32-bit code. */
typedef int mach_error_t;
enum {
  kDAReturnSuccess = 0,
  kDAReturnError = (int)0xF8DA0001,
  kDAReturnBusy = (int)0xF8DA0002,
  kDAReturnBadArgument = (int)0xF8DA0003,
  kDAReturnExclusiveAccess = (int)0xF8DA0004,
  kDAReturnNoResources = (int)0xF8DA0005,
  kDAReturnNotFound = (int)0xF8DA0006,
  kDAReturnNotMounted = (int)0xF8DA0007,
  kDAReturnNotPermitted = (int)0xF8DA0008,
  kDAReturnNotPrivileged = (int)0xF8DA0009,
  kDAReturnNotReady = (int)0xF8DA000A,
  kDAReturnNotWritable = (int)0xF8DA000B,
  kDAReturnUnsupported = (int)0xF8DA000C
};
typedef mach_error_t DAReturn;

typedef struct __DASession* DASessionRef;
typedef struct __DADisk* DADiskRef;
typedef const struct __DADissenter* DADissenterRef;

DASessionRef DASessionCreate(CFAllocatorRef allocator);
void DASessionSetDispatchQueue(DASessionRef session, dispatch_queue_t queue);

DADiskRef DADiskCreateFromBSDName(CFAllocatorRef allocator, DASessionRef session, const char* name);
CFDictionaryRef DADiskCopyDescription(DADiskRef disk);
const char* DADiskGetBSDName(DADiskRef disk);
DADiskRef DADiskCopyWholeDisk(DADiskRef disk);

DADissenterRef DADissenterCreate(CFAllocatorRef allocator, DAReturn status, CFStringRef string);
DAReturn DADissenterGetStatus(DADissenterRef dissenter);
CFStringRef DADissenterGetStatusString(DADissenterRef dissenter);

enum {
  kDADiskUnmountOptionDefault = 0x00000000,
  kDADiskUnmountOptionForce = 0x00080000,
  kDADiskUnmountOptionWhole = 0x00000001
};
typedef UInt32 DADiskUnmountOptions;
enum { kDADiskEjectOptionDefault = 0x00000000 };
typedef UInt32 DADiskEjectOptions;
enum { kDADiskClaimOptionDefault = 0x00000000 };
typedef UInt32 DADiskClaimOptions;

/* Approval callbacks: the returned dissenter (or NULL to approve) is handed
   over to the daemon, which releases it. */
typedef DADissenterRef (*DADiskMountApprovalCallback)(DADiskRef disk, void* context);
void DARegisterDiskMountApprovalCallback(DASessionRef session, CFDictionaryRef match,
                                         DADiskMountApprovalCallback callback, void* context);
void DAUnregisterApprovalCallback(DASessionRef session, void* callback, void* context);

/* Answers to a request: `dissenter` is NULL on success, borrowed otherwise. */
typedef void (*DADiskUnmountCallback)(DADiskRef disk, DADissenterRef dissenter, void* context);
void DADiskUnmount(DADiskRef disk, DADiskUnmountOptions options, DADiskUnmountCallback callback, void* context);
typedef void (*DADiskEjectCallback)(DADiskRef disk, DADissenterRef dissenter, void* context);
void DADiskEject(DADiskRef disk, DADiskEjectOptions options, DADiskEjectCallback callback, void* context);

/* A claim: the holder's release callback is asked when another client
   claims the disk (NULL lets it go; a dissenter keeps it); a claim without
   one is never given up. */
typedef void (*DADiskClaimCallback)(DADiskRef disk, DADissenterRef dissenter, void* context);
typedef DADissenterRef (*DADiskClaimReleaseCallback)(DADiskRef disk, void* context);
void DADiskClaim(DADiskRef disk, DADiskClaimOptions options, DADiskClaimReleaseCallback release, void* releaseContext,
                 DADiskClaimCallback callback, void* callbackContext);
Boolean DADiskIsClaimed(DADiskRef disk);
void DADiskUnclaim(DADiskRef disk);

#ifdef __cplusplus
}
#endif

#endif
