#include "kelmar_vindle/protocol.hpp"

#include <array>

namespace kelmar_vindle {
namespace {

constexpr std::array<std::string_view, 3> kCommandNames{"validate", "write", "cancel"};
constexpr std::array<std::string_view, 3> kEventNames{"accepted", "progress", "result"};

// The version gate: passes only the integer 1 written without fraction or
// exponent. Reports the version as the failure's number, or 0 where "v" is
// missing, negative, fractional, too large or no integer at all.
Result<std::uint32_t> check_version(const json::Value& request) {
  std::uint64_t version = 0;
  if (request.is_object()) {
    const auto v = request.find("v");
    if (v != request.end() && v->is_number_unsigned()) version = v->get<std::uint64_t>();
  }
  if (version != PROTOCOL_VERSION) {
    return std::unexpected(Error::protocol("unsupported protocol v=" + std::to_string(version)));
  }
  return PROTOCOL_VERSION;
}

// The command's variant index from its tag: a name, or a position.
json::Read<std::size_t> read_command_tag(const json::Value& request) {
  const auto cmd = request.find("cmd");
  if (cmd == request.end()) return std::unexpected(std::string("missing field `cmd`"));
  if (cmd->is_string()) {
    const auto& name = cmd->get_ref<const std::string&>();
    for (std::size_t i = 0; i < kCommandNames.size(); ++i) {
      if (kCommandNames[i] == name) return i;
    }
    return std::unexpected(json::unknown_variant(name, kCommandNames));
  }
  if (cmd->is_number_unsigned()) {
    const auto index = cmd->get<std::uint64_t>();
    if (index >= kCommandNames.size()) {
      return std::unexpected("invalid value: integer `" + std::to_string(index) +
                             "`, expected variant index 0 <= i < 3");
    }
    return static_cast<std::size_t>(index);
  }
  return std::unexpected(json::invalid_type(*cmd, "variant identifier"));
}

json::Read<WriteJob> read_job_member(const json::Value& request) {
  const auto job = request.find("job");
  if (job == request.end()) return std::unexpected(std::string("missing field `job`"));
  return read_write_job(*job);
}

json::Read<HelperCommand> read_command(const json::Value& request) {
  const auto tag = read_command_tag(request);
  if (!tag) return std::unexpected(tag.error());
  if (*tag == 2) return HelperCommand{HelperCommand::Cancel{}};
  auto job = read_job_member(request);
  if (!job) return std::unexpected(std::move(job.error()));
  if (*tag == 0) return HelperCommand{HelperCommand::Validate{std::move(*job)}};
  return HelperCommand{HelperCommand::Write{std::move(*job)}};
}

// The members of one event object, read by name.
class EventMembers {
 public:
  explicit EventMembers(const json::Value& event) : event_(event) {}

  template <class T, class F>
  json::Read<void> required(std::string_view name, T& out, F&& reader) const {
    const auto member = event_.find(name);
    if (member == event_.end()) return std::unexpected("missing field `" + std::string(name) + "`");
    return json::assign(out, std::forward<F>(reader)(*member));
  }

  // Absent and null both leave `out` empty.
  template <class T, class F>
  json::Read<void> optional(std::string_view name, std::optional<T>& out, F&& reader) const {
    const auto member = event_.find(name);
    if (member == event_.end()) return {};
    return json::assign(out, json::read_optional(*member, std::forward<F>(reader)));
  }

