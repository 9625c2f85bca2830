#include "pkg/package_stream.h"

#include <sstream>

#include <gtest/gtest.h>

#include "pkg/package_fixtures.h"
#include "pkg/package_writer.h"
#include "pkg/signature.h"
#include "support/endian.h"

namespace deployboot {
namespace {

using fixtures::fileOf;

const int INSTALL_WANTED[] = {1, 18, 20, 16, 3, 19, 17, 21, 4, 9};
const int STORED_WANTED[] = {18, 1, 24, 23, 3, 19, 17};

void wantInstallParts(PackageStream& s) {
  for (int t : INSTALL_WANTED) s.wantPart(t);
}

std::string header(const std::string& name = "foo", uint32_t version = 0x01006600) {
  return partBytes(PART_PACKAGE, headerContent(name, version, 1700000000, 0));
}

PackageContents fullContents() {
  PackageContents c;
  PackageRecord& r = c.record;
  r.name = "complete";
  r.version = 0x040E6602;
  r.buildTime = 1234567890;
  r.flags = PACKAGE_FLAG_BOOT_IMAGE | PACKAGE_FLAG_NO_METADATA;
  r.text24 = "twenty-four";
  r.text2 = "two";
  r.note = "a note";
  r.architecture = "mipsle";
  r.dependencies = {{"base", 0x06006600, 0, 0}, {"lib", 0x01006600, 0x02006600, 0}};
  r.provides = {{"virtual", 0x01006600, 0, static_cast<uint32_t>(-3)}};
  r.conflicts = {{"old", 0, 0x01006600, 0}};
  c.withArchitecture = true;
  c.withImage = true;
  c.image = std::string(10000, 'i');
  c.withFiles = true;
  c.files = fixtures::compressed({{0100755, "usr/bin/x", "data", false}});
  return c;
}

TEST(PackageStreamTest, WriterOutputReadsBackWithEveryField) {
  PackageContents c = fullContents();
  std::string parts = packageParts(c);
  const std::string file = fileOf(fixtures::sign(parts));
  std::istringstream source(file);
  PackageStream s(source, true);
  wantInstallParts(s);
  EXPECT_EQ(s.magic(), MAGIC_PACKAGE);
  EXPECT_EQ(s.declaredSize(), file.size());
  ASSERT_EQ(s.nextPart(), PART_PACKAGE);
  EXPECT_EQ(s.partOffset(), 14u);
  EXPECT_EQ(s.partLength(), 36u);

  PackageRecord r;
  ASSERT_TRUE(parseHeader(s, r));
  EXPECT_EQ(r.name, c.record.name);
  EXPECT_EQ(r.version, c.record.version);
  EXPECT_EQ(r.buildTime, c.record.buildTime);
  EXPECT_EQ(r.flags, c.record.flags);
  // 24, 2 and 23 are not in the installation's wanted set.
  EXPECT_EQ(r.text24, "");
  EXPECT_EQ(r.note, "");
  EXPECT_EQ(r.architecture, "mipsle");
  EXPECT_EQ(r.dependencies, c.record.dependencies);
  EXPECT_EQ(r.provides, c.record.provides);
  EXPECT_EQ(r.conflicts, c.record.conflicts);
  EXPECT_FALSE(r.isBundle);
  EXPECT_TRUE(r.hasImage);
  EXPECT_EQ(s.currentType(), PART_IMAGE);
  EXPECT_EQ(s.partLength(), 10000u);

  char piece[100];
  ASSERT_TRUE(s.read(piece, sizeof piece));
  EXPECT_EQ(s.position(), 100u);
  EXPECT_EQ(s.nextPart(), PART_FILES);  // the rest of the image is passed over
  EXPECT_EQ(s.nextPart(), PART_SIGNATURE);
  EXPECT_TRUE(verifySignature(s, fixtures::testKey().publicKey.data()));
  EXPECT_EQ(s.nextPart(), -1);
  EXPECT_TRUE(s.eof() && s.fail());
  EXPECT_EQ(s.currentType(), -1);
  EXPECT_EQ(s.nextPart(), -1);
}

TEST(PackageStreamTest, StoredImageWantedSetTakesTextsButNoArchitecture) {
  std::string parts = packageParts(fullContents());
  std::istringstream source(fileOf(parts));
  PackageStream s(source, false);
  for (int t : STORED_WANTED) s.wantPart(t);
  ASSERT_EQ(s.nextPart(), PART_PACKAGE);
  PackageRecord r;
  ASSERT_TRUE(parseHeader(s, r));
  EXPECT_EQ(r.text24, "twenty-four");
  EXPECT_EQ(r.note, "a note");
  EXPECT_EQ(r.architecture, "i386");
  EXPECT_EQ(r.dependencies.size(), 2u);
  EXPECT_FALSE(r.hasImage);
  EXPECT_EQ(s.nextPart(), -1);
}

struct HeaderCase {
  const char* what;
  std::string parts;
  bool parses;
  std::string name;
  uint32_t flags;
  int currentAfter;
};

TEST(PackageStreamTest, HeaderParsingCases) {
  const std::string exact32 = partBytes(PART_PACKAGE, headerContent("short", 1, 2, 0x55).substr(0, 32));
  const std::string tooShort = partBytes(PART_PACKAGE, headerContent("x", 1, 2, 0).substr(0, 31));
  std::string shortList = listContent({{"a", 1, 0, 0}, {"b", 1, 0, 0}});
  shortList.resize(shortList.size() - 1);
  const std::string unknown = partBytes(77, "ignored");
  const HeaderCase cases[] = {
      {"a header of exactly 32 bytes has flags 0", exact32, true, "short", 0, -1},
      {"a 16-byte name has no terminator", partBytes(PART_PACKAGE, headerContent("abcdefghijklmnop", 1, 2, 7)),
       true, "abcdefghijklmnop", 7, -1},
      {"a header shorter than 32 bytes", tooShort, false, "", 0, 0},
      {"the first wanted part is no header", partBytes(PART_DEPENDS, listContent({})) + header(), false, "", 0, 0},
      {"a list shorter than its count", header() + partBytes(PART_DEPENDS, shortList), false, "", 0, 0},
      {"provides before depends: depends stays current",
       header() + partBytes(PART_PROVIDES, listContent({{"p", 0, 0, 0}})) +
           partBytes(PART_DEPENDS, listContent({{"d", 0, 0, 0}})),
       true, "foo", 0, PART_DEPENDS},
      {"an architecture after the lists stays current",
       header() + partBytes(PART_DEPENDS, listContent({})) + partBytes(PART_ARCH, "mipsle"), true, "foo", 0,
       PART_ARCH},
      {"unknown parts between optional parts are passed over",
       header() + unknown + partBytes(PART_ARCH, "mmips") + unknown + partBytes(PART_FILES, ""), true, "foo", 0,
       PART_FILES},
  };
  for (const HeaderCase& c : cases) {
    std::istringstream source(fileOf(c.parts));
    PackageStream s(source, true);
    wantInstallParts(s);
    s.nextPart();
    PackageRecord r;
    EXPECT_EQ(parseHeader(s, r), c.parses) << c.what;
    if (!c.parses) continue;
    EXPECT_EQ(r.name, c.name) << c.what;
    EXPECT_EQ(r.flags, c.flags) << c.what;
    EXPECT_EQ(s.currentType(), c.currentAfter) << c.what;
  }
}

TEST(PackageStreamTest, ArchitecturePartIsTakenInItsPlace) {
  std::istringstream source(fileOf(header() + partBytes(PART_ARCH, "mmips") + partBytes(PART_SIGNATURE, "")));
  PackageStream s(source, true);
  wantInstallParts(s);
  s.nextPart();
  PackageRecord r;
  ASSERT_TRUE(parseHeader(s, r));
  EXPECT_EQ(r.architecture, "mmips");
  EXPECT_EQ(s.currentType(), PART_SIGNATURE);
}

TEST(PackageStreamTest, WrongMagicOrShortFileLeavesTheStreamBad) {
  std::string wrongMagic = fileOf(header());
  storeLe32(wrongMagic.data(), 0x12345678);
  for (const std::string& file : {wrongMagic, std::string("\x1e\xf1\xd0\xba\x00", 5), std::string()}) {
    std::istringstream source(file);
    PackageStream s(source, true);
    wantInstallParts(s);
    EXPECT_TRUE(s.bad());
    EXPECT_EQ(s.nextPart(), -1);
    PackageRecord r;
    EXPECT_FALSE(parseHeader(s, r));
  }
  std::istringstream unrecorded(fileOf(header(), MAGIC_UNRECORDED));
  PackageStream s(unrecorded, true);
  EXPECT_FALSE(s.bad());
  EXPECT_EQ(s.magic(), MAGIC_UNRECORDED);
}

TEST(PackageStreamTest, ReadsAreBoundedByThePart) {
  std::istringstream source(fileOf(header() + partBytes(50, "abc") + partBytes(51, "defg")));
  PackageStream s(source, false);
  s.wantPart(50);
  s.wantPart(51);
  ASSERT_EQ(s.nextPart(), 50);
  char buf[8] = {};
  EXPECT_FALSE(s.read(buf, 4));
  EXPECT_EQ(s.gcount(), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
  // A failed read leaves the stream failed: the caller must notice it.
  EXPECT_EQ(s.nextPart(), -1);
}

// The copy sink receives each consumed byte exactly once, in file order,
// whatever mix of reads, put-backs, seeks and pass-overs consumed it.
TEST(PackageStreamTest, PipeSourceWithCopySinkCopiesEveryByteOnce) {
  const std::string file = fixtures::simplePackage({{0100644, "etc/a", fixtures::noise(50000), false}});
  fixtures::PipeSource pipe(file);
  std::ostringstream sink;
  PackageStream s(pipe.stream(), true, &sink);
  wantInstallParts(s);
  ASSERT_EQ(s.nextPart(), PART_PACKAGE);
  char c = 0;
  ASSERT_TRUE(s.get(c));
  ASSERT_TRUE(s.unget());
  EXPECT_EQ(s.position(), 0u);
  EXPECT_EQ(s.peek(), 'f');
  ASSERT_TRUE(s.get(c));
  EXPECT_EQ(c, 'f');
  EXPECT_TRUE(s.seekg(0).fail()) << "backwards seek with hashing on";
  s.clear();
  ASSERT_EQ(s.nextPart(), PART_FILES);
  ASSERT_TRUE(s.seekg(100));
  EXPECT_EQ(s.position(), 100u);
  EXPECT_TRUE(s.seekg(10).fail()) << "backwards seek with a copy sink";
  s.clear();
  ASSERT_EQ(s.nextPart(), PART_SIGNATURE);
  EXPECT_TRUE(verifySignature(s, fixtures::testKey().publicKey.data()));
  EXPECT_EQ(s.nextPart(), -1);
  EXPECT_EQ(sink.str(), file);
}

TEST(PackageStreamTest, WithoutHashingSeeksMoveBothWays) {
  std::istringstream source(fileOf(header() + partBytes(50, "0123456789")));
  PackageStream s(source, false);
  s.wantPart(50);
  ASSERT_EQ(s.nextPart(), 50);
  ASSERT_TRUE(s.seekg(7));
  EXPECT_EQ(s.get(), '7');
  ASSERT_TRUE(s.seekg(2));
  EXPECT_EQ(s.get(), '2');
  ASSERT_TRUE(s.seekg(-1, std::ios::end));
  EXPECT_EQ(s.get(), '9');
  EXPECT_TRUE(s.seekg(11).fail()) << "beyond the part";
}

}  // namespace
}  // namespace deployboot
