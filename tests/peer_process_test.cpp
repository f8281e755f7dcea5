// The process at the other end of a socket, as polkit's subject names it:
// its ID, and its start time from /proc, read past a command name that may
// hold anything.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

#include "kelmar_vindle/file_io.hpp"
#include "peer_client.hpp"
#include "process_start_time.hpp"

namespace kelmar_vindle::helper {
namespace {

// Fields 3 to 21 of a stat line, then the start time 4711 and what follows.
const std::string kMiddle = "S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 ";

TEST(PeerProcess, TheStartTimeIsField22CountedAfterTheCommandName) {
  struct Case {
    std::string stat;
    std::optional<std::uint64_t> start;
  };
  const Case cases[] = {
      {"42 (sh) " + kMiddle + "4711 99 100\n", 4711},
      // A name of its own choosing cannot shift the fields.
      {"42 (a) b (c) 7 7) " + kMiddle + "4711 99\n", 4711},
      {"42 (x y) " + kMiddle + "4711\n", 4711},
      {"42 (sh) " + kMiddle, std::nullopt},
      {"42 sh " + kMiddle + "4711 99\n", std::nullopt},
      {"42 (sh) " + kMiddle + "-4711 99\n", std::nullopt},
      {"42 (sh) " + kMiddle + "+4711 99\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stat);
    EXPECT_EQ(start_time_in_stat(c.stat), c.start);
  }
}

TEST(PeerProcess, ASocketsPeerIsNamedByItsProcessAndUser) {
  std::array<int, 2> ends{-1, -1};
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()), 0);
  const UniqueFd mine(ends[0]);
  const UniqueFd theirs(ends[1]);
  const auto peer = peer_client(mine.get());
  ASSERT_TRUE(peer.has_value()) << peer.error().text();
  EXPECT_EQ(peer->client.uid, ::geteuid());
  ASSERT_TRUE(peer->process.has_value());
  EXPECT_EQ(peer->process->pid, ::getpid());
  EXPECT_EQ(peer->process->uid, ::geteuid());
  EXPECT_EQ(peer->process->start_time, process_start_time(::getpid()));
  EXPECT_EQ(process_start_time(0), std::nullopt);
}

}  // namespace
}  // namespace kelmar_vindle::helper
