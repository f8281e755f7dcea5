#include "startup.hpp"

#include "kelmar_vindle/device/enumerators.hpp"
#include "kelmar_vindle/error.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/text.hpp"

namespace kelmar_vindle::helper {
namespace {

std::string identity_mismatch_text() { return Error::make<ErrorKind::DeviceIdentityMismatch>().text(); }

TextResult<std::unique_ptr<DeviceSnapshot>> choose_device_source(const HelperOptions& options) {
  if (!options.fixture) return std::make_unique<PlatformEnumerator>();
  auto contents = read_regular_file(*options.fixture);
  if (!contents) return std::unexpected(contents.error().detail());
  if (!text::is_valid_utf8(*contents)) return std::unexpected(std::string("stream did not contain valid UTF-8"));
  auto devices = read_mock_device_list(*contents);
  if (!devices) return std::unexpected(std::move(devices.error()));
  return std::make_unique<MockEnumerator>(std::move(*devices));
}

}  // namespace

TextResult<std::unique_ptr<WriteBackend>> choose_backend(const HelperOptions& options,
                                                         const DeviceSnapshot& live_disks) {
  const auto raw = [&](RawBackendSettings settings) -> std::unique_ptr<WriteBackend> {
    return make_host_raw_backend(std::move(settings), live_disks);
  };
  if (!options.allow_real_write) {
    if (options.sink) return std::make_unique<MockFileBackend>(*options.sink);
    if (!options.purchaser) return raw(RawBackendSettings::test_device(false));
    return raw({"", 0, true, false});
  }
  if (!options.purchaser) {
    if (!options.expect_serial) return std::unexpected(std::string("--allow-real-write requires --expect-serial"));
    // The test-device profile neither trims nor folds case; its size is fixed.
    if (*options.expect_serial == kTestDeviceSerial) return raw(RawBackendSettings::test_device(true));
    return std::unexpected(identity_mismatch_text());
  }
  if (!options.expect_serial || !options.expect_size) return raw({"", 0, true, true});
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
  auto source = choose_device_source(options);
  if (!source) return std::unexpected(std::move(source.error()));
  auto backend = choose_backend(options, **source);
  if (!backend) return std::unexpected(std::move(backend.error()));
  ListenMode mode = read_listen_mode(args, env);
  if (std::holds_alternative<NamedPipeMode>(mode)) {
    return std::unexpected(std::string("named pipe listen is Windows-only"));
  }
  return StartupPlan{std::move(options), std::move(*source), std::move(*backend), std::move(mode)};
}

}  // namespace kelmar_vindle::helper
