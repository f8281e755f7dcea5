// The terminal front end kelmar-vindle, the real binary beside the real
// helper: its disk list, its refusals, a whole write through the file sink as
// an unprivileged user, the typed confirmation and Ctrl-C, on a terminal;
// run as root for nobody as sudo would, what it refuses to read, write or
// run for them, and whom it names as the helper's client; an image
// downloaded from a server on the loopback address and streamed in.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "devices.hpp"
#include "frontend_runner.hpp"
#include "http_server.hpp"
#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/device/eligibility.hpp"
#include "kelmar_vindle/protocol.hpp"
#include "kelmar_vindle/version.hpp"
#include "process_runner.hpp"
#include "temp_dir.hpp"

namespace kelmar_vindle {
namespace {

using testing::TerminalProcess;

// Only keeps a broken program from hanging the test; never a measure of speed.
constexpr std::chrono::milliseconds kPatience{30'000};

const std::vector<std::string> kEnv{"PATH=/usr/bin:/bin"};

// A few MiB of varied bytes, and their digest.
struct Image {
  std::filesystem::path path;
  std::string bytes;
  std::string sha256;
};

Image make_image(const testing::TempDir& dir) {
  std::string bytes(3 * 1048576 + 12345, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) >> 5);
  return {dir.write("installer.img", bytes), bytes, checksum::sha256_hex(bytes)};
}

std::vector<std::string> write_args(const Image& image, std::string_view disk, const std::filesystem::path& sink,
                                    const std::string& devices = testing::example_devices()) {
  return {"write",  image.path.string(), std::string(disk), "--fixture", devices,
          "--sink", sink.string(),       "--sha256",        image.sha256};
}

std::string verified_line(std::string_view sha256) {
  return "disk4 written and verified, sha256 " + std::string(sha256) + "\n";
}

TEST(FrontendList, ShowsTheFixtureAsATableAndAsTheHelpersJson) {
  const auto table =
      testing::run_process(testing::frontend_binary(), {.args = {"list", "--fixture", testing::example_devices()}});
  ASSERT_EQ(table.exit_status, 0) << table.err;
  EXPECT_EQ(table.out,
            "NAME   SIZE       BUS   VENDOR    PRODUCT   SERIAL            WRITABLE\n"
            "disk4  28.9 GiB   usb   Acme      Stick 32  AC0E5717C4A91B02  yes\n"
            "disk0  465.9 GiB  nvme  Internal  SSD       -                 no: system or internal disk\n");

  const auto json = testing::run_process(testing::frontend_binary(),
                                         {.args = {"list", "--json", "--fixture", testing::example_devices()}});
  ASSERT_EQ(json.exit_status, 0) << json.err;
  const auto helper = testing::run_helper({.args = {"--list-disks", "--fixture", testing::example_devices()}});
  EXPECT_EQ(json.out, helper.out) << helper.err;
  const auto listed = read_mock_device_list(json.out);
  const auto fixture = read_mock_device_list(testing::read_file(testing::example_devices()));
  ASSERT_TRUE(listed) << listed.error();
  ASSERT_TRUE(fixture) << fixture.error();
  EXPECT_EQ(*listed, *fixture);
  ASSERT_EQ(listed->size(), 2u);
  EXPECT_FALSE(write_refusal((*listed)[0]));
  const auto internal = write_refusal((*listed)[1]);
  EXPECT_TRUE((*listed)[1].is_system);
  EXPECT_EQ(internal ? std::optional(internal->kind()) : std::nullopt, ErrorKind::RejectedSystem);
}

// A disk the system names by numbers only (a virtio disk's vendor is its PCI
// vendor id) shows none, and its bus as lsblk names it.
TEST(FrontendList, ShowsNoNumberAsAVendorNameAndTheVirtioBusByItsDriver) {
  const testing::TempDir dir;
  const auto unnamed = [](std::string vendor, std::string linux_name, std::uint64_t size) {
    DeviceCandidate disk = testing::usb_stick("", "", size);
    disk.vendor = disk.identity.vendor = std::move(vendor);
    disk.product = disk.identity.product = "";
    disk.bus = disk.identity.bus = Bus::Other;
    disk.is_usb = false;
    disk.identity.mac_bsd_name.reset();
    disk.identity.linux_dev_name = std::move(linux_name);
    return disk;
  };
  const auto fixture = dir.write(
      "disks.json", testing::mock_list_text({unnamed("0x1af4", "vda", 8ull << 30), unnamed("4660", "sdc", 512ull << 20),
                                             unnamed("Vendor", "sdd", 1536)}));
  const auto table =
      testing::run_process(testing::frontend_binary(), {.args = {"list", "--fixture", fixture.string()}});
  ASSERT_EQ(table.exit_status, 0) << table.err;
  EXPECT_EQ(table.out,
            "NAME  SIZE     BUS     VENDOR  PRODUCT  SERIAL  WRITABLE\n"
            "vda   8 GiB    virtio  -       -        -       no: not a USB disk\n"
            "sdc   512 MiB  -       -       -        -       no: not a USB disk\n"
            "sdd   1.5 KiB  -       Vendor  -        -       no: not a USB disk\n");
}

TEST(FrontendWrite, RefusesADiskTheHelperWouldNotWriteBeforeAnythingElse) {
  const testing::TempDir dir;
  DeviceCandidate no_serial = testing::usb_stick("", "disk6");
  DeviceCandidate on_sata = testing::usb_stick("SATA1", "disk7");
  on_sata.bus = on_sata.identity.bus = Bus::Sata;
  on_sata.is_usb = false;
  const auto fixture = dir.write("disks.json", testing::mock_list_text({no_serial, on_sata}));
  struct Case {
    std::string fixture;
    std::string disk;
    std::string message;
  };
  const Case cases[] = {
      {testing::example_devices(), "disk0", "kelmar-vindle: refusing to write disk0: system or internal disk\n"},
      {testing::example_devices(), "usb:anon:Internal:SSD:500277792768",
       "kelmar-vindle: refusing to write disk0: system or internal disk\n"},
      {testing::example_devices(), "disk9", "kelmar-vindle: no attached disk is named \"disk9\"\n"},
      {fixture.string(), "disk6", "kelmar-vindle: refusing to write disk6: no serial number\n"},
      {fixture.string(), "disk7", "kelmar-vindle: refusing to write disk7: not a USB disk\n"},
  };
  const auto sink = dir.path() / "sink.img";
  for (const auto& c : cases) {
    // The image does not even exist: the disk is refused first.
    const auto run = testing::run_process(testing::frontend_binary(),
                                          {.args = {"write", (dir.path() / "missing.img").string(), c.disk, "--fixture",
                                                    c.fixture, "--sink", sink.string(), "--yes"}});
    EXPECT_EQ(run.exit_status, 1) << c.disk;
    EXPECT_EQ(run.err, c.message) << c.disk;
    EXPECT_EQ(run.out, "") << c.disk;
  }
  EXPECT_FALSE(std::filesystem::exists(sink));
}

// A test run as the user nobody, in a directory of its own holding an
// image, with copies of the front end, the helper and the example disk list
// that nobody may run and read; skipped where no child can become nobody or
// no place lets nobody reach them.
class FrontendAsNobody : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why_not;
    const auto user = testing::unprivileged_user(why_not);
    if (!user) GTEST_SKIP() << why_not;
    nobody = *user;
    if (const auto why = staging.unreachable()) GTEST_SKIP() << "no copy of the front end can run as nobody: " << *why;
    if (const auto why = testing::unreachable_for_others(dir.path().parent_path())) {
      GTEST_SKIP() << "no directory of nobody's own can hold the image: " << *why;
    }
    auto copies = testing::stage_frontend(staging);
    ASSERT_TRUE(copies) << copies.error();
    staged = *copies;
    ASSERT_EQ(::chown(dir.path().c_str(), nobody.uid, nobody.gid), 0);
    image = make_image(dir);
    const auto reachable = testing::run_as(nobody, staged.frontend.string(), {"--help"}, kEnv, kPatience);
    ASSERT_EQ(reachable.exit_status, 0) << "the user nobody could not run " << staged.frontend
                                        << " (status 127: it did not start): " << reachable.err;
  }

