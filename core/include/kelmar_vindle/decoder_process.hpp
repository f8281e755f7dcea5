// The decoder program, `kelmar_vindle_decoder`, run for one job: it turns a
// compressed image into the image itself. Decompressing untrusted data is
// the riskiest work a job does, so it never runs with root's rights: the
// program is executed in a freshly forked child that first takes the
// client's identity exactly as the client process does (client_process.hpp;
// `nobody`, without supplementary groups, for a client that is root), with
// an empty environment and nothing open but:
//   0  the compressed input (the checked image file, read with pread only,
//      or a pipe the root part feeds),
//   1  the decoded bytes (a pipe to the root part),
//   2  the helper's standard error (diagnostics only),
//   3  its status lines: "size N" or "size unknown" first, before any
//      decoded byte; then "error TEXT" (exit 1) or "done N" (exit 0).
// Nothing it says is trusted: the root part counts, hashes and limits the
// decoded bytes itself (write/image_stream.hpp).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "kelmar_vindle/client.hpp"
#include "kelmar_vindle/error.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/image_format.hpp"

namespace kelmar_vindle {

inline constexpr std::string_view kDecoderProgramName = "kelmar_vindle_decoder";
// The longest status line, its line feed included.
inline constexpr std::size_t kMaxStatusLine = 4096;

// The program, opened once and checked on that descriptor: a regular file
// owned by root or by this process's effective user, which nobody else may
// write. Moved, never copied.
class DecoderProgram {
 public:
  // `kelmar_vindle_decoder` in the directory of this process's executable.
  [[nodiscard]] static Result<DecoderProgram> beside_own_executable();
  // The program at `path`, checked the same way. For tests, which name a
  // stand-in; a client has no say in which program runs.
  [[nodiscard]] static Result<DecoderProgram> at(const std::filesystem::path& path);

  int fd() const { return fd_.get(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  DecoderProgram(UniqueFd fd, std::filesystem::path path) : fd_(std::move(fd)), path_(std::move(path)) {}

  UniqueFd fd_;
  std::filesystem::path path_;
};

// One running decoder. Owns the child and the parent's ends of its output
// and status pipes; destroying it kills the child (SIGKILL) and reaps it,
// whatever state it is in. Not shared between threads, except that
// `output()` may be read by one thread while another owns the object.
class DecoderProcess {
 public:
  // Starts `program` as `who` (see above) with `--format NAME --limit
  // BYTES`, `input` (borrowed; duplicated into the child) as its fd 0.
  [[nodiscard]] static Result<DecoderProcess> start(const DecoderProgram& program, const Client& who,
                                                    ImageFormat format, std::uint64_t limit, int input);

  DecoderProcess(DecoderProcess&& other) noexcept;
  DecoderProcess& operator=(DecoderProcess&& other) noexcept;
  ~DecoderProcess();

  pid_t pid() const { return pid_; }
  int output() const { return output_.get(); }
  int status() const { return status_.get(); }

  // Waits for the child's end and reaps it: whether it exited with status 0.
  [[nodiscard]] bool exited_cleanly();
  // Kills and reaps the child now (idempotent).
  void stop();

 private:
  DecoderProcess(pid_t pid, UniqueFd output, UniqueFd status)
      : pid_(pid), output_(std::move(output)), status_(std::move(status)) {}

  pid_t pid_ = -1;
  UniqueFd output_;
  UniqueFd status_;
};

// What a status line says.
struct StatusLine {
  enum class Kind : std::uint8_t { Size, SizeUnknown, Error, Done };
  Kind kind = Kind::SizeUnknown;
  std::uint64_t bytes = 0;  // `Size` and `Done`
  std::string text;         // `Error`
};

// Parses one line without its line feed. A line of any other shape, a
// number that is not plain decimal or does not fit, and error text that is
// not printable fail with `Io` "the decoder's status line is not understood".
[[nodiscard]] Result<StatusLine> parse_status_line(std::string_view line);

}  // namespace kelmar_vindle
