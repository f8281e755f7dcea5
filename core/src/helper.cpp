#include "kelmar_vindle/helper.hpp"

#include <atomic>
#include <exception>
#include <optional>

#include "kelmar_vindle/device/revalidation.hpp"

namespace kelmar_vindle {
namespace {

HelperEvent refusal(std::string message) {
  return {HelperEvent::Result{false, ErrorCode::Protocol, std::move(message), {}, {}}};
}

// Shape, live list and revalidation: the steps `validate` and `write` share.
// Returns the live disk the target designates now.
Result<DeviceCandidate> resolve_target(const WriteJob& job, const DispatchDeps& deps) {
  if (auto shape = job.validate_shape(); !shape) return std::unexpected(std::move(shape.error()));
  auto live = deps.snapshot.list();
  if (!live) return std::unexpected(std::move(live.error()));
  return revalidate_against_live(job.target, *live);
}

HelperEvent dispatch_validate(const WriteJob& job, const DispatchDeps& deps) {
  auto resolved = resolve_target(job, deps);
  if (!resolved) return error_event(resolved.error());
  return {HelperEvent::Result{true, {}, {}, std::move(*resolved), {}}};
}

// A backend's failure; a job the backend stopped before opening the disk
// still names the disk it would have written.
HelperEvent backend_failure(const Error& error, DeviceCandidate resolved) {
  if (error.kind() == ErrorKind::WriteStoppedBeforeDeviceOpen) {
    return {HelperEvent::Result{false, error.code(), error.text(), std::move(resolved), {}}};
  }
  return error_event(error);
}

// Asks the authorizer, if there is one, whether the request's process may
// write `disk`; the transport watches its client meanwhile, so that a
// client going away withdraws the question.
Result<void> authorize(const DeviceCandidate& disk, const DispatchDeps& deps, const std::atomic<bool>& cancel_flag) {
  const WriteAuthorization& authorization = deps.authorization;
  if (authorization.authorizer == nullptr) return {};
  if (!authorization.subject) {
    return std::unexpected(Error::make<ErrorKind::AuthorizationUnavailable>("the client's process is not known"));
  }
  const StillWanted still_wanted = [&] {
    if (deps.job.events != nullptr) deps.job.events->watch();
    return !cancel_flag.load(std::memory_order_acquire);
  };
  return authorization.authorizer->authorize(authorization_request(*authorization.subject, disk), still_wanted);
}

HelperEvent dispatch_write(const WriteJob& job, bool wants_progress, const DispatchDeps& deps) {
  auto resolved = resolve_target(job, deps);
  if (!resolved) return error_event(resolved.error());
  // Both refusals come after revalidation: a vanished disk is reported as
  // such even for a dry run.
  if (job.dry_run) return refusal("write refused: job.dry_run is true");
  if (deps.writer.kind() == BackendKind::RealNotEnabled) {
    return error_event(Error::make<ErrorKind::RealWriteNotEnabled>());
  }

  // The backend writes the disk revalidation resolved (its current BSD name),
  // never the identity as the client sent it.
  WriteJob to_write = job;
  to_write.target = resolved->identity;
  to_write.dry_run = false;

  std::atomic<bool> own_flag{false};
  const std::atomic<bool>& cancel_flag = deps.job.cancel != nullptr ? *deps.job.cancel : own_flag;
  // Nobody is asked to approve a write the backend would refuse, and
  // nothing is opened or announced before the write is approved.
  const auto cancelled = [&] { return cancel_flag.load(std::memory_order_acquire); };
  if (auto admitted = deps.writer.admit(to_write); !admitted) return backend_failure(admitted.error(), *resolved);
  // Stopped while it was being re-identified: nothing of the job has begun.
  if (cancelled()) return error_event(Error::make<ErrorKind::WriteCancelled>());
  if (auto authorized = authorize(*resolved, deps, cancel_flag); !authorized) return error_event(authorized.error());
  std::optional<ProgressEvents> events;
  ProgressFn progress;  // without a channel every report is dropped
  if (deps.job.events != nullptr) {
    // Whether or not the client asked for events, the transport looks at it
    // at every report: a client that went away cancels its job either way.
    progress = wants_progress ? events.emplace(*deps.job.events, to_write.expected_size).reporter()
                              : watching_reporter(*deps.job.events);
  }
  // Or while its authorization was asked: nothing has begun either.
  if (cancelled()) return error_event(Error::make<ErrorKind::WriteCancelled>());
  auto digest = deps.writer.write_job(to_write, deps.image, cancel_flag, progress);
  if (digest) {
    HelperEvent::Result written{true, {}, {}, std::move(*resolved), std::move(*digest)};
    // The image is verified whatever the eject does: a disk that stays
    // attached is reported, not failed.
    if (to_write.eject) {
      const auto ejected = deps.writer.eject(to_write);
      written.ejected = ejected.has_value();
      if (!ejected) written.eject_error = ejected.error().text();
    }
    return {std::move(written)};
  }

  return backend_failure(digest.error(), std::move(*resolved));
}

}  // namespace

HelperEvent error_event(const Error& error) { return {HelperEvent::Result{false, error.code(), error.text(), {}, {}}}; }

HelperEvent dispatch(const HelperRequest& request, const DispatchDeps& deps) {
  // Requests from parse_request always carry version 1; this guards callers
  // that build requests themselves.
  if (request.v != PROTOCOL_VERSION) return refusal("unsupported v=" + std::to_string(request.v));

  struct ByCommand {
    const HelperRequest& request;
    const DispatchDeps& deps;
    HelperEvent operator()(const HelperCommand::Validate& c) const { return dispatch_validate(c.job, deps); }
    HelperEvent operator()(const HelperCommand::Write& c) const {
      return dispatch_write(c.job, request.progress, deps);
    }
    HelperEvent operator()(const HelperCommand::Cancel&) const {
      // A request is answered only once its work is done, so no job can be in flight.
      return refusal("cancel has no in-flight job in this dispatch");
    }
  };
  return std::visit(ByCommand{request, deps}, request.command.value);
}

HelperEvent dispatch_json_with_writer(std::string_view text, const DeviceSnapshot& snapshot, const WriteBackend& writer,
                                      const ImageAccess& image, const JobControl& job,
                                      const WriteAuthorization& authorization) {
  try {
    const auto request = parse_request(text);
    if (!request) return error_event(request.error());
    return dispatch(*request, DispatchDeps{snapshot, writer, image, job, authorization});
  } catch (const std::exception& e) {
    // Last guard of the one-reply rule; the request path reports its
    // failures as values, so this only sees library surprises.
    return error_event(Error::io(e.what()));
  }
}

}  // namespace kelmar_vindle