  testing::RunAs nobody;
  const testing::StagingDir staging;
  testing::StagedFrontend staged;
  const testing::TempDir dir;
  Image image;
};

TEST_F(FrontendAsNobody, WritesAndVerifiesTheSinkThroughTheHelperRunAsTheUser) {
  const auto sink = dir.path() / "out" / "stick.img";
  auto args = write_args(image, "disk4", sink, staged.devices.string());
  args.emplace_back("--yes");
  const auto run = testing::run_as(nobody, staged.frontend.string(), args, kEnv, kPatience);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_TRUE(run.out.starts_with(verified_line(image.sha256))) << run.out;
  EXPECT_NE(run.out.find("\ntook "), std::string::npos) << run.out;
  // Not a terminal: plain lines, each phase from its start to its end.
  for (const std::string_view phase : {"checking image", "writing       ", "verifying     "}) {
    EXPECT_NE(run.err.find(std::string(phase) + "    0.0%\n"), std::string::npos) << phase << "\n" << run.err;
    EXPECT_NE(run.err.find(std::string(phase) + "  100.0%"), std::string::npos) << phase << "\n" << run.err;
  }
  EXPECT_EQ(run.err.find("not checked against a published digest"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find('\r'), std::string::npos) << run.err;
  EXPECT_EQ(testing::read_file(sink), image.bytes);
  // Written by the helper running as the user: no root was asked for.
  struct stat written {};
  ASSERT_EQ(::stat(sink.c_str(), &written), 0);
  EXPECT_EQ(written.st_uid, nobody.uid);
}

TEST(FrontendWrite, GoesOnOnlyWhenTheDisksNameIsTypedAtTheTerminal) {
  const testing::TempDir dir;
  const Image image = make_image(dir);
  struct Case {
    std::string typed;
    int exit_status;
    std::string shown;  // what the terminal then shows
  };
  const Case cases[] = {
      {"disk5\n", 1, "kelmar-vindle: not confirmed; nothing was written"},
      {"\n", 1, "kelmar-vindle: not confirmed; nothing was written"},
      // Ctrl-C and Ctrl-D: the answer starts a line of its own.
      {"\x03", 130, "\nkelmar-vindle: interrupted; nothing was written\r\n"},
      {"\x04", 1, "go on: \r\nkelmar-vindle: not confirmed (the input ended); nothing was written\r\n"},
      {"  disk4 \n", 0, "disk4 written and verified, sha256 " + image.sha256},
  };
  for (const auto& c : cases) {
    const auto sink = dir.path() / "stick.img";
    std::filesystem::remove(sink);
    TerminalProcess frontend(testing::frontend_binary(), write_args(image, "disk4", sink), kEnv);
    ASSERT_TRUE(frontend.started());
    ASSERT_TRUE(frontend.wait_for("Type disk4 to go on: ", kPatience)) << frontend.output();
    EXPECT_NE(frontend.output().find("This erases everything on disk4: Acme Stick 32, 28.9 GiB, serial "
                                     "AC0E5717C4A91B02"),
              std::string::npos)
        << frontend.output();
    ASSERT_TRUE(frontend.type(c.typed));
    EXPECT_EQ(frontend.wait(kPatience), c.exit_status) << frontend.output();
    EXPECT_NE(frontend.output().find(c.shown), std::string::npos) << frontend.output();
    if (c.exit_status != 0) {
      EXPECT_FALSE(std::filesystem::exists(sink)) << c.typed;
      continue;
    }
    EXPECT_EQ(testing::read_file(sink), image.bytes);
    // On a terminal the progress line is redrawn in place.
    EXPECT_NE(frontend.output().find("\rwriting         100.0%"), std::string::npos) << frontend.output();
  }
}

// A stand-in helper that records how it was started and what it was sent,
// reports ever more progress in `phase` (of `total` bytes) until its output
// is closed, and notes a SIGINT if one ever reaches it.
std::filesystem::path fake_helper(const testing::TempDir& dir, std::string_view phase = "writing",
                                  std::uint64_t total = 4194304) {
  const std::string at = dir.path().string();
  const auto script =
      dir.write("fake_helper",
                "#!/bin/sh\n"
                "trap 'echo >\"" +
                    at +
                    "/got_sigint\"' INT\n"
                    "printf '%s\\n' \"$@\" >\"" +
                    at +
                    "/args\"\n"
                    "head -n 1 >\"" +
                    at +
                    "/request\"\n"
                    "echo '{\"evt\":\"accepted\"}'\n"
                    "done=0\n"
                    "while echo '{\"evt\":\"progress\",\"phase\":\"" +
                    std::string(phase) + "\",\"bytes_done\":'$done',\"total\":" + std::to_string(total) +
                    "}'; do\n"
                    "  done=$((done + 1024)); sleep 0.1\n"
                    "done\n");
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  return script;
}

// The progress lines a terminal was sent: each redraw, from its carriage
// return to its erase-to-end.
std::vector<std::string> redrawn_lines(const std::string& output) {
  std::vector<std::string> lines;
  for (std::size_t end = output.find("\x1b[K"); end != std::string::npos; end = output.find("\x1b[K", end + 1)) {
    const std::size_t start = output.rfind('\r', end);
    if (start != std::string::npos) lines.push_back(output.substr(start + 1, end - start - 1));
  }
  return lines;
}

TEST(FrontendWrite, CtrlCStopsTheHelperThroughItsOutputAndSaysWhatThePhaseReachedLeft) {
  struct Case {
    std::string_view phase;
    std::string said;
  };
  const Case cases[] = {
      {"checking_image", "kelmar-vindle: the write was stopped before anything was written; disk4 is untouched\r\n"},
      {"writing",
       "kelmar-vindle: the write was stopped while writing; disk4 is partly written and holds no usable image\r\n"},
      {"verifying",
       "kelmar-vindle: the write was stopped while verifying; disk4 holds the whole image, but it was not "
       "verified\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.phase);
    const testing::TempDir dir;
    const Image image = make_image(dir);
    const auto sink = dir.path() / "stick.img";
    auto args = write_args(image, "disk4", sink);
    args.insert(args.end(), {"--yes", "--helper", fake_helper(dir, c.phase).string()});
    TerminalProcess frontend(testing::frontend_binary(), args, kEnv);
    ASSERT_TRUE(frontend.started());
    ASSERT_TRUE(frontend.wait_for("%", kPatience)) << frontend.output();
    ASSERT_TRUE(frontend.type("\x03"));
    EXPECT_EQ(frontend.wait(kPatience), 1) << frontend.output();
    EXPECT_NE(frontend.output().find(c.said), std::string::npos) << frontend.output();
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "got_sigint"));

    EXPECT_EQ(testing::read_file(dir.path() / "args"),
              "--sink\n" + sink.string() + "\n--fixture\n" + testing::example_devices() + "\n");
    const auto request = parse_request(testing::read_file(dir.path() / "request"));
    ASSERT_TRUE(request) << request.error().text();
    EXPECT_TRUE(request->progress);
    const auto* write = std::get_if<HelperCommand::Write>(&request->command.value);
    ASSERT_NE(write, nullptr);
    const auto fixture = read_mock_device_list(testing::read_file(testing::example_devices()));
    ASSERT_TRUE(fixture) << fixture.error();
    EXPECT_TRUE(write->job.job_id.starts_with("kelmar-vindle-")) << write->job.job_id;
    EXPECT_EQ(write->job.image_path, image.path);
    EXPECT_EQ(write->job.expected_sha256, image.sha256);
    EXPECT_EQ(write->job.expected_size, image.bytes.size());
    EXPECT_EQ(write->job.write_mode, "raw-dd-hybrid");
    EXPECT_EQ(write->job.target, fixture->front().identity);
    EXPECT_EQ(write->job.confirmed_label, "Acme Stick 32");
    EXPECT_FALSE(write->job.dry_run);
  }
}

