#include "pkg/file_archive.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "pkg/file_transaction.h"
#include "pkg/package_fixtures.h"
#include "pkg/package_stream.h"
#include "pkg/package_writer.h"

namespace deployboot {
namespace {

namespace fs = std::filesystem;

class RecordingObserver : public ExtractObserver {
 public:
  void progress(const PackageStream&) override { ++progressCalls; }
  void broken() override { ++brokenCalls; }
  void writeFailed(const std::string& name) override { failedNames.push_back(name); }
  int progressCalls = 0;
  int brokenCalls = 0;
  std::vector<std::string> failedNames;
};

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class FileArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/archive_test_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    base_ = tmpl;
    root_ = base_ + "/flash";
    ram_ = base_ + "/ram";
    fs::create_directories(root_);
    fs::create_directories(ram_);
  }
  void TearDown() override { fs::remove_all(base_); }

  // Runs extractFiles on a package whose files part holds raw (the
  // decompressed archive bytes), compressed in one zlib stream.
  bool extract(const std::string& raw, FileTransaction& t) {
    ArchiveWriter writer;
    writer.addRaw(raw);
    std::string parts = partBytes(PART_PACKAGE, headerContent("foo", 1, 1, 0));
    appendPart(parts, PART_FILES, writer.finish());
    appendPart(parts, PART_SIGNATURE, std::string(68, '\0'));
    std::istringstream source(fixtures::fileOf(parts));
    PackageStream s(source, true);
    for (int type : {1, 4, 9}) s.wantPart(type);
    s.nextPart();
    EXPECT_EQ(s.nextPart(), PART_FILES);
    const bool ok = extractFiles(s, record_, t, root_, &observer_);
    // The walk goes on to the signature whatever the archive held.
    EXPECT_EQ(s.nextPart(), PART_SIGNATURE);
    return ok;
  }

  std::string base_, root_, ram_;
  PackageRecord record_;
  RecordingObserver observer_;
};

TEST_F(FileArchiveTest, OnlyRegularFilesAreWrittenAndOtherEntriesConsumeTheirSize) {
  std::string raw;
  raw += encodeArchiveEntry({040755, "usr/bin", "dirdata", false});
  raw += encodeArchiveEntry({0120777, "usr/bin/link", "x", false});
  raw += encodeArchiveEntry({0100644, "usr/bin/skipped", "not written", true});
  raw += encodeArchiveEntry({010644, "fifo", "pipe bytes", false});
  raw += encodeArchiveEntry({0100755, "usr/bin/x", fixtures::noise(40000), false});
  raw += encodeArchiveEntry({0100600, "/etc/absolute", "abs", false});
  raw += encodeArchiveEntry({0100644, "empty", "", false});
  FileTransaction t(ram_);
  ASSERT_TRUE(extract(raw, t));
  EXPECT_EQ(observer_.brokenCalls, 0);
  EXPECT_EQ(observer_.progressCalls, 3);
  const std::set<std::string> expected = {root_ + "/usr/bin/x", root_ + "/etc/absolute", root_ + "/empty"};
  EXPECT_EQ(record_.files, expected);
  EXPECT_EQ(t.entries().size(), 3u);

  t.commit("", false);
  EXPECT_EQ(readWhole(root_ + "/usr/bin/x"), fixtures::noise(40000));
  EXPECT_EQ(readWhole(root_ + "/etc/absolute"), "abs");
  struct stat st;
  ASSERT_EQ(::stat((root_ + "/usr/bin/x").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  ASSERT_EQ(::stat((root_ + "/etc/absolute").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_FALSE(fs::exists(root_ + "/usr/bin/link"));
  EXPECT_FALSE(fs::exists(root_ + "/usr/bin/skipped"));
  EXPECT_FALSE(fs::exists(root_ + "/fifo"));
}

TEST_F(FileArchiveTest, TruncatedArchives) {
  const std::string first = encodeArchiveEntry({0100644, "a", "first", false});
  const std::string second = encodeArchiveEntry({0100644, "b", "second file", false});
  struct Case {
    const char* what;
    size_t keep;  // bytes of first + second kept
    bool ok;
    size_t files;
  } cases[] = {
      {"at an entry boundary", first.size(), true, 1},
      {"inside an entry header", first.size() + 12, true, 1},
      {"inside a name", first.size() + ARCHIVE_ENTRY_HEADER_SIZE, false, 1},
      {"inside file data", first.size() + second.size() - 3, false, 2},
      {"empty archive", 0, true, 0},
  };
  for (const Case& c : cases) {
    record_ = PackageRecord();
    observer_ = RecordingObserver();
    FileTransaction t(ram_);
    EXPECT_EQ(extract((first + second).substr(0, c.keep), t), c.ok) << c.what;
    EXPECT_EQ(observer_.brokenCalls, c.ok ? 0 : 1) << c.what;
    EXPECT_EQ(record_.files.size(), c.files) << c.what;
  }
}

// A corrupt zlib stream ends the decompressed data; at an entry boundary
// that is a complete archive (the signature check catches the damage).
TEST_F(FileArchiveTest, CorruptCompressedDataEndsTheArchive) {
  ArchiveWriter writer;
  writer.add({0100644, "a", "content", false});
  std::string data = writer.finish();
  data[0] ^= 0x55;  // the zlib header
  std::string parts = partBytes(PART_PACKAGE, headerContent("foo", 1, 1, 0));
  appendPart(parts, PART_FILES, data);
  std::istringstream source(fixtures::fileOf(parts));
  PackageStream s(source, true);
  s.wantPart(PART_FILES);
  ASSERT_EQ(s.nextPart(), PART_FILES);
  FileTransaction t(ram_);
  EXPECT_TRUE(extractFiles(s, record_, t, root_, &observer_));
  EXPECT_TRUE(record_.files.empty());
  EXPECT_EQ(observer_.brokenCalls, 0);
  EXPECT_EQ(s.nextPart(), -1);
}

TEST_F(FileArchiveTest, DotDotComponentsMakeThePackageBroken) {
  for (const char* name : {"../escape", "usr/../../escape", "/..", "a/.."}) {
    SCOPED_TRACE(name);
    record_ = PackageRecord();
    observer_ = RecordingObserver();
    FileTransaction t(ram_);
    const std::string raw = encodeArchiveEntry({0100644, "ok", "fine", false}) +
                            encodeArchiveEntry({0100644, name, "evil", false});
    EXPECT_FALSE(extract(raw, t));
    EXPECT_EQ(observer_.brokenCalls, 1);
    for (const auto& [path, entry] : t.entries()) EXPECT_EQ(path.find(".."), std::string::npos) << path;
    t.rollback();
    EXPECT_FALSE(fs::exists(base_ + "/escape"));
    EXPECT_TRUE(fs::is_empty(ram_));
  }
  for (const char* name : {"a..b", "..hidden", "dir/...", "x/y.."}) EXPECT_FALSE(unsafeEntryName(name)) << name;
  EXPECT_TRUE(unsafeEntryName(std::string("a\0b", 3)));
}

}  // namespace
}  // namespace deployboot
