#include "pkg/database_text.h"

#include <gtest/gtest.h>

#include <sstream>

#include "pkg/pending_actions.h"

namespace deployboot {
namespace {

TEST(DatabaseText, VersionRoundTripsAndRejectsJunk) {
  std::ostringstream out;
  writeVersionText(out, 0x04060000 | 0x6600, 1700000000);
  EXPECT_EQ(out.str(), std::to_string(0x04066600) + " 1700000000\n");
  Version v = 0;
  uint32_t t = 0;
  std::istringstream in(out.str());
  ASSERT_TRUE(readVersionText(in, &v, &t));
  EXPECT_EQ(v, 0x04066600u);
  EXPECT_EQ(t, 1700000000u);

  for (const char* bad : {"", "12", "12 x", "-1 5", "4294967296 0", "7\n"}) {
    std::istringstream junk(bad);
    EXPECT_FALSE(readVersionText(junk, &v, &t)) << bad;
  }
  std::istringstream spaced("\t4294967295\n\n 7 ");
  ASSERT_TRUE(readVersionText(spaced, &v, &t));
  EXPECT_EQ(v, 0xFFFFFFFFu);
  EXPECT_EQ(t, 7u);
}

TEST(DatabaseText, DependencyListsRoundTrip) {
  const std::vector<PackageDependency> provides = {
      {"web", 0x01006600, 0, 0xFFFFFFFF},  // precedence -1
      {"smtp", 0, 0x02006600, 7},
  };
  std::ostringstream out;
  writeDependencyText(out, provides, true);
  EXPECT_EQ(out.str(), "web 16803328 0 -1\nsmtp 0 33580544 7\n");
  std::istringstream in(out.str());
  std::vector<PackageDependency> back;
  ASSERT_TRUE(readDependencyText(in, true, &back));
  EXPECT_EQ(back, provides);

  // deps and conflicts carry no extra: it is neither written nor read.
  std::ostringstream deps;
  writeDependencyText(deps, provides, false);
  EXPECT_EQ(deps.str(), "web 16803328 0\nsmtp 0 33580544\n");
  std::istringstream depsIn(deps.str());
  back.clear();
  ASSERT_TRUE(readDependencyText(depsIn, false, &back));
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[1].extra, 0u);
}

TEST(DatabaseText, MalformedDependencyListsFail) {
  const struct {
    const char* text;
    bool withExtra;
    bool ok;
    size_t entries;
  } cases[] = {
      {"", false, true, 0},
      {"  \n\n", false, true, 0},
      {"a 1 2   b\t3\n4\n", false, true, 2},  // any whitespace
      {"a 1", false, false, 0},              // a name without its numbers
      {"a 1 2 b x 3", false, false, 1},
      {"a 1 2", true, false, 0},             // provides need the extra
      {"a 1 2 -5", true, true, 1},
      {"a 1 2 x", true, false, 0},
  };
  for (const auto& c : cases) {
    std::istringstream in(c.text);
    std::vector<PackageDependency> list;
    EXPECT_EQ(readDependencyText(in, c.withExtra, &list), c.ok) << c.text;
    EXPECT_EQ(list.size(), c.entries) << c.text;
  }
}

TEST(DatabaseText, FilesAreWrittenWithoutTheLeadingSlash) {
  const std::set<std::string> files = {"/flash/bin/tool", "/flash/etc/a b.conf"};
  std::ostringstream out;
  writeFilesText(out, files);
  EXPECT_EQ(out.str(), "flash/bin/tool\nflash/etc/a b.conf\n");
  std::istringstream in(out.str() + "\n/flash/already/absolute\n\n");
  std::set<std::string> back;
  readFilesText(in, &back);
  EXPECT_EQ(back, (std::set<std::string>{"/flash/bin/tool", "/flash/etc/a b.conf",
                                         "/flash/already/absolute"}));
}

TEST(PendingActions, KeyAndFirstWord) {
  EXPECT_EQ(pendingActionKey("foo_bar"), "foobar");
  EXPECT_EQ(pendingActionKey("web-ui.2+x"), "web-ui2x");
  EXPECT_EQ(pendingActionPath("foo_bar"), "/ram/pdb/foobar/schedule");

  const struct {
    const char* text;
    std::optional<PendingAction> action;
  } cases[] = {
      {"uninstall\n", PendingAction::Uninstall},
      {"  enable now", PendingAction::Enable},
      {"disable", PendingAction::Disable},
      {"Disable", std::nullopt},
      {"remove", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    std::istringstream in(c.text);
    EXPECT_EQ(parsePendingAction(in), c.action) << c.text;
  }
}

}  // namespace
}  // namespace deployboot