// A phase whose total is unknown (0: a stream whose decoded length nothing
// states) shows the bytes so far and the rate, never a percentage or a time
// left.
TEST(FrontendWrite, ShowsTheBytesSoFarOfAPhaseWithoutATotal) {
  const testing::TempDir dir;
  const Image image = make_image(dir);
  auto args = write_args(image, "disk4", dir.path() / "stick.img");
  args.insert(args.end(), {"--yes", "--helper", fake_helper(dir, "writing", 0).string()});
  TerminalProcess frontend(testing::frontend_binary(), args, kEnv);
  ASSERT_TRUE(frontend.started());
  ASSERT_TRUE(frontend.wait_for("KiB/s", kPatience)) << frontend.output();
  ASSERT_TRUE(frontend.type("\x03"));
  EXPECT_EQ(frontend.wait(kPatience), 1) << frontend.output();
  const auto lines = redrawn_lines(frontend.output());
  ASSERT_FALSE(lines.empty()) << frontend.output();
  for (const auto& line : lines) {
    EXPECT_TRUE(line.starts_with("writing         ")) << line;
    EXPECT_EQ(line.find('%'), std::string::npos) << line;
    EXPECT_EQ(line.find("left"), std::string::npos) << line;
  }
  EXPECT_NE(frontend.output().find("\rwriting         1 KiB"), std::string::npos) << frontend.output();
}

// The progress line never wraps: it is fitted to the terminal's width, and
// to the new width once the window is resized.
TEST(FrontendWrite, FitsTheProgressLineToTheTerminalAndToItsNewWidth) {
  const testing::TempDir dir;
  const Image image = make_image(dir);
  auto args = write_args(image, "disk4", dir.path() / "stick.img");
  args.insert(args.end(), {"--yes", "--helper", fake_helper(dir).string()});
  constexpr unsigned short kWide = 30;
  constexpr unsigned short kNarrow = 12;
  TerminalProcess frontend(testing::frontend_binary(), args, kEnv, std::nullopt, kWide);
  ASSERT_TRUE(frontend.started());
  // Long enough into the phase for a rate and the time left to be known.
  ASSERT_TRUE(
      frontend.wait_until([](const std::string& output) { return redrawn_lines(output).size() >= 5; }, kPatience))
      << frontend.output();
  const std::size_t before = redrawn_lines(frontend.output()).size();
  ASSERT_TRUE(frontend.resize(kNarrow));
  // Lines drawn before the signal arrived may still be of the old width;
  // from the first narrow one on, every line is.
  const auto narrow_after_resize = [&](const std::string& output) {
    const auto lines = redrawn_lines(output);
    return std::count_if(lines.begin() + static_cast<std::ptrdiff_t>(before), lines.end(),
                         [&](const std::string& line) { return line.size() <= kNarrow - 1u; }) >= 3;
  };
  ASSERT_TRUE(frontend.wait_until(narrow_after_resize, kPatience)) << frontend.output();
  ASSERT_TRUE(frontend.type("\x03"));
  EXPECT_EQ(frontend.wait(kPatience), 1) << frontend.output();

  const auto lines = redrawn_lines(frontend.output());
  bool narrowed = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    narrowed = narrowed || (i >= before && lines[i].size() <= kNarrow - 1u);
    const std::size_t room = narrowed ? kNarrow - 1u : kWide - 1u;
    EXPECT_LE(lines[i].size(), room) << i << ": \"" << lines[i] << "\"";
    EXPECT_TRUE(lines[i].starts_with(std::string("writing     ").substr(0, room))) << lines[i];
  }
  // The narrow width cut the line itself; the wide one dropped what did not
  // fit (the time left), never the percentage.
  EXPECT_EQ(lines.back(), "writing    ");
  EXPECT_NE(lines[before - 1].find('%'), std::string::npos) << lines[before - 1];
  EXPECT_EQ(lines[before - 1].find("left"), std::string::npos) << lines[before - 1];
}

TEST_F(FrontendAsNobody, ARealWriteGoesThroughTheLauncherWhichHasTheTerminalForItsPassword) {
  // A stand-in pkexec that asks for a password at the terminal, as the real
  // one's text agent does, and then runs the real helper as the user.
  const std::string at = dir.path().string();
  std::filesystem::create_directory(dir.path() / "bin");
  const auto launcher = dir.write("bin/pkexec",
                                  "#!/bin/sh\n"
                                  "printf 'Password: ' >/dev/tty\n"
                                  "read answer </dev/tty\n"
                                  "printf '%s\\n' \"$answer\" >\"" +
                                      at +
                                      "/answer\"\n"
                                      "printf '%s\\n' \"$@\" >\"" +
                                      at +
                                      "/launched\"\n"
                                      "exec \"$@\"\n");
  std::filesystem::permissions(launcher, std::filesystem::perms::owner_all | std::filesystem::perms::others_read |
                                             std::filesystem::perms::others_exec);
  ASSERT_EQ(::chown(launcher.c_str(), nobody.uid, nobody.gid), 0);

  TerminalProcess frontend(
      staged.frontend.string(),
      {"write", image.path.string(), "disk4", "--fixture", staged.devices.string(), "--sha256", image.sha256, "--yes"},
      {"PATH=" + at + "/bin:/usr/bin:/bin"}, nobody);
  ASSERT_TRUE(frontend.started());
  // Were the launcher in the background, its read would stop it instead.
  ASSERT_TRUE(frontend.wait_for("Password: ", kPatience)) << frontend.output();
  ASSERT_TRUE(frontend.type("secret\n"));
  EXPECT_EQ(frontend.wait(kPatience), 1) << frontend.output();
  EXPECT_EQ(testing::read_file(dir.path() / "answer"), "secret\n");
  const std::string uid = std::to_string(nobody.uid);
  const std::string gid = std::to_string(nobody.gid);
  EXPECT_EQ(testing::read_file(dir.path() / "launched"),
            staged.helper.string() +
                "\n--purchaser\n--allow-real-write\n--expect-serial\nAC0E5717C4A91B02\n--expect-size\n31004295168\n" +
                "--client-uid\n" + uid + "\n--client-gid\n" + gid + "\n--fixture\n" + staged.devices.string() + "\n");
  // The helper, unprivileged, got as far as the fixture's macOS disk asks
  // (the disk utility, missing here) and answered; nothing was written.
  EXPECT_NE(frontend.output().find("kelmar-vindle: the write of " + image.path.string() + " onto disk4 failed: "),
            std::string::npos)
      << frontend.output();
}

// A fresh directory that only root may change, nor anything above it (the
// place for a helper the front end will run as root for another user), made
// under the build tree or /run, whichever qualifies; removed afterwards.
class RootOnlyDir {
 public:
  RootOnlyDir() {
    const std::filesystem::path build = std::filesystem::path(testing::frontend_binary()).parent_path().parent_path();
    for (const std::filesystem::path& base : {build, std::filesystem::path("/run")}) {
      if (!only_root_may_change(base)) continue;
      std::string pattern = (base / "kv-frontend-XXXXXX").string();
      if (::mkdtemp(pattern.data()) == nullptr || ::chmod(pattern.c_str(), 0755) != 0) continue;
      path_ = pattern;
      return;
    }
  }
  RootOnlyDir(const RootOnlyDir&) = delete;
  RootOnlyDir& operator=(const RootOnlyDir&) = delete;
  ~RootOnlyDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }

  const std::filesystem::path& path() const { return path_; }  // empty when none qualified

 private:
  // Root's own, and writable by nobody else, from `path` up to /.
  static bool only_root_may_change(std::filesystem::path path) {
    for (;; path = path.parent_path()) {
      struct stat entry {};
      if (::lstat(path.c_str(), &entry) != 0 || S_ISLNK(entry.st_mode) || entry.st_uid != 0 ||
          ((entry.st_mode & S_IWGRP) != 0 && entry.st_gid != 0) || (entry.st_mode & S_IWOTH) != 0) {
        return false;
      }
      if (path == path.root_path()) return true;
    }
  }

  std::filesystem::path path_;
};

