#include "pkg/file_transaction.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sched.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace deployboot {
namespace {

namespace fs = std::filesystem;

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeWhole(const std::string& path, const std::string& data) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << data;
}

std::string parentOf(const std::string& path) { return fs::path(path).parent_path().string(); }

class FileTransactionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/transaction_test_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    base_ = tmpl;
    flash_ = base_ + "/flash";
    ram_ = base_ + "/ram";
    fs::create_directories(flash_ + "/var/pdb");
    fs::create_directories(ram_);
  }
  void TearDown() override {
    ::umount2(flash_.c_str(), MNT_DETACH);
    ::umount2(ram_.c_str(), MNT_DETACH);
    fs::remove_all(base_);
  }

  // Writes data through a new temporary file of t and returns its path.
  std::string create(FileTransaction& t, const std::string& target, const std::string& data,
                     uint64_t hint, unsigned mode = 0) {
    auto out = t.createFile(target, hint, mode);
    EXPECT_TRUE(out->good()) << target;
    *out << data;
    out->close();
    EXPECT_FALSE(out->fail()) << target;
    const FileTransaction::Entry* e = t.find(target);
    return e ? e->source : "";
  }

  std::string base_, flash_, ram_;
};

TEST_F(FileTransactionTest, TemporaryFilesGoToTheNearestExistingAncestorOrToRam) {
  FileTransaction t(ram_);
  const std::string version = flash_ + "/var/pdb/x/version";
  const std::string temp = create(t, version, "1.0\n", 32, 0640);
  EXPECT_EQ(parentOf(temp), flash_ + "/var/pdb");
  EXPECT_EQ(t.find(version)->op, FileTransaction::MoveTemp);
  EXPECT_EQ(fs::status(temp).permissions(), fs::perms(0640));
  // No size hint: RAM.
  EXPECT_EQ(parentOf(create(t, flash_ + "/a", "a", 0)), ram_);

  t.commit("", false);
  EXPECT_EQ(readWhole(version), "1.0\n");
  EXPECT_EQ(fs::status(version).permissions(), fs::perms(0640));
  EXPECT_EQ(readWhole(flash_ + "/a"), "a");
  EXPECT_FALSE(fs::exists(temp));
}

TEST_F(FileTransactionTest, WithoutTheRamDirectoryTmpIsUsed) {
  FileTransaction t(base_ + "/no-ram");
  const std::string temp = create(t, flash_ + "/a", "a", 0);
  EXPECT_EQ(parentOf(temp), "/tmp");
  t.rollback();
  EXPECT_FALSE(fs::exists(temp));
}

TEST_F(FileTransactionTest, TheLastOperationOnAPathWins) {
  FileTransaction t(ram_);
  const std::string target = flash_ + "/etc/conf";
  const std::string first = create(t, target, "first", 0);
  const std::string second = create(t, target, "second", 0);
  EXPECT_FALSE(fs::exists(first)) << "createFile twice deletes the first temporary file";
  EXPECT_TRUE(fs::exists(second));
  t.symlink("elsewhere", target);
  EXPECT_FALSE(fs::exists(second)) << "replacing new content deletes its temporary file";
  EXPECT_EQ(t.find(target)->op, FileTransaction::Symlink);
  EXPECT_EQ(t.entries().size(), 1u);
}

TEST_F(FileTransactionTest, RemovingAPathThatDoesNotExistDropsItsPendingOperation) {
  FileTransaction t(ram_);
  writeWhole(base_ + "/source", "s");
  t.move(base_ + "/source", flash_ + "/missing");
  const std::string temp = create(t, flash_ + "/missing2", "x", 0);
  t.remove(flash_ + "/missing");
  t.remove(flash_ + "/missing2");
  EXPECT_TRUE(t.entries().empty());
  EXPECT_FALSE(fs::exists(temp));
  writeWhole(flash_ + "/present", "p");
  t.remove(flash_ + "/present");
  ASSERT_NE(t.find(flash_ + "/present"), nullptr);
  EXPECT_EQ(t.find(flash_ + "/present")->op, FileTransaction::Remove);
  t.commit("", false);
  EXPECT_FALSE(fs::exists(flash_ + "/present"));
  EXPECT_TRUE(fs::exists(base_ + "/source"));
}

