// Per-request authorization of a `write`: before a job touches anything,
// the dispatcher may ask a system authority whether the process that sent
// the request may erase the disk it names. The interface is what the
// dispatcher needs; the helper implements it over polkit's D-Bus API, tests
// with a recording fake.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "kelmar_vindle/device.hpp"
#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle {

// The process at the other end of a request's socket, as the kernel named it
// when it connected (the peer's credentials), and the start time that tells
// it from a later process reusing its ID (field 22 of /proc/{pid}/stat, in
// clock ticks since boot). A plain value.
struct PeerProcess {
  pid_t pid = 0;
  std::uint64_t start_time = 0;
  uid_t uid = 0;

  friend bool operator==(const PeerProcess&, const PeerProcess&) = default;
};

// One question to the authority: may `subject` erase the disk?
struct WriteAuthorizationRequest {
  PeerProcess subject;
  // The disk's node ("/dev/sdb"), or its stable id when it has no node name.
  std::string device;
  // The disk as the authority's prompt names it: "Acme Stick 32, 31.0 GB, /dev/sdb".
  std::string drive;

  friend bool operator==(const WriteAuthorizationRequest&, const WriteAuthorizationRequest&) = default;
};

// Asked while the authority has not answered, a few times a second: true
// while the job is wanted; false once it was cancelled (its client went
// away, a signal), which withdraws the question.
using StillWanted = std::function<bool()>;

// Whom a `write` is authorized by. Implementations are used by one request
// at a time, on the request's thread.
class WriteAuthorizer {
 public:
  virtual ~WriteAuthorizer() = default;

  // Blocks until the authority decides, `still_wanted` turns false, or a
  // bound of the implementation's passes. Nothing on
  // success; otherwise `NotAuthorized`, `AuthorizationDismissed`,
  // `AuthorizationUnavailable` (no authority answered, with why) or
  // `WriteCancelled`.
  [[nodiscard]] virtual Result<void> authorize(const WriteAuthorizationRequest& request,
                                               const StillWanted& still_wanted) const = 0;
};

// What a request's `write` is authorized with: borrowed for the request.
struct WriteAuthorization {
  // None: writes need no authorization (every mode without --authorize).
  const WriteAuthorizer* authorizer = nullptr;
  // The process that sent the request, when its transport knows it; with an
  // authorizer and no subject a `write` is refused.
  std::optional<PeerProcess> subject;
};

// The question about `disk` (the live disk the job resolved to) for
// `subject`. The disk's texts come from the device itself, so they are made
// printable and short before an authority shows them.
WriteAuthorizationRequest authorization_request(const PeerProcess& subject, const DeviceCandidate& disk);

// A size in decimal units with one decimal, as disks are sold: "31.0 GB",
// "512.0 MB", "999 B".
std::string decimal_size(std::uint64_t bytes);

}  // namespace kelmar_vindle
