// The free space a recording leaves on its trace file's filesystem. A
// capture reaching it on a small filesystem is run end to end, under both
// recorders, by the Python tests of recording failures.
#include "store/disk_reserve.h"

#include <gtest/gtest.h>

#include <limits>

using namespace vesh::store;

namespace {

constexpr std::uint64_t KiB = 1024;
constexpr std::uint64_t MiB = 1024 * KiB;
constexpr std::uint64_t GiB = 1024 * MiB;
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(DiskReserve, KeepsTheSmallerOfItsCapAndFivePercentFree) {
  struct Case {
    FilesystemSpace space;
    std::uint64_t bytes;
    std::uint64_t cap;
    bool keeps;
  } cases[] = {
      // 5% of a small filesystem: 3.2 MiB of 64 MiB.
      {{64 * MiB, 4 * MiB}, 512 * KiB, kFilesystemReserveCap, true},
      {{64 * MiB, 3 * MiB + 700 * KiB}, 512 * KiB, kFilesystemReserveCap, false},
      // A large filesystem keeps the cap.
      {{100 * GiB, 2 * GiB}, 512 * KiB, kFilesystemReserveCap, true},
      {{100 * GiB, GiB + 100 * KiB}, 512 * KiB, kFilesystemReserveCap, false},
      // A smaller cap lets the writer go closer; exactly the reserve left
      // after the write is allowed.
      {{100 * GiB, MiB + 512 * KiB}, 512 * KiB, MiB, true},
      {{100 * GiB, MiB + 511 * KiB}, 512 * KiB, MiB, false},
      {{0, 0}, 1, kFilesystemReserveCap, false},
      {{0, 0}, 0, kFilesystemReserveCap, true},
      {{GiB, kMax}, kMax, MiB, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(keeps_reserve(c.space, c.bytes, c.cap), c.keeps)
        << c.space.size << " " << c.space.available << " " << c.bytes << " " << c.cap;
  }
}

}  // namespace
