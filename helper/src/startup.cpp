#include "startup.hpp"

#include <unistd.h>

#include <charconv>
#include <optional>

#include "kelmar_vindle/device/enumerators.hpp"
#include "kelmar_vindle/error.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/text.hpp"
#include "polkit_authority.hpp"

namespace kelmar_vindle::helper {
namespace {

std::string identity_mismatch_text() { return Error::make<ErrorKind::DeviceIdentityMismatch>().text(); }

// A user or group ID: decimal digits, and not the all-ones "no ID" value.
template <class Id>
std::optional<Id> read_id(std::string_view text) {
  Id value{};
  const auto* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || at != end || value == static_cast<Id>(-1)) return std::nullopt;
  return value;
}

TextResult<std::optional<SocketClient>> named_client(const std::vector<std::string>& args) {
  const auto uid_text = value_of(args, "--client-uid");
  const auto gid_text = value_of(args, "--client-gid");
  if (!uid_text) {
    if (gid_text) return std::unexpected(std::string("--client-gid needs --client-uid"));
    return std::optional<SocketClient>();
  }
  const auto uid = read_id<uid_t>(*uid_text);
  if (!uid) return std::unexpected(std::string("--client-uid is not a user ID"));
  SocketClient client{*uid, std::nullopt};
  if (gid_text) {
    client.gid = read_id<gid_t>(*gid_text);
    if (!client.gid) return std::unexpected(std::string("--client-gid is not a group ID"));
  }
  return std::optional<SocketClient>(client);
}

}  // namespace

TextResult<std::unique_ptr<DeviceSnapshot>> choose_device_source(const HelperOptions& options, const Client& launcher) {
  if (!options.fixture) return std::make_unique<PlatformEnumerator>();
  // Every failure names the list, so that a launcher's user sees which file.
  const std::string named = *options.fixture + ": ";
  auto contents = read_regular_file_as(launcher, *options.fixture);
  if (!contents) return std::unexpected(named + contents.error().detail());
  if (!text::is_valid_utf8(*contents)) return std::unexpected(named + "stream did not contain valid UTF-8");
  auto devices = read_mock_device_list(*contents);
  if (!devices) return std::unexpected(named + devices.error());
  return std::make_unique<MockEnumerator>(std::move(*devices));
}

bool is_polkit_action_id(std::string_view id) {
  if (id.empty() || id.size() > 255 || id.find('.') == std::string_view::npos) return false;
  bool part_empty = true;
  for (const char c : id) {
    if (c == '.') {
      if (part_empty) return false;
      part_empty = true;
      continue;
    }
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
    part_empty = false;
  }
  return !part_empty;
}

TextResult<std::unique_ptr<WriteAuthorizer>> choose_authorizer(const HelperOptions& options) {
  if (!options.authorize) {
    // An action nobody asks about would look like a check that is made.
    if (options.authorize_action) return std::unexpected(std::string("--authorize-action needs --authorize polkit"));
    return std::unique_ptr<WriteAuthorizer>();
  }
  if (*options.authorize != "polkit") return std::unexpected(std::string("--authorize takes polkit"));
  const std::string action = options.authorize_action.value_or(std::string(kDefaultAuthorizeAction));
  if (!is_polkit_action_id(action)) {
    return std::unexpected("--authorize-action is not a polkit action ID: " + text::decode_utf8_lossy(action));
  }
  return make_polkit_authorizer(action);
}

TextResult<LaunchingClient> launching_client(const Environment& env, uid_t real_uid, gid_t real_gid) {
  // Only root's launchers (pkexec, sudo) say whom they run the helper for.
  // Anyone else can set these variables to anything: the client is who
  // started the process.
  if (real_uid != 0) return LaunchingClient{Client::of_user(real_uid, &real_gid), {}};

  const auto variable = [&](std::string_view name) -> const std::string* {
    const auto found = env.find(name);
    return found == env.end() ? nullptr : &found->second;
  };
  std::optional<uid_t> pkexec_uid;
  if (const auto* pkexec = variable("PKEXEC_UID")) {
    pkexec_uid = read_id<uid_t>(*pkexec);
    if (!pkexec_uid) return std::unexpected(std::string("PKEXEC_UID is not a user ID"));
  }
  std::optional<uid_t> sudo_uid;
  std::optional<gid_t> sudo_gid;
  if (const auto* sudo = variable("SUDO_UID")) {
    sudo_uid = read_id<uid_t>(*sudo);
    if (!sudo_uid) return std::unexpected(std::string("SUDO_UID is not a user ID"));
    if (const auto* gid = variable("SUDO_GID")) {
      sudo_gid = read_id<gid_t>(*gid);
      if (!sudo_gid) return std::unexpected(std::string("SUDO_GID is not a group ID"));
    }
  }
  // Two launchers naming two users leave the client unknown; neither is
  // preferred over the other.
  if (pkexec_uid && sudo_uid && *pkexec_uid != *sudo_uid) {
    return std::unexpected(different_clients_text("PKEXEC_UID", *pkexec_uid, "SUDO_UID", *sudo_uid));
  }
  if (pkexec_uid) return LaunchingClient{Client::of_user(*pkexec_uid), "PKEXEC_UID"};
  if (sudo_uid) return LaunchingClient{Client::of_user(*sudo_uid, sudo_gid ? &*sudo_gid : nullptr), "SUDO_UID"};
  return LaunchingClient{Client::root(), {}};
}

