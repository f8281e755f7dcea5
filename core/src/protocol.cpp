#include "kelmar_vindle/protocol.hpp"

#include <array>

namespace kelmar_vindle {
namespace {

constexpr std::array<std::string_view, 3> kCommandNames{"validate", "write", "cancel"};

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
    }
  };
  std::visit(Members{out}, event.value);
  out.end_object();
  return out.take();
}

}  // namespace kelmar_vindle
