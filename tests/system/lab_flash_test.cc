// The flash layouts against the virtual board, inside a private mount
// namespace and a throw-away root: nothing reaches the host's flash,
// /dev, /sys or /proc.
#include <fcntl.h>
#include <mtd/mtd-abi.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "flash/board_device.h"
#include "flash/flash_layout.h"
#include "init/command_line.h"
#include "init/driver.h"
#include "init/globals.h"
#include "lab/vboard/board_state.h"
#include "support/board.h"
#include "support/system_utils.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace deployboot {
namespace {

constexpr int STORES = 4;

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeAll(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::trunc) << text;
}

bool isMountPoint(const std::string& path) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::stringstream words(line);
    std::string id, parent, dev, root, point;
    words >> id >> parent >> dev >> root >> point;
    if (point == path) return true;
  }
  return false;
}

// Once per process: a private mount namespace and a tmpfs root with the
// board directory, four 8 MiB partition stores and /sbin/nandfix.
bool boardRootReady = false;

void enterBoardRoot() {
  if (boardRootReady) return;
  ASSERT_EQ(unshare(CLONE_NEWNS), 0) << std::strerror(errno);
  ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  const std::string root = "/mnt";
  ASSERT_EQ(::mount("vboard-root", root.c_str(), "tmpfs", 0, "size=4m"), 0) << std::strerror(errno);
  for (const char* dir : {"proc", "dev", "sys", "flash", "sbin", "tmp", "vboard/run"})
    fs::create_directories(root + "/" + dir);
  for (int n = 0; n < STORES; ++n) {
    const std::string store = root + "/vboard/store/" + std::to_string(n);
    fs::create_directories(store);
    ASSERT_EQ(::mount("vboard-mtd", store.c_str(), "tmpfs", 0, "size=8m"), 0);
  }
  fs::copy_file(DEPLOYBOOT_BINARY_DIR "/nandfix", root + "/sbin/nandfix");
  ASSERT_EQ(chroot(root.c_str()), 0);
  ASSERT_EQ(chdir("/"), 0);
  setenv("DEPLOYBOOT_VBOARD", "/vboard", 1);
  writeAll("/vboard/board.conf", "partitions = 8M 8M 8M 8M\n");
  ASSERT_EQ(board::mount("proc", "/proc", "proc", 0, nullptr), 0);
  ASSERT_EQ(board::mount("devtmpfs", "/dev", "devtmpfs", 0, nullptr), 0);
  ASSERT_EQ(board::mount("sysfs", "/sys", "sysfs", 0, nullptr), 0);
  boardRootReady = true;
}

class VirtualFlash : public ::testing::Test {
 protected:
  void SetUp() override {
    DEPLOYBOOT_REQUIRE_ROOT();
    enterBoardRoot();
    ASSERT_TRUE(boardRootReady);
    // A board fresh from the factory: nothing mounted, attached or written.
    ::umount("/flash/boot");
    ::umount("/flash");
    ::unlink("/dev/.vboard-mounts");
    for (int ubi = 0; ubi < 4; ++ubi) detachUbi(ubi);
    ::unlink("/dev/mtdBoot");
    ::unlink("/dev/mtdRoot");
    for (int n = 0; n < STORES; ++n) {
      ::unlink(("/vboard/mtd" + std::to_string(n) + ".state").c_str());
      for (const auto& e : fs::directory_iterator("/vboard/store/" + std::to_string(n)))
        fs::remove_all(e.path());
    }
    fs::remove("/flash/boot");
    unsetenv("activepart");
    configure("layout = ubi\n");
  }

