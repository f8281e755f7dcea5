#include "about.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "kelmar_vindle/version.hpp"

namespace kelmar_vindle::helper {
namespace {

// The options that take the next argument as their value (options.cpp).
constexpr std::array<std::string_view, 12> kValueOptions{
    "--fixture",    "--sink",        "--expect-serial",  "--expect-size", "--listen-unix",      "--client-uid",
    "--client-gid", "--listen-pipe", "--client-timeout", "--authorize",   "--authorize-action", "--client-requirement"};

constexpr std::string_view kHelp =
    "Usage: kelmar_vindle_helper [OPTION]...\n"
    "Writes an installer image onto a USB disk for an application: answers one JSON request\n"
    "from standard input (or a listen option's transport) with one JSON result line.\n"
    "\n"
    "  --fixture PATH              use the mock disk list in PATH instead of the machine's disks\n"
    "  --sink PATH                 write images into the file PATH instead of a disk\n"
    "  --allow-real-write          enable real writes to a raw disk\n"
    "  --purchaser                 the disk the user confirmed may be written\n"
    "  --expect-serial TEXT        serial number the target disk must carry\n"
    "  --expect-size N             size in bytes the target disk must have\n"
    "  --list-disks                print the disk list as one JSON array and exit\n"
    "  --listen-unix PATH          answer one request on a Unix-domain socket at PATH\n"
    "  --client-timeout SECONDS    bound a socket client's whole request (also on a socket as\n"
    "                              standard input)\n"
    "  --authorize polkit          ask polkit on the system bus before each write whether the\n"
    "                              socket's peer may erase the disk\n"
    "  --authorize-action ID       the polkit action asked about (com.kelmar-vindle.write-disk)\n"
    "  --client-uid UID            the one client (with --client-gid GID)\n"
    "  --listen-xpc                run as the XPC Mach service (macOS only)\n"
    "  --client-requirement TEXT   with --listen-xpc: the code-signing requirement of every peer\n"
    "  --version                   print the version and exit\n"
    "  --help                      print this help and exit\n"
    "\n"
    "Other arguments are ignored. Exit status: 0 when the request was answered, 1 with\n"
    "\"helper error: ...\" on standard error otherwise.\n";

bool takes_value(std::string_view option) {
  return std::find(kValueOptions.begin(), kValueOptions.end(), option) != kValueOptions.end();
}

}  // namespace

std::optional<std::string> about_text(const std::vector<std::string>& args) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (takes_value(args[i])) {
      ++i;  // its value, whatever it reads
      continue;
    }
    if (args[i] == "--version") return "kelmar_vindle_helper " + std::string(kVersion) + "\n";
    if (args[i] == "--help") return std::string(kHelp);
  }
  return std::nullopt;
}

}  // namespace kelmar_vindle::helper
