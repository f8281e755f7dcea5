// The JSON protocol between the desktop application and the helper: request
// decoding and event encoding. Transports carry the texts; the dispatcher
// turns a decoded request into the event that answers it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "kelmar_vindle/device.hpp"
#include "kelmar_vindle/error.hpp"
#include "kelmar_vindle/job.hpp"

namespace kelmar_vindle {

inline constexpr std::uint32_t PROTOCOL_VERSION = 1;

// What the helper is asked to do; the variants keep the order of their
// positional tags (0, 1, 2).
struct HelperCommand {
  struct Validate {
    WriteJob job;
    friend bool operator==(const Validate&, const Validate&) = default;
  };
  struct Write {
    WriteJob job;
    friend bool operator==(const Write&, const Write&) = default;
  };
  struct Cancel {
    friend bool operator==(const Cancel&, const Cancel&) = default;
  };

  std::variant<Validate, Write, Cancel> value;
  friend bool operator==(const HelperCommand&, const HelperCommand&) = default;
};

struct HelperRequest {
  std::uint32_t v = PROTOCOL_VERSION;
  HelperCommand command;
  // The top-level member "progress" is exactly `true`: a `write` sends its
  // `accepted` and `progress` events ahead of its `result`, and the client
  // going away cancels it. Any other value, or none, asks for the one reply.
  bool progress = false;
  friend bool operator==(const HelperRequest&, const HelperRequest&) = default;
};

// The reply is always one `Result`, last. A `write` that asked for progress
// is preceded by one `Accepted` once it passed its gates and then by
// `Progress` events (phases `kPhaseCheckingImage`, `kPhaseWriting`,
// `kPhaseVerifying`, in that order).
struct HelperEvent {
  struct Accepted {};
  struct Progress {
    std::string phase;
    std::uint64_t bytes_done = 0;
    std::uint64_t total = 0;
  };
  struct Result {
    bool ok = false;
    std::optional<ErrorCode> error;      // present exactly when !ok
    std::optional<std::string> message;  // present exactly when !ok
    std::optional<DeviceCandidate> resolved_device;
    std::optional<std::string> usb_sha256;  // after a successful write only
    // After a successful write whose job asked for "eject": whether the disk
    // may be pulled now, and when not, why not (the write stays `ok`).
    std::optional<bool> ejected = std::nullopt;
    std::optional<std::string> eject_error = std::nullopt;
  };

  std::variant<Accepted, Progress, Result> value;
};

// The `phase` names of progress events: hashing the image file, copying it
// onto the disk, reading the disk back. `total` is the image's length in each.
inline constexpr std::string_view kPhaseCheckingImage = "checking_image";
inline constexpr std::string_view kPhaseWriting = "writing";
inline constexpr std::string_view kPhaseVerifying = "verifying";

// Decodes one request text: JSON syntax, then the version gate ("v" must be
// the integer 1; it is checked before anything else), then the command and
// its job. Every failure is a `Protocol` error carrying the reason.
[[nodiscard]] Result<HelperRequest> parse_request(std::string_view text);

// One compact JSON object, members in protocol order, absent optional members
// left out; never contains a raw line feed. Cannot fail.
std::string encode_event(const HelperEvent& event);

// What a client sends: one compact JSON object ("v", "cmd" by name, "job"
// for `validate` and `write`, and "progress": true only when asked), which
// `parse_request` decodes back to the same request. No line feed is added.
std::string encode_request(const HelperRequest& request);

// Decodes one line the helper sent, as `encode_event` writes it: "evt" is
// "accepted", "progress" (its "phase", "bytes_done" and "total" required) or
// "result" ("ok" required; "error", a known code name, "message",
// "resolved_device", "usb_sha256", "ejected" and "eject_error" optional). Unknown members are
// ignored; any other fault is a `Protocol` error carrying the reason.
[[nodiscard]] Result<HelperEvent> parse_event(std::string_view text);

}  // namespace kelmar_vindle