  // The board file (partitions 8M x4 unless given) and the kernel
  // command line it implies, rewritten in place under /proc/cmdline.
  void configure(const std::string& text) {
    std::string full = text;
    if (text.find("partitions") == std::string::npos) full += "partitions = 8M 8M 8M 8M\n";
    writeAll("/vboard/board.conf", full);
    std::string error;
    ASSERT_TRUE(vboard::parseBoardText(full, &spec, &error)) << error;
    writeAll("/vboard/run/cmdline", vboard::kernelCommandLine(spec) + "\n");
    writeAll("/vboard/run/stat", vboard::procStatText(spec.cpus));
    writeAll("/vboard/board.log", "");
  }

  std::string log() { return readAll("/vboard/board.log"); }
  bool logHas(const std::string& text) { return log().find(text) != std::string::npos; }

  // Which store a mounted directory shows: a file written through it.
  int storeOf(const std::string& dir) {
    const std::string probe = dir + "/.probe";
    writeAll(probe, "x");
    int found = -1;
    for (int n = 0; n < STORES; ++n)
      if (fs::exists("/vboard/store/" + std::to_string(n) + "/.probe")) found = n;
    fs::remove(probe);
    return found;
  }

  vboard::BoardSpec spec;
  PackageStateMap states;
};

TEST_F(VirtualFlash, UbiFormatCreatesVolumesOnTheActivePairAndMountsThem) {
  struct Case {
    const char* activepart;  // nullptr: unset
    int boot, system;
  };
  for (Case c : {Case{nullptr, 0, 1}, Case{"1", 2, 3}, Case{"-1", 0, 1}}) {
    SetUp();
    SCOPED_TRACE(c.activepart ? c.activepart : "unset");
    if (c.activepart) setenv("activepart", c.activepart, 1);
    ASSERT_TRUE(formatFlash());
    const std::string l = log();
    EXPECT_NE(l.find("nandfix -ea -> erased 4"), std::string::npos) << l;
    const uint64_t bytes = vboard::ubiUsableLebs(spec, c.boot) * vboard::ubiLebSize(spec);
    EXPECT_NE(l.find("ubi attach mtd=" + std::to_string(c.boot) + " ubi=0 -> ok"), std::string::npos);
    EXPECT_NE(l.find("ubi mkvol ubi=0 name=Kernel bytes=" + std::to_string(bytes) + " -> ok"),
              std::string::npos) << l;
    EXPECT_NE(l.find("ubi attach mtd=" + std::to_string(c.system) + " ubi=1 -> ok"), std::string::npos);
    EXPECT_NE(l.find("ubi mkvol ubi=1 name=Zentrail"), std::string::npos);
    // Formatting leaves nothing attached.
    EXPECT_FALSE(fs::exists("/dev/ubi0"));
    EXPECT_FALSE(fs::exists("/sys/class/ubi/ubi1"));

    ASSERT_EQ(mountFlash(true), 1);
    EXPECT_EQ(storeOf("/flash"), c.system);
    EXPECT_EQ(storeOf("/flash/boot"), c.boot);
    EXPECT_TRUE(logHas("mount ubi0:Kernel /flash/boot ubifs flags=0x0 data=compr=none -> ok"));
    // The whole device went to the volume.
    EXPECT_EQ(readAll("/sys/class/ubi/ubi0/avail_eraseblocks"), "0\n");
  }
}

TEST_F(VirtualFlash, UbiVolumeSizeIsComputedIn64Bits) {
  // 6 GiB partitions of 1 MiB erase blocks: avail x size passes 4 GiB.
  configure("layout = ubi\npartitions = 6G 6G\nerase-size = 1M\n");
  ASSERT_EQ(attachUbi(0, 0), 0);
  const uint64_t expected = vboard::ubiUsableLebs(spec, 0) * vboard::ubiLebSize(spec);
  ASSERT_GT(expected, 0xFFFFFFFFull);
  ASSERT_EQ(createUbiVolume(0, "Kernel"), 0);
  EXPECT_TRUE(logHas("name=Kernel bytes=" + std::to_string(expected) + " -> ok")) << log();
  EXPECT_EQ(detachUbi(0), 0);
}

