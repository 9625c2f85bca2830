#include "flash/config_archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace deployboot {
namespace {

namespace fs = std::filesystem;

// A scratch directory below /tmp, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/config_archive_test.XXXXXX";
    EXPECT_NE(mkdtemp(pattern), nullptr);
    path_ = pattern;
  }
  ~ScratchDir() {
    // Read-only directories inside must not stop the cleanup.
    std::error_code ignored;
    for (auto& e : fs::recursive_directory_iterator(path_, ignored))
      if (e.is_directory(ignored) && !e.is_symlink(ignored)) chmod(e.path().c_str(), 0700);
    fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void writeFile(const std::string& path, const std::string& contents, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary) << contents;
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

void setTimes(const std::string& path, time_t atime, long ansec, time_t mtime, long mnsec) {
  const timespec times[2] = {{atime, ansec}, {mtime, mnsec}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// Everything a round trip must keep, per path relative to the tree's root.
struct Entry {
  mode_t mode;  // type and permission bits
  uid_t uid;
  gid_t gid;
  timespec atime;
  timespec mtime;
  std::string contents;

  bool operator==(const Entry& o) const {
    return mode == o.mode && uid == o.uid && gid == o.gid && atime.tv_sec == o.atime.tv_sec &&
           atime.tv_nsec == o.atime.tv_nsec && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && contents == o.contents;
  }
};

std::ostream& operator<<(std::ostream& out, const Entry& e) {
  return out << "mode " << std::oct << e.mode << std::dec << " owner " << e.uid << ":" << e.gid
             << " atime " << e.atime.tv_sec << "." << e.atime.tv_nsec << " mtime "
             << e.mtime.tv_sec << "." << e.mtime.tv_nsec << " " << e.contents.size() << " bytes";
}

Entry describe(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  Entry e{st.st_mode, st.st_uid, st.st_gid, st.st_atim, st.st_mtim, {}};
  if (S_ISREG(st.st_mode)) e.contents = readFile(path);
  return e;
}

// Snapshot without following links, so a link written back as a file shows.
// Reading a file's contents changes no times here: the snapshot takes each
// entry's status before its contents.
std::map<std::string, Entry> snapshot(const std::string& root) {
  std::map<std::string, Entry> tree;
  tree["."] = describe(root);
  for (auto& e : fs::recursive_directory_iterator(root))
    tree[fs::relative(e.path(), root).string()] = describe(e.path().string());
  return tree;
}

std::string pattern(size_t size, unsigned seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + i / 251) & 0xff);
  return s;
}

// One entry of a fixture tree: a directory when `contents` is null.
struct FixtureEntry {
  const char* path;  // relative to the tree's root; "" is the root itself
  mode_t mode;
  const std::string* contents;
};

// Creates the entries in order, then gives each its mode and distinct times
// (innermost last listed first, so no later creation disturbs them).
// Returns what every entry must look like after a round trip.
std::map<std::string, Entry> buildTree(const std::string& root, const std::vector<FixtureEntry>& entries) {
  std::map<std::string, Entry> expected;
  for (const FixtureEntry& e : entries) {
    const std::string path = root + (*e.path ? "/" : "") + e.path;
    if (e.contents) {
      writeFile(path, *e.contents, 0600);
    } else {
      EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path;
    }
  }
  time_t t = 1600000000;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    const std::string path = root + (*it->path ? "/" : "") + it->path;
    EXPECT_EQ(chmod(path.c_str(), it->mode), 0) << path;
    setTimes(path, t, 123456789, t + 77, 987654321);
    expected[*it->path ? it->path : "."] =
        Entry{(it->contents ? S_IFREG : S_IFDIR) | it->mode, getuid(), getgid(),
              {t, 123456789}, {t + 77, 987654321}, it->contents ? *it->contents : ""};
    t += 1000;
  }
  return expected;
}

