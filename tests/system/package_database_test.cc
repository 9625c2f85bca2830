// The package database against real directories: loading prepared package
// directories and stored package files, writing records back through a
// committed transaction, and removing what a record installed.
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include <gtest/gtest.h>

#include "pkg/file_transaction.h"
#include "pkg/repository.h"
#include "pkg/settle.h"
#include "pkg/test_repository.h"
#include "pkg/version.h"
#include "tests/system/package_builder.h"
#include "tests/system/package_sandbox.h"

namespace deployboot {
namespace {

using testing::pathExists;
using testing::readWholeFile;
using testing::writeWholeFile;

constexpr Version V4_6 = 0x04066600;

void makePackageDir(const std::string& name,
                    std::initializer_list<std::pair<const char*, const char*>> files) {
  const std::string dir = "/flash/var/pdb/" + name;
  createParentDirectories(dir + "/x");
  for (const auto& [file, text] : files) ASSERT_TRUE(writeWholeFile(dir + "/" + file, text));
}

class PackageDatabase : public ::testing::Test {
 protected:
  void SetUp() override { DEPLOYBOOT_PACKAGE_SANDBOX("32m"); }

  // A repository loaded from the sandbox's flash, its messages captured.
  std::unique_ptr<Repository> load() {
    auto repository = std::make_unique<Repository>();
    repository->setOutput(output);
    repository->open(false, "mmips");
    return repository;
  }