TEST_F(VirtualFlash, UbiWithoutVolumesDoesNotMountAndDetachesBoth) {
  // A board that never had an installation.
  EXPECT_EQ(mountFlash(false), 0);
  EXPECT_TRUE(logHas("mount ubi1:Zentrail /flash ubifs flags=0x0 -> ENODEV"));
  EXPECT_FALSE(fs::exists("/dev/ubi0"));
  EXPECT_FALSE(fs::exists("/dev/ubi1"));
  EXPECT_FALSE(isMountPoint("/flash"));
}

TEST_F(VirtualFlash, UbiKernelVolumeThatCannotMountUnmountsAndDetaches) {
  configure("layout = ubi\nunmountable = 0\n");
  ASSERT_TRUE(formatFlash());
  EXPECT_EQ(mountFlash(true), 0);
  const std::string l = log();
  const size_t failed = l.find("mount ubi0:Kernel /flash/boot ubifs flags=0x0 data=compr=none -> EINVAL");
  ASSERT_NE(failed, std::string::npos) << l;
  // /flash goes first, else the detach would find the device busy.
  const size_t unmounted = l.find("umount /flash -> ok", failed);
  const size_t detach0 = l.find("ubi detach ubi=0 -> ok", failed);
  const size_t detach1 = l.find("ubi detach ubi=1 -> ok", failed);
  EXPECT_NE(unmounted, std::string::npos);
  EXPECT_LT(unmounted, detach0);
  EXPECT_LT(detach0, detach1);
  EXPECT_NE(detach1, std::string::npos);
  EXPECT_FALSE(isMountPoint("/flash"));
}

TEST_F(VirtualFlash, UbiAndNoNandTogetherTakeTheUbiPath) {
  configure("layout = ubi\ncmdline = no-nand\n");
  ASSERT_TRUE(formatFlash());
  EXPECT_TRUE(logHas("nandfix -ea"));
  EXPECT_TRUE(logHas("ubi mkvol ubi=1 name=Zentrail"));
  EXPECT_EQ(mountFlash(true), 1);
}

TEST_F(VirtualFlash, NandPairMountsSystemAndBootSides) {
  for (const char* activepart : {"0", "1"}) {
    SetUp();
    configure("layout = nand\n");
    setenv("activepart", activepart, 1);
    const int p = std::atoi(activepart);
    ASSERT_TRUE(formatFlash());
    EXPECT_TRUE(logHas("nandfix -ea -> erased 4"));
    ASSERT_EQ(mountFlash(true), 1);
    EXPECT_EQ(storeOf("/flash"), 2 * p + 1);
    EXPECT_EQ(storeOf("/flash/boot"), 2 * p);
    EXPECT_TRUE(logHas("mknod /dev/mtdBoot 31:" + std::to_string(2 * p) + " mode=0x61FF -> ok"));
    EXPECT_TRUE(logHas("mknod /dev/mtdRoot 31:" + std::to_string(2 * p + 1) + " mode=0x61FF -> ok"));
    EXPECT_TRUE(logHas("mount /dev/mtdRoot /flash yaffs flags=0xC00 -> ok"));
  }
}

TEST_F(VirtualFlash, NandWhoseSystemSideDoesNotMountUsesTheBootPartitionAlone) {
  configure("layout = nand\nunmountable = 1\n");
  ASSERT_TRUE(formatFlash());
  ASSERT_EQ(mountFlash(true), 1);
  EXPECT_TRUE(logHas("mount /dev/mtdRoot /flash yaffs flags=0xC00 -> EINVAL"));
  EXPECT_EQ(storeOf("/flash"), 0);
  EXPECT_FALSE(fs::exists("/flash/boot"));
  EXPECT_FALSE(isMountPoint("/flash/boot"));
}

