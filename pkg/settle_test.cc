#include "pkg/settle.h"

#include <gtest/gtest.h>

#include "pkg/test_repository.h"

namespace deployboot {
namespace {

using testing::describe;
using testing::fillRepository;
using testing::names;

struct PlanCase {
  const char* what;
  const char* before;
  bool stands;
  const char* after;           // every record's state and action after plan
  const char* removeOrDisable; // the first list, in order
  const char* enable;          // the second list, in need order
};

TEST(Plan, DecidesEveryRecordsAction) {
  const PlanCase cases[] = {
      {"nothing to do", "system 6.1; app 1.0 dep=system", true, "system:on app:on", "", ""},
      {"an empty database is settled", "", true, "", "", ""},
      {"the guard keeps the last active package",
       "system 6.1 !uninstall", false, "system:on", "", ""},
      {"the guard resets every action when nothing would stay active",
       "a 1.0 !disable; b 1.0 off !uninstall; c 1.0 dep=gone", false, "a:on b:off c:on", "",
       ""},
      {"an active package excludes another",
       "system 6.1; a 1.0 conf=b; b 1.0", true, "system:on a:on b:on!disable system a b"
       + 0 == nullptr ? "" : "system:on a:on b:on!disable", "b", ""},
      {"an active package wakes its disabled dependency",
       "app 1.0 dep=lib; lib 1.0 off", true, "app:on lib:off!enable", "", "lib"},
      {"a dependency wakes through provides, the last candidate in need order",
       "app 1.0 dep=web; web1 1.0 off prov=web@0; web2 1.0 off prov=web@0", true,
       "app:on web1:off!enable web2:off", "", "web1"},
      {"a needed package's pending uninstall is dropped",
       "system 6.1; app 1.0 dep=lib; lib 1.0 !uninstall", true, "system:on app:on lib:on",
       "", ""},
      {"a missing dependency uninstalls", "system 6.1; app 1.0 dep=lib", true,
       "system:on app:on!uninstall", "app", ""},
      {"removal cascades through dependants",
       "system 6.1; top 1.0 dep=mid; mid 1.0 dep=gone", true,
       "system:on top:on!uninstall mid:on!uninstall", "top mid", ""},
      {"a dependency that is only disabled disables",
       "system 6.1; app 1.0 dep=lib>=2.0; lib 1.0; lib 2.0 off !disable", true,
       "system:on app:on!disable lib:on lib:off", "app", ""},
      {"a disabled dependant of a disabled package stays as it is",
       "system 6.1; app 1.0 off dep=lib; lib 1.0 off", true, "system:on app:off lib:off", "",
       ""},
      {"a member wakes its disabled bundle",
       "bund 1.0 bundle off; m1 1.0 in=bund@1.0", true, "bund:off!enable m1:on", "", "bund"},
      {"an uninstalled bundle takes its members",
       "system 6.1; bund 1.0 bundle !uninstall; m1 1.0 in=bund@1.0; m2 1.0 off in=bund@1.0",
       true, "system:on bund:on!uninstall m1:on!uninstall m2:off!uninstall", "bund m1 m2", ""},
      {"an enabled bundle passes enable to disabled members",
       "system 6.1; bund 1.0 bundle !enable; m1 1.0 off in=bund@1.0", true,
       "system:on bund:on!enable m1:off!enable", "", "m1 bund"},
      {"a bundle without members left goes",
       "system 6.1; bund 1.0 bundle; m1 1.0 in=bund@1.0 !uninstall", true,
       "system:on bund:on!uninstall m1:on!uninstall", "bund m1", ""},
      {"a bundle with one live member stays",
       "bund 1.0 bundle; m1 1.0 in=bund@1.0; m2 1.0 in=bund@1.0 !uninstall", true,
       "bund:on m1:on m2:on!uninstall", "m2", ""},
      {"an unnamed keeper disables a bundle member",
       "system 6.1; - 0 conf=m1; m1 1.0 in=bund@1.0; m2 1.0 in=bund@1.0; bund 1.0 bundle",
       true, "system:on -:on m1:on!disable m2:on bund:on", "m1", ""},
      {"placeholders neither exclude nor satisfy",
       "system 6.1; x ph conf=system; app 1.0 dep=lib; lib ph", true,
       "system:on x:on app:on!uninstall lib:on", "app", ""},
      {"enabling a package that an enabling package excludes gives way",
       "system 6.1; a 1.0 off !enable; b 1.0 off !enable conf=a", true,
       "system:on a:off b:off!enable", "", "b"},
      {"an active excluder disables an enabled package it excludes",
       "system 6.1; a 1.0 !enable conf=b; b 1.0", true, "system:on a:on!enable b:on!disable",
       "b", "a"},
  };
  for (const PlanCase& c : cases) {
    Repository repository;
    fillRepository(repository, c.before);
    SettlePlan p;
    EXPECT_EQ(plan(repository.packages(), &p), c.stands) << c.what;
    EXPECT_EQ(describe(repository.packages()), c.after) << c.what;
    EXPECT_EQ(names(p.removeOrDisable), c.removeOrDisable) << c.what;
    EXPECT_EQ(names(p.enable), c.enable) << c.what;
  }
}

TEST(Order, KeepsTheNewestOfEachName) {
  const struct {
    const char* list;
    const char* kept;  // name@version of what remains, in order
  } cases[] = {
      {"a 1.0; a 2.0", "a@2.0"},
      {"a 2.0; a 1.0", "a@2.0"},
      {"a 1.0+5; a 1.0+9", "a@1.0+9"},
      {"a 1.0; a 1.0", ""},  // equal non-bundles all drop out
      {"a 1.0 bundle; a 1.0", "a@1.0 bundle"},
      {"a 1.0; a 1.0 bundle", "a@1.0 bundle"},
      {"a 1.0 bundle; a 1.0 bundle", ""},
  };
  for (const auto& c : cases) {
    Repository repository;
    fillRepository(repository, c.list);
    std::vector<InstalledPackage*> list;
    for (const auto& r : repository.packages()) list.push_back(r.get());
    order(list);
    std::string kept;
    for (const InstalledPackage* r : list) {
      kept += (kept.empty() ? "" : " ") + r->name + "@" + formatVersion(r->version);
      if (r->buildTime) kept += "+" + std::to_string(r->buildTime);
      if (r->isBundle) kept += " bundle";
    }
    EXPECT_EQ(kept, c.kept) << c.list;
  }
}

TEST(Order, PutsEachRecordAfterWhatItNeedsOrWhatExcludesIt) {
  const struct {
    const char* list;
    const char* ordered;
  } cases[] = {
      {"app 1.0 dep=lib; lib 1.0", "lib app"},
      {"lib 1.0; app 1.0 dep=lib", "lib app"},
      {"top 1.0 dep=mid; mid 1.0 dep=base; base 1.0", "base mid top"},
      {"app 1.0 dep=web; nginx 1.0 prov=web@0", "nginx app"},
      {"y 1.0 conf=x; x 1.0", "y x"},
      // Records that need nothing go to the front, so they come reversed.
      {"a 1.0; b 1.0; c 1.0", "c b a"},
  };
  for (const auto& c : cases) {
    Repository repository;
    fillRepository(repository, c.list);
    std::vector<InstalledPackage*> list;
    for (const auto& r : repository.packages()) list.push_back(r.get());
    order(list);
    EXPECT_EQ(names(list), c.ordered) << c.list;
  }
}

}  // namespace
}  // namespace deployboot
