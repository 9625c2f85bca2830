#include "server/catalog.h"

#include <gtest/gtest.h>

#include "server/serve_fixtures.h"

namespace deployboot::serve {
namespace {

std::vector<std::string> namesOf(const std::vector<const ServedFile*>& files) {
  std::vector<std::string> names;
  for (const ServedFile* f : files) names.push_back(f->name);
  return names;
}

TEST(Catalog, PackagesInDependencyOrderThenScriptsForTheClientsArchitecture) {
  testing::ServeDirectory dir;
  const std::string script = dir.add("autorun.scr", "set x\n");
  // Given in the wrong order: web needs ssl and base, ssl needs base.
  const std::string web = dir.addPackage("web.pkg", "web", "mipsle", {"ssl", "base"});
  const std::string ssl = dir.addPackage("ssl.pkg", "ssl", "mipsle", {"base"});
  const std::string base = dir.addPackage("base.pkg", "base", "mipsle", {"kernel"});
  const std::string smp = dir.addPackage("smp.pkg", "smp", "mmips");
  const std::string raw = dir.add("blob.bin", "not a package");

  std::vector<ServedFile> catalog;
  std::string error;
  std::vector<std::string> warnings;
  ASSERT_TRUE(buildCatalog({script, web, ssl, smp, base, raw}, &catalog, &error, &warnings))
      << error;
  ASSERT_EQ(warnings.size(), 1u);  // the file without a package header
  EXPECT_NE(warnings[0].find("blob.bin"), std::string::npos);

  EXPECT_EQ(namesOf(filesForClient(catalog, "mipsle")),
            (std::vector<std::string>{"base.pkg", "ssl.pkg", "web.pkg", "blob.bin", "autorun.scr"}));
  EXPECT_EQ(namesOf(filesForClient(catalog, "mmips")),
            (std::vector<std::string>{"smp.pkg", "blob.bin", "autorun.scr"}));
}

TEST(Catalog, DependencyCycleKeepsCommandLineOrder) {
  testing::ServeDirectory dir;
  const std::string a = dir.addPackage("a.pkg", "a", "mipsle", {"b"});
  const std::string b = dir.addPackage("b.pkg", "b", "mipsle", {"a"});
  std::vector<ServedFile> catalog;
  std::string error;
  std::vector<std::string> warnings;
  ASSERT_TRUE(buildCatalog({a, b}, &catalog, &error, &warnings));
  EXPECT_EQ(namesOf(filesForClient(catalog, "mipsle")),
            (std::vector<std::string>{"a.pkg", "b.pkg"}));
}

TEST(Catalog, DirectoryStandsForItsFilesInNameOrder) {
  testing::ServeDirectory dir;
  dir.add("b.scr", "b");
  dir.add("a.scr", "a");
  std::vector<ServedFile> catalog;
  std::string error;
  std::vector<std::string> warnings;
  ASSERT_TRUE(buildCatalog({dir.path()}, &catalog, &error, &warnings));
  EXPECT_EQ(namesOf(filesForClient(catalog, "mipsle")),
            (std::vector<std::string>{"a.scr", "b.scr"}));
  EXPECT_EQ(catalog[0].size, 1u);
}

TEST(Catalog, UnusableArgumentsAreErrors) {
  testing::ServeDirectory dir;
  std::vector<ServedFile> catalog;
  std::string error;
  std::vector<std::string> warnings;
  EXPECT_FALSE(buildCatalog({dir.path() + "/missing.pkg"}, &catalog, &error, &warnings));
  EXPECT_NE(error.find("missing.pkg: no such file"), std::string::npos) << error;
  EXPECT_FALSE(buildCatalog({dir.path()}, &catalog, &error, &warnings));  // empty directory
  EXPECT_EQ(error, "no files to serve");
}

}  // namespace
}  // namespace deployboot::serve