TEST_F(VirtualFlash, SinglePartitionErasesTheFirstAndMountsItAtFlash) {
  configure("layout = single\n");
  setenv("activepart", "1", 1);
  ASSERT_TRUE(formatFlash());
  EXPECT_TRUE(logHas("nandfix -e0 -> erased 1"));
  ASSERT_EQ(mountFlash(true), 1);
  EXPECT_EQ(storeOf("/flash"), 2);
  EXPECT_FALSE(logHas("/dev/mtdRoot"));
  EXPECT_FALSE(isMountPoint("/flash/boot"));
}

TEST_F(VirtualFlash, FlashAndItsStateSurviveARebootOfTheBoard) {
  configure("layout = ubi\n");
  ASSERT_TRUE(formatFlash());
  ASSERT_EQ(mountFlash(true), 1);
  writeAll("/flash/kept", "old configuration");
  InstallSession session(states, "mipsle");
  stageReleaseOldFileSystem(session);
  ASSERT_FALSE(isMountPoint("/flash"));
  // Reboot: /dev and /sys start over, the partitions keep what they hold.
  ASSERT_EQ(::umount("/sys"), 0);
  ASSERT_EQ(::umount("/dev"), 0);
  ASSERT_EQ(board::mount("devtmpfs", "/dev", "devtmpfs", 0, nullptr), 0);
  ASSERT_EQ(board::mount("sysfs", "/sys", "sysfs", 0, nullptr), 0);
  ASSERT_EQ(mountFlash(false), 1);
  EXPECT_EQ(readAll("/flash/kept"), "old configuration");
  EXPECT_FALSE(isMountPoint("/flash/boot"));
}

TEST_F(VirtualFlash, FlashStagesReportFailuresInTheirWords) {
  InstallSession session(states, "mipsle");
  configure("layout = nand\nnandfix-status = 3\n");
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(stageFormat(session));
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Formatting disk..."), std::string::npos);
  EXPECT_NE(out.find("\nERROR: could not format partitions\n"), std::string::npos) << out;

  // Nothing mountable: every partition is unmountable.
  configure("layout = nand\nunmountable = 0 1\n");
  session.keepConfig = true;
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(stageReadOldFileSystem(session));
  EXPECT_EQ(stageNewFileSystem(session), 0);
  out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "WARNING: couldn't keep config - couldn't mount file system\n"
            "ERROR: could not mount filesystem\n");
}

TEST_F(VirtualFlash, NewFileSystemGetsTheBaseDirectories) {
  configure("layout = ubi\n");
  InstallSession session(states, "mipsle");
  ASSERT_TRUE(formatFlash());
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(stageNewFileSystem(session), 1);
  ::testing::internal::GetCapturedStdout();
  for (const char* dir : {"/flash/rw", "/flash/vela", "/flash/vela/etc", "/flash/var", "/flash/var/pdb"}) {
    struct stat st;
    ASSERT_EQ(::stat(dir, &st), 0) << dir;
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0755u & ~[] { mode_t m = umask(0); umask(m); return m; }()) << dir;
  }
  // A second attempt finds them and says so for each, then goes on.
  ::testing::internal::CaptureStderr();
  createBaseDirectories();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "/rw: File exists\n/vela: File exists\n/vela/etc: File exists\n/var: File exists\n"
            "/var/pdb: File exists\n");
}

