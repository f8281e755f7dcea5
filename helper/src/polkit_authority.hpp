// polkit's authority on the system bus, asked before each `write` whether
// the request's process may erase the disk (--authorize polkit). One file
// per build: polkit_authority_sdbus.cpp on Linux with libsystemd's D-Bus
// library, polkit_authority_unavailable.cpp elsewhere (macOS, the 'none'
// platform, and static builds, for which Debian ships no libsystemd).
#pragma once

#include <memory>
#include <string>

#include "kelmar_vindle/authorization.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::helper {

// An authorizer that asks polkit about `action_id` (checked by the caller)
// for each write: CheckAuthorization with the `unix-process` subject, user
// interaction allowed, and the details `drive` and `device` that the
// policy's message names. The system bus is connected per question, so that
// a helper that only validates never needs it. Where this build cannot ask
// polkit it fails with the reason, never an authorizer that allows.
[[nodiscard]] TextResult<std::unique_ptr<WriteAuthorizer>> make_polkit_authorizer(std::string action_id);

}  // namespace kelmar_vindle::helper