void removeTree(const std::string& path) {
  for (auto& e : fs::recursive_directory_iterator(path))
    if (e.is_directory() && !e.is_symlink()) chmod(e.path().c_str(), 0700);
  chmod(path.c_str(), 0700);
  fs::remove_all(path);
}

TEST(ConfigArchive, RoundTripKeepsContentsModesAndTimes) {
  ScratchDir scratch;
  const std::string store = scratch.path() + "/store";
  const std::string hosts = "127.0.0.1 localhost\n", keys = pattern(40000, 1), none,
                    script = "#!/bin/sh\necho hi\n", inside = pattern(16000, 2);
  // Nested directories, contents spanning several blocks, an empty file,
  // and a directory without write permission that must still be filled.
  const auto expected = buildTree(store, {{"", 0750, nullptr},
                                          {"etc", 0755, nullptr},
                                          {"etc/hosts", 0644, &hosts},
                                          {"etc/net", 0700, nullptr},
                                          {"etc/net/keys", 0600, &keys},
                                          {"etc/net/zero", 0640, &none},
                                          {"empty", 0755, nullptr},
                                          {"run.sh", 0755, &script},
                                          {"locked", 0555, nullptr},
                                          {"locked/inside", 0444, &inside}});

  auto archive = packTree(store);
  ASSERT_NE(archive, nullptr);
  EXPECT_GE(archive->blockCount(), 4u);  // 56000 bytes of contents alone
  for (ArchiveBlock* b = archive->firstBlock(); b; b = b->next) {
    EXPECT_EQ(b->magic, MAGIC_ARCHIVE_BLOCK);
    EXPECT_EQ(b->position, 0u);  // sealed: read from the start
    EXPECT_LE(b->length, ARCHIVE_BLOCK_CAPACITY);
  }
  // The packed chain is the only copy: the tree is gone before unpacking.
  removeTree(store);
  EXPECT_EQ(unpackArchive(std::move(archive)), 1);

  const auto after = snapshot(store);
  EXPECT_EQ(after.size(), expected.size());
  for (const auto& [path, entry] : expected) {
    auto it = after.find(path);
    ASSERT_NE(it, after.end()) << path;
    EXPECT_EQ(it->second, entry) << path;
  }
}

TEST(ConfigArchive, RoundTripKeepsOwnersAndSetIdBits) {
  DEPLOYBOOT_REQUIRE_ROOT();
  ScratchDir scratch;
  const std::string store = scratch.path() + "/store";
  ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((store + "/owned").c_str(), 02770), 0);
  ASSERT_EQ(chmod((store + "/owned").c_str(), 02770), 0);
  writeFile(store + "/owned/tool", "binary", 0755);
  writeFile(store + "/plain", "text", 0640);
  ASSERT_EQ(chown((store + "/owned").c_str(), 1234, 5678), 0);
  ASSERT_EQ(chown((store + "/owned/tool").c_str(), 4321, 8765), 0);
  ASSERT_EQ(chmod((store + "/owned/tool").c_str(), 06755), 0);
  ASSERT_EQ(chown((store + "/plain").c_str(), 0, 42), 0);
  const auto before = snapshot(store);

  auto archive = packTree(store);
  ASSERT_NE(archive, nullptr);
  removeTree(store);
  ASSERT_EQ(unpackArchive(std::move(archive)), 1);

  const auto after = snapshot(store);
  for (const char* path : {"owned", "owned/tool", "plain"}) {
    ASSERT_TRUE(after.count(path)) << path;
    EXPECT_EQ(after.at(path).uid, before.at(path).uid) << path;
    EXPECT_EQ(after.at(path).gid, before.at(path).gid) << path;
    EXPECT_EQ(after.at(path).mode, before.at(path).mode) << path;
  }
  EXPECT_EQ(after.at("owned/tool").mode & 07777, 06755u);
}