TEST_F(VirtualFlash, KernelRefusalsMatchTheRealOnes) {
  configure("layout = ubi\npartitions = 8M 8M\n");
  struct Mount {
    const char* source;
    const char* type;
    int error;
  };
  writeAll("/dev/plainfile", "not a device");
  ASSERT_EQ(board::makeNode("/dev/mtdFar", S_IFBLK | 0777, makedev(31, 9)), 0);
  for (Mount m : {Mount{"ubi1:Zentrail", "ubifs", ENODEV}, Mount{"ubi0", "ubifs", EINVAL},
                  Mount{"/dev/nothing", "yaffs", ENOENT}, Mount{"/dev/plainfile", "yaffs", ENOTBLK},
                  Mount{"/dev/mtdFar", "yaffs", ENXIO}}) {
    SCOPED_TRACE(m.source);
    errno = 0;
    EXPECT_EQ(board::mount(m.source, "/flash", m.type, 0, nullptr), -1);
    EXPECT_EQ(errno, m.error);
  }
  EXPECT_EQ(board::makeNode("/dev/mtdFar", S_IFBLK | 0777, makedev(31, 9)), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(board::makeNode("/dev/sda", S_IFBLK | 0600, makedev(8, 0)), -1);
  EXPECT_EQ(errno, EPERM);

  EXPECT_EQ(detachUbi(0), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(attachUbi(5, 0), -1);
  EXPECT_EQ(errno, ENODEV);
  ASSERT_EQ(attachUbi(1, 1), 0);
  EXPECT_EQ(attachUbi(1, 1), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(attachUbi(1, 2), -1);  // the partition is attached already
  EXPECT_EQ(errno, EEXIST);
  ASSERT_EQ(createUbiVolume(1, "Zentrail"), 0);
  EXPECT_EQ(createUbiVolume(1, "Zentrail"), -1);  // no room, and the name is taken
  ASSERT_EQ(board::mount("ubi1:Zentrail", "/flash", "ubifs", 0, nullptr), 0);
  EXPECT_EQ(detachUbi(1), -1);
  EXPECT_EQ(errno, EBUSY);
  ASSERT_EQ(board::umount("/flash"), 0);
  EXPECT_EQ(detachUbi(1), 0);
  EXPECT_EQ(createUbiVolume(1, "Other"), -1);  // /dev/ubi1 is gone with the detach

  // A partition written as yaffs is no UBI image.
  ASSERT_EQ(board::makeNode("/dev/mtdBoot", S_IFBLK | 0777, makedev(31, 0)), 0);
  ASSERT_EQ(board::mount("/dev/mtdBoot", "/flash", "yaffs", 0, nullptr), 0);
  EXPECT_EQ(board::mount("/dev/mtdBoot", "/flash", "yaffs", 0, nullptr), -1);
  EXPECT_EQ(errno, EBUSY);
  ASSERT_EQ(board::umount("/flash"), 0);
  EXPECT_EQ(attachUbi(0, 0), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(VirtualFlash, BoardIdentityCommandLineAndCpusAreTheBoards) {
  configure("layout = single\nname = Quorvex 7-Q\nmin-version = 6.40\ncpus = 3\n"
            "cmdline = console=ttyS0 board=quill-52x\nerase-size = 256K\n");
  boardName[0] = '\0';
  ::unlink("/dev/flash");
  EXPECT_EQ(readHardwareTag(HARDWARE_TAG_MIN_VERSION), 0u);  // no module, no device
  ASSERT_EQ(board::loadModule("misc/flash.ko", "", 0, ""), 0);
  readBoardName();
  EXPECT_STREQ(boardName, "Quorvex 7-Q");
  EXPECT_EQ(readHardwareTag(HARDWARE_TAG_MIN_VERSION), 0x06286600u);
  EXPECT_EQ(readHardwareTag(5), 0u);

  EXPECT_TRUE(kernelCommandLineHas("no-nand"));
  EXPECT_TRUE(kernelCommandLineHas("board=quill-52"));
  EXPECT_FALSE(kernelCommandLineHas("ubifs_support"));
  EXPECT_EQ(testing::countCpusIn("/proc/stat"), 3u);

  const int mtd = board::openDevice("/dev/mtd0", O_RDWR);
  ASSERT_GE(mtd, 0);
  mtd_info_user info{};
  ASSERT_EQ(board::controlDevice(mtd, MEMGETINFO, &info), 0);
  EXPECT_EQ(info.erasesize, 256u * 1024);
  EXPECT_EQ(info.size, 8u << 20);
  board::closeDevice(mtd);
  EXPECT_TRUE(logHas("module misc/flash.ko"));
}

}  // namespace
}  // namespace deployboot
