// The texts a failed transfer on a disk is reported with.
#include "disk_faults.hpp"

#include <gtest/gtest.h>

#include <cerrno>

#include "printers.hpp"

namespace kelmar_vindle::helper {
namespace {

TEST(DiskFaults, SizesReadInDecimalUnitsRoundedDown) {
  const std::pair<std::uint64_t, std::string_view> cases[] = {
      {0, "0 bytes"},
      {1, "1 byte"},
      {999, "999 bytes"},
      {1000, "1.0 kB"},
      {2097152, "2.0 MB"},
      {4194305, "4.1 MB"},
      {1299999999, "1.2 GB"},
      {999999999999, "999.9 GB"},
      {16000000000000, "16.0 TB"},
      {18446744073709551615ULL, "18446.7 PB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(human_disk_bytes(bytes), text) << bytes;
}

TEST(DiskFaults, EachFaultNamesTheDiskAndWhereOrSaysItWentAway) {
  const std::string sdb = "/dev/sdb";
  constexpr std::uint64_t at = 1200000000;
  struct Case {
    DiskFault fault;
    std::string_view text;
  };
  const Case cases[] = {
      {{DiskStep::Writing, sdb, at, EIO, {}, false}, "write /dev/sdb at 1.2 GB: Input/output error (os error 5)"},
      {{DiskStep::Verifying, sdb, at, 0, "Input/output error (os error 5)", false},
       "read /dev/sdb at 1.2 GB: Input/output error (os error 5)"},
      {{DiskStep::Flushing, sdb, 0, EIO, {}, false}, "flush /dev/sdb: Input/output error (os error 5)"},
      {{DiskStep::Writing, sdb, at, EIO, {}, true}, "the disk went away while writing"},
      {{DiskStep::Writing, sdb, at, ENODEV, {}, false}, "the disk went away while writing"},
      {{DiskStep::Flushing, sdb, at, ENXIO, {}, false}, "the disk went away while writing"},
      {{DiskStep::Verifying, sdb, at, 0, "size mismatch", true}, "the disk went away while verifying"},
      // The system's "No space left on device" never reaches the person.
      {{DiskStep::Writing, sdb, at, ENOSPC, {}, false}, "write /dev/sdb at 1.2 GB: the disk ended there"},
      {{DiskStep::Writing, sdb, at, ENOSPC, {}, true}, "the disk went away while writing"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(disk_fault_error(c.fault), Error::io(std::string(c.text))) << c.text;
  }
  EXPECT_EQ(write_protected_error().text(), "I/O error: the disk is write-protected");
}

}  // namespace
}  // namespace kelmar_vindle::helper
