#include "pkg/version.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace deployboot {
namespace {

struct Dependency {
  std::string name;
  Version minVersion = 0;
  Version maxVersion = 0;
};

struct Record {
  std::string name;
  Version version;
  uint32_t buildTime;
};

TEST(VersionTest, PrintsEveryKind) {
  const struct { Version version; const char* text; } cases[] = {
      {0x040E6600, "4.14"},     {0x040E6602, "4.14.2"},   {0x05006304, "5.0rc4"},
      {0x05006300, "5.0rc"},    {0x06016102, "6.1alpha2"}, {0x06016202, "6.1beta2"},
      {0x02096308, "2.9rc8"},   {0x03146301, "3.20rc1"},  {0x03166500, "3.22"},
      {0x031665FF, "3.22255"},  {0x00000000, "0.0"},      {0xFFFFFFFF, "255.255255"},
  };
  for (const auto& c : cases) EXPECT_EQ(formatVersion(c.version), c.text) << std::hex << c.version;
}

TEST(VersionTest, ParsesWhatItPrints) {
  const struct { const char* text; Version version; } cases[] = {
      {"6.47", 0x062F6600},     {"6.48rc3", 0x06306303}, {"7.1beta2", 0x07016202},
      {"4.14.2", 0x040E6602},   {"2.0alpha", 0x02006100}, {"5.0rc", 0x05006300},
      {"255.255.255", 0xFFFF66FF}, {"0.0", 0x00006600},
  };
  for (const auto& c : cases) {
    Version v = 1;
    ASSERT_TRUE(parseVersion(c.text, &v)) << c.text;
    EXPECT_EQ(v, c.version) << c.text;
    EXPECT_EQ(formatVersion(v), c.text);
  }
}

TEST(VersionTest, RejectsMalformedText) {
  const std::vector<std::string> bad = {
      "",      "6",       "6.",      ".47",      "6.47.",   "6.47x",  "6.47rc-1", "6.256",
      "256.1", "6.47.256", " 6.47",  "6.47 ",    "-6.47",   "+6.47",  "6.4.7.1",  "6.47gamma2",
      "6.47RC3", "6..47",  std::string("6.47\0", 5),        "6.47rc3.1", "6,47",
  };
  for (const auto& text : bad) {
    Version v = 0x12345678;
    EXPECT_FALSE(parseVersion(text, &v)) << '"' << text << '"';
    EXPECT_EQ(v, 0x12345678u) << "output touched for \"" << text << '"';
  }
}

TEST(VersionTest, OrderFollowsKindThenNumber) {
  const char* ascending[] = {"1.2alpha3", "1.2beta1", "1.2rc1", "1.2", "1.2.1", "1.3alpha1",
                             "4.14rc1",   "4.14",     "4.14.1", "10.0"};
  Version previous = 0;
  for (const char* text : ascending) {
    Version v;
    ASSERT_TRUE(parseVersion(text, &v)) << text;
    EXPECT_GT(v, previous) << text;
    previous = v;
  }
}

TEST(VersionTest, Labels) {
  EXPECT_EQ(packageLabel("system", 0x040E6600), "system-4.14");
  EXPECT_EQ(dependencyLabel(Dependency{"dhcp", 0, 0x05000000}), "dhcp");
  EXPECT_EQ(dependencyLabel(Dependency{"dhcp", 0x05006304, 0}), "dhcp-5.0rc4");
}

TEST(VersionTest, Satisfies) {
  const Version rc1 = 0x040E6301, final = 0x040E6600, patch = 0x040E6601;
  const struct {
    Dependency dependency;
    const char* name;
    Version version;
    bool expected;
  } cases[] = {
      {{"ppp", 0, 0}, "ppp", 0x00000001, true},
      {{"ppp", 0, 0}, "ppp", 0xFFFFFFFF, true},
      {{"ppp", 0, 0}, "PPP", final, false},
      {{"ppp", 0, 0}, "ppp2", final, false},
      {{"ppp", final, 0}, "ppp", rc1, false},
      {{"ppp", final, 0}, "ppp", final, true},
      {{"ppp", final, 0}, "ppp", patch, true},
      {{"ppp", 0, final}, "ppp", final, true},
      {{"ppp", 0, final}, "ppp", patch, false},
      {{"ppp", rc1, final}, "ppp", rc1, true},
      {{"ppp", rc1, final}, "ppp", 0x040E6201, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(satisfies(c.name, c.version, c.dependency), c.expected)
        << c.name << " " << formatVersion(c.version) << " vs " << c.dependency.name << " ["
        << formatVersion(c.dependency.minVersion) << ", "
        << formatVersion(c.dependency.maxVersion) << "]";
}

TEST(VersionTest, RangesOverlap) {
  const Version v1 = 0x01006600, v2 = 0x02006600, v3 = 0x03006600;
  const struct {
    Dependency provided, wanted;
    bool expected;
  } cases[] = {
      {{"x", 0, 0}, {"x", 0, 0}, true},
      {{"x", 0, 0}, {"y", 0, 0}, false},
      {{"x", v2, 0}, {"x", 0, v1}, false},   // wanted ends below provided
      {{"x", v2, 0}, {"x", 0, v2}, true},    // touching bounds overlap
      {{"x", 0, v1}, {"x", v2, 0}, false},   // provided ends below wanted
      {{"x", 0, v2}, {"x", v2, 0}, true},
      {{"x", v1, v3}, {"x", v2, v2}, true},
      {{"x", v2, v3}, {"x", v1, 0}, true},   // open upper bound
      {{"x", v1, v1}, {"x", v2, v3}, false},
      {{"x", v3, 0}, {"x", v1, v2}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rangesOverlap(c.provided, c.wanted), c.expected)
        << "provided [" << formatVersion(c.provided.minVersion) << ", "
        << formatVersion(c.provided.maxVersion) << "] wanted ["
        << formatVersion(c.wanted.minVersion) << ", " << formatVersion(c.wanted.maxVersion) << "]";
  }
}

TEST(VersionTest, CompareRecords) {
  const Record base{"system", 0x040E6600, 1000};
  EXPECT_EQ(compareVersions(base, base), 0);
  EXPECT_EQ(compareVersions(Record{"system", 0x040E6600, 1001}, base), 1);
  EXPECT_EQ(compareVersions(base, Record{"system", 0x040E6600, 1001}), -1);
  EXPECT_EQ(compareVersions(Record{"system", 0x040E6301, 9999}, base), -1);
  EXPECT_EQ(compareVersions(Record{"system", 0x040E6601, 0}, base), 1);
  // Unsigned: the largest build time is the newest, not negative.
  EXPECT_EQ(compareVersions(Record{"system", 0x040E6600, 0xFFFFFFFF}, base), 1);
  EXPECT_EQ(compareVersions(Record{"other", 0x09000000, 0}, base), 0);
  EXPECT_EQ(compareVersions(Record{"other", 0x01000000, 0}, base), 0);
}

}  // namespace
}  // namespace deployboot
