#include "options.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "kelmar_vindle/text.hpp"

namespace kelmar_vindle::helper {
namespace {

bool has_flag(const std::vector<std::string>& args, std::string_view name) {
  return std::find(args.begin(), args.end(), name) != args.end();
}

bool is_one(const Environment& env, std::string_view name) { return environment_value(env, name) == "1"; }

}  // namespace

std::optional<std::string> value_of(const std::vector<std::string>& args, std::string_view name) {
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == name) return args[i + 1];
  }
  return std::nullopt;
}

Environment environment_from(const char* const* envp) {
  Environment env;
  for (; envp != nullptr && *envp != nullptr; ++envp) {
    const std::string_view entry(*envp);
    const auto equals = entry.find('=');
    if (equals == std::string_view::npos) continue;
    // The first definition of a name is the one getenv() would return.
    env.emplace(std::string(entry.substr(0, equals)), std::string(entry.substr(equals + 1)));
  }
  return env;
}

std::optional<std::string_view> environment_value(const Environment& env, std::string_view name) {
  const auto found = env.find(name);
  if (found == env.end() || !text::is_valid_utf8(found->second)) return std::nullopt;
  return found->second;
}

std::optional<std::uint64_t> parse_number(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

HelperOptions read_options(const std::vector<std::string>& args, const Environment& env) {
  HelperOptions options;
  options.fixture = value_of(args, "--fixture");
  options.sink = value_of(args, "--sink");
  options.allow_real_write = has_flag(args, "--allow-real-write") || is_one(env, "KELMAR_VINDLE_ALLOW_REAL_WRITE");

  options.purchaser = has_flag(args, "--purchaser") || is_one(env, "KELMAR_VINDLE_PURCHASER");
  if (!options.purchaser) {
    const auto profile = environment_value(env, "VINDLE_PROFILE");
    options.purchaser = profile && text::equals_ascii_case_insensitive(*profile, "purchaser");
  }

  options.expect_serial = value_of(args, "--expect-serial");
  if (!options.expect_serial) {
    if (const auto serial = environment_value(env, "KELMAR_VINDLE_EXPECT_SERIAL"); serial && !serial->empty()) {
      options.expect_serial = std::string(*serial);
    }
  }

  const auto size_argument = value_of(args, "--expect-size");
  const auto size_variable = environment_value(env, "KELMAR_VINDLE_EXPECT_SIZE");
  if (size_argument) options.expect_size = parse_number(*size_argument);
  if (!options.expect_size && size_variable) options.expect_size = parse_number(*size_variable);
  options.expect_size_unreadable =
      !options.expect_size && (size_argument || (size_variable && !size_variable->empty()));
  // Command line only: whoever can set a root helper's environment can set
  // its command line as well, and a variable would hide the setting.
  options.authorize = value_of(args, "--authorize");
  options.authorize_action = value_of(args, "--authorize-action");
  return options;
}

ListenMode read_listen_mode(const std::vector<std::string>& args, const Environment& env) {
  if (auto path = value_of(args, "--listen-unix")) return UnixSocketMode{std::move(*path)};
  if (auto name = value_of(args, "--listen-pipe")) return NamedPipeMode{std::move(*name)};
  if (has_flag(args, "--listen-xpc") || is_one(env, "KELMAR_VINDLE_LISTEN_XPC")) {
    return XpcMode{value_of(args, "--client-requirement")};
  }
  return StdinMode{};
}

}  // namespace kelmar_vindle::helper
