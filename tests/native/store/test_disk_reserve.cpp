// The free space a recording leaves on its trace file's filesystem: the
// rule, and a capture that reaches it on a small filesystem of its own.
#include "capture_test_support.h"
#include "store/disk_reserve.h"
#include "store/frame_store.h"
#include "store/trace_capture.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <fstream>
#include <limits>

using namespace vesh::store;
using namespace vesh::store::testing;

namespace {

constexpr std::uint64_t KiB = 1024;
constexpr std::uint64_t MiB = 1024 * KiB;
constexpr std::uint64_t GiB = 1024 * MiB;

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
      // A smaller cap lets the writer go closer.
      {{100 * GiB, 2 * MiB}, 512 * KiB, MiB, true},
      {{100 * GiB, MiB + 511 * KiB}, 512 * KiB, MiB, false},
      // Exactly the reserve left after the write is allowed.
      {{100 * GiB, MiB + 512 * KiB}, 512 * KiB, MiB, true},
      {{0, 0}, 1, kFilesystemReserveCap, false},
      {{0, 0}, 0, kFilesystemReserveCap, true},
      {{GiB, std::numeric_limits<std::uint64_t>::max()}, std::numeric_limits<std::uint64_t>::max(), MiB, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(keeps_reserve(c.space, c.bytes, c.cap), c.keeps)
        << c.space.size << " " << c.space.available << " " << c.bytes << " " << c.cap;
  }
  EXPECT_EQ(filesystem_reserve(64 * MiB, kFilesystemReserveCap), 64 * MiB / 20);
  EXPECT_EQ(filesystem_reserve(100 * GiB, kFilesystemReserveCap), GiB);
}

// Gives the calling (single-threaded) process a mount namespace of its own,
// as root or through a user namespace; false where neither is allowed.
bool private_mounts() {
  if (::unshare(CLONE_NEWNS) != 0) {
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
    std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
  }
  return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

TEST(DiskReserve, ACaptureStopsAtTheReserveAndFinishesInsideIt) {
  constexpr int kCannotMount = 77;
  constexpr std::size_t kFrame = 64 * KiB;
  TempDir dir;
  const std::filesystem::path fs = dir.path() / "fs";
  std::filesystem::create_directory(fs);
  int status = run_in_child([&] {
    if (!private_mounts() || ::mount("tmpfs", fs.c_str(), "tmpfs", 0, "size=8m") != 0) return kCannotMount;
    // A cap below 5% of 8 MiB: the writer stops 256 KiB short of full.
    auto runtime = std::make_shared<WriterRuntime>(kStallTimeout, false, 256 * KiB);
    auto capture = std::move(TraceCapture::for_trace((fs / "vesh.db").string(), "trc_R", 1.5, runtime).value());
    FrameStore store = FrameStore::open(capture, 1);
    std::uint64_t appended = 0;
    for (;; ++appended) {
      if (appended == 1000) return 2;
      if (!store.append_serialized(numbered_frame(1, appended, kFrame)).ok()) break;
    }
    const WriterStop* stop = capture->writer_stop();
    if (stop == nullptr || stop->kind != WriterStop::Kind::ReserveReached || stop->reserve != 256 * KiB) return 3;
    // The append that met the stop kept its record; the store still lays out.
    if (!store.stopped() || store.writer_failed() || store.frame_count() != appended + 1) return 4;
    if (store.append_serialized("more").ok()) return 5;
    auto layout = store.layout();
    if (!layout.ok()) return 6;
    if (!capture->finish({}, vesh::ByteBuffer(), {std::move(layout).value()}).ok()) return 7;
    struct statvfs vfs {};
    if (::statvfs(fs.c_str(), &vfs) != 0 || vfs.f_bavail * vfs.f_frsize < 256 * KiB) return 8;
    std::filesystem::copy_file(capture->final_path(), dir.path() / "kept.vesh");
    return 0;
  });
  if (status == kCannotMount) GTEST_SKIP() << "no filesystem of the test's own can be mounted here";
  ASSERT_EQ(status, 0);
  // What the file holds is the store's frames from the first, in order.
  ReadBack back = read_back_file(dir.path() / "kept.vesh");
  ASSERT_TRUE(back.ok);
  const std::vector<std::string>& frames = back.threads[1];
  EXPECT_GT(frames.size(), 64u);
  EXPECT_LT(frames.size(), 8 * MiB / kFrame);
  for (std::size_t i = 0; i < frames.size(); ++i) ASSERT_EQ(frames[i], numbered_frame(1, i, kFrame)) << i;
}

}  // namespace
