// polkit's D-Bus API through sd-bus (libsystemd): a library every Debian
// system has, with no main loop or GLib in the root process; the blocking
// wait is the helper's own, so that it can watch its client meanwhile.
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "kelmar_vindle/file_io.hpp"
#include "polkit_authority.hpp"

namespace kelmar_vindle::helper {
namespace {

constexpr const char* kService = "org.freedesktop.PolicyKit1";
constexpr const char* kObject = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char* kInterface = "org.freedesktop.PolicyKit1.Authority";
constexpr std::uint32_t kAllowUserInteraction = 1;

// How long the authority may take to decide. Its agent may be waiting for a
// person to type a password, which takes minutes, not seconds; a client that
// goes away meanwhile withdraws the question sooner.
constexpr std::chrono::minutes kDecisionPatience{5};
// How often the client is looked at while the authority decides.
constexpr std::chrono::milliseconds kWatchInterval{200};
// Withdrawing a question is a courtesy to the agent: it is not waited for long.
constexpr std::chrono::seconds kCancelPatience{5};

std::uint64_t microseconds(std::chrono::microseconds duration) { return static_cast<std::uint64_t>(duration.count()); }

struct BusClose {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
struct SlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using Bus = std::unique_ptr<sd_bus, BusClose>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;
using Slot = std::unique_ptr<sd_bus_slot, SlotUnref>;

Error unavailable(std::string why) { return Error::make<ErrorKind::AuthorizationUnavailable>(std::move(why)); }

// "{what}: {system's text}" for a negative errno from sd-bus.
Error bus_failure(std::string_view what, int negative_errno) {
  return unavailable(std::string(what) + ": " + os_error_text(-negative_errno));
}

// The question, as polkit's CheckAuthorization takes it:
// (subject (sa{sv}), action_id s, details a{ss}, flags u, cancellation_id s).
Result<Message> check_call(sd_bus* bus, const std::string& action_id, const WriteAuthorizationRequest& request,
                           const std::string& cancellation_id) {
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus, &raw, kService, kObject, kInterface, "CheckAuthorization");
  if (r < 0) return std::unexpected(bus_failure("cannot build the question", r));
  Message call(raw);
  // polkit's unix-process subject: the start time makes the ID unambiguous,
  // and the uid is the one the kernel gave for the peer.
  r = sd_bus_message_append(call.get(), "(sa{sv})", "unix-process", 3, "pid", "u",
                            static_cast<std::uint32_t>(request.subject.pid), "start-time", "t",
                            request.subject.start_time, "uid", "i", static_cast<std::int32_t>(request.subject.uid));
  if (r >= 0) {
    r = sd_bus_message_append(call.get(), "sa{ss}us", action_id.c_str(), 2, "drive", request.drive.c_str(), "device",
                              request.device.c_str(), kAllowUserInteraction, cancellation_id.c_str());
  }
  if (r < 0) return std::unexpected(bus_failure("cannot build the question", r));
  return call;
}

// Reads polkit's AuthorizationResult (bba{ss}: is_authorized, is_challenge,
// details) or the error that came instead.
Result<void> read_decision(sd_bus_message* reply, const WriteAuthorizationRequest& request) {
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    const std::string name = error->name != nullptr ? error->name : "error";
    return std::unexpected(unavailable(error->message != nullptr ? name + ": " + error->message : name));
  }
  int authorized = 0;
  int challenge = 0;
  bool dismissed = false;
  int r = sd_bus_message_enter_container(reply, 'r', "bba{ss}");
  if (r >= 0) r = sd_bus_message_read(reply, "bb", &authorized, &challenge);
  if (r >= 0) r = sd_bus_message_enter_container(reply, 'a', "{ss}");
  const char* key = nullptr;
  const char* value = nullptr;
  while (r >= 0 && (r = sd_bus_message_read(reply, "{ss}", &key, &value)) > 0) {
    // The agent's window was closed without an answer.
    if (std::string_view(key) == "polkit.dismissed" && std::string_view(value) == "true") dismissed = true;
  }
  if (r < 0) return std::unexpected(bus_failure("unreadable answer", r));
  if (authorized != 0) return {};
  // Not authorized, or a challenge nobody could take (no agent for the
  // client's session): refused either way.
  if (dismissed) return std::unexpected(Error::make<ErrorKind::AuthorizationDismissed>());
  return std::unexpected(Error::make<ErrorKind::NotAuthorized>(request.device));
}

// Where the reply callback leaves the decision.
struct Pending {
  const WriteAuthorizationRequest& request;
  std::optional<Result<void>> decision;
  bool timed_out = false;
};

int on_reply(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  auto& pending = *static_cast<Pending*>(userdata);
  pending.timed_out = sd_bus_message_is_method_error(reply, SD_BUS_ERROR_NO_REPLY) > 0;
  pending.decision = read_decision(reply, pending.request);
  return 0;
}

// Withdraws the question, so that the agent takes its prompt down.
void cancel_question(sd_bus* bus, const std::string& cancellation_id) {
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus, &raw, kService, kObject, kInterface, "CancelCheckAuthorization") < 0) return;
  const Message call(raw);
  if (sd_bus_message_append(call.get(), "s", cancellation_id.c_str()) < 0) return;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_call(bus, call.get(), microseconds(kCancelPatience), &error, nullptr);
  sd_bus_error_free(&error);
}