// The front end run as root the way sudo runs it for the user nobody. A
// directory of nobody's own holds the image; a root-only directory holds a
// stand-in helper that records its arguments and the SUDO_UID it was given
// into `ran`, and answers nothing. The front end reads the disk list with
// nobody's rights: a copy of the example list lies where nobody may read it.
class FrontendUnderSudo : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why_not;
    const auto user = testing::unprivileged_user(why_not);
    if (!user) GTEST_SKIP() << why_not;
    nobody = *user;
    if (trusted.path().empty()) {
      GTEST_SKIP() << "neither the build tree nor /run is a directory only root may change, up to /";
    }
    if (const auto why = staging.unreachable())
      GTEST_SKIP() << "no disk list can be put where nobody reads it: " << *why;
    if (const auto why = testing::unreachable_for_others(theirs.path().parent_path())) {
      GTEST_SKIP() << "no directory of nobody's own can hold the image: " << *why;
    }
    auto copy = staging.stage(testing::example_devices(), 0644);
    ASSERT_TRUE(copy) << copy.error();
    devices = *copy;
    ASSERT_EQ(::chown(theirs.path().c_str(), nobody.uid, nobody.gid), 0);
    home = std::filesystem::canonical(theirs.path());
    image = make_image(theirs);
    ran = trusted.path() / "ran";
    helper = stand_in_helper(trusted.path() / "helper");
    sudo_env = {"PATH=/usr/bin:/bin", "SUDO_UID=" + std::to_string(nobody.uid),
                "SUDO_GID=" + std::to_string(nobody.gid), "SUDO_USER=nobody"};
  }

  std::filesystem::path stand_in_helper(const std::filesystem::path& at) const {
    testing::write_file(at, "#!/bin/sh\nprintf '%s\\n' \"$@\" \"SUDO_UID=$SUDO_UID\" >\"" + ran.string() + "\"\n");
    EXPECT_EQ(::chmod(at.c_str(), 0755), 0);
    return at;
  }

  std::vector<std::string> write_with(const std::filesystem::path& helper_path, const std::string& fixture,
                                      const std::optional<std::filesystem::path>& sink) const {
    std::vector<std::string> args{"write",    image.path.string(), "disk4", "--fixture", fixture,
                                  "--sha256", image.sha256,        "--yes", "--helper",  helper_path.string()};
    if (sink) args.insert(args.end(), {"--sink", sink->string()});
    return args;
  }

  testing::RunAs nobody;
  const testing::StagingDir staging;
  std::filesystem::path devices;  // the example disk list, staged
  const testing::TempDir theirs;
  const RootOnlyDir trusted;
  std::filesystem::path home;  // `theirs`, symbolic links resolved
  Image image;
  std::filesystem::path ran;
  std::filesystem::path helper;
  std::vector<std::string> sudo_env;
};

