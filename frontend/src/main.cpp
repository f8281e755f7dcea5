// kelmar-vindle: the terminal front end. It lists the disks and, for a
// write, hands it to the installed service when its socket is there, else
// starts kelmar_vindle_helper (through pkexec or sudo when a real disk needs
// root), and shows how far it has come; the helper does every write.
// Run as root by sudo or pkexec, it acts for the user who ran that.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <string>

#include "invoking_user.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/version.hpp"
#include "list_command.hpp"
#include "service_connection.hpp"
#include "write_command.hpp"

namespace {

using kelmar_vindle::frontend::TextResult;

// The path an option was given, or none.
std::optional<std::filesystem::path> given(const CLI::Option* option, const std::string& value) {
  if (option->count() == 0) return std::nullopt;
  return std::filesystem::path(value);
}

int fail(const std::string& text, int status) {
  [[maybe_unused]] const auto written = kelmar_vindle::write_all(STDERR_FILENO, "kelmar-vindle: " + text + "\n");
  return status;
}

int finish(const TextResult<>& outcome) { return outcome ? 0 : fail(outcome.error(), 1); }

int finish(const std::expected<void, kelmar_vindle::frontend::WriteFailure>& outcome) {
  return outcome ? 0 : fail(outcome.error().text, outcome.error().status);
}

}  // namespace

int main(int argc, char** argv) {
  // A helper that ends early must fail the write of its request, not end the
  // front end before it can say why.
  ::signal(SIGPIPE, SIG_IGN);

  CLI::App app("Writes an installer image onto a USB disk through kelmar_vindle_helper.", "kelmar-vindle");
  app.require_subcommand(1);
  app.set_version_flag("--version", "kelmar-vindle " + std::string(kelmar_vindle::kVersion),
                       "Print the version and exit");

  kelmar_vindle::frontend::ListOptions list_options;
  std::string list_fixture;
  CLI::App* list = app.add_subcommand("list", "Show the attached disks and whether each may be written");
  list->add_flag("--json", list_options.json, "Print the list as one JSON array, as kelmar_vindle_helper --list-disks");
  CLI::Option* list_fixture_option =
      list->add_option("--fixture", list_fixture, "Read the disks from this mock disk list instead")->type_name("FILE");

  kelmar_vindle::frontend::WriteOptions write_options;
  std::string image;
  std::string sha256;
  std::string sha256_file;
  std::string helper;
  std::string fixture;
  std::string sink;
  CLI::App* write_command = app.add_subcommand("write", "Write IMAGE onto DISK, read it back and verify it");
  write_command
      ->add_option("IMAGE", image,
                   "The image file (raw, or compressed: xz, gzip, zstd, bzip2, zip), or an http:// or https:// URL "
                   "to download it from as you")
      ->type_name("")
      ->required();
  write_command->add_option("DISK", write_options.disk, "The disk's name as `list` shows it (sdb, disk4), or its id")
      ->type_name("")
      ->required();
  CLI::Option* sha256_option =
      write_command->add_option("--sha256", sha256, "The image's published SHA-256 (64 hex digits)")->type_name("HEX");
  CLI::Option* sha256_file_option =
      write_command
          ->add_option("--sha256-file", sha256_file,
                       "A sha256sum list holding the image's digest (for a URL: on the line for its file name)")
          ->type_name("SUMS");
  sha256_option->excludes(sha256_file_option);
  write_command->add_flag("--yes", write_options.yes, "Do not ask for the disk's name before writing");
  bool no_eject = false;
  write_command->add_flag("--no-eject", no_eject,
                          "Keep the disk attached after the verified write (by default it is ejected, ready to pull)");
  write_command->footer(
      "A write onto a disk goes to the installed service when root serves its socket, with the image opened by "
      "kelmar-vindle; else (and with --sink or --no-service) the helper runs: directly as root, else through pkexec or "
      "sudo. Without --helper it is looked for beside kelmar-vindle, where it is installed (libexec/kelmar-vindle), "
      "and on PATH.");
  CLI::Option* helper_option =
      write_command->add_option("--helper", helper, "The helper to run when the service is not used")
          ->type_name("PATH");
  CLI::Option* fixture_option =
      write_command->add_option("--fixture", fixture, "Use this mock disk list (also for the helper)")
          ->type_name("FILE");
  CLI::Option* sink_option =
      write_command->add_option("--sink", sink, "Have the helper write into this file instead of the disk")
          ->type_name("FILE");
  std::string service_socket(kelmar_vindle::frontend::kServiceSocket);
  CLI::Option* service_option =
      write_command
          ->add_option("--service-socket", service_socket,
                       "The installed service's socket; a socket served by anyone but root is refused")
          ->type_name("PATH")
          ->capture_default_str();
  bool no_service = false;
  write_command->add_flag("--no-service", no_service, "Never use the installed service; run the helper")
      ->excludes(service_option);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }

  // Whom it acts for, once, before anything is read or run.
  const auto user = kelmar_vindle::frontend::InvokingUser::of_this_process();
  if (!user) return finish(std::unexpected(user.error()));

  if (*list) {
    list_options.fixture = given(list_fixture_option, list_fixture);
    return finish(kelmar_vindle::frontend::run_list(list_options, *user));
  }
  write_options.image = image;
  if (sha256_option->count() != 0) write_options.sha256 = sha256;
  write_options.sha256_file = given(sha256_file_option, sha256_file);
  write_options.helper = given(helper_option, helper);
  write_options.fixture = given(fixture_option, fixture);
  write_options.sink = given(sink_option, sink);
  if (!no_service) write_options.service = service_socket;
  write_options.eject = !no_eject;
  return finish(kelmar_vindle::frontend::run_write(write_options, *user));
}
