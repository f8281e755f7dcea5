#include "options.hpp"

#include <gtest/gtest.h>

namespace kelmar_vindle::helper {
namespace {

std::vector<std::string> argv(std::initializer_list<std::string> rest) {
  std::vector<std::string> args{"/usr/libexec/kelmar_vindle_helper"};
  args.insert(args.end(), rest);
  return args;
}

TEST(Options, NothingGivenMeansNothingSet) {
  EXPECT_EQ(read_options(argv({}), {}), HelperOptions{});
  EXPECT_EQ(read_listen_mode(argv({}), {}), ListenMode{StdinMode{}});
}

TEST(Options, ValueOptionsTakeTheArgumentAfterTheirFirstOccurrence) {
  const auto o = read_options(
      argv({"--sink", "--allow-real-write", "--fixture", "a.json", "--fixture", "b.json", "--expect-serial", ""}), {});
  EXPECT_EQ(o.sink, "--allow-real-write");
  EXPECT_TRUE(o.allow_real_write) << "a flag counts even where it is also a value";
  EXPECT_EQ(o.fixture, "a.json");
  EXPECT_EQ(o.expect_serial, "") << "an empty argument is a present, empty value";

  EXPECT_EQ(read_options(argv({"--fixture"}), {}).fixture, std::nullopt) << "last argument has no value";
  const auto authorized = read_options(argv({"--authorize", "polkit", "--authorize-action", "a.b"}), {});
  EXPECT_EQ(authorized.authorize, "polkit");
  EXPECT_EQ(authorized.authorize_action, "a.b");
  EXPECT_EQ(read_options(argv({"--fixture=a.json", "--FIXTURE", "b"}), {}).fixture, std::nullopt);
}

TEST(Options, BooleanVariablesCountOnlyWhenExactlyOne) {
  for (std::string value : {"true", "yes", "01", " 1", "1 ", ""}) {
    const Environment env{{"KELMAR_VINDLE_ALLOW_REAL_WRITE", value},
                          {"KELMAR_VINDLE_PURCHASER", value},
                          {"KELMAR_VINDLE_LISTEN_XPC", value}};
    const auto o = read_options(argv({}), env);
    EXPECT_FALSE(o.allow_real_write) << value;
    EXPECT_FALSE(o.purchaser) << value;
    EXPECT_EQ(read_listen_mode(argv({}), env), ListenMode{StdinMode{}}) << value;
  }
  const Environment on{{"KELMAR_VINDLE_ALLOW_REAL_WRITE", "1"}, {"KELMAR_VINDLE_PURCHASER", "1"}};
  EXPECT_TRUE(read_options(argv({}), on).allow_real_write);
  EXPECT_TRUE(read_options(argv({}), on).purchaser);
}

TEST(Options, ProfileVariableIgnoresAsciiCaseOnly) {
  const auto purchaser = [](std::string value) {
    return read_options(argv({}), {{"VINDLE_PROFILE", std::move(value)}}).purchaser;
  };
  EXPECT_TRUE(purchaser("PURCHASER"));
  EXPECT_TRUE(purchaser("purchaser"));
  EXPECT_FALSE(purchaser(" purchaser"));
  EXPECT_FALSE(purchaser("purchasers"));
  EXPECT_FALSE(purchaser("purchaser\xFF")) << "not valid UTF-8 counts as unset";
}

TEST(Options, ExpectSerialFromOptionOrNonEmptyVariable) {
  EXPECT_EQ(read_options(argv({}), {{"KELMAR_VINDLE_EXPECT_SERIAL", ""}}).expect_serial, std::nullopt);
  EXPECT_EQ(read_options(argv({}), {{"KELMAR_VINDLE_EXPECT_SERIAL", " S "}}).expect_serial, " S ");
  EXPECT_EQ(read_options(argv({"--expect-serial", "A"}), {{"KELMAR_VINDLE_EXPECT_SERIAL", "B"}}).expect_serial, "A");
  EXPECT_EQ(read_options(argv({"--expect-serial"}), {{"KELMAR_VINDLE_EXPECT_SERIAL", "B"}}).expect_serial, "B");
  EXPECT_EQ(read_options(argv({}), {{"KELMAR_VINDLE_EXPECT_SERIAL", "\xC3"}}).expect_serial, std::nullopt);
}

TEST(Options, NumbersAreDigitsWithAnOptionalPlus) {
  struct Case {
    std::string_view text;
    std::optional<std::uint64_t> value;
  };
  const Case cases[] = {
      {"0", 0},     {"+42", 42},       {"007", 7},  {"18446744073709551615", 18446744073709551615ULL},
      {"", {}},     {"+", {}},         {"-", {}},   {"-1", {}},
      {"0x10", {}}, {"42 ", {}},       {" 42", {}}, {"18446744073709551616", {}},
      {"++1", {}},  {"4\xD9\xA2", {}}, {"1e3", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_number(c.text), c.value) << c.text;
}

TEST(Options, ExpectSizeFallsBackToTheVariableWhenTheOptionIsNoNumber) {
  const Environment seven{{"KELMAR_VINDLE_EXPECT_SIZE", "7"}};
  EXPECT_EQ(read_options(argv({"--expect-size", "+42"}), seven).expect_size, 42u);
  EXPECT_EQ(read_options(argv({"--expect-size", "42x"}), seven).expect_size, 7u);
  EXPECT_EQ(read_options(argv({"--expect-size"}), seven).expect_size, 7u);
  EXPECT_EQ(read_options(argv({"--expect-size", "18446744073709551616"}), {}).expect_size, std::nullopt);
  EXPECT_EQ(read_options(argv({}), {{"KELMAR_VINDLE_EXPECT_SIZE", "7 "}}).expect_size, std::nullopt);
  // Whether a size was given that none of them could read, for start-up to refuse.
  EXPECT_TRUE(read_options(argv({"--expect-size", "67108864 "}), {}).expect_size_unreadable);
  EXPECT_TRUE(
      read_options(argv({"--expect-size", "64MiB"}), {{"KELMAR_VINDLE_EXPECT_SIZE", "x"}}).expect_size_unreadable);
  EXPECT_FALSE(read_options(argv({"--expect-size", "42x"}), seven).expect_size_unreadable) << "the variable serves";
  EXPECT_FALSE(read_options(argv({}), {{"KELMAR_VINDLE_EXPECT_SIZE", ""}}).expect_size_unreadable);
  EXPECT_FALSE(read_options(argv({}), {}).expect_size_unreadable);
}

TEST(ListenMode, UnixBeforePipeBeforeXpc) {
  EXPECT_EQ(read_listen_mode(argv({"--listen-xpc", "--listen-unix", "/tmp/s"}), {}),
            ListenMode{UnixSocketMode{"/tmp/s"}});
  EXPECT_EQ(read_listen_mode(argv({"--listen-pipe", "p", "--listen-xpc"}), {}), ListenMode{NamedPipeMode{"p"}});
  EXPECT_EQ(read_listen_mode(argv({"--listen-pipe"}), {}), ListenMode{StdinMode{}});
  EXPECT_EQ(read_listen_mode(argv({"--listen-unix"}), {{"KELMAR_VINDLE_LISTEN_XPC", "1"}}), ListenMode{XpcMode{}});
  EXPECT_EQ(read_listen_mode(argv({"--listen-xpc"}), {}), ListenMode{XpcMode{}});
  EXPECT_EQ(read_listen_mode(argv({"--listen-xpc", "--client-requirement", "anchor apple"}), {}),
            ListenMode{XpcMode{"anchor apple"}});
}

TEST(Environment, CapturedFromTheProcessArray) {
  const char* envp[] = {"A=1", "B=x=y", "A=2", "NOEQUALS", "E=", nullptr};
  const Environment env = environment_from(envp);
  EXPECT_EQ(environment_value(env, "A"), "1");
  EXPECT_EQ(environment_value(env, "B"), "x=y");
  EXPECT_EQ(environment_value(env, "E"), "");
  EXPECT_EQ(environment_value(env, "NOEQUALS"), std::nullopt);
}

}  // namespace
}  // namespace kelmar_vindle::helper