TEST_F(FrontendUnderSudo, RefusesWhatTheUserCouldNotDoBeforeAnyHelperRuns) {
  const std::string uid = std::to_string(nobody.uid);
  const std::string gid = std::to_string(nobody.gid);
  const std::string fixture = devices.string();
  const auto sink = home / "stick.img";

  // A helper in nobody's directory, one nobody's group may write, and a
  // link in the root-only directory to the first.
  const auto in_theirs = stand_in_helper(home / "helper");
  const auto group_writable = stand_in_helper(trusted.path() / "group_writable");
  ASSERT_EQ(::chown(group_writable.c_str(), 0, nobody.gid), 0);
  ASSERT_EQ(::chmod(group_writable.c_str(), 0775), 0);
  const auto link = trusted.path() / "link";
  std::filesystem::create_symlink(in_theirs, link);
  // A disk list only root may read, and a directory only root may write.
  const auto secret = theirs.write("secret.json", testing::read_file(fixture));
  ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
  const auto roots = home / "roots";
  std::filesystem::create_directory(roots);
  ASSERT_EQ(::chmod(roots.c_str(), 0755), 0);

  const std::string refusing = "kelmar-vindle: refusing to run ";
  const std::string for_nobody = " as root for user " + uid + ": ";
  const std::string others_write = " may be written by users other than root ";
  // The sink is tried once the write is confirmed (it may be left behind, empty).
  const std::string shown =
      "This erases everything on disk4: Acme Stick 32, 28.9 GiB, serial AC0E5717C4A91B02\n"
      "and writes " +
      image.path.string() + " (3 MiB) onto it.\n";
  struct Case {
    std::string what;
    std::vector<std::string> env;
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {"a helper in a directory the user owns", sudo_env, write_with(in_theirs, fixture, sink),
       refusing + in_theirs.string() + for_nobody + home.string() + others_write + "(its owner is user " + uid + ")\n"},
      {"a helper the user's group may write", sudo_env, write_with(group_writable, fixture, sink),
       refusing + group_writable.string() + for_nobody + group_writable.string() + others_write + "(its group " + gid +
           " may write it)\n"},
      {"a link to a helper in a directory the user owns", sudo_env, write_with(link, fixture, sink),
       refusing + link.string() + for_nobody + home.string() + others_write + "(its owner is user " + uid + ")\n"},
      {"a disk list only root may read", sudo_env, write_with(helper, secret.string(), sink),
       "kelmar-vindle: " + secret.string() + " is not readable by you\n"},
      {"listing a disk list only root may read",
       sudo_env,
       {"list", "--fixture", secret.string()},
       "kelmar-vindle: " + secret.string() + " is not readable by you\n"},
      {"a sink in a directory only root may write", sudo_env, write_with(helper, fixture, roots / "stick.img"),
       shown + "kelmar-vindle: " + (roots / "stick.img").string() + ": Permission denied (os error 13)\n"},
      {"sudo and pkexec naming different users",
       {"SUDO_UID=" + uid, "SUDO_GID=" + gid, "PKEXEC_UID=0"},
       write_with(helper, fixture, sink),
       "kelmar-vindle: SUDO_UID (" + uid + ") and PKEXEC_UID (0) name different users; unset the one that is wrong\n"},
      {"a user name for an id",
       {"SUDO_UID=nobody"},
       {"list", "--fixture", fixture},
       "kelmar-vindle: SUDO_UID is not a user ID (a decimal number)\n"},
      {"a group that is not a number",
       {"SUDO_UID=" + uid, "SUDO_GID=-5"},
       write_with(helper, fixture, sink),
       "kelmar-vindle: SUDO_GID is not a group ID (a decimal number)\n"},
      {"an empty pkexec id",
       {"PKEXEC_UID="},
       write_with(helper, fixture, sink),
       "kelmar-vindle: PKEXEC_UID is not a user ID (a decimal number)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(ran);
    const auto run = testing::run_process(testing::frontend_binary(), {.args = c.args, .env = c.env});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(std::filesystem::exists(ran)) << "the helper ran";
  }
  EXPECT_FALSE(std::filesystem::exists(roots / "stick.img"));
}

TEST_F(FrontendUnderSudo, NamesTheInvokingUserAsTheHelpersClient) {
  const std::string uid = std::to_string(nobody.uid);
  const std::string gid = std::to_string(nobody.gid);
  const std::string fixture = devices.string();
  const auto sink = home / "out.img";
  const std::string pinned =
      "--purchaser\n--allow-real-write\n--expect-serial\nAC0E5717C4A91B02\n--expect-size\n"
      "31004295168\n";
  const std::string client = "--client-uid\n" + uid + "\n--client-gid\n" + gid + "\n--fixture\n" + fixture + "\n";
  struct Case {
    std::string what;
    std::vector<std::string> env;
    std::optional<std::filesystem::path> sink;
    std::string recorded;  // the helper's arguments, then the SUDO_UID it was given
  };
  const Case cases[] = {
      {"sudo, a disk", sudo_env, std::nullopt, pinned + client + "SUDO_UID=" + uid + "\n"},
      {"sudo, a sink", sudo_env, sink, "--sink\n" + sink.string() + "\n" + client + "SUDO_UID=" + uid + "\n"},
      // pkexec names no group: the user's primary one.
      {"pkexec, a disk", {"PATH=/usr/bin:/bin", "PKEXEC_UID=" + uid}, std::nullopt, pinned + client + "SUDO_UID=\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(ran);
    std::filesystem::remove(sink);
    const auto run =
        testing::run_process(testing::frontend_binary(), {.args = write_with(helper, fixture, c.sink), .env = c.env});
    // The stand-in answers nothing.
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.err.find("kelmar-vindle: the helper ended without an answer"), std::string::npos) << run.err;
    ASSERT_TRUE(std::filesystem::exists(ran)) << run.err;
    EXPECT_EQ(testing::read_file(ran), c.recorded);
    if (!c.sink) continue;
    // The front end's check created the sink as the user, empty.
    struct stat made {};
    ASSERT_EQ(::stat(sink.c_str(), &made), 0);
    EXPECT_EQ(made.st_uid, nobody.uid);
    EXPECT_EQ(made.st_size, 0);
  }
}

// Every failure names the file it concerns, and says what is wrong with it
// in a person's words; a sink that is a directory is refused before the
// image is hashed.
TEST_F(FrontendAsNobody, NamesTheFileEachFailureConcerns) {
  const auto unreadable = dir.write("secret.img", image.bytes);
  ASSERT_EQ(::chmod(unreadable.c_str(), 0), 0);
  const auto missing = (dir.path() / "nope.img").string();
  const auto sink = (dir.path() / "stick.img").string();
  const auto fixture = testing::example_devices();
  const auto write = [&](const std::string& image_path, const std::string& sink_path) {
    return std::vector<std::string>{"write", image_path, "disk4", "--fixture", fixture, "--sink", sink_path, "--yes"};
  };
  struct Case {
    std::string what;
    std::vector<std::string> args;
    std::string err;  // its last line
  };
  const Case cases[] = {
      {"a missing image", write(missing, sink), "kelmar-vindle: " + missing + " does not exist\n"},
      {"an image they may not read", write(unreadable.string(), sink),
       "kelmar-vindle: " + unreadable.string() + " is not readable by you\n"},
      {"a directory for an image", write(dir.path().string(), sink),
       "kelmar-vindle: " + dir.path().string() + " is a directory, not a regular file\n"},
      {"a missing disk list", {"list", "--fixture", missing}, "kelmar-vindle: " + missing + " does not exist\n"},
      {"a directory for a sink", write(image.path.string(), dir.path().string()),
       "kelmar-vindle: " + dir.path().string() + " is a directory; --sink names the file to write into\n"},
      // What only the helper finds out names the image and where it went.
      {"a sink the helper cannot fill", write(image.path.string(), "/dev/full"),
       "kelmar-vindle: the write of " + image.path.string() +
           " into /dev/full failed: I/O error: No space left on device (os error 28)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto run = testing::run_as(nobody, testing::frontend_binary(), c.args, kEnv, kPatience);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_TRUE(run.err.ends_with(c.err)) << run.err;
    // Nothing was hashed for a write that could not go on.
    if (c.what != "a sink the helper cannot fill") {
      EXPECT_EQ(run.err.find("hashing"), std::string::npos) << run.err;
    }
  }
  EXPECT_FALSE(std::filesystem::exists(sink));
}

// Without a published digest the front end hashes the image itself, shown
// as a phase of its own before the helper's.
TEST_F(FrontendAsNobody, ShowsItsOwnHashingOfTheImageAsAPhase) {
  const auto sink = dir.path() / "stick.img";
  const auto run = testing::run_as(nobody, testing::frontend_binary(),
                                   {"write", image.path.string(), "disk4", "--fixture", testing::example_devices(),
                                    "--sink", sink.string(), "--yes"},
                                   kEnv, kPatience);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_TRUE(run.out.starts_with(verified_line(image.sha256))) << run.out;
  const std::vector<std::string> phases{"Note: the image was not checked against a published digest.\n",
                                        "hashing image     0.0%\n", "hashing image   100.0%",
                                        "checking image    0.0%\n", "writing           0.0%\n"};
  std::size_t at = 0;
  for (const auto& phase : phases) {
    const std::size_t found = run.err.find(phase, at);
    ASSERT_NE(found, std::string::npos) << phase << "\n" << run.err;
    at = found + phase.size();
  }
  EXPECT_EQ(testing::read_file(sink), image.bytes);
}

// Ctrl-C while the front end hashes: the helper never ran, and it says so.
TEST(FrontendWrite, CtrlCWhileHashingLeavesTheDiskUntouched) {
  const testing::TempDir dir;
  // Sparse, and as large as the stick: hashing it takes long past Ctrl-C.
  const auto image = dir.path() / "large.img";
  testing::write_file(image, "");
  std::filesystem::resize_file(image, 31'004'295'168);
  const auto sink = dir.path() / "stick.img";
  TerminalProcess frontend(testing::frontend_binary(),
                           {"write", image.string(), "disk4", "--fixture", testing::example_devices(), "--sink",
                            sink.string(), "--yes", "--helper", fake_helper(dir).string()},
                           kEnv);
  ASSERT_TRUE(frontend.started());
  ASSERT_TRUE(frontend.wait_for("\rhashing image     0.0%", kPatience)) << frontend.output();
  ASSERT_TRUE(frontend.type("\x03"));
  EXPECT_EQ(frontend.wait(kPatience), 1) << frontend.output();
  EXPECT_TRUE(frontend.output().ends_with(
      "\r\nkelmar-vindle: the write was stopped before anything was written; disk4 is untouched\r\n"))
      << frontend.output();
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "args")) << "the helper ran";
  EXPECT_FALSE(std::filesystem::exists(sink));
}

// Installed, the front end finds the helper where the build installs it,
// seen from the front end's own directory.
TEST(FrontendWrite, FindsTheHelperInTheInstalledLayout) {
  const testing::TempDir dir;
  const Image image = make_image(dir);
  const auto prefix = dir.path() / "usr";
  const auto frontend = prefix / "bin" / "kelmar-vindle";
  const auto helper = (prefix / "bin" / testing::relative_helper_dir() / "kelmar_vindle_helper").lexically_normal();
  for (const auto& [from, to] : {std::pair{std::filesystem::path(testing::frontend_binary()), frontend},
                                 std::pair{std::filesystem::path(testing::helper_binary()), helper}}) {
    std::filesystem::create_directories(to.parent_path());
    std::filesystem::copy_file(from, to);
  }
  ASSERT_NE(helper.parent_path(), frontend.parent_path());
  auto args = write_args(image, "disk4", dir.path() / "stick.img");
  args.emplace_back("--yes");
  const auto run = testing::run_process(frontend.string(), {.args = args, .env = kEnv});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_TRUE(run.out.starts_with(verified_line(image.sha256))) << run.out;
  EXPECT_EQ(testing::read_file(dir.path() / "stick.img"), image.bytes);
}

// --version and --help answer with the project's one version and the usage.
TEST(Frontend, AnswersVersionAndHelp) {
  struct Case {
    std::string arg;
    std::string starts;  // how standard output starts
  };
  const Case cases[] = {
      {"--version", "kelmar-vindle " + std::string(kVersion) + "\n"},
      {"--help", "Writes an installer image onto a USB disk"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arg);
    const auto run = testing::run_process(testing::frontend_binary(), {.args = {c.arg}});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_TRUE(run.out.starts_with(c.starts)) << run.out;
  }
}

// The installed service, stood in for by a socket on which a child serves
// one connection with a program of the test's choosing (the real helper,
// or a stand-in), as the service manager's socket unit would. Only a server
// run by root is taken for the service, so most of these need root.
class FrontendService : public ::testing::Test {
 protected:
  void SetUp() override { image = make_image(dir); }

  // The front end's arguments for a write of the image onto disk4 of the
  // example list through the service at `socket`.
  std::vector<std::string> write_through(const std::filesystem::path& at) const {
    return {"write",      image.path.string(), "disk4",    "--fixture", testing::example_devices(), "--sha256",
            image.sha256, "--service-socket",  at.string()};
  }

  static void skip_unless_root() {
    if (::geteuid() != 0) GTEST_SKIP() << "only a socket served by root is taken for the service";
  }

  const testing::TempDir dir;
  Image image;
  const std::filesystem::path socket = dir.path() / "service.sock";
  const std::filesystem::path sink = dir.path() / "stick.img";
};

TEST_F(FrontendService, WritesThroughTheServiceWhichReadsTheImageItWasHanded) {
  skip_unless_root();
  testing::ServiceStandIn service(socket, testing::helper_binary(),
                                  {"--fixture", testing::example_devices(), "--sink", sink.string()});
  ASSERT_TRUE(service.listening());
  TerminalProcess frontend(testing::frontend_binary(), write_through(socket), kEnv);
  ASSERT_TRUE(frontend.started());
  ASSERT_TRUE(frontend.wait_for("Type disk4 to go on: ", kPatience)) << frontend.output();
  // The front end holds the image open by now; gone from its path, it can
  // reach the helper only as the descriptor the front end sends.
  std::filesystem::remove(image.path);
  ASSERT_TRUE(frontend.type("disk4\n"));
  EXPECT_EQ(frontend.wait(kPatience), 0) << frontend.output();
  EXPECT_NE(frontend.output().find("\rwriting         100.0%"), std::string::npos) << frontend.output();
  EXPECT_NE(frontend.output().find(verified_line(image.sha256).substr(0, verified_line(image.sha256).size() - 1)),
            std::string::npos)
      << frontend.output();
  EXPECT_EQ(testing::read_file(sink), image.bytes);
  EXPECT_EQ(service.wait(kPatience), 0);
}

TEST_F(FrontendService, CtrlCClosesTheConnectionWhichCancelsTheJob) {
  skip_unless_root();
  testing::ServiceStandIn service(socket, fake_helper(dir).string(), {});
  ASSERT_TRUE(service.listening());
  auto args = write_through(socket);
  args.emplace_back("--yes");
  TerminalProcess frontend(testing::frontend_binary(), args, kEnv);
  ASSERT_TRUE(frontend.started());
  ASSERT_TRUE(frontend.wait_for("%", kPatience)) << frontend.output();
  ASSERT_TRUE(frontend.type("\x03"));
  EXPECT_EQ(frontend.wait(kPatience), 1) << frontend.output();
  EXPECT_NE(frontend.output().find("kelmar-vindle: the write was stopped while writing; disk4 is partly written and "
                                   "holds no usable image\r\n"),
            std::string::npos)
      << frontend.output();
  // The stand-in's next event found nobody reading: it ended.
  EXPECT_TRUE(service.wait(kPatience)) << "the service went on after the hang-up";
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "got_sigint"));
  const auto request = parse_request(testing::read_file(dir.path() / "request"));
  ASSERT_TRUE(request) << request.error().text();
  const auto* write = std::get_if<HelperCommand::Write>(&request->command.value);
  ASSERT_NE(write, nullptr);
  EXPECT_TRUE(request->progress);
  EXPECT_EQ(write->job.image_path, image.path);
  EXPECT_EQ(write->job.expected_sha256, image.sha256);
}

