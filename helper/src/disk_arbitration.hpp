// The system's disk arbitration around a raw write on macOS (DiskArbitration):
// the whole disk held against other programs while it is written, and ejected
// afterwards. One source file per platform; elsewhere there is nothing to hold
// and nothing ejects a BSD-named disk.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "kelmar_vindle/error.hpp"
#include "kelmar_vindle/write/disk_interface.hpp"

namespace kelmar_vindle::helper::disk_arbitration {

// How long the daemon is given to answer one request (a claim, an unmount,
// an eject). It asks other programs' approval callbacks first, each with its
// own time limit, so a healthy answer can take seconds; past this bound the
// person is better told than kept waiting.
inline constexpr std::chrono::milliseconds kAnswerBound = std::chrono::seconds(30);

// Holds the whole disk `bsd_name` ("disk4") for this process until the hold
// is destroyed: claimed, so that no other program's claim takes it, and every
// mount of it or of a volume on it (its partitions, the ones its new
// partition table brings) refused by a mount-approval callback. A disk
// another program has claimed fails with `Io` "{name} is claimed by another
// program: …"; a daemon that does not answer within `bound` fails too.
// Destroying the hold unclaims, unregisters and ends the session, whose queue
// has then run its last callback. Null where the platform has no arbitration.
// Runs on the caller's thread; the callbacks run on the hold's own queue.
[[nodiscard]] Result<std::unique_ptr<write::DiskHold>> hold_whole_disk(const std::string& bsd_name,
                                                                       std::chrono::milliseconds bound);

// Unmounts every volume of the whole disk `bsd_name` and ejects it, each
// request awaited for at most `bound`: fails with `Io` "unmount disk4: …" or
// "eject disk4: …" and the daemon's reason, or "… did not answer within N
// seconds". Runs on the caller's thread.
[[nodiscard]] Result<void> eject_whole_disk(const std::string& bsd_name, std::chrono::milliseconds bound);

}  // namespace kelmar_vindle::helper::disk_arbitration
