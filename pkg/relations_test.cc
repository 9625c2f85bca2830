#include "pkg/relations.h"

#include <gtest/gtest.h>

#include "pkg/test_repository.h"

namespace deployboot {
namespace {

using testing::recordOf;

struct ExcludesCase {
  const char* a;
  const char* b;
  bool aExcludesB;
  bool bExcludesA;
};

TEST(Excludes, ConflictsProvidesAndPrecedence) {
  const ExcludesCase cases[] = {
      // Higher precedence of a shared provided name wins, one way only.
      {"a 1.0 prov=p@1", "b 1.0 prov=p@0", true, false},
      {"a 1.0 prov=p@-2", "b 1.0 prov=p@-1", false, true},
      {"a 1.0 prov=p@0", "b 1.0 prov=p@0", false, false},
      // A conflict names b within its version range.
      {"a 1.0 conf=b>=2.0", "b 1.0", false, false},
      {"a 1.0 conf=b>=2.0", "b 2.1", true, false},
      // b stands in for a: a negative precedence yields to a, otherwise b
      // replaces a.
      {"a 1.0", "b 1.0 prov=a@-1", true, false},
      {"a 1.0", "b 1.0 prov=a@0", false, true},
      // A conflict with something b provides.
      {"a 1.0 conf=p", "b 1.0 prov=p@5", true, false},
      // Placeholders take part in nothing.
      {"a ph conf=b", "b 1.0", false, false},
      {"a 1.0 conf=b", "b ph", false, false},
      {"a 1.0 prov=p@3", "b ph prov=p@0", false, false},
      {"a 1.0 dep=b", "b 1.0", false, false},
  };
  for (const ExcludesCase& c : cases) {
    const auto a = recordOf(c.a), b = recordOf(c.b);
    EXPECT_EQ(excludes(*a, *b), c.aExcludesB) << c.a << " / " << c.b;
    EXPECT_EQ(excludes(*b, *a), c.bExcludesA) << c.b << " / " << c.a;
  }
}

TEST(Depends, DirectlyOrThroughProvides) {
  EXPECT_TRUE(depends(*recordOf("app 1.0 dep=lib>=1.0"), *recordOf("lib 1.2")));
  EXPECT_FALSE(depends(*recordOf("app 1.0 dep=lib>=2.0"), *recordOf("lib 1.2")));
  EXPECT_TRUE(depends(*recordOf("app 1.0 dep=web"), *recordOf("nginx 1.0 prov=web@0")));
  EXPECT_FALSE(depends(*recordOf("app 1.0"), *recordOf("lib 1.0")));
}

TEST(Candidates, SkipPlaceholdersAndOptionallyDisabled) {
  Repository repository;
  testing::fillRepository(repository,
                          "lib 1.0 off; lib ph; alt 1.0 prov=lib@0; lib 2.0; other 1.0");
  const PackageDependency d = testing::dependencyOf("lib");
  EXPECT_EQ(testing::names(candidates(repository.packages(), d, true)), "lib alt lib");
  EXPECT_EQ(testing::names(candidates(repository.packages(), d, false)), "alt lib");
}

TEST(Classify, WhatTheListLeavesOfADependency) {
  const struct {
    const char* list;
    DependencyState expected;
  } cases[] = {
      {"", DependencyState::Gone},
      {"a 1.0", DependencyState::Met},
      {"a 1.0 off !enable", DependencyState::Met},
      {"a 1.0 off", DependencyState::OnlyDisabled},
      {"a 1.0 !disable", DependencyState::OnlyDisabled},
      {"a 1.0 !uninstall", DependencyState::Gone},
      {"a 1.0 off !uninstall", DependencyState::OnlyDisabled},
      {"a 1.0 !enable", DependencyState::Gone},
      {"a 1.0 !uninstall; b 1.0", DependencyState::Met},
      {"a 1.0 off; b 1.0 !uninstall", DependencyState::OnlyDisabled},
  };
  for (const auto& c : cases) {
    Repository repository;
    testing::fillRepository(repository, c.list);
    std::vector<InstalledPackage*> list;
    for (const auto& r : repository.packages()) list.push_back(r.get());
    EXPECT_EQ(classify(list), c.expected) << c.list;
  }
}

}  // namespace
}  // namespace deployboot