// Whoever else listens there is neither sent the write nor bypassed.
TEST_F(FrontendService, RefusesASocketNotServedByRoot) {
  std::optional<testing::RunAs> server;  // run by this process's own user when that is not root
  if (::geteuid() == 0) {
    std::string why_not;
    server = testing::unprivileged_user(why_not);
    if (!server) GTEST_SKIP() << why_not;
  }
  const uid_t server_uid = server ? server->uid : ::geteuid();
  // It ends well when nothing at all was sent to it.
  testing::ServiceStandIn service(socket, "/bin/sh", {"-c", "test -z \"$(head -c 1)\""}, server);
  ASSERT_TRUE(service.listening());
  const auto ran = dir.path() / "ran";
  const auto helper = dir.write("helper", "#!/bin/sh\necho ran >\"" + ran.string() + "\"\n");
  std::filesystem::permissions(helper, std::filesystem::perms::owner_all);
  auto args = write_through(socket);
  args.insert(args.end(), {"--yes", "--helper", helper.string()});
  const auto run = testing::run_process(testing::frontend_binary(), {.args = args, .env = kEnv});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_TRUE(run.err.ends_with("kelmar-vindle: refusing to write through " + socket.string() +
                                ": it is served by user " + std::to_string(server_uid) +
                                ", not root, so it is not the installed service; have it removed, or --no-service "
                                "writes through pkexec or sudo instead\n"))
      << run.err;
  EXPECT_EQ(service.wait(kPatience), 0) << "the write was sent to it";
  EXPECT_FALSE(std::filesystem::exists(ran)) << "the front end fell back to the helper";
}