  std::ostringstream output;
};

TEST_F(PackageDatabase, UnlistableDirectoryWarnsAndLeavesItEmpty) {
  auto repository = load();
  EXPECT_EQ(output.str(), "WARNING: could not open repo\n");
  EXPECT_TRUE(repository->packages().empty());
}

TEST_F(PackageDatabase, LoadsTextRecords) {
  const std::string v46 = std::to_string(V4_6) + " 1234\n";
  makePackageDir("old", {{"version", v46.c_str()}, {"deps", ""}});
  makePackageDir("auto", {{"version", v46.c_str()}, {"files", "flash/bin/a\n\n/flash/bin/b\n"},
                          {"disabled", "auto\n"}});
  makePackageDir("user", {{"version", v46.c_str()}, {"files", ""}, {"disabled", "user\n"}});
  makePackageDir("odd", {{"version", v46.c_str()}, {"files", ""}, {"disabled", "auto x\n"}});
  makePackageDir("chosen", {{"version", v46.c_str()}, {"files", ""}, {"enabled", "user\n"}});
  makePackageDir("stale", {{"version", v46.c_str()}, {"files", ""}, {"bundle", "gone\n"}});
  makePackageDir("foo_bar", {{"version", v46.c_str()}, {"files", ""}});
  makePackageDir("noversion", {{"version", "x 1\n"}, {"files", ""}});
  makePackageDir("baddeps", {{"version", v46.c_str()}, {"files", ""}, {"deps", "lib 1\n"}});
  makePackageDir("lists", {{"version", v46.c_str()},
                           {"files", ""},
                           {"deps", "lib 1 2\nsys 0 0\n"},
                           {"provides", "web 0 0 -3\n"},
                           {"conflicts", "other 5 0\n"}});
  createParentDirectories("/ram/pdb/foobar/schedule");
  ASSERT_TRUE(writeWholeFile("/ram/pdb/foobar/schedule", "disable please\n"));

  auto repository = load();
  EXPECT_EQ(output.str(), "");
  ASSERT_EQ(repository->packages().size(), 10u);

  const InstalledPackage* old = repository->byName("old");
  ASSERT_TRUE(old);
  EXPECT_EQ(old->version, V4_6);
  EXPECT_EQ(old->buildTime, 1234u);
  EXPECT_TRUE(old->dependencies.empty());
  EXPECT_FALSE(old->disabled);
  EXPECT_TRUE(old->isBundle);  // no files file
  EXPECT_EQ(old->action, PendingAction::None);

  const struct {
    const char* name;
    bool disabled, userForced;
    PendingAction action;
  } states[] = {
      {"auto", true, false, PendingAction::None},
      {"user", true, true, PendingAction::None},
      {"odd", true, true, PendingAction::None},
      {"chosen", false, true, PendingAction::None},
      {"stale", false, false, PendingAction::Uninstall},
      {"foo_bar", false, true, PendingAction::Disable},
      {"noversion", false, false, PendingAction::Uninstall},
      {"baddeps", false, false, PendingAction::Uninstall},
      {"lists", false, false, PendingAction::None},
  };
  for (const auto& s : states) {
    const InstalledPackage* r = repository->byName(s.name);
    ASSERT_TRUE(r) << s.name;
    EXPECT_EQ(r->disabled, s.disabled) << s.name;
    EXPECT_EQ(r->userForced, s.userForced) << s.name;
    EXPECT_EQ(r->action, s.action) << s.name;
    EXPECT_FALSE(r->isBundle) << s.name;
  }
  EXPECT_EQ(repository->byName("auto")->files,
            (std::set<std::string>{"/flash/bin/a", "/flash/bin/b"}));
  EXPECT_EQ(repository->byName("stale")->bundle.name, "gone");
  const InstalledPackage* lists = repository->byName("lists");
  EXPECT_EQ(lists->dependencies,
            (std::vector<PackageDependency>{{"lib", 1, 2, 0}, {"sys", 0, 0, 0}}));
  EXPECT_EQ(lists->provides, (std::vector<PackageDependency>{{"web", 0, 0, uint32_t(-3)}}));
  EXPECT_EQ(lists->conflicts, (std::vector<PackageDependency>{{"other", 5, 0, 0}}));
}

TEST_F(PackageDatabase, LoadsStoredPackageFilesMembersFirst) {
  SigningKey key;
  ASSERT_TRUE(makeSigningKey(curve25519::Bytes32{7}, &key));
  testing::TestPackage m1 = testing::testPackage("m1", 0x01006600);
  testing::TestPackage m2 = testing::testPackage("m2", 0x01016600);
  m2.dependencies = {{"m1", 0x01006600, 0, 0}};
  makePackageDir("suite", {{"image", ""}});
  ASSERT_TRUE(writeWholeFile("/flash/var/pdb/suite/image",
                             testing::bundleFile("suite", 0x02006600, {m1, m2}, key)));
  // The text record of a member whose bundle's image names it is not stale.
  makePackageDir("m1", {{"bundle", "suite\n"}, {"disabled", "auto\n"}});
  createParentDirectories("/rw/pckg/.images/x");
  testing::TestPackage kernel = testing::testPackage("kernel", 0x05006600, "arm");
  ASSERT_TRUE(writeWholeFile("/rw/pckg/.images/kernel.pkg", testing::packageFile(kernel, key)));
  ASSERT_TRUE(writeWholeFile("/rw/pckg/.images/.hidden", "junk"));
  makePackageDir("broken", {{"image", "not a package"}, {"version", "5 6\n"}, {"files", ""}});

  auto repository = load();
  std::vector<std::string> order;
  for (const auto& r : repository->packages()) order.push_back(r->name);
  ASSERT_EQ(order, (std::vector<std::string>{"m1", "m2", "suite", "kernel", "broken"}));

  const InstalledPackage* first = repository->byName("m1");
  EXPECT_EQ(first->bundle, (PackageDependency{"suite", 0x02006600, 0x02006600, 0}));
  EXPECT_TRUE(first->disabled);
  EXPECT_EQ(first->action, PendingAction::None);
  EXPECT_EQ(repository->byName("m2")->dependencies.size(), 1u);
  EXPECT_TRUE(repository->byName("suite")->isBundle);
  // Stored files are read without the architecture part.
  EXPECT_EQ(repository->byName("kernel")->architecture, "i386");
  EXPECT_EQ(repository->byName("broken")->version, 5u);
}

TEST_F(PackageDatabase, MetadataRoundTripsThroughACommit) {
  Repository writer;
  writer.setOutput(output);
  InstalledPackage r;
  r.name = "web";
  r.version = 0x01026600;
  r.buildTime = 99;
  r.dependencies = {{"system", 0x06006600, 0, 0}};
  r.provides = {{"httpd", 0, 0, uint32_t(-1)}};
  r.conflicts = {{"apache", 0, 0x02006600, 0}};
  r.bundle = {"suite", 0x03006600, 0x03006600, 0};
  r.files = {"/flash/bin/web", "/flash/etc/web.conf"};
  r.disabled = true;
  r.userForced = false;
  {
    FileTransaction transaction;
    ASSERT_TRUE(writer.claimDirectory(r, transaction));
    ASSERT_TRUE(writer.writeMetadata(r, transaction));
    transaction.commit("", false);
  }
  EXPECT_EQ(readWholeFile("/flash/var/pdb/web/files"), "flash/bin/web\nflash/etc/web.conf\n");
  EXPECT_EQ(readWholeFile("/flash/var/pdb/web/disabled"), "auto\n");
  EXPECT_FALSE(pathExists("/flash/var/pdb/web/enabled"));

  auto repository = load();
  const InstalledPackage* back = repository->byName("web");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->version, r.version);
  EXPECT_EQ(back->buildTime, r.buildTime);
  EXPECT_EQ(back->dependencies, r.dependencies);
  EXPECT_EQ(back->provides, r.provides);
  EXPECT_EQ(back->conflicts, r.conflicts);
  EXPECT_EQ(back->files, r.files);
  EXPECT_EQ(back->bundle.name, "suite");
  EXPECT_TRUE(back->disabled);
  EXPECT_FALSE(back->userForced);