TEST(ConfigArchive, SymbolicLinkIsWrittenBackAsItsTarget) {
  ScratchDir scratch;
  const std::string store = scratch.path() + "/store";
  ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
  writeFile(scratch.path() + "/outside", "linked contents", 0600);
  ASSERT_EQ(symlink((scratch.path() + "/outside").c_str(), (store + "/link").c_str()), 0);
  ASSERT_EQ(mkdir((scratch.path() + "/outdir").c_str(), 0711), 0);
  writeFile(scratch.path() + "/outdir/f", "in a linked directory");
  ASSERT_EQ(symlink("../outdir", (store + "/dirlink").c_str()), 0);

  auto archive = packTree(store);
  ASSERT_NE(archive, nullptr);
  removeTree(store);
  ASSERT_EQ(unpackArchive(std::move(archive)), 1);

  struct stat st {};
  ASSERT_EQ(lstat((store + "/link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(readFile(store + "/link"), "linked contents");
  ASSERT_EQ(lstat((store + "/dirlink").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(readFile(store + "/dirlink/f"), "in a linked directory");
}

TEST(ConfigArchive, DanglingLinkFailsThePack) {
  ScratchDir scratch;
  const std::string store = scratch.path() + "/store";
  ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
  writeFile(store + "/fine", pattern(30000, 3));
  ASSERT_EQ(symlink("/nonexistent/target", (store + "/dangling").c_str()), 0);
  EXPECT_EQ(packTree(store), nullptr);
  EXPECT_EQ(packTree(store + "/dangling"), nullptr);
  EXPECT_EQ(packTree(scratch.path() + "/missing"), nullptr);
}

TEST(ConfigArchive, NamedPipeIsLeftOut) {
  ScratchDir scratch;
  const std::string store = scratch.path() + "/store";
  ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((store + "/pipe").c_str(), 0600), 0);
  writeFile(store + "/beside", "kept");

  auto archive = packTree(store);  // must not block on the pipe
  ASSERT_NE(archive, nullptr);
  removeTree(store);
  ASSERT_EQ(unpackArchive(std::move(archive)), 1);
  EXPECT_FALSE(fs::exists(fs::symlink_status(store + "/pipe")));
  EXPECT_EQ(readFile(store + "/beside"), "kept");
}

TEST(ConfigArchive, PackingASingleFile) {
  ScratchDir scratch;
  const std::string image = scratch.path() + "/image";
  writeFile(image, pattern(70001, 4), 0644);
  auto archive = packTree(image);
  ASSERT_NE(archive, nullptr);
  EXPECT_EQ(archive->packedBytes(), image.size() + 1 + ENTRY_STATUS_SIZE + 70001);
  ASSERT_EQ(unlink(image.c_str()), 0);
  ASSERT_EQ(unpackArchive(std::move(archive)), 1);
  EXPECT_EQ(readFile(image), pattern(70001, 4));
}

// Two files of equal name length and size, so that whichever is listed
// first, the second path finds too little room in the first block.
TEST(ConfigArchive, PathThatDoesNotFitGetsABlockOfItsOwn) {
  ScratchDir scratch;
  const std::string store = scratch.path() + "/store";
  ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
  const size_t rootEntry = store.size() + 1 + ENTRY_STATUS_SIZE;
  const size_t pathBytes = store.size() + 3;  // "/a" and the NUL
  const size_t leftOver = pathBytes - 1;      // one byte short of the path
  const size_t size = ARCHIVE_BLOCK_CAPACITY - leftOver - rootEntry - pathBytes - ENTRY_STATUS_SIZE;
  writeFile(store + "/a", pattern(size, 5));
  writeFile(store + "/b", pattern(size, 6));

  auto archive = packTree(store);
  ASSERT_NE(archive, nullptr);
  ArchiveBlock* first = archive->firstBlock();
  ASSERT_NE(first->next, nullptr);
  EXPECT_EQ(first->length, ARCHIVE_BLOCK_CAPACITY - leftOver);
  ArchiveBlock* own = first->next;
  ASSERT_EQ(own->length, pathBytes);
  const std::string path(reinterpret_cast<const char*>(own->data()));
  EXPECT_TRUE(path == store + "/a" || path == store + "/b") << path;
  EXPECT_EQ(own->data()[pathBytes - 1], 0);
  // The status record starts a fresh block.
  ASSERT_NE(own->next, nullptr);
  EXPECT_EQ(own->next->length, ENTRY_STATUS_SIZE + size);
  EXPECT_EQ(own->next->next, nullptr);

  removeTree(store);
  ASSERT_EQ(unpackArchive(std::move(archive)), 1);
  EXPECT_EQ(readFile(store + "/a"), pattern(size, 5));
  EXPECT_EQ(readFile(store + "/b"), pattern(size, 6));
}

TEST(ConfigArchive, UnpackingOntoAnExistingDirectoryFails) {
  ScratchDir scratch;
  const std::string store = scratch.path() + "/store";
  ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
  writeFile(store + "/old", "old contents");
  auto archive = packTree(store);
  ASSERT_NE(archive, nullptr);
  writeFile(store + "/old", "changed since");
  EXPECT_EQ(unpackArchive(std::move(archive)), 0);
  EXPECT_EQ(readFile(store + "/old"), "changed since");  // nothing below it was touched
}

TEST(ConfigArchive, FileIsWrittenWholeOverALongerOne) {
  ScratchDir scratch;
  const std::string image = scratch.path() + "/image";
  writeFile(image, "short");
  auto archive = packTree(image);
  ASSERT_NE(archive, nullptr);
  writeFile(image, "a much longer file that was there before");
  ASSERT_EQ(unpackArchive(std::move(archive)), 1);
  EXPECT_EQ(readFile(image), "short");
}

TEST(ConfigArchive, FailureKeepsWhatWasWrittenBefore) {
  ScratchDir scratch;
  const std::string store = scratch.path() + "/store";
  ASSERT_EQ(mkdir(store.c_str(), 0751), 0);
  ASSERT_EQ(mkdir((store + "/d").c_str(), 0755), 0);
  writeFile(store + "/d/f", pattern(30000, 8));
  auto archive = packTree(store);
  ASSERT_NE(archive, nullptr);
  ArchiveBlock* last = archive->firstBlock();
  while (last->next) last = last->next;
  last->length -= 100;  // the chain ends inside the file's contents
  removeTree(store);

  EXPECT_EQ(unpackArchive(std::move(archive)), 0);
  struct stat st {};
  ASSERT_EQ(stat(store.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0751u);  // directories made so far are finished
  EXPECT_EQ(readFile(store + "/d/f").size(), 30000u - 100u);
}

// Cutting the chain anywhere inside an entry must fail the unpack instead of
// reading beyond the data.
TEST(ConfigArchive, DamagedChainFailsTheUnpack) {
  ScratchDir scratch;
  const std::string file = scratch.path() + "/f";
  const std::string contents = pattern(1000, 7);
  writeFile(file, contents);
  const size_t pathEnd = file.size() + 1;
  struct Cut {
    const char* what;
    size_t keep;  // bytes of the first block left
  } cuts[] = {
      {"inside the path", pathEnd - 3},
      {"inside the status record", pathEnd + ENTRY_STATUS_SIZE / 2},
      {"inside the contents", pathEnd + ENTRY_STATUS_SIZE + 500},
  };
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(cut.what);
    writeFile(file, contents);
    auto archive = packTree(file);
    ASSERT_NE(archive, nullptr);
    ASSERT_EQ(archive->blockCount(), 1u);
    archive->firstBlock()->length = static_cast<uint32_t>(cut.keep);
    unlink(file.c_str());
    EXPECT_EQ(unpackArchive(std::move(archive)), 0);
  }

  const std::string dir = scratch.path() + "/dir";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  auto archive = packTree(dir);
  ASSERT_NE(archive, nullptr);
  archive->firstBlock()->magic ^= 1;
  removeTree(dir);
  EXPECT_EQ(unpackArchive(std::move(archive)), 0);
  EXPECT_FALSE(fs::exists(dir));  // a foreign chain is not read at all
}

}  // namespace
}  // namespace deployboot