TEST_F(FileTransactionTest, RemovingADirectoryDeletesOneLevelOfPlainFiles) {
  const std::string dir = flash_ + "/var/pdb/old";
  writeWhole(dir + "/files", "f");
  writeWhole(dir + "/.hidden", "h");
  writeWhole(dir + "/sub/inner", "i");
  FileTransaction t(ram_);
  t.remove(dir);
  t.commit("", false);
  EXPECT_FALSE(fs::exists(dir + "/files"));
  EXPECT_TRUE(fs::exists(dir + "/.hidden"));
  EXPECT_TRUE(fs::exists(dir + "/sub/inner")) << "rmdir fails, the subdirectory stays";
}

TEST_F(FileTransactionTest, RemovalsRunBeforeMovesAndMovesRecreateDirectories) {
  const std::string dir = flash_ + "/var/pdb/pkg";
  writeWhole(dir + "/stale", "old");
  writeWhole(base_ + "/image", "image bytes");
  FileTransaction t(ram_);
  // The new content's temporary file lands inside the directory being
  // removed (it is on the same file system) and must survive pass 1.
  const std::string temp = create(t, dir + "/version", "2.0", 16);
  EXPECT_EQ(parentOf(temp), dir);
  t.move(base_ + "/image", dir + "/image");
  t.remove(dir);
  t.symlink("image", dir + "/current");
  t.commit("", false);
  EXPECT_FALSE(fs::exists(dir + "/stale"));
  EXPECT_EQ(readWhole(dir + "/version"), "2.0");
  EXPECT_EQ(readWhole(dir + "/image"), "image bytes");
  EXPECT_EQ(fs::read_symlink(dir + "/current"), "image");
  EXPECT_FALSE(fs::exists(temp));

  // Without the new content the directory goes entirely, and a later move
  // into it creates it again.
  writeWhole(base_ + "/again", "again");
  FileTransaction u(ram_);
  u.remove(dir + "/version");
  u.remove(dir + "/image");
  u.remove(dir + "/current");
  u.commit("", false);
  FileTransaction v(ram_);
  v.remove(dir);
  v.move(base_ + "/again", dir + "/deep/again");
  v.commit("", false);
  EXPECT_EQ(readWhole(dir + "/deep/again"), "again");
}

TEST_F(FileTransactionTest, CommitMovesFirstBeforeEverythingElse) {
  writeWhole(base_ + "/download", "package file");
  FileTransaction t(ram_);
  t.move(base_ + "/download", flash_ + "/var/pdb/foo/image");
  create(t, flash_ + "/var/pdb/foo/version", "1", 0);
  t.commit(flash_ + "/var/pdb/foo/image", false);
  EXPECT_EQ(readWhole(flash_ + "/var/pdb/foo/image"), "package file");
  EXPECT_EQ(t.find(flash_ + "/var/pdb/foo/image"), nullptr) << "moved first, then dropped";
  EXPECT_NE(t.find(flash_ + "/var/pdb/foo/version"), nullptr) << "entries stay after commit";
  EXPECT_EQ(readWhole(flash_ + "/var/pdb/foo/version"), "1");
}

TEST_F(FileTransactionTest, ClaimDirectory) {
  writeWhole(flash_ + "/var/pdb/file", "not a directory");
  fs::create_directories(flash_ + "/var/pdb/dir");
  writeWhole(base_ + "/src", "s");
  FileTransaction t(ram_);
  EXPECT_TRUE(t.claimDirectory(flash_ + "/var/pdb/new"));
  EXPECT_TRUE(t.claimDirectory(flash_ + "/var/pdb/dir"));
  EXPECT_FALSE(t.claimDirectory(flash_ + "/var/pdb/file"));
  t.move(base_ + "/src", flash_ + "/var/pdb/moved");
  EXPECT_FALSE(t.claimDirectory(flash_ + "/var/pdb/moved"));
  t.remove(flash_ + "/var/pdb/dir");
  EXPECT_TRUE(t.claimDirectory(flash_ + "/var/pdb/dir"));
  EXPECT_EQ(t.find(flash_ + "/var/pdb/dir"), nullptr) << "the pending removal is dropped";
}

