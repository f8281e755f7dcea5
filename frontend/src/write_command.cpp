#include "write_command.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <system_error>

#include "confirm.hpp"
#include "disk_source.hpp"
#include "disk_text.hpp"
#include "download.hpp"
#include "download_url.hpp"
#include "helper_command.hpp"
#include "helper_session.hpp"
#include "image_hash.hpp"
#include "interrupts.hpp"
#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/checksum/sums_file.hpp"
#include "kelmar_vindle/device/lookup.hpp"
#include "kelmar_vindle/device/revalidation.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/image_format.hpp"
#include "progress_display.hpp"
#include "result_text.hpp"
#include "service_connection.hpp"
#include "terminal_width.hpp"
#include "trusted_program.hpp"
#include "units.hpp"
#include "user_files.hpp"

namespace kelmar_vindle::frontend {
namespace {

// The status of a write stopped at the confirmation by Ctrl-C or SIGTERM, as
// a shell reports a command that SIGINT ended.
constexpr int kInterruptedStatus = 130;

void say(std::string_view text) { [[maybe_unused]] const auto written = write_all(STDERR_FILENO, text); }

std::optional<std::filesystem::path> absolute(const std::optional<std::filesystem::path>& path) {
  if (!path) return std::nullopt;
  return std::filesystem::absolute(*path);
}

// The disk named on the command line, if the helper would write it.
TextResult<DeviceCandidate> eligible_disk(const WriteOptions& options, const Client& user) {
  const auto disks = attached_disks(absolute(options.fixture), user);
  if (!disks) return std::unexpected(disks.error());
  const auto disk = find_disk(*disks, options.disk);
  if (!disk) return std::unexpected(disk.error());
  const std::string refusing = "refusing to write " + printable(disk_name(*disk)) + ": ";
  if (const auto why = refusal_reason(*disk)) return std::unexpected(refusing + *why);
  auto live = revalidate_against_live(disk->identity, *disks);
  if (!live) return std::unexpected(refusing + live.error().text());
  return std::move(*live);
}

// The digest the image was published with, from --sha256 or --sha256-file
// (its line for `name`); none when neither was given.
TextResult<std::optional<std::string>> published_digest(const WriteOptions& options, const Client& user,
                                                        const std::string& name) {
  if (options.sha256) {
    auto digest = checksum::read_hex_digest(*options.sha256);
    if (!digest) return std::unexpected(std::string("--sha256 needs 64 hexadecimal digits"));
    return std::move(*digest);
  }
  if (!options.sha256_file) return std::optional<std::string>();
  const auto sums = read_as(user, *options.sha256_file);
  if (!sums) return std::unexpected(sums.error());
  auto digest = checksum::digest_for(*sums, name);
  if (!digest) return std::unexpected(options.sha256_file->string() + ": " + digest.error());
  return std::move(*digest);
}

// A download's bytes come from a server: they are fetched with the rights of
// the person who asked, never root's.
std::string refusal_as_root(const std::string& url) {
  return "refusing to download " + url +
         " as root: kelmar-vindle downloads with your own rights; run it as yourself, and it asks for root (pkexec, "
         "sudo) only to write the disk";
}

struct Image {
  UniqueFd fd;
  std::uint64_t size = 0;
  ImageFormat format = ImageFormat::Raw;  // by its leading bytes, as the helper will tell
};

// The image, opened with the user's rights; what they may not read the front
// end neither measures nor hashes for them.
TextResult<Image> open_image_as(const Client& user, const std::filesystem::path& path) {
  auto fd = open_regular_as(user, path);
  if (!fd) return std::unexpected(fd.error());
  struct stat info {};
  if (::fstat(fd->get(), &info) != 0) return std::unexpected(path.string() + ": " + last_os_error().detail());
  if (info.st_size == 0) return std::unexpected(path.string() + " is empty");
  std::array<std::byte, kFormatSniffBytes> leading{};
  const auto got = read_some_at(fd->get(), leading, 0);
  if (!got) return std::unexpected(path.string() + ": " + got.error().detail());
  const ImageFormat format = sniff_image_format(std::span(leading).first(*got));
  return Image{std::move(*fd), static_cast<std::uint64_t>(info.st_size), format};
}

// What the question says is written: the file, the image decoded from it,
// or (`image` none) the image downloaded from the URL `name`.
std::string what_is_written(const std::string& name, const std::optional<Image>& image) {
  if (!image) return "the image downloaded from " + name;
  if (image->format == ImageFormat::Raw) return name + " (" + human_size(image->size) + ")";
  return "the image decoded from " + name + " (" + std::string(image_format_name(image->format)) + ", " +
         human_size(image->size) + " compressed)";
}

// The helper to run; for a user other than root only one that nobody else
// may have changed, by its real path.
TextResult<std::filesystem::path> helper_for(const WriteOptions& options, const InvokingUser& user) {
  auto helper = locate_helper(options.helper);
  if (!helper || !user.root_for_them) return helper;
  auto trusted = only_root_may_change(*helper);
  if (!trusted) {
    return std::unexpected("refusing to run " + helper->string() + " as root for user " +
                           std::to_string(user.client.uid) + ": " + trusted.error());
  }
  return trusted;
}

std::string write_request(std::filesystem::path image_path, const DeviceCandidate& disk, std::string digest,
                          std::uint64_t size, bool eject) {
  WriteJob job;
  job.job_id = "kelmar-vindle-" + std::to_string(::getpid());
  job.image_path = std::move(image_path);
  job.expected_sha256 = std::move(digest);
  job.expected_size = size;
  job.write_mode = std::string(kRawDdHybrid);
  job.target = disk.identity;
  job.confirmed_label = disk.vendor + " " + disk.product;
  job.dry_run = false;
  job.eject = eject;
  return encode_request({PROTOCOL_VERSION, {HelperCommand::Write{std::move(job)}}, true});
}

// Where the helper writes: the sink standing in for the disk, or the disk.
std::string destination(const WriteOptions& options, const std::string& name) {
  return options.sink ? "into " + options.sink->string() : "onto " + name;
}

// The state a stopped job left the disk in, by the last phase reached: the
// helper checks the image before it writes a byte, and writes it all before
// it reads it back.
std::string stopped(std::string_view phase, const std::string& name) {
  if (phase == kPhaseWriting) {
    return "the write was stopped while writing; " + name + " is partly written and holds no usable image";
  }
  if (phase == kPhaseVerifying) {
    return "the write was stopped while verifying; " + name + " holds the whole image, but it was not verified";
  }
  return "the write was stopped before anything was written; " + name + " is untouched";
}

// The state a download that failed left the disk in: the helper refuses a
// stream that ends short, and a refused stream never leaves a partition
// table behind (its first MiB is written last, and zeros instead on failure).
std::string download_failed(const std::string& url, const std::string& why, std::string_view phase,
                            const std::string& name) {
  const std::string left = phase == kPhaseWriting || phase == kPhaseVerifying
                               ? name + " is partly written and holds no usable image"
                               : "nothing was written onto " + name;
  return "the download of " + url + " failed: " + why + "; " + left;
}

TextResult<> report(const SessionOutcome& outcome, const WriteOptions& options, const std::string& name,
                    const std::string& published, std::chrono::steady_clock::duration took) {
  if (outcome.result && outcome.result->ok) {
    // A compressed image matched its published digest as given, and what
    // was written and read back is the image decoded from it.
    const std::string digest = outcome.result->usb_sha256.value_or("");
    const std::string decoded =
        digest == published ? "" : " (the decoded image's; as given it matched " + published + ")";
    if (auto written = write_all(STDOUT_FILENO, name + " written and verified, sha256 " + digest + decoded + "\ntook " +
                                                    elapsed_time(took) + "\n" + ejected_text(*outcome.result, name));
        !written) {
      return std::unexpected(written.error().text());
    }
    return {};
  }
  // A job that ended well before the interrupt was seen stays a success.
  if (outcome.interrupted) return std::unexpected(stopped(outcome.phase, name));
  if (outcome.result) {
    return std::unexpected(failed_write_text(
        *outcome.result, "the write of " + options.image.string() + " " + destination(options, name)));
  }
  return std::unexpected(outcome.unanswered);
}

// A sink that is a directory (as far as the user may look) fails the
// helper's write only after the image was checked: refused at once instead.
TextResult<> sink_not_a_directory(const Client& user, const std::filesystem::path& sink) {
  if (open_as_client(user, sink, O_RDONLY | O_DIRECTORY | O_NONBLOCK)) {
    return std::unexpected(sink.string() + " is a directory; --sink names the file to write into");
  }
  return {};
}

// The helper's plan for the write: the program and its arguments.
TextResult<HelperInvocation> helper_plan(const WriteOptions& options, const InvokingUser& user,
                                         const DeviceCandidate& disk,
                                         const std::optional<std::filesystem::path>& sink) {
  const auto helper = helper_for(options, user);
  if (!helper) return std::unexpected(helper.error());
  return helper_invocation(*helper, disk.identity, absolute(options.fixture), sink, Privilege::of_this_process(user));
}

// What the helper reads the image through: the file the front end opened
// (kept: the helper takes a copy of its own), or the read end of a
// download's pipe (`stream`), given up once handed over, so that the helper
// is its only reader and the download sees the helper go.
struct ImageHandover {
  int fd = -1;
  UniqueFd stream;
};

// Carries `request` through the service at `service` when one answers
// there, handing it `image`; else through the helper `invocation` names,
// which is handed only a stream (it opens a file itself, as the user).
// `feed` stops with a cancelled job.
TextResult<SessionOutcome> run_job(const std::optional<std::filesystem::path>& service,
                                   const TextResult<HelperInvocation>& invocation, const std::string& request,
                                   ImageHandover image, ProgressDisplay& display, Interrupts& interrupts,
                                   const StopFeed& feed) {
  if (service) {
    auto connection = ServiceConnection::reach(*service);
    if (!connection) return std::unexpected(connection.error());
    if (*connection) {
      if (auto sent = (*connection)->send(request, image.fd); !sent) return std::unexpected(sent.error());
      image.stream = UniqueFd();
      return run_session(**connection, TerminalLoan(), display, interrupts, feed);
    }
  }
  if (!invocation) return std::unexpected(invocation.error());
  return run_helper_session(*invocation, request, std::move(image.stream), display, interrupts, feed);
}

// A download under way, its server's answer known.
struct BegunDownload {
  std::unique_ptr<Download> transfer;
  std::uint64_t length = 0;  // as the server stated it
};

// Starts the download of `url` and waits for its server's answer, saying how
// much is coming. Fails with the sentence to end with: the server's refusal
// or the connection's failure, or (status 130) Ctrl-C first.
std::expected<BegunDownload, WriteFailure> begin_download(const std::string& url, Interrupts& interrupts) {
  auto begun = Download::start(url);
  if (!begun) return std::unexpected(WriteFailure{"cannot download " + url + ": " + begun.error()});
  const auto length = (*begun)->wait_for_length(interrupts);
  if (!length) {
    return std::unexpected(WriteFailure{"cannot download " + url + ": " + length.error() + "; nothing was written"});
  }
  if (!*length) return std::unexpected(WriteFailure{"interrupted; nothing was written", kInterruptedStatus});
  say("Downloading " + human_size(**length) + " from " + url + "\n");
  return BegunDownload{std::move(*begun), **length};
}

}  // namespace

std::expected<void, WriteFailure> run_write(const WriteOptions& options, const InvokingUser& user) {
  const auto fail = [](std::string text, int status = 1) {
    return std::unexpected(WriteFailure{std::move(text), status});
  };
  const auto disk = eligible_disk(options, user.client);
  if (!disk) return fail(disk.error());
  const std::string name = printable(disk_name(*disk));
  const std::string image_name = options.image.string();
  const bool download = is_download_url(image_name);
  // A file, opened and measured now; a download is measured once its
  // server answers.
  std::optional<Image> image;
  std::string listed_as = image_name;  // its name in a checksum list
  if (download) {
    if (::geteuid() == 0) return fail(refusal_as_root(image_name));
    auto file_name = download_file_name(image_name);
    if (!file_name && options.sha256_file) return fail(file_name.error());
    listed_as = file_name.value_or("");
  } else {
    auto opened = open_image_as(user.client, options.image);
    if (!opened) return fail(opened.error());
    // A compressed image's decoded length is the helper's to check.
    if (opened->format == ImageFormat::Raw && opened->size > disk->size) {
      return fail(image_name + " (" + human_size(opened->size) + ") does not fit on " + name + " (" +
                  human_size(disk->size) + "); nothing was written: use a larger stick");
    }
    image = std::move(*opened);
  }
  const auto published = published_digest(options, user.client, listed_as);
  if (!published) return fail(published.error());
  if (download && !*published) {
    return fail("refusing to download " + image_name +
                " without its published digest: give --sha256, or --sha256-file with the checksum list published "
                "beside it");
  }
  const auto sink = absolute(options.sink);
  // A sink is the helper's alone: the service writes disks. Its socket is
  // looked at once more when the request is ready, since someone may
  // take long to confirm; until then a helper that would do is found too,
  // for when no service answers after all.
  const auto service =
      sink || !options.service || !service_socket_exists(*options.service) ? std::nullopt : options.service;
  const auto invocation = helper_plan(options, user, *disk, sink);
  if (!service && !invocation) return fail(invocation.error());
  if (sink) {
    if (auto file = sink_not_a_directory(user.client, *sink); !file) return fail(file.error());
  }

  // From here on Ctrl-C and SIGTERM are answered with what they stopped.
  auto interrupts = Interrupts::catch_signals();
  if (!interrupts) return fail(interrupts.error());
  const std::string what = what_is_written(image_name, image);
  say("This erases everything on " + name + ": " + describe(*disk) + "\nand writes " + what + " onto it.\n");
  if (!*published) say("Note: the image was not checked against a published digest.\n");
  if (!options.yes) {
    switch (ask_to_type("Type " + name + " to go on: ", name, **interrupts)) {
      case Answer::Confirmed: break;
      case Answer::Refused: return fail("not confirmed; nothing was written");
      case Answer::EndOfInput: return fail("not confirmed (the input ended); nothing was written");
      case Answer::Interrupted: return fail("interrupted; nothing was written", kInterruptedStatus);
    }
  }
  // After the confirmation, since the check may leave an empty file behind;
  // the helper opens the sink as the user again and truncates it.
  if (sink && user.root_for_them) {
    if (auto writable = check_may_write(user.client, *sink); !writable) return fail(writable.error());
  }

  const auto started = std::chrono::steady_clock::now();
  TerminalWidth width(STDERR_FILENO);
  ProgressDisplay display(STDERR_FILENO, ::isatty(STDERR_FILENO) == 1, &std::chrono::steady_clock::now,
                          [&width] { return width.columns(); });
  std::string digest;
  if (*published) {
    digest = **published;
  } else {
    const auto hashed = hash_image(image->fd.get(), image->size, display, **interrupts);
    if (!hashed) {
      display.finish();
      return fail(image_name + ": " + hashed.error());
    }
    if (!*hashed) {
      display.finish();
      return fail(stopped(kPhaseHashingImage, name));
    }
    digest = **hashed;
  }

  // A sink is a file: there is nothing to eject.
  const bool eject = options.eject && !sink;
  // Connected only now, so that no server waits while the question is
  // answered; its body then flows as fast as the helper writes.
  std::unique_ptr<Download> transfer;
  ImageHandover handover;
  std::uint64_t size = 0;
  if (download) {
    auto begun = begin_download(image_name, **interrupts);
    if (!begun) return std::unexpected(begun.error());
    transfer = std::move(begun->transfer);
    size = begun->length;
    handover.stream = transfer->take_stream();
    handover.fd = handover.stream.get();
  } else {
    size = image->size;
    handover.fd = image->fd.get();
  }
  const std::filesystem::path image_path =
      download ? std::filesystem::path(without_credentials(image_name)) : std::filesystem::absolute(options.image);
  // A cancelled job stops the download too: a helper waiting for the next
  // bytes of a stalled server sees the cancellation only once they end.
  const StopFeed stop_download = [&transfer] {
    if (transfer) transfer->stop();
  };
  const auto outcome = run_job(service, invocation, write_request(image_path, *disk, digest, size, eject),
                               std::move(handover), display, **interrupts, stop_download);
  if (!outcome) {
    display.finish();
    return fail(outcome.error());
  }
  // The download's own failure, where it had one, is why the helper's
  // stream ended short; a stop it was asked for is none.
  const bool written = outcome->result && outcome->result->ok;
  if (transfer && !written && !outcome->interrupted) {
    if (const auto why = transfer->failure()) return fail(download_failed(image_name, *why, outcome->phase, name));
  }
  if (auto reported = report(*outcome, options, name, digest, std::chrono::steady_clock::now() - started); !reported) {
    return fail(reported.error());
  }
  return {};
}

}  // namespace kelmar_vindle::frontend
