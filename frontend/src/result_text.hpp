// What a failed `result` of the helper tells the person: its message, and
// for a refusal they can do something about, what to do, in one sentence.
#pragma once

#include <string>
#include <string_view>

#include "kelmar_vindle/protocol.hpp"

namespace kelmar_vindle::frontend {

// `job` names the write ("the write of {image} onto {disk}"). The
// service's refusals of a write the system's authority did not allow
// (`not_authorized`) or could not be asked about
// (`authorization_unavailable`) say that nothing was written and what
// helps; a disk that went away, is write-protected, failed a transfer or
// is too small gets the message and what to try (another port, the lock
// switch, another stick); any other failure reads "{job} failed: {message}".
[[nodiscard]] std::string failed_write_text(const HelperEvent::Result& result, std::string_view job);

// What a successful write's eject means for the person, one line ending in
// a line feed: that `disk` may be pulled out now, or that it could not be
// ejected (why) and must be ejected before it is pulled; empty when the
// write did not ask for an eject.
[[nodiscard]] std::string ejected_text(const HelperEvent::Result& result, std::string_view disk);

}  // namespace kelmar_vindle::frontend