TEST_F(FileTransactionTest, RollbackAndDroppingDeleteTheTemporaryFiles) {
  std::string a, b;
  {
    FileTransaction t(ram_);
    a = create(t, flash_ + "/a", "a", 0);
    b = create(t, flash_ + "/var/pdb/b", "b", 10);
    t.rollback();
    EXPECT_TRUE(t.entries().empty());
    EXPECT_FALSE(fs::exists(a));
    EXPECT_FALSE(fs::exists(b));
  }
  {
    FileTransaction t(ram_);
    a = create(t, flash_ + "/a", "a", 0);
  }
  EXPECT_FALSE(fs::exists(a)) << "a transaction dropped without commit cleans up";
  EXPECT_FALSE(fs::exists(flash_ + "/a"));
}

TEST_F(FileTransactionTest, AFailedRenameLeavesNoTemporaryFileBehind) {
  FileTransaction t(ram_);
  writeWhole(flash_ + "/busy/child", "c");  // a non-empty directory as target
  const std::string temp = create(t, flash_ + "/busy", "new", 8);
  ::testing::internal::CaptureStderr();
  t.commit("", false);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("rename"), std::string::npos);
  EXPECT_FALSE(fs::exists(temp));
  EXPECT_TRUE(fs::exists(flash_ + "/busy/child"));
}

// Placement by free space, the copy fallback across file systems and a full
// RAM disk, on small tmpfs mounts in a private mount namespace.
TEST_F(FileTransactionTest, FullFlashPutsTemporaryFilesInRamAndCommitCopies) {
  DEPLOYBOOT_REQUIRE_ROOT();
  ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << std::strerror(errno);
  ASSERT_EQ(::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
  ASSERT_EQ(::mount("tmpfs", flash_.c_str(), "tmpfs", 0, "size=64k"), 0) << std::strerror(errno);
  ASSERT_EQ(::mount("tmpfs", ram_.c_str(), "tmpfs", 0, "size=16k"), 0) << std::strerror(errno);

  // Fill the flash completely: no room for 1000 bytes + 10 %.
  {
    std::ofstream filler(flash_ + "/filler", std::ios::binary);
    const std::string block(4096, 'f');
    while (filler.write(block.data(), block.size())) {
    }
  }
  FileTransaction t(ram_);
  const std::string temp = create(t, flash_ + "/etc/config", std::string(1000, 'c'), 1000, 0600);
  EXPECT_EQ(parentOf(temp), ram_);

  // RAM full as well: the write fails with ENOSPC, which callers report as
  // "disk is too small".
  {
    auto big = t.createFile(flash_ + "/big", 100000, 0);
    ASSERT_TRUE(big->good());
    errno = 0;
    const std::string data(100000, 'b');
    big->write(data.data(), data.size());
    big->close();
    EXPECT_TRUE(big->fail());
    EXPECT_EQ(errno, ENOSPC);
  }
  t.remove(flash_ + "/big");  // never existed: dropped with its temporary file

  fs::remove(flash_ + "/filler");
  t.commit("", false);
  EXPECT_EQ(readWhole(flash_ + "/etc/config"), std::string(1000, 'c'));
  EXPECT_EQ(fs::status(flash_ + "/etc/config").permissions(), fs::perms(0600));
  EXPECT_FALSE(fs::exists(temp)) << "the RAM copy is freed once copied";
  EXPECT_TRUE(fs::is_empty(ram_));
}

}  // namespace
}  // namespace deployboot
