#include "write_command.hpp"

#include <unistd.h>

#include <chrono>
#include <system_error>

#include "confirm.hpp"
#include "disk_source.hpp"
#include "disk_text.hpp"
#include "helper_command.hpp"
#include "helper_session.hpp"
#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/checksum/sums_file.hpp"
#include "kelmar_vindle/device/lookup.hpp"
#include "kelmar_vindle/device/revalidation.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/text.hpp"
#include "progress_display.hpp"
#include "units.hpp"

namespace kelmar_vindle::frontend {
namespace {

void say(std::string_view text) { [[maybe_unused]] const auto written = write_all(STDERR_FILENO, text); }

std::optional<std::filesystem::path> absolute(const std::optional<std::filesystem::path>& path) {
  if (!path) return std::nullopt;
  return std::filesystem::absolute(*path);
}

// The disk named on the command line, if the helper would write it.
TextResult<DeviceCandidate> eligible_disk(const WriteOptions& options) {
  const auto disks = attached_disks(absolute(options.fixture));
  if (!disks) return std::unexpected(disks.error());
  const auto disk = find_disk(*disks, options.disk);
  if (!disk) return std::unexpected(disk.error());
  const std::string refusing = "refusing to write " + printable(disk_name(*disk)) + ": ";
  if (const auto why = refusal_reason(*disk)) return std::unexpected(refusing + *why);
  auto live = revalidate_against_live(disk->identity, *disks);
  if (!live) return std::unexpected(refusing + live.error().text());
  return std::move(*live);
}

// The digest the image was published with, from --sha256 or --sha256-file;
// none when neither was given.
TextResult<std::optional<std::string>> published_digest(const WriteOptions& options) {
  if (options.sha256) {
    auto digest = checksum::read_hex_digest(*options.sha256);
    if (!digest) return std::unexpected(std::string("--sha256 needs 64 hexadecimal digits"));
    return std::move(*digest);
  }
  if (!options.sha256_file) return std::optional<std::string>();
  const auto sums = read_regular_file(*options.sha256_file);
  if (!sums) return std::unexpected(options.sha256_file->string() + ": " + sums.error().text());
  auto digest = checksum::digest_for(*sums, options.image.string());
  if (!digest) return std::unexpected(options.sha256_file->string() + ": " + digest.error());
  return std::move(*digest);
}

TextResult<std::uint64_t> image_size(const std::filesystem::path& image) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(image, error)) {
    return std::unexpected(image.string() + " is not a regular file");
  }
  const auto size = std::filesystem::file_size(image, error);
  if (error) return std::unexpected(image.string() + ": " + error.message());
  if (size == 0) return std::unexpected(image.string() + " is empty");
  return size;
}

std::string write_request(const WriteOptions& options, const DeviceCandidate& disk, std::string digest,
                          std::uint64_t size) {
  WriteJob job;
  job.job_id = "kelmar-vindle-" + std::to_string(::getpid());
  job.image_path = std::filesystem::absolute(options.image);
  job.expected_sha256 = std::move(digest);
  job.expected_size = size;
  job.write_mode = std::string(kRawDdHybrid);
  job.target = disk.identity;
  job.confirmed_label = disk.vendor + " " + disk.product;
  job.dry_run = false;
  return encode_request({PROTOCOL_VERSION, {HelperCommand::Write{std::move(job)}}, true});
}

TextResult<> report(const SessionOutcome& outcome, const std::string& name, std::chrono::steady_clock::duration took) {
  if (outcome.result && outcome.result->ok) {
    const std::string digest = outcome.result->usb_sha256.value_or("");
    if (auto written = write_all(
            STDOUT_FILENO, name + " written and verified, sha256 " + digest + "\ntook " + elapsed_time(took) + "\n");
        !written) {
      return std::unexpected(written.error().text());
    }
    return {};
  }
  // A job that ended well before the interrupt was seen stays a success.
  if (outcome.interrupted) {
    return std::unexpected("the write was stopped; " + name + " is incomplete and holds no usable image");
  }
  if (outcome.result) {
    return std::unexpected("the write failed: " + outcome.result->message.value_or("no reason given"));
  }
  std::string why = std::string(text::trim_unicode_whitespace(outcome.errors));
  if (why.empty()) {
    why = outcome.exit.exited ? "status " + std::to_string(outcome.exit.code)
                              : "signal " + std::to_string(outcome.exit.signal);
  }
  return std::unexpected("the helper ended without an answer: " + why);
}

}  // namespace

TextResult<> run_write(const WriteOptions& options) {
  const auto disk = eligible_disk(options);
  if (!disk) return std::unexpected(disk.error());
  const std::string name = printable(disk_name(*disk));
  auto size = image_size(options.image);
  if (!size) return std::unexpected(size.error());
  if (*size > disk->size) {
    return std::unexpected(options.image.string() + " (" + human_size(*size) + ") does not fit on " + name + " (" +
                           human_size(disk->size) + ")");
  }
  const auto published = published_digest(options);
  if (!published) return std::unexpected(published.error());
  const auto helper = locate_helper(options.helper);
  if (!helper) return std::unexpected(helper.error());
  const auto invocation = helper_invocation(*helper, disk->identity, absolute(options.fixture), absolute(options.sink),
                                            Privilege::of_this_process());
  if (!invocation) return std::unexpected(invocation.error());

  say("This erases everything on " + name + ": " + describe(*disk) + "\nand writes " + options.image.string() + " (" +
      human_size(*size) + ") onto it.\n");
  if (!*published) say("Note: the image was not checked against a published digest.\n");
  if (!options.yes && !confirmed_by_typing("Type " + name + " to go on: ", name)) {
    return std::unexpected(std::string("not confirmed; nothing was written"));
  }

  std::string digest;
  if (*published) {
    digest = **published;
  } else {
    say("hashing " + options.image.string() + " ...\n");
    const auto hashed = checksum::sha256_file(options.image);
    if (!hashed) return std::unexpected(options.image.string() + ": " + hashed.error().text());
    digest = hashed->sha256;
    *size = hashed->size;
  }

  const auto started = std::chrono::steady_clock::now();
  ProgressDisplay display(STDERR_FILENO, ::isatty(STDERR_FILENO) == 1);
  const auto outcome = run_helper_session(*invocation, write_request(options, *disk, digest, *size), display);
  if (!outcome) return std::unexpected(outcome.error());
  return report(*outcome, name, std::chrono::steady_clock::now() - started);
}

}  // namespace kelmar_vindle::frontend