// No service answers: the write goes to the helper, as without one.
TEST_F(FrontendService, FallsBackToTheHelperWhenNoServiceAnswers) {
  // A socket nobody listens on, as a stopped service leaves behind.
  const auto stale = dir.path() / "stale.sock";
  {
    const UniqueFd bound(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, stale.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(bound.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  const auto regular = dir.write("regular.sock", "");
  // The helper records its arguments; a stand-in pkexec runs it for a
  // user who is not root.
  const auto ran = dir.path() / "ran";
  const auto helper = dir.write("helper", "#!/bin/sh\nprintf '%s\\n' \"$@\" >\"" + ran.string() + "\"\n");
  std::filesystem::create_directory(dir.path() / "bin");
  const auto pkexec = dir.write("bin/pkexec", "#!/bin/sh\nexec \"$@\"\n");
  for (const auto& program : {helper, pkexec}) std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  for (const auto& at : {dir.path() / "missing.sock", stale, regular}) {
    SCOPED_TRACE(at);
    std::filesystem::remove(ran);
    auto args = write_through(at);
    args.insert(args.end(), {"--yes", "--helper", helper.string()});
    const auto run = testing::run_process(testing::frontend_binary(),
                                          {.args = args, .env = {"PATH=" + (dir.path() / "bin").string()}});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.err.find("kelmar-vindle: the helper ended without an answer: status 0"), std::string::npos)
        << run.err;
    EXPECT_TRUE(testing::read_file(ran).starts_with("--purchaser\n--allow-real-write\n")) << testing::read_file(ran);
  }
}

// The service's refusals of an unauthorized write, in a sentence each that
// says what to do.
TEST_F(FrontendService, TellsTheServicesAuthorizationRefusalsWithAdvice) {
  skip_unless_root();
  if (!error_code_from_name("not_authorized") || !error_code_from_name("authorization_unavailable")) {
    GTEST_SKIP() << "the protocol has no authorization codes";
  }
  const std::string job = "kelmar-vindle: the write of " + image.path.string() + " onto disk4 ";
  struct Case {
    std::string code;
    std::string message;
    std::string err;  // the last line
  };
  const Case cases[] = {
      {"not_authorized", "authorization dismissed",
       job + "was not authorized: authorization dismissed; nothing was written; answer the authentication prompt "
             "as an administrator, or ask one to let you write disks\n"},
      {"authorization_unavailable", "no authority answered",
       job + "could not be authorized: no authority answered; nothing was written; the system's authority "
             "(polkit) or an authentication agent did not answer: try again from a desktop session, or write with "
             "--no-service through pkexec or sudo\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    std::filesystem::remove(socket);
    const std::string answer =
        R"({"evt":"result","ok":false,"error":")" + c.code + R"(","message":")" + c.message + R"("})";
    testing::ServiceStandIn service(socket, "/bin/sh",
                                    {"-c", "head -n 1 >/dev/null; printf '%s\\n' \"$1\"", "sh", answer});
    ASSERT_TRUE(service.listening());
    auto args = write_through(socket);
    args.emplace_back("--yes");
    const auto run = testing::run_process(testing::frontend_binary(), {.args = args, .env = kEnv});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_TRUE(run.err.ends_with(c.err)) << run.err;
  }
}

TEST_F(FrontendService, AsksForTheEjectUnlessToldNotAndTellsTheStickFaultsWithAdvice) {
  skip_unless_root();
  const std::string digest(64, 'e');
  const std::string ok = R"({"evt":"result","ok":true,"usb_sha256":")" + digest + "\"";
  const auto failed = [](std::string_view message) {
    return R"({"evt":"result","ok":false,"error":"protocol","message":")" + std::string(message) + "\"}";
  };
  const std::string job = "kelmar-vindle: the write of " + image.path.string() + " onto disk4 failed: ";
  struct Case {
    std::string_view what;
    bool no_eject;
    std::string answer;
    int status;
    std::string said;  // the end of standard output, or of standard error for a failure
  };
  const Case cases[] = {
      {"ejected", false, ok + R"(,"ejected":true})", 0, "\ndisk4 was ejected; it may be pulled out now\n"},
      {"not ejected", false, ok + R"(,"ejected":false,"eject_error":"I/O error: the disk is still in use"})", 0,
       "\ndisk4 could not be ejected (I/O error: the disk is still in use); eject it from the desktop before pulling "
       "it out\n"},
      {"kept attached", true, ok + "}", 0, " s\n"},  // "took ... s", its last line
      {"pulled", false, failed("I/O error: the disk went away while writing"), 1,
       job + "I/O error: the disk went away while writing; the stick was pulled or lost its connection: plug it in "
             "firmly, into another port (not through a hub), and write it again\n"},
      {"locked", false, failed("I/O error: the disk is write-protected"), 1,
       job + "I/O error: the disk is write-protected; nothing was written: slide the stick's lock switch to unlock "
             "it, or use another stick\n"},
      {"failing sector", false, failed("I/O error: write /dev/sdb at 1.2 GB: Input/output error (os error 5)"), 1,
       job + "I/O error: write /dev/sdb at 1.2 GB: Input/output error (os error 5); the stick failed to store or "
             "return the image and holds no usable image: it may be worn out; write it again, and if it fails again "
             "use another stick\n"},
  };
  const auto request = dir.path() / "request";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(socket);
    testing::ServiceStandIn service(
        socket, "/bin/sh", {"-c", "head -n 1 >\"$2\"; printf '%s\\n' \"$1\"", "sh", c.answer, request.string()});
    ASSERT_TRUE(service.listening());
    auto args = write_through(socket);
    args.emplace_back("--yes");
    if (c.no_eject) args.emplace_back("--no-eject");
    const auto run = testing::run_process(testing::frontend_binary(), {.args = args, .env = kEnv});
    EXPECT_EQ(run.exit_status, c.status) << run.err;
    EXPECT_TRUE((c.status == 0 ? run.out : run.err).ends_with(c.said)) << run.out << run.err;
    const bool asked = testing::read_file(request).find(R"("eject":true)") != std::string::npos;
    EXPECT_EQ(asked, !c.no_eject);
    if (c.no_eject) {
      EXPECT_EQ(run.out.find("eject"), std::string::npos) << run.out;
    }
  }
}

// An image from a URL: the front end, run as nobody, downloads it from a
// server on the loopback address and streams it into the helper, which runs
// as nobody too and writes the sink. The server has the image as it is and
// compressed with xz, and the same image cut short mid-body.
class FrontendDownload : public FrontendAsNobody {
 protected:
  void SetUp() override {
    FrontendAsNobody::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const auto xz = testing::run_process("/usr/bin/xz", {.args = {"-c", "-0", image.path.string()}});
    ASSERT_EQ(xz.exit_status, 0) << "xz (xz-utils) could not compress the image: " << xz.err;
    compressed = xz.out;
    compressed_sha256 = checksum::sha256_hex(compressed);
    server.emplace(std::map<std::string, testing::HttpAnswer>{
        {"/images/installer.img.xz", {200, compressed, true, std::nullopt, false}},
        {"/images/installer.img", {200, image.bytes, true, std::nullopt, false}},
        {"/unmeasured/installer.img", {200, image.bytes, false, std::nullopt, false}},
        {"/cut/installer.img", {200, image.bytes, true, 2 * 1048576 + 100, false}},
        {"/stalled/installer.img", {200, image.bytes, true, 2 * 1048576 + 100, true}},
    });
    ASSERT_TRUE(server->listening());
    // A checksum list as distributions publish it beside their images.
    sums = dir.write("SHA256SUMS", std::string(64, '0') + "  installer-lite.img.xz\n" + compressed_sha256 +
                                       "  installer.img.xz\n" + image.sha256 + "  installer.img\n");
  }

  testing::ProcessResult write_from(const std::string& url, std::vector<std::string> digest) const {
    return testing::run_as(nobody, staged.frontend.string(), args_for(url, std::move(digest)), kEnv, kPatience);
  }

  std::vector<std::string> args_for(const std::string& url, std::vector<std::string> digest) const {
    std::vector<std::string> args{"write",  url,           "disk4", "--fixture", staged.devices.string(),
                                  "--sink", sink.string(), "--yes"};
    args.insert(args.end(), digest.begin(), digest.end());
    return args;
  }

  // No partition table pointing at half-written data: the sink is missing,
  // or its first MiB (as far as it goes) is zero.
  bool first_mib_zero() const {
    if (!std::filesystem::exists(sink)) return true;
    const std::string bytes = testing::read_file(sink).substr(0, 1048576);
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == '\0'; });
  }

  std::string compressed;
  std::string compressed_sha256;
  std::optional<testing::LoopbackHttpServer> server;
  std::filesystem::path sums;
  std::filesystem::path sink = dir.path() / "stick.img";
};

TEST_F(FrontendDownload, WritesTheDecodedImageOfAnXzFoundInTheChecksumListByTheUrlsFileName) {
  const std::string url = server->url("/images/installer.img.xz");
  const auto run = write_from(url + "?mirror=1", {"--sha256-file", sums.string()});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_TRUE(run.out.starts_with("disk4 written and verified, sha256 " + image.sha256 +
                                  " (the decoded image's; as given it matched " + compressed_sha256 + ")\n"))
      << run.out;
  EXPECT_NE(run.err.find("and writes the image downloaded from " + url + "?mirror=1 onto it.\n"), std::string::npos)
      << run.err;
  EXPECT_EQ(testing::read_file(sink), image.bytes);
  struct stat written {};
  ASSERT_EQ(::stat(sink.c_str(), &written), 0);
  EXPECT_EQ(written.st_uid, nobody.uid);
}

