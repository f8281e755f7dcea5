#include "xpc.hpp"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

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

std::string answer(std::string_view request, const ImageAccess& image) {
  SharedCtx& shared = CTX();
  const std::lock_guard guard(shared.lock);
  if (!shared.ctx) return {};
  return handle_line(request, *shared.ctx->snapshot, *shared.ctx->writer, image);
}

}  // namespace

extern "C" char* on_json(const char* text, unsigned int uid, unsigned int gid, int image_fd) {
  try {
    const std::string request = text == nullptr ? std::string() : text::decode_utf8_lossy(text);
    const auto peer_gid = static_cast<gid_t>(gid);
    const Client client = uid == 0 ? Client::root() : Client::of_user(static_cast<uid_t>(uid), &peer_gid);
    std::string reply = answer(request, ImageAccess(client, image_fd));
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
                       const char* peer_requirement) {
  {
    SharedCtx& shared = CTX();
    const std::lock_guard guard(shared.lock);
    shared.ctx.reset();  // the old backend goes before the source it may borrow
    shared.ctx = XpcCtx{std::move(source), std::move(backend)};
  }
  vindle_xpc_set_handler(&on_json);  // the context is set before any request can arrive
  return "xpc listen exited rc=" + std::to_string(vindle_xpc_listen_mach(label, peer_requirement));
}

}  // namespace kelmar_vindle::helper
