// The XPC service layer: keeps the device source and the write backend for
// the life of the process and answers each message's request text through
// handle_line, one request at a time.
#pragma once

#include <memory>
#include <string>

#include "job_signals.hpp"
#include "kelmar_vindle/helper.hpp"
#include "kelmar_vindle/write.hpp"

namespace kelmar_vindle::helper {

// The Mach service's fixed label; clients use the same one.
inline constexpr const char* kXpcServiceLabel = "com.kelmar-vindle.helper";

// Stores both objects in the process-wide context, registers `on_json` and
// serves `label`; with `peer_requirement`, only peers that meet that
// code-signing requirement reach the handler. With `signals`, SIGTERM and
// SIGINT cancel the running request's job; once it is answered the service
// ends (status 0). Returns only when the service cannot start ("xpc listen
// exited rc={}") or its listener fails, as it does when launchd offers no
// such service ("xpc listener for {label} failed: ...").
std::string listen_xpc(std::unique_ptr<DeviceSnapshot> source, std::unique_ptr<WriteBackend> backend,
                       const char* label = kXpcServiceLabel, const char* peer_requirement = nullptr,
                       JobSignals* signals = nullptr);

// The shim's handler: a request text (null counts as empty; invalid UTF-8 is
// replaced by U+FFFD) from `peer`, whose effective user is `uid` and group
// `gid`, who may have sent the image as `image_fd` (borrowed; -1 when not),
// in; a malloc-owned reply text out, or null only when no memory is left
// for it. Files the request names are opened with the peer's rights. A
// `write` that asks for progress sends its events to the peer as they
// happen, and the peer going away meanwhile cancels it. A request that asks
// for progress gets its `result` both as the reply and as a message of its
// own after its events (the platform orders only the latter among them).
extern "C" char* on_json(const char* text, unsigned int uid, unsigned int gid, int image_fd, void* peer);

}  // namespace kelmar_vindle::helper
