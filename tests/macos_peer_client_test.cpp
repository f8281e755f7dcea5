// The macOS socket peer (helper/src/peer_client_macos.cpp) against the
// simulated LOCAL_PEERCRED (platform_sim/peer_credentials.h), which carries
// the peer's effective group and at most 15 more: a peer in more groups than
// that is looked up in the group database instead.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "kelmar_vindle/file_io.hpp"
#include "peer_client.hpp"
#include "platform_sim/peer_credentials.h"

namespace kelmar_vindle::helper {
namespace {

// Groups no database here knows.
std::vector<gid_t> made_up_groups(int count) {
  std::vector<gid_t> groups;
  for (int i = 0; i < count; ++i) groups.push_back(static_cast<gid_t>(970000 + i));
  return groups;
}

std::vector<gid_t> sorted(std::vector<gid_t> groups) {
  std::sort(groups.begin(), groups.end());
  return groups;
}

class MacosPeerClient : public ::testing::Test {
 protected:
  void TearDown() override { peer_credentials_sim_reset(); }
};

// The peer is the database's user "nobody", as the kernel records it.
TEST_F(MacosPeerClient, TheGroupsComeFromTheSocketUnlessItCutThemShort) {
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user nobody in the user database";
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  int count = 64;
  std::vector<gid_t> in_database(static_cast<std::size_t>(count));
  ASSERT_GE(::getgrouplist(nobody->pw_name, gid, in_database.data(), &count), 0);
  in_database.resize(static_cast<std::size_t>(count));

  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  const UniqueFd ours(ends[0]);
  const UniqueFd theirs(ends[1]);

  struct Case {
    const char* name;
    int supplementary;
    std::vector<gid_t> expected;
  };
  std::vector<gid_t> as_given{gid};
  for (const gid_t group : made_up_groups(3)) as_given.push_back(group);
  const std::vector<Case> cases = {
      {"a few groups fit", 3, as_given},
      // The list is full: it may have been cut short, so the database is asked.
      {"more than 15 are cut short", 20, in_database},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto groups = made_up_groups(c.supplementary);
    peer_credentials_sim_set(uid, gid, groups.data(), static_cast<int>(groups.size()));
    const auto peer = peer_client(ours.get());
    ASSERT_TRUE(peer.has_value()) << peer.error().text();
    EXPECT_EQ(peer->client.uid, uid);
    EXPECT_EQ(peer->client.gid, gid);
    EXPECT_EQ(sorted(peer->client.groups), sorted(c.expected));
  }
}

}  // namespace
}  // namespace kelmar_vindle::helper