// A compressed file is passed as any other, with the digest of the file as
// given; the question and the result tell that its decoded image is written.
TEST_F(FrontendDownload, WritesTheDecodedImageOfACompressedFileCheckedAsGiven) {
  const auto file = dir.write("installer.img.xz", compressed);
  const auto run = testing::run_as(nobody, staged.frontend.string(),
                                   {"write", file.string(), "disk4", "--fixture", staged.devices.string(), "--sink",
                                    sink.string(), "--sha256-file", sums.string(), "--yes"},
                                   kEnv, kPatience);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.err.find("and writes the image decoded from " + file.string() + " (xz, "), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find(" compressed) onto it.\n"), std::string::npos) << run.err;
  EXPECT_TRUE(run.out.starts_with("disk4 written and verified, sha256 " + image.sha256 +
                                  " (the decoded image's; as given it matched " + compressed_sha256 + ")\n"))
      << run.out;
  EXPECT_EQ(testing::read_file(sink), image.bytes);
}

TEST_F(FrontendDownload, RefusesWhatItCannotCheckAndNeverCallsAStreamThatEndsShortWritten) {
  struct Case {
    std::string_view what;
    std::string path;
    std::vector<std::string> digest;
    std::string said;  // in what it says on standard error
    bool before_any_request = false;
  };
  const std::string no_digest = "kelmar-vindle: refusing to download " + server->url("/images/installer.img.xz") +
                                " without its published digest: give --sha256, or --sha256-file with the "
                                "checksum list published beside it\n";
  const Case cases[] = {
      {"no published digest", "/images/installer.img.xz", {}, no_digest, true},
      {"a digest that differs",
       "/images/installer.img.xz",
       {"--sha256", image.sha256},
       "failed: image hash mismatch: expected " + image.sha256},
      {"no line in the list", "/images/other.img.xz", {"--sha256-file", sums.string()}, "other.img.xz", true},
      {"a missing file",
       "/missing/installer.img",
       {"--sha256", image.sha256},
       "kelmar-vindle: cannot download " + server->url("/missing/installer.img") +
           ": the server answered 404 Not Found; nothing was written\n"},
      {"no length", "/unmeasured/installer.img", {"--sha256", image.sha256}, "(no Content-Length)"},
      {"a server that stops mid-body",
       "/cut/installer.img",
       {"--sha256", image.sha256},
       "kelmar-vindle: the download of " + server->url("/cut/installer.img") + " failed: transfer closed with "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(sink);
    const std::size_t requests = server->requests();
    const auto run = write_from(server->url(c.path), c.digest);
    EXPECT_EQ(run.exit_status, 1) << run.out << run.err;
    EXPECT_EQ(run.out.find("written and verified"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    EXPECT_TRUE(first_mib_zero());
    if (c.before_any_request) {
      EXPECT_EQ(server->requests(), requests);
      EXPECT_FALSE(std::filesystem::exists(sink));
    }
  }
}

// Through the installed service, stood in for by root serving a socket with
// the real helper: the front end, run as nobody, hands it the stream with
// the request, and the helper takes nobody, the socket's peer, as its
// client.
TEST_F(FrontendDownload, HandsTheStreamToTheInstalledService) {
  const testing::TempDir roots;
  const auto written = roots.path() / "stick.img";
  const auto socket = dir.path() / "service.sock";
  testing::ServiceStandIn service(socket, testing::helper_binary(),
                                  {"--fixture", testing::example_devices(), "--sink", written.string()});
  ASSERT_TRUE(service.listening());
  const auto run =
      testing::run_as(nobody, staged.frontend.string(),
                      {"write", server->url("/images/installer.img.xz"), "disk4", "--fixture", staged.devices.string(),
                       "--service-socket", socket.string(), "--sha256", compressed_sha256, "--yes"},
                      kEnv, kPatience);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_TRUE(run.out.starts_with("disk4 written and verified, sha256 " + image.sha256)) << run.out;
  EXPECT_EQ(testing::read_file(written), image.bytes);
  EXPECT_EQ(service.wait(kPatience), 0);
}

// The request: the server's length as the expected size, the published
// digest of the file as given, and the URL without the credentials it
// carried (root's logs may keep what the helper is sent).
TEST_F(FrontendDownload, AsksForTheServersLengthAndTheUrlWithoutItsCredentials) {
  const auto helper = fake_helper(dir);
  ASSERT_EQ(::chown(helper.c_str(), nobody.uid, nobody.gid), 0);
  const std::string url = server->url("/images/installer.img.xz");
  const std::string with_credentials = "http://someone:secret@" + url.substr(std::string_view("http://").size());
  auto args = args_for(with_credentials, {"--sha256", compressed_sha256});
  args.insert(args.end(), {"--helper", helper.string()});
  TerminalProcess frontend(staged.frontend.string(), args, kEnv, nobody);
  ASSERT_TRUE(frontend.started());
  ASSERT_TRUE(frontend.wait_for("%", kPatience)) << frontend.output();
  ASSERT_TRUE(frontend.type("\x03"));
  EXPECT_EQ(frontend.wait(kPatience), 1) << frontend.output();
  const auto request = parse_request(testing::read_file(dir.path() / "request"));
  ASSERT_TRUE(request) << request.error().text();
  const auto* write = std::get_if<HelperCommand::Write>(&request->command.value);
  ASSERT_NE(write, nullptr);
  EXPECT_EQ(write->job.image_path, url);
  EXPECT_EQ(write->job.expected_size, compressed.size());
  EXPECT_EQ(write->job.expected_sha256, compressed_sha256);
}

// A real write through the launcher: the helper it starts has the request
// and the stream on a socket as its standard input, whose peer is the user
// the launcher names as its client, so it answers (here, unprivileged, once
// the fixture's macOS disk asks for the missing disk utility).
TEST_F(FrontendDownload, ARealWriteHandsTheStreamToTheHelperTheLauncherStarts) {
  std::filesystem::create_directory(dir.path() / "bin");
  const auto launcher = dir.write("bin/pkexec", "#!/bin/sh\nexec \"$@\"\n");
  std::filesystem::permissions(launcher, std::filesystem::perms::owner_all | std::filesystem::perms::others_read |
                                             std::filesystem::perms::others_exec);
  ASSERT_EQ(::chown(launcher.c_str(), nobody.uid, nobody.gid), 0);
  const std::string url = server->url("/images/installer.img.xz");
  const auto run = testing::run_as(
      nobody, staged.frontend.string(),
      {"write", url, "disk4", "--fixture", staged.devices.string(), "--sha256", compressed_sha256, "--yes"},
      {"PATH=" + dir.path().string() + "/bin:/usr/bin:/bin"}, kPatience);
  EXPECT_EQ(run.exit_status, 1) << run.err;
  EXPECT_NE(run.err.find("kelmar-vindle: the write of " + url + " onto disk4 failed: "), std::string::npos) << run.err;
}

// Ctrl-C while a stalled server holds the job: the download stops with the
// job, which is never reported written.
TEST_F(FrontendDownload, CtrlCStopsTheDownloadWithTheJob) {
  TerminalProcess frontend(staged.frontend.string(),
                           args_for(server->url("/stalled/installer.img"), {"--sha256", image.sha256}), kEnv, nobody);
  ASSERT_TRUE(frontend.started());
  ASSERT_TRUE(frontend.wait_for("writing", kPatience)) << frontend.output();
  ASSERT_TRUE(frontend.type("\x03"));
  EXPECT_EQ(frontend.wait(kPatience), 1) << frontend.output();
  EXPECT_NE(frontend.output().find("kelmar-vindle: the write was stopped while writing; disk4 is partly written and "
                                   "holds no usable image"),
            std::string::npos)
      << frontend.output();
  EXPECT_TRUE(first_mib_zero());
}

}  // namespace
}  // namespace kelmar_vindle
