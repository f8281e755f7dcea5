#include "xpc.hpp"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

#include "kelmar_vindle/protocol.hpp"
#include "kelmar_vindle/text.hpp"
#include "line_transports.hpp"
#include "vindle_xpc.h"

namespace kelmar_vindle::helper {
namespace {

// The objects every request needs. The source is declared first so that the
// backend, which may borrow it, goes first.
struct XpcCtx {
  std::unique_ptr<DeviceSnapshot> snapshot;
  std::unique_ptr<WriteBackend> writer;
  JobSignals* signals = nullptr;
};

// The one process-wide context. Its lock is held around each whole request,
// so requests from all peers are handled strictly one at a time.
struct SharedCtx {
  std::mutex lock;
  std::optional<XpcCtx> ctx;
};

SharedCtx& CTX() {
  static SharedCtx shared;
  return shared;
}

// Events as messages of their own to the requesting peer. The peer going
// away, which the shim records on its connection, cancels the job.
class PeerEvents final : public EventChannel {
 public:
  PeerEvents(void* peer, std::atomic<bool>& cancel) : peer_(peer), cancel_(cancel) {}

  void send(const HelperEvent& event) override {
    if (gone_) return;
    vindle_xpc_send_event(peer_, encode_event(event).c_str());
  }
  void watch() override {
    if (gone_ || vindle_xpc_peer_went_away(peer_) == 0) return;
    gone_ = true;
    cancel_.store(true, std::memory_order_release);
  }

  // The reply, also as a message of its own after the events: libxpc does
  // not order a reply against the messages sent on its peer's connection,
  // so a client that asked for progress reads its events and then this
  // `result` in one ordered stream, whichever it receives first.
  void end_with(const std::string& reply) {
    if (!gone_) vindle_xpc_send_event(peer_, reply.c_str());
  }

 private:
  void* peer_;
  std::atomic<bool>& cancel_;
  bool gone_ = false;
};

// The request is one the dispatcher reads (not over-long) and it asked for
// its events.
bool asked_for_progress(std::string_view request) {
  if (request.size() > kMaxRequestBytes) return false;
  const auto parsed = parse_request(request);
  return parsed && parsed->progress;
}

std::string answer(std::string_view request, const ImageAccess& image, void* peer) {
  SharedCtx& shared = CTX();
  const std::lock_guard guard(shared.lock);
  if (!shared.ctx) return {};
  std::atomic<bool> cancel{false};
  PeerEvents events(peer, cancel);
  std::string reply;
  {
    const auto scope =
        shared.ctx->signals != nullptr ? shared.ctx->signals->cancel_on_signal(cancel) : JobSignals::Scope();
    reply = handle_line(request, *shared.ctx->snapshot, *shared.ctx->writer, image, JobControl{&cancel, &events});
  }
  if (asked_for_progress(request)) events.end_with(reply);
  return reply;
}

// A signal cancelled a request: the service ends once its reply has left.
extern "C" int should_end() {
  SharedCtx& shared = CTX();
  const std::lock_guard guard(shared.lock);
  return shared.ctx && shared.ctx->signals != nullptr && shared.ctx->signals->stop_requested() ? 1 : 0;
}

}  // namespace

extern "C" char* on_json(const char* text, unsigned int uid, unsigned int gid, int image_fd, void* peer) {
  try {
    const std::string request = text == nullptr ? std::string() : text::decode_utf8_lossy(text);
    const auto peer_gid = static_cast<gid_t>(gid);
    const Client client = uid == 0 ? Client::root() : Client::of_user(static_cast<uid_t>(uid), &peer_gid);
    std::string reply = answer(request, ImageAccess(client, image_fd), peer);
    // The encoder never writes a zero byte; a text holding one could not
    // travel as a C string, so it is replaced by an empty object.
    if (reply.find('\0') != std::string::npos) reply = "{}";
    auto* copy = static_cast<char*>(std::malloc(reply.size() + 1));
    if (copy != nullptr) std::memcpy(copy, reply.c_str(), reply.size() + 1);
    return copy;
  } catch (...) {
    return nullptr;  // no exception may cross into the shim; it sends its fallback reply
  }
}

std::string listen_xpc(std::unique_ptr<DeviceSnapshot> source, std::unique_ptr<WriteBackend> backend, const char* label,
                       const char* peer_requirement, JobSignals* signals) {
  {
    SharedCtx& shared = CTX();
    const std::lock_guard guard(shared.lock);
    shared.ctx.reset();  // the old backend goes before the source it may borrow
    shared.ctx = XpcCtx{std::move(source), std::move(backend), signals};
  }
  // The context is set before any request can arrive.
  vindle_xpc_set_handler(&on_json);
  vindle_xpc_set_should_end(&should_end);
  const int code = vindle_xpc_listen_mach(label, peer_requirement);
  if (code == VINDLE_XPC_LISTENER_FAILED) {
    return "xpc listener for " + std::string(label) +
           " failed: launchd offers no such Mach service (the helper runs only as the launch daemon whose "
           "MachServices names it)";
  }
  return "xpc listen exited rc=" + std::to_string(code);
}

}  // namespace kelmar_vindle::helper