  // A later version without provides, conflicts or bundle, enabled by the
  // user: the earlier lists do not outlive it.
  r.provides.clear();
  r.conflicts.clear();
  r.bundle = {};
  r.disabled = false;
  r.userForced = true;
  {
    FileTransaction transaction;
    ASSERT_TRUE(writer.claimDirectory(r, transaction));
    ASSERT_TRUE(writer.writeMetadata(r, transaction));
    transaction.commit("", false);
  }
  for (const char* gone : {"provides", "conflicts", "bundle", "disabled"})
    EXPECT_FALSE(pathExists(std::string("/flash/var/pdb/web/") + gone)) << gone;
  EXPECT_EQ(readWholeFile("/flash/var/pdb/web/enabled"), "user\n");
}

TEST_F(PackageDatabase, PackagesWithImageOrNoMetadataFlagWriteOnlyTheirState) {
  Repository writer;
  for (const bool image : {true, false}) {
    InstalledPackage r;
    r.name = image ? "withimage" : "nometa";
    r.version = 1;
    r.hasImage = image;
    r.flags = image ? 0 : PACKAGE_FLAG_NO_METADATA;
    r.disabled = true;
    r.userForced = true;
    FileTransaction transaction;
    ASSERT_TRUE(writer.writeMetadata(r, transaction));
    transaction.commit("", false);
    EXPECT_EQ(testing::treeOf("/flash/var/pdb/" + r.name),
              (std::vector<std::string>{"disabled"}));
  }
}

TEST_F(PackageDatabase, UninstallRemovesRecordedFilesWhereverTheyWereRecorded) {
  for (const char* path : {"/flash/bin/tool", "/flash/lib/old.so", "/flash/etc/rel.conf"}) {
    createParentDirectories(path);
    ASSERT_TRUE(writeWholeFile(path, "x"));
  }
  makePackageDir("tool", {{"version", "1 1\n"}, {"image", "old"},
                          {"files", "flash/bin/tool\nflash/lib/old.so\n"}});
  ASSERT_TRUE(writeWholeFile("/flash/bootimage", "boot"));
  auto repository = load();
  InstalledPackage* tool = repository->byName("tool");
  ASSERT_TRUE(tool);
  tool->files.insert("/etc/rel.conf");  // recorded relative to the flash
  tool->flags = PACKAGE_FLAG_BOOT_IMAGE;
  {
    FileTransaction transaction;
    EXPECT_TRUE(repository->removeInstalled(transaction, "tool"));
    EXPECT_FALSE(repository->removeInstalled(transaction, "tool"));
    transaction.commit("", false);
  }
  EXPECT_EQ(repository->byName("tool"), nullptr);
  for (const char* gone : {"/flash/bin/tool", "/flash/lib/old.so", "/flash/etc/rel.conf",
                           "/flash/var/pdb/tool", "/flash/bootimage"})
    EXPECT_FALSE(pathExists(gone)) << gone;
}

TEST_F(PackageDatabase, SharedBootImageStaysWhileAnotherLinkHoldsIt) {
  makePackageDir("boot", {{"version", "1 1\n"}, {"files", ""}});
  ASSERT_TRUE(writeWholeFile("/flash/bootimage", "boot"));
  ASSERT_EQ(link("/flash/bootimage", "/flash/bootimage.keep"), 0);
  auto repository = load();
  repository->byName("boot")->flags = PACKAGE_FLAG_BOOT_IMAGE;
  FileTransaction transaction;
  repository->removeInstalled(transaction, "boot");
  transaction.commit("", false);
  EXPECT_TRUE(pathExists("/flash/bootimage"));
  EXPECT_FALSE(pathExists("/flash/var/pdb/boot"));
}

TEST_F(PackageDatabase, SettlingWritesStatesAndRemovesUninstalledPackages) {
  makePackageDir("system", {{"version", "100663296 1\n"}, {"files", ""}});
  makePackageDir("rival", {{"version", "5 1\n"}, {"files", ""}});
  makePackageDir("app", {{"version", "5 1\n"}, {"files", "flash/bin/app\n"},
                         {"deps", "missing 0 0\n"}});
  makePackageDir("lib", {{"version", "5 1\n"}, {"files", ""}, {"disabled", "user\n"}});
  makePackageDir("user", {{"version", "5 1\n"}, {"files", ""}, {"deps", "lib 0 0\n"},
                          {"conflicts", "rival 0 0\n"}});
  createParentDirectories("/flash/bin/app");
  ASSERT_TRUE(writeWholeFile("/flash/bin/app", "x"));
  auto repository = load();
  {
    FileTransaction transaction;
    settle(*repository, transaction);
    transaction.commit("", false);
  }
  std::vector<std::string> states;
  for (const char* name : {"system", "rival", "app", "lib", "user"})
    states.push_back(repository->byName(name) ? testing::describe(*repository->byName(name))
                                              : std::string(name) + ":gone");
  EXPECT_EQ(states, (std::vector<std::string>{"system:on", "rival:off", "app:gone", "lib:on",
                                              "user:on"}));
  EXPECT_FALSE(pathExists("/flash/var/pdb/app"));
  EXPECT_FALSE(pathExists("/flash/bin/app"));
  EXPECT_EQ(readWholeFile("/flash/var/pdb/rival/disabled"), "auto\n");
  // lib was woken for user; the user's choice to disable it is kept as
  // userForced, so enabling it writes "enabled".
  EXPECT_FALSE(pathExists("/flash/var/pdb/lib/disabled"));
  EXPECT_EQ(readWholeFile("/flash/var/pdb/lib/enabled"), "user\n");
}

}  // namespace
}  // namespace deployboot
