// The dispatcher: answers each request with exactly one `result` event and
// fixes the order of the safety checks between a request and a write.
#pragma once

#include <string_view>
#include <vector>

#include "kelmar_vindle/client.hpp"
#include "kelmar_vindle/device.hpp"
#include "kelmar_vindle/device/snapshot.hpp"
#include "kelmar_vindle/error.hpp"
#include "kelmar_vindle/protocol.hpp"
#include "kelmar_vindle/write.hpp"

namespace kelmar_vindle {

// Borrowed for one request; the caller owns both. `image` says whom the
// request is served for (files it names are opened with its rights) and
// holds the image descriptor it handed over, if any.
struct DispatchDeps {
  const DeviceSnapshot& snapshot;
  const WriteBackend& writer;
  ImageAccess image = ImageAccess();
};

// The entry every transport uses: request text in, one event out. Never
// fails; a malformed request yields a `result` with the code "protocol".
HelperEvent dispatch_json_with_writer(std::string_view text, const DeviceSnapshot& snapshot, const WriteBackend& writer,
                                      const ImageAccess& image = ImageAccess());

// A decoded request in, one event out. For `validate` and `write`: the job's
// shape, then a fresh live list, then revalidation of the target; for
// `write` then the dry-run and backend refusals, and the backend writes the
// job re-targeted at the live disk.
HelperEvent dispatch(const HelperRequest& request, const DispatchDeps& deps);

// The `result` event for a failure: its code and its text, nothing else.
HelperEvent error_event(const Error& error);

}  // namespace kelmar_vindle