 private:
  const json::Value& event_;
};

// The first failed read of several, in their order.
json::Read<void> all_of(std::initializer_list<json::Read<void>> reads) {
  for (const auto& read : reads) {
    if (!read) return read;
  }
  return {};
}

json::Read<ErrorCode> read_error_code(const json::Value& value) {
  auto name = json::read_string(value);
  if (!name) return std::unexpected(std::move(name.error()));
  const auto code = error_code_from_name(*name);
  if (!code) return std::unexpected("unknown error code `" + *name + "`");
  return *code;
}

json::Read<HelperEvent> read_event(const json::Value& event) {
  if (!event.is_object()) return std::unexpected(json::invalid_type(event, "struct HelperEvent"));
  const EventMembers members(event);
  std::string name;
  if (auto read = members.required("evt", name, json::read_string); !read) return std::unexpected(read.error());
  if (name == kEventNames[0]) return HelperEvent{HelperEvent::Accepted{}};
  if (name == kEventNames[1]) {
    HelperEvent::Progress progress;
    const auto read = all_of({members.required("phase", progress.phase, json::read_string),
                              members.required("bytes_done", progress.bytes_done, json::read_u64),
                              members.required("total", progress.total, json::read_u64)});
    if (!read) return std::unexpected(read.error());
    return HelperEvent{std::move(progress)};
  }
  if (name == kEventNames[2]) {
    HelperEvent::Result result;
    const auto read = all_of({members.required("ok", result.ok, json::read_bool),
                              members.optional("error", result.error, read_error_code),
                              members.optional("message", result.message, json::read_string),
                              members.optional("resolved_device", result.resolved_device, read_device_candidate),
                              members.optional("usb_sha256", result.usb_sha256, json::read_string),
                              members.optional("ejected", result.ejected, json::read_bool),
                              members.optional("eject_error", result.eject_error, json::read_string)});
    if (!read) return std::unexpected(read.error());
    // Made in place: returning a temporary HelperEvent holding it makes GCC 12
    // at -O3 warn that the other alternative's string may be used
    // uninitialized (-Wmaybe-uninitialized), which no path does.
    json::Read<HelperEvent> parsed(std::in_place);
    parsed->value.emplace<HelperEvent::Result>(std::move(result));
    return parsed;
  }
  return std::unexpected(json::unknown_variant(name, kEventNames));
}

}  // namespace

Result<HelperRequest> parse_request(std::string_view text) {
  auto tree = json::parse(text, json::DuplicateMembers::LastWins);
  if (!tree) return std::unexpected(Error::protocol(std::move(tree.error())));
  const auto version = check_version(*tree);
  if (!version) return std::unexpected(version.error());
  auto command = read_command(*tree);
  if (!command) return std::unexpected(Error::protocol(std::move(command.error())));
  const auto progress = tree->find("progress");
  const bool wants_progress = progress != tree->end() && progress->is_boolean() && progress->get<bool>();
  return HelperRequest{*version, std::move(*command), wants_progress};
}

std::string encode_request(const HelperRequest& request) {
  json::Writer out;
  out.begin_object();
  out.key("v").number(request.v);
  out.key("cmd").string(kCommandNames[request.command.value.index()]);
  const auto job = [&](const WriteJob& j) {
    out.key("job");
    write_write_job(out, j);
  };
  if (const auto* validate = std::get_if<HelperCommand::Validate>(&request.command.value)) job(validate->job);
  if (const auto* write = std::get_if<HelperCommand::Write>(&request.command.value)) job(write->job);
  if (request.progress) out.key("progress").boolean(true);
  out.end_object();
  return out.take();
}

Result<HelperEvent> parse_event(std::string_view text) {
  auto tree = json::parse(text, json::DuplicateMembers::LastWins);
  if (!tree) return std::unexpected(Error::protocol(std::move(tree.error())));
  auto event = read_event(*tree);
  if (!event) return std::unexpected(Error::protocol(std::move(event.error())));
  return std::move(*event);
}

std::string encode_event(const HelperEvent& event) {
  json::Writer out;
  out.begin_object();
  struct Members {
    json::Writer& out;
    void operator()(const HelperEvent::Accepted&) const { out.key("evt").string("accepted"); }
    void operator()(const HelperEvent::Progress& p) const {
      out.key("evt").string("progress");
      out.key("phase").string(p.phase);
      out.key("bytes_done").number(p.bytes_done);
      out.key("total").number(p.total);
    }
    void operator()(const HelperEvent::Result& r) const {
      out.key("evt").string("result");
      out.key("ok").boolean(r.ok);
      if (r.error) out.key("error").string(error_code_name(*r.error));
      if (r.message) out.key("message").string(*r.message);
      if (r.resolved_device) {
        out.key("resolved_device");
        write_device_candidate(out, *r.resolved_device);
      }
      if (r.usb_sha256) out.key("usb_sha256").string(*r.usb_sha256);
      if (r.ejected) out.key("ejected").boolean(*r.ejected);
      if (r.eject_error) out.key("eject_error").string(*r.eject_error);
    }
  };
  std::visit(Members{out}, event.value);
  out.end_object();
  return out.take();
}

}  // namespace kelmar_vindle
