// The macOS disks' DiskArbitration requests against the simulated daemon
// (platform_sim/control.hpp): the eject after a verified write, and the
// hold's bound.
#include <DiskArbitration/DiskArbitration.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>

#include "macos_raw.hpp"
#include "platform_sim/control.hpp"

namespace kelmar_vindle::helper {
namespace {

using namespace std::chrono_literals;

const write::Disk kStick{"disk4", "/dev/rdisk4", 8 * 1048576};

class MacosDiskArbitration : public ::testing::Test {
 protected:
  void TearDown() override { platform_sim::reset(); }

  // Answers within the bound are awaited, so a short one only shortens the
  // cases where none comes.
  const MacosDisks disks{RawBackendPaths{}, 200ms};
};

// Every volume of the stick is unmounted with the whole-disk option, then
// the stick is ejected: it is gone, and nothing of the session is left.
TEST_F(MacosDiskArbitration, TheStickIsUnmountedWholeThenEjected) {
  ASSERT_EQ(platform_sim::attempt_mount("disk4s1"), std::nullopt);
  ASSERT_EQ(platform_sim::attempt_mount("disk4s2"), std::nullopt);
  const auto ejected = disks.eject(kStick);
  ASSERT_TRUE(ejected.has_value()) << ejected.error().text();
  EXPECT_EQ(platform_sim::arbitration_log(), (std::vector<std::string>{"unmount disk4 whole", "eject disk4"}));
  EXPECT_FALSE(platform_sim::is_mounted("disk4s1"));
  EXPECT_FALSE(platform_sim::is_mounted("disk4s2"));
  EXPECT_EQ(platform_sim::live_objects(), 0u);
}

// A refusal is reported with the daemon's reason, in its words when it gave
// some; no eject follows a refused unmount.
TEST_F(MacosDiskArbitration, ARefusedEjectSaysWhy) {
  struct Case {
    const char* name;
    platform_sim::Arbitration arbitration;
    std::string error;
    std::vector<std::string> requests;
  };
  const std::vector<Case> cases = {
      {"eject refused with a text",
       {.eject_refusals = {{"disk4", {kDAReturnExclusiveAccess, "The disk is in use by Photos"}}}},
       "I/O error: eject disk4: The disk is in use by Photos",
       {"unmount disk4 whole", "eject disk4"}},
      {"eject refused with a system error",
       {.eject_refusals = {{"disk4", {0xC000 | EBUSY, std::nullopt}}}},
       "I/O error: eject disk4: Device or resource busy",
       {"unmount disk4 whole", "eject disk4"}},
      {"unmount refused",
       {.unmount_refusals = {{"disk4", {kDAReturnBusy, std::nullopt}}}},
       "I/O error: unmount disk4: the disk is busy",
       {"unmount disk4 whole"}},
      {"unknown status",
       {.unmount_refusals = {{"disk4", {kDAReturnError, std::nullopt}}}},
       "I/O error: unmount disk4: DiskArbitration status 0xF8DA0001",
       {"unmount disk4 whole"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform_sim::reset();
    platform_sim::set_arbitration(c.arbitration);
    const auto ejected = disks.eject(kStick);
    ASSERT_FALSE(ejected.has_value());
    EXPECT_EQ(ejected.error().text(), c.error);
    EXPECT_EQ(platform_sim::arbitration_log(), c.requests);
    EXPECT_EQ(platform_sim::live_objects(), 0u);
  }
}

// A daemon that never answers ends the eject, and the hold, after the bound,
// with nothing of the session left behind.
TEST_F(MacosDiskArbitration, ADaemonThatDoesNotAnswerIsWaitedForOnlyAsLongAsTheBound) {
  platform_sim::set_arbitration({.unanswered = {"disk4"}});
  const auto ejected = disks.eject(kStick);
  ASSERT_FALSE(ejected.has_value());
  EXPECT_EQ(ejected.error().text(), "I/O error: unmount disk4: DiskArbitration did not answer within 200 ms");
  EXPECT_EQ(platform_sim::live_objects(), 0u);

  const auto held = disks.hold(kStick);
  ASSERT_FALSE(held.has_value());
  EXPECT_EQ(held.error().text(), "I/O error: claim disk4: DiskArbitration did not answer within 200 ms");
  EXPECT_EQ(platform_sim::live_objects(), 0u);
  platform_sim::set_arbitration({});
  EXPECT_EQ(platform_sim::attempt_mount("disk4s1"), std::nullopt) << "the veto outlived the failed hold";
  EXPECT_EQ(platform_sim::attempt_claim("disk4"), std::nullopt) << "the claim outlived the failed hold";
}

}  // namespace
}  // namespace kelmar_vindle::helper
