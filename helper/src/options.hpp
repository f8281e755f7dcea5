// Reading the command line and the environment into settings. Nothing here
// can fail: unknown arguments are ignored, malformed values count as absent.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kelmar_vindle::helper {

// The process environment as captured at start; looked up by name.
using Environment = std::map<std::string, std::string, std::less<>>;

// Builds an `Environment` from a NULL-terminated "NAME=value" array.
Environment environment_from(const char* const* envp);

// The argument after the first occurrence of `name`, unless that occurrence
// is the last argument.
std::optional<std::string> value_of(const std::vector<std::string>& args, std::string_view name);

// A variable's value, or none when it is unset or not valid UTF-8.
std::optional<std::string_view> environment_value(const Environment& env, std::string_view name);

struct HelperOptions {
  std::optional<std::string> fixture;
  std::optional<std::string> sink;
  bool allow_real_write = false;
  bool purchaser = false;
  std::optional<std::string> expect_serial;  // taken unchanged; may be empty
  std::optional<std::uint64_t> expect_size;
  // A size was given (option or variable) but none of them is a number.
  bool expect_size_unreadable = false;
  // --authorize and --authorize-action, taken unchanged (start-up checks them).
  std::optional<std::string> authorize;
  std::optional<std::string> authorize_action;

  friend bool operator==(const HelperOptions&, const HelperOptions&) = default;
};

struct StdinMode {
  friend bool operator==(const StdinMode&, const StdinMode&) = default;
};
struct UnixSocketMode {
  std::string path;
  friend bool operator==(const UnixSocketMode&, const UnixSocketMode&) = default;
};
struct NamedPipeMode {
  std::string name;
  friend bool operator==(const NamedPipeMode&, const NamedPipeMode&) = default;
};
struct XpcMode {
  // --client-requirement: the code-signing requirement every peer must meet.
  std::optional<std::string> peer_requirement;
  friend bool operator==(const XpcMode&, const XpcMode&) = default;
};
using ListenMode = std::variant<StdinMode, UnixSocketMode, NamedPipeMode, XpcMode>;

// Reads the settings from `args` (argument 0, the program path, included) and
// `env`. A value option takes the argument after its first occurrence (an
// option in last place has no value); a flag counts wherever it stands.
HelperOptions read_options(const std::vector<std::string>& args, const Environment& env);

// `--listen-unix PATH`, else `--listen-pipe NAME`, else `--listen-xpc` or
// KELMAR_VINDLE_LISTEN_XPC=1, else standard input.
ListenMode read_listen_mode(const std::vector<std::string>& args, const Environment& env);

// An optional "+" and one or more ASCII digits, nothing else, fitting in 64
// unsigned bits.
std::optional<std::uint64_t> parse_number(std::string_view text);

}  // namespace kelmar_vindle::helper
