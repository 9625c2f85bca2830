#include "pkg/planner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "pkg/package_stream.h"
#include "pkg/install_contents.h"
#include "pkg/test_repository.h"
#include "tests/system/package_builder.h"

namespace deployboot {
namespace {

using testing::fillRepository;
using testing::recordOf;

constexpr Version v(uint8_t major, uint8_t minor, uint8_t kind = 'f', uint8_t number = 0) {
  return makeVersion(major, minor, kind, number);
}

TEST(SystemCompatibility, BoardMinimumAndFileSystemRules) {
  const struct {
    Version version;
    uint32_t boardMinimum, eraseSize;
    Compatibility expected;
  } cases[] = {
      {v(2, 9, 'c', 8), 0, 0, Compatibility::Compatible},
      {v(2, 9, 'c', 7), 0, 0, Compatibility::UnsupportedFileSystem},
      {v(3, 20, 'c', 1), 0, 0x40000, Compatibility::UnsupportedFileSystem},
      {v(3, 20, 'c', 1), 0, 0x20000, Compatibility::Compatible},
      {v(3, 20, 'c', 2), 0, 0x40000, Compatibility::Compatible},
      {v(6, 0), v(6, 40), 0x20000, Compatibility::BelowBoardMinimum},
      {v(6, 40), v(6, 40), 0x40000, Compatibility::Compatible},
      {v(2, 0), v(6, 40), 0, Compatibility::BelowBoardMinimum},  // the first rule speaks
  };
  for (const auto& c : cases)
    EXPECT_EQ(systemCompatibility(c.version, c.boardMinimum, c.eraseSize), c.expected)
        << formatVersion(c.version) << " min " << c.boardMinimum << " erase " << c.eraseSize;

  EXPECT_TRUE(isSystemPackage("system"));
  EXPECT_TRUE(isSystemPackage("zentrail"));
  EXPECT_TRUE(isSystemPackage("zentrail-boot"));
  EXPECT_FALSE(isSystemPackage("zentrai"));
  EXPECT_FALSE(isSystemPackage("systemd"));
}

struct CheckCase {
  const char* installed;
  const char* candidate;
  uint32_t allow;
  uint32_t result;
  const char* printed;
};

// Package names other than "system" keep the board's devices out of it;
// one case uses "system" at a version no board rule touches when the
// device is absent, as in these tests.
TEST(CheckInstall, ResultBitsAndTheOneMessage) {
  const CheckCase cases[] = {
      {"system 6.2", "system 6.1 arch=mmips", AllowUpgrade, Older,
       "WARNING: omitting package system-6.1: newer package system-6.2 is already installed\n"},
      {"app 2.0", "app 1.0", AllowUpgrade | AllowDowngrade, Older, ""},
      {"app 1.0", "app 1.0", AllowUpgrade, Same,
       "WARNING: omitting package app-1.0: it is already installed\n"},
      {"app 1.0", "app 1.0", AllowReinstall, Same, ""},
      {"app 1.0+5", "app 1.0+6", AllowUpgrade, Newer, ""},
      {"app 1.0", "app 1.1", 0, Newer, ""},  // upgrades are never worded
      {"branding 2.0", "branding 1.0", AllowUpgrade, 0, ""},
      {"", "app 1.0 arch=arm", AllowUpgrade, Incompatible,
       "ERROR: can not install app-1.0: it is not made for mmips, but for arm\n"},
      {"", "app 1.0 arch=arm", Quiet, Incompatible, ""},
      {"system 5.0; system 6.1 off", "app 1.0 dep=system>=6.0", AllowUpgrade, Incompatible,
       "ERROR: can not install app-1.0: system-6.0 is not installed, but is required\n"},
      {"", "app 1.0 dep=a dep=b", AllowUpgrade, Incompatible,
       "ERROR: can not install app-1.0: a is not installed, but is required\n"},
      {"nginx 1.0 prov=web@0", "app 1.0 dep=web", AllowUpgrade, 0, ""},
      {"guard 1.0 conf=app", "app 1.0", AllowUpgrade, Conflicting,
       "ERROR: can not install app-1.0: it conflicts with guard-1.0\n"},
      {"guard 1.0 conf=app", "app 1.0", AllowConflicts, Conflicting, ""},
      {"guard 1.0 off conf=app", "app 1.0", AllowUpgrade, 0, ""},
      {"old 1.0", "new 1.0 prov=old@0", AllowUpgrade, 0, ""},
      {"old 1.0 prov=web@5", "new 1.0 prov=web@1", AllowUpgrade, Conflicting,
       "ERROR: can not install new-1.0: it conflicts with old-1.0\n"},
      // Only the first refusal is printed.
      {"app 2.0", "app 1.0 arch=arm dep=gone", AllowUpgrade, Older | Incompatible,
       "WARNING: omitting package app-1.0: newer package app-2.0 is already installed\n"},
      {"app 2.0 conf=app>=1.0<=1.0", "app 1.0", AllowUpgrade, Older | Conflicting,
       "WARNING: omitting package app-1.0: newer package app-2.0 is already installed\n"},
  };
  for (const CheckCase& c : cases) {
    Repository repository;
    std::ostringstream out;
    fillRepository(repository, c.installed);
    // open() sets the architecture; nothing is on flash here, and its
    // warning about that is not part of the case.
    std::ostringstream ignored;
    repository.setOutput(ignored);
    repository.open(false, "mmips");
    repository.setOutput(out);
    const auto candidate = recordOf(c.candidate);
    EXPECT_EQ(checkInstall(repository, *candidate, c.allow), c.result)
        << c.installed << " + " << c.candidate;
    EXPECT_EQ(out.str(), c.printed) << c.installed << " + " << c.candidate;
  }
}

TEST(Progress, BarFillsWithTheReadersPosition) {
  SigningKey key;
  ASSERT_TRUE(makeSigningKey(curve25519::Bytes32{3}, &key));
  auto p = testing::testPackage("foo", v(1, 0));
  p.image = std::string(20000, 'i');
  std::istringstream file(testing::packageFile(p, key));
  PackageStream reader(file, true);
  for (int type : {PART_PACKAGE, PART_ARCH, PART_IMAGE, PART_FILES, PART_SIGNATURE})
    reader.wantPart(type);
  ASSERT_EQ(reader.nextPart(), PART_PACKAGE);
  InstalledPackage record;
  ASSERT_TRUE(parseHeader(reader, record));
  ASSERT_EQ(reader.currentType(), PART_IMAGE);

  const std::string label = "installing foo-1.0 [";
  const size_t width = 76 - label.size();
  std::string bar = progressBar(record, reader);
  ASSERT_EQ(bar.size(), 77u);
  EXPECT_EQ(bar.substr(0, label.size()), label);
  EXPECT_EQ(bar.back(), ']');
  const size_t marksAtImage = std::count(bar.begin(), bar.end(), '#');
  EXPECT_LE(marksAtImage, 1u);

  char piece[10000];
  reader.read(piece, sizeof piece);
  bar = progressBar(record, reader);
  const size_t half = std::count(bar.begin(), bar.end(), '#');
  EXPECT_GT(half, width / 3);
  EXPECT_LT(half, width * 2 / 3 + 1);
  reader.read(piece, sizeof piece);
  while (reader.nextPart() != -1) {
  }
  // Once past the last part the whole width is filled.
  bar = progressBar(record, reader);
  EXPECT_EQ(bar, label + std::string(width, '#') + "]");

  record.disabled = true;
  EXPECT_TRUE(progressBar(record, reader).starts_with("installing  (disabled) foo-1.0 ["));
  EXPECT_EQ(progressBar(record, reader).size(), 77u);
  // A bundle member shows its bundle, never the disabled mark.
  record.bundle = {"suite", v(2, 1), v(2, 1), 0};
  EXPECT_TRUE(progressBar(record, reader).starts_with("installing suite-2.1 ["));
}

TEST(RepositoryOutput, StatusLineIsRedrawnUnderMessages) {
  Repository repository;
  std::ostringstream out;
  repository.setOutput(out);
  repository.status("installing [##  ]");
  repository.status("installing [##  ]");  // unchanged: nothing drawn
  EXPECT_EQ(out.str(), "\x1b[?25l\rinstalling [##  ]\r\x1b[?25h");
  out.str("");
  repository.warning("low %d", 5);
  EXPECT_EQ(out.str(), "\r" + std::string(79, ' ') + "\rWARNING: low 5\ninstalling [##  ]");
  out.str("");
  repository.status("ab");  // shorter: the rest of the old line is blanked
  EXPECT_EQ(out.str(), "\x1b[?25l\rab" + std::string(15, ' ') + "\r\x1b[?25h");
  out.str("");
  repository.error("bad %s", "thing");
  EXPECT_EQ(out.str(), "\x1b[?25l\r  \r\x1b[?25hERROR: bad thing\n");
  EXPECT_EQ(repository.statusLine(), "");
  out.str("");
  repository.info("%s", std::string(400, 'x').c_str());
  EXPECT_EQ(out.str(), std::string(255, 'x') + "\n");  // at most 255 characters
}

}  // namespace
}  // namespace deployboot