TextResult<std::unique_ptr<WriteBackend>> choose_backend(const HelperOptions& options, const DeviceSnapshot& live_disks,
                                                         const Client& launcher) {
  const auto raw = [&](RawBackendSettings settings) -> std::unique_ptr<WriteBackend> {
    return make_host_raw_backend(std::move(settings), live_disks);
  };
  if (!options.allow_real_write) {
    if (options.sink) return std::make_unique<MockFileBackend>(*options.sink, launcher);
    if (!options.purchaser) return raw(RawBackendSettings::test_device(false));
    return raw({"", 0, true, false});
  }
  if (!options.purchaser) {
    if (!options.expect_serial) return std::unexpected(std::string("--allow-real-write requires --expect-serial"));
    // The test-device profile neither trims nor folds case; its size is fixed.
    if (*options.expect_serial == kTestDeviceSerial) return raw(RawBackendSettings::test_device(true));
    return std::unexpected(identity_mismatch_text());
  }
  // A pin the operator gave must be whole: half of one would silently let
  // any eligible disk through.
  if (options.expect_size_unreadable) {
    return std::unexpected(std::string("--expect-size is not a number of bytes (nor is KELMAR_VINDLE_EXPECT_SIZE)"));
  }
  if (!options.expect_serial && !options.expect_size) return raw({"", 0, true, true});
  if (!options.expect_size) {
    return std::unexpected(std::string("--expect-serial needs --expect-size (or KELMAR_VINDLE_EXPECT_SIZE)"));
  }
  if (!options.expect_serial) {
    return std::unexpected(std::string("--expect-size needs --expect-serial (or KELMAR_VINDLE_EXPECT_SERIAL)"));
  }
  const std::string_view serial = text::trim_unicode_whitespace(*options.expect_serial);
  if (*options.expect_size == 0 || serial.empty() || serial == kRefusedSerial) {
    return std::unexpected(identity_mismatch_text());
  }
  return raw({std::string(serial), *options.expect_size, true, true});
}

TextResult<StartupPlan> plan_startup(const std::vector<std::string>& args, const Environment& env) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!text::is_valid_utf8(args[i])) {
      return std::unexpected("command-line argument " + std::to_string(i) + " is not valid UTF-8");
    }
  }
  HelperOptions options = read_options(args, env);

  if (options.sink && options.allow_real_write) {
    return std::unexpected(std::string("--sink and --allow-real-write cannot be used together"));
  }
  // Before any path is opened: a helper told to ask polkit never serves
  // without it.
  auto authorizer = choose_authorizer(options);
  if (!authorizer) return std::unexpected(std::move(authorizer.error()));
  // Decided before any path is opened: the mock list and the sink are
  // reached with the rights of whoever started the helper.
  auto launcher = launching_client(env, ::getuid(), ::getgid());
  if (!launcher) return std::unexpected(std::move(launcher.error()));
  const Client launched_by = launcher->client;
  auto source = choose_device_source(options, launched_by);
  if (!source) return std::unexpected(std::move(source.error()));
  auto backend = choose_backend(options, **source, launched_by);
  if (!backend) return std::unexpected(std::move(backend.error()));
  ListenMode mode = read_listen_mode(args, env);
  if (std::holds_alternative<NamedPipeMode>(mode)) {
    return std::unexpected(std::string("named pipe listen is Windows-only"));
  }
  // A requirement that could not be enforced must not look as if it were.
  if (std::find(args.begin(), args.end(), "--client-requirement") != args.end() &&
      !std::holds_alternative<XpcMode>(mode)) {
    return std::unexpected(std::string("--client-requirement applies to --listen-xpc only"));
  }
  auto named = named_client(args);
  if (!named) return std::unexpected(std::move(named.error()));
  if (*named) {
    if (!launcher->named_by.empty() && launcher->client.uid != (*named)->uid) {
      return std::unexpected(
          different_clients_text("--client-uid", (*named)->uid, launcher->named_by, launcher->client.uid));
    }
    *launcher =
        LaunchingClient{Client::of_user((*named)->uid, (*named)->gid ? &*(*named)->gid : nullptr), "--client-uid"};
  }
  std::optional<unsigned> timeout;
  if (const auto text = value_of(args, "--client-timeout")) {
    timeout = read_id<unsigned>(*text);
    if (!timeout || *timeout == 0) return std::unexpected(std::string("--client-timeout is not a number of seconds"));
  }
  return StartupPlan{std::move(options),
                     std::move(*source),
                     std::move(*backend),
                     std::move(mode),
                     std::move(*launcher),
                     std::move(*named),
                     timeout,
                     launched_by,
                     std::move(*authorizer)};
}

}  // namespace kelmar_vindle::helper