class PolkitAuthorizer final : public WriteAuthorizer {
 public:
  explicit PolkitAuthorizer(std::string action_id) : action_id_(std::move(action_id)) {}

  Result<void> authorize(const WriteAuthorizationRequest& request, const StillWanted& still_wanted) const override {
    // sd_bus_open_system takes DBUS_SYSTEM_BUS_ADDRESS (through
    // secure_getenv) before the standard socket. That is no way in for a
    // client: a root helper's environment is set only by root or by a
    // launcher root trusts (the service manager; pkexec clears it), and
    // whoever sets it could as well leave --authorize off the command line.
    sd_bus* raw = nullptr;
    if (const int r = sd_bus_open_system(&raw); r < 0) return std::unexpected(bus_failure("no system bus", r));
    const Bus bus(raw);

    // Unique for this connection to the bus, which is the caller polkit
    // files the question under.
    const std::string cancellation_id = "kelmar-vindle-" + std::to_string(::getpid()) + "-" + std::to_string(++asked_);
    auto call = check_call(bus.get(), action_id_, request, cancellation_id);
    if (!call) return std::unexpected(std::move(call.error()));
    Pending pending{request, std::nullopt};
    sd_bus_slot* raw_slot = nullptr;
    if (const int r =
            sd_bus_call_async(bus.get(), &raw_slot, call->get(), on_reply, &pending, microseconds(kDecisionPatience));
        r < 0) {
      return std::unexpected(bus_failure("cannot ask the authority", r));
    }
    const Slot slot(raw_slot);

    for (;;) {
      const int processed = sd_bus_process(bus.get(), nullptr);
      if (processed < 0) return std::unexpected(bus_failure("the system bus failed", processed));
      if (pending.decision) break;
      if (processed > 0) continue;
      if (!still_wanted()) {
        cancel_question(bus.get(), cancellation_id);
        return std::unexpected(Error::make<ErrorKind::WriteCancelled>());
      }
      if (const int waited = sd_bus_wait(bus.get(), microseconds(kWatchInterval)); waited < 0 && waited != -EINTR) {
        return std::unexpected(bus_failure("the system bus failed", waited));
      }
    }
    // An agent may still be showing a prompt nobody answered in time.
    if (pending.timed_out) cancel_question(bus.get(), cancellation_id);
    return *pending.decision;
  }

 private:
  std::string action_id_;
  mutable std::uint64_t asked_ = 0;  // one request at a time (see WriteAuthorizer)
};

}  // namespace

TextResult<std::unique_ptr<WriteAuthorizer>> make_polkit_authorizer(std::string action_id) {
  return std::make_unique<PolkitAuthorizer>(std::move(action_id));
}

}  // namespace kelmar_vindle::helper
