// The dispatcher: answers each request with exactly one `result` event and
// fixes the order of the safety checks between a request and a write.
#pragma once

#include <atomic>
#include <string_view>
#include <vector>

#include "kelmar_vindle/authorization.hpp"
#include "kelmar_vindle/client.hpp"
#include "kelmar_vindle/device.hpp"
#include "kelmar_vindle/device/snapshot.hpp"
#include "kelmar_vindle/error.hpp"
#include "kelmar_vindle/progress_events.hpp"
#include "kelmar_vindle/protocol.hpp"
#include "kelmar_vindle/write.hpp"

namespace kelmar_vindle {

// What a transport lends one request's job, both borrowed for the request.
struct JobControl {
  // The job's cancellation flag, which the transport (its client going away)
  // and the signals may set from any thread. Null: a flag of the
  // dispatcher's own that nothing sets.
  std::atomic<bool>* cancel = nullptr;
  // Where a `write` that asked for progress sends its events ahead of its
  // result; every `write` has the channel watch its client as it runs,
  // events or not. Null: the transport carries no events and cannot tell
  // that its client went away; the request gets its one
  // reply whatever it asked.
  EventChannel* events = nullptr;
};

// Borrowed for one request; the caller owns both. `image` says whom the
// request is served for (files it names are opened with its rights) and
// holds the image descriptor it handed over, if any. `authorization` says
// whom a `write` must be authorized by, if anyone, and for which process.
struct DispatchDeps {
  const DeviceSnapshot& snapshot;
  const WriteBackend& writer;
  ImageAccess image = ImageAccess();
  JobControl job = JobControl();
  WriteAuthorization authorization = WriteAuthorization();
};

// The entry every transport uses: request text in, one event out (and, for
// a `write` that asked for progress, its events to `job.events` before).
// Never fails; a malformed request yields a `result` with the code "protocol".
HelperEvent dispatch_json_with_writer(std::string_view text, const DeviceSnapshot& snapshot, const WriteBackend& writer,
                                      const ImageAccess& image = ImageAccess(), const JobControl& job = JobControl(),
                                      const WriteAuthorization& authorization = WriteAuthorization());

// A decoded request in, one event out. For `validate` and `write`: the job's
// shape, then a fresh live list, then revalidation of the target; for
// `write` then the dry-run and backend refusals (`WriteBackend::admit`),
// the authorization when there is an authorizer (`validate` is never
// authorized), and the backend writes the job re-targeted at the live disk.
// Nothing of the job is opened and no event is sent before the write was
// authorized.
HelperEvent dispatch(const HelperRequest& request, const DispatchDeps& deps);

// The `result` event for a failure: its code and its text, nothing else.
HelperEvent error_event(const Error& error);

}  // namespace kelmar_vindle
