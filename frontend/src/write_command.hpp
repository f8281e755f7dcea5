// `kelmar-vindle write IMAGE DISK`: one image onto one USB disk, through the
// helper.
#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <string>

#include "invoking_user.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::frontend {

struct WriteOptions {
  std::filesystem::path image;                       // a file, or an http:// or https:// URL (see download_url.hpp)
  std::string disk;                                  // its kernel or BSD name, or its id
  std::optional<std::string> sha256;                 // the published digest
  std::optional<std::filesystem::path> sha256_file;  // or a checksum list holding it
  bool yes = false;                                  // no question asked
  bool eject = true;                                 // the disk ejected after a verified write (not a sink)
  std::optional<std::filesystem::path> helper;
  std::optional<std::filesystem::path> fixture;  // a mock disk list, passed on to the helper
  std::optional<std::filesystem::path> sink;     // the helper writes into this file instead
  // The installed service's socket, tried for a write onto a disk; none:
  // never (the write goes through a helper the front end runs).
  std::optional<std::filesystem::path> service;
};

// Why a write did not happen or did not finish: the text to show, and the
// exit status: 1, or 130 when Ctrl-C or SIGTERM came at the confirmation.
struct WriteFailure {
  std::string text;
  int status = 1;
};

// Finds the disk and refuses one the helper would not write, before
// anything else; refuses a sink that is a directory; shows what will be
// erased and asks for the disk's name unless `yes`; takes the digest (or
// hashes the image, showing its progress and saying so); then sends one
// `write` with progress to the installed service when its socket is there
// (`options.service`, not with a sink), else runs the helper for it (see
// `helper_invocation`), and reports the verified digest, the time taken
// (hashing included) and, when it asked for the disk to be ejected, whether
// it may be pulled now, on standard output. Everything else goes
// to standard error. Fails with the text to show (the helper's own message
// naming the image and its destination, a refusal naming the file or disk
// it concerns, "not confirmed; nothing was written", or a stopped write and
// the state the disk was left in by the phase it had reached). Never writes
// the disk or the sink itself.
//
// An image named by a URL is downloaded once the write is confirmed, with
// this process's rights (refused when they are root's), and streamed into
// the helper through a pipe (download.hpp); it needs a published digest and
// a server that states its length, and a download that fails says so
// rather than the helper's refusal of the stream it cut short.
//
// For `user` it reads the image, the checksum list and the fixture with
// their rights. Run as root for a user who is not root, it also runs only a
// helper that nobody but root may change (see `only_root_may_change`), and
// refuses a sink they may not create or write. The service is handed the
// image it opened for them, and is used only when the kernel vouches that
// root serves its socket (else the write is refused, never sent there).
// A socket that is missing or that nobody listens on means no service.
[[nodiscard]] std::expected<void, WriteFailure> run_write(const WriteOptions& options, const InvokingUser& user);

}  // namespace kelmar_vindle::frontend
