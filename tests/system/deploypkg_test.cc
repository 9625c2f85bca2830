// deploypkg end to end: keys, packages and bundles it writes are read back
// with the installer's own reader.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "pkg/file_transaction.h"
#include "pkg/package_stream.h"
#include "pkg/signature.h"

namespace deployboot {
namespace {

namespace fs = std::filesystem;

struct Result {
  int status;
  std::string out, err;
};

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string quoted(const std::string& arg) {
  std::string q = "'";
  for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

class DeploypkgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/deploypkg_test_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_EQ(run({"keygen", "-o", dir_ + "/k"}).status, 0);
    root_ = dir_ + "/root";
    write(root_ + "/usr/bin/tool", "#!/bin/sh\necho tool\n", 0755);
    write(root_ + "/etc/secret.conf", "secret=1\n", 0600);
    write(root_ + "/var/empty", "", 0644);
    fs::create_directories(root_ + "/var/lib/nothing");
    fs::create_symlink("tool", root_ + "/usr/bin/link");
  }
  void TearDown() override { fs::remove_all(dir_); }

  void write(const std::string& path, const std::string& data, unsigned mode) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << data;
    ::chmod(path.c_str(), mode);
  }

  Result run(const std::vector<std::string>& args) {
    std::string cmd = quoted(DEPLOYBOOT_BINARY_DIR "/deploypkg");
    for (const std::string& a : args) cmd += " " + quoted(a);
    cmd += " >" + dir_ + "/out 2>" + dir_ + "/err";
    const int raw = std::system(cmd.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readWhole(dir_ + "/out"), readWhole(dir_ + "/err")};
  }

  std::string build(const std::string& out, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"build", "--name", "tool", "--version", "6.48rc3", "--key",
                                      dir_ + "/k.key", "--root", root_, "-o", out};
    args.insert(args.end(), extra.begin(), extra.end());
    const Result r = run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return out;
  }

  std::string dir_, root_;
};

TEST_F(DeploypkgTest, BuiltPackageInstallsThroughTheInstallersReader) {
  write(dir_ + "/image.bin", std::string(5000, 'I'), 0644);
  const std::string pkg =
      build(dir_ + "/tool.pkg", {"--arch", "mipsle", "--depends", "base>=6.0", "--depends", "libc>=1.2<=1.9",
                                 "--provides", "shell,-2", "--conflicts", "oldtool<=5.0", "--boot-image",
                                 "--no-metadata", "--image", dir_ + "/image.bin", "--build-time", "1700000000"});
  std::ifstream file(pkg, std::ios::binary);
  PackageStream s(file, true);
  for (int t : {1, 18, 20, 16, 3, 19, 17, 21, 4, 9}) s.wantPart(t);
  ASSERT_EQ(s.nextPart(), PART_PACKAGE);
  EXPECT_EQ(s.magic(), MAGIC_PACKAGE);
  EXPECT_EQ(s.declaredSize(), fs::file_size(pkg));
  PackageRecord r;
  ASSERT_TRUE(parseHeader(s, r));
  EXPECT_EQ(r.name, "tool");
  EXPECT_EQ(r.version, 0x06306303u);
  EXPECT_EQ(r.buildTime, 1700000000u);
  EXPECT_EQ(r.flags, PACKAGE_FLAG_BOOT_IMAGE | PACKAGE_FLAG_NO_METADATA);
  EXPECT_EQ(r.architecture, "mipsle");
  const std::vector<PackageDependency> deps = {{"base", 0x06006600, 0, 0}, {"libc", 0x01026600, 0x01096600, 0}};
  EXPECT_EQ(r.dependencies, deps);
  EXPECT_EQ(r.provides, (std::vector<PackageDependency>{{"shell", 0, 0, static_cast<uint32_t>(-2)}}));
  EXPECT_EQ(r.conflicts, (std::vector<PackageDependency>{{"oldtool", 0, 0x05006600, 0}}));
  ASSERT_TRUE(r.hasImage);
  EXPECT_EQ(s.partLength(), 5000u);
  ASSERT_EQ(s.nextPart(), PART_FILES);

  const std::string target = dir_ + "/flash";
  fs::create_directories(target);
  fs::create_directories(dir_ + "/ram");
  FileTransaction t(dir_ + "/ram");
  ASSERT_TRUE(extractFiles(s, r, t, target));
  ASSERT_EQ(s.nextPart(), PART_SIGNATURE);
  const std::string pub = readWhole(dir_ + "/k.pub");
  ASSERT_EQ(pub.size(), 32u);
  EXPECT_TRUE(verifySignature(s, reinterpret_cast<const uint8_t*>(pub.data())));
  EXPECT_EQ(s.nextPart(), -1);
  t.commit("", false);

  EXPECT_EQ(r.files, (std::set<std::string>{target + "/etc/secret.conf", target + "/usr/bin/tool",
                                            target + "/var/empty"}));
  for (const char* name : {"/usr/bin/tool", "/etc/secret.conf", "/var/empty"}) {
    EXPECT_EQ(readWhole(target + name), readWhole(root_ + name)) << name;
    EXPECT_EQ(fs::status(target + name).permissions(), fs::status(root_ + name).permissions()) << name;
  }
  EXPECT_FALSE(fs::exists(target + "/usr/bin/link")) << "only regular files are packed";

  const Result verified = run({"verify", "--pub", dir_ + "/k.pub", pkg});
  EXPECT_EQ(verified.status, 0) << verified.out;
  EXPECT_NE(verified.out.find("tool-6.48rc3: ok"), std::string::npos) << verified.out;
  const Result info = run({"info", "--json", pkg});
  EXPECT_EQ(info.status, 0) << info.err;
  for (const char* field : {"\"name\":\"tool\"", "\"version\":\"6.48rc3\"", "\"architecture\":\"mipsle\"",
                            "\"name\":\"usr/bin/tool\",\"mode\":33261", "\"image\":5000", "\"problems\":[]"})
    EXPECT_NE(info.out.find(field), std::string::npos) << field << " in " << info.out;
}

TEST_F(DeploypkgTest, TamperedOrForeignPackagesDoNotVerify) {
  const std::string pkg = build(dir_ + "/tool.pkg");
  ASSERT_EQ(run({"keygen", "-o", dir_ + "/other"}).status, 0);
  Result r = run({"verify", "--pub", dir_ + "/other.pub", pkg});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("BAD signature"), std::string::npos) << r.out;

  std::string bytes = readWhole(pkg);
  bytes[30] ^= 1;  // inside the header part
  std::ofstream(dir_ + "/bad.pkg", std::ios::binary) << bytes;
  r = run({"verify", "--pub", dir_ + "/k.pub", dir_ + "/bad.pkg"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("NOT verified"), std::string::npos) << r.out;
}

// The development key pair in keys/ is the one compiled in by default.
TEST_F(DeploypkgTest, DevelopmentKeySignsForTheBuiltInKey) {
  const Result built = run({"build", "--name", "dev", "--version", "1.0", "--key",
                            DEPLOYBOOT_SOURCE_DIR "/keys/development.key", "--root", root_, "-o", dir_ + "/dev.pkg",
                            "--unrecorded"});
  ASSERT_EQ(built.status, 0) << built.err;
  std::ifstream file(dir_ + "/dev.pkg", std::ios::binary);
  PackageStream s(file, true);
  for (int t : {1, 4, 9}) s.wantPart(t);
  EXPECT_EQ(s.magic(), MAGIC_UNRECORDED);
  while (s.nextPart() >= 0 && s.currentType() != PART_SIGNATURE) {
  }
  ASSERT_EQ(s.currentType(), PART_SIGNATURE);
  EXPECT_TRUE(verifySignature(s));
}

TEST_F(DeploypkgTest, BundleCarriesSignedMembers) {
  const std::string a = build(dir_ + "/a.pkg", {"--arch", "mipsle"});
  const Result second = run({"build", "--name", "second", "--version", "2.0", "--key", dir_ + "/k.key", "--root",
                             root_, "-o", dir_ + "/b.pkg"});
  ASSERT_EQ(second.status, 0) << second.err;
  const Result bundled = run({"bundle", "--name", "suite", "--version", "7.1", "--key", dir_ + "/k.key", "-o",
                              dir_ + "/suite.pkg", a, dir_ + "/b.pkg"});
  ASSERT_EQ(bundled.status, 0) << bundled.err;

  std::ifstream file(dir_ + "/suite.pkg", std::ios::binary);
  PackageStream s(file, true);
  for (int t : {1, 18, 20, 16, 3, 19, 17, 21, 4, 9}) s.wantPart(t);
  ASSERT_EQ(s.nextPart(), PART_BUNDLE);
  PackageRecord bundle;
  ASSERT_TRUE(parseHeader(s, bundle));
  EXPECT_TRUE(bundle.isBundle);
  EXPECT_EQ(bundle.name, "suite");
  ASSERT_EQ(s.currentType(), PART_BUNDLE_MEMBERS);
  const std::string pub = readWhole(dir_ + "/k.pub");
  std::vector<std::string> members;
  for (int type = s.nextPart(); type >= 0;) {
    if (type == PART_PACKAGE) {
      PackageRecord m;
      ASSERT_TRUE(parseHeader(s, m));
      members.push_back(m.name);
      type = s.currentType();
      continue;
    }
    if (type == PART_SIGNATURE) {
      EXPECT_TRUE(verifySignature(s, reinterpret_cast<const uint8_t*>(pub.data())));
    }
    EXPECT_NE(type, PART_ARCH) << "a member carries nothing after its signature";
    type = s.nextPart();
  }
  EXPECT_EQ(members, (std::vector<std::string>{"tool", "second"}));

  const Result info = run({"info", dir_ + "/suite.pkg"});
  EXPECT_EQ(info.status, 0) << info.out;
  EXPECT_NE(info.out.find("bundle suite 7.1"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("members: tool=6.48rc3 second=2.0"), std::string::npos) << info.out;
  EXPECT_EQ(run({"verify", "--pub", dir_ + "/k.pub", dir_ + "/suite.pkg"}).status, 0);

  // A member signed with another key is refused.
  ASSERT_EQ(run({"keygen", "-o", dir_ + "/other"}).status, 0);
  const Result refused = run({"bundle", "--name", "suite", "--version", "7.1", "--key", dir_ + "/other.key", "-o",
                              dir_ + "/x.pkg", a});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("does not verify"), std::string::npos) << refused.err;
}

TEST_F(DeploypkgTest, ClearErrors) {
  const std::string key = dir_ + "/k.key";
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"build", "--name", "x", "--version", "1.x", "--key", key, "--root", root_, "-o", dir_ + "/o"},
       "bad version \"1.x\""},
      {{"build", "--name", "abcdefghijklmnopq", "--version", "1.0", "--key", key, "--root", root_, "-o", dir_ + "/o"},
       "longer than 16 bytes"},
      {{"build", "--name", "x", "--version", "1.0", "--key", dir_ + "/missing.key", "--root", root_, "-o",
        dir_ + "/o"},
       "cannot read " + dir_ + "/missing.key"},
      {{"build", "--name", "x", "--version", "1.0", "--root", root_, "-o", dir_ + "/o"}, "build needs --key"},
      {{"build", "--name", "x", "--version", "1.0", "--key", dir_ + "/k.pub.none", "--root", root_, "-o", dir_ + "/o"},
       "cannot read"},
      {{"build", "--name", "x", "--version", "1.0", "--key", key, "--root", dir_ + "/nowhere", "-o", dir_ + "/o"},
       "is not a readable directory"},
      {{"build", "--name", "x", "--version", "1.0", "--key", key, "--root", root_, "-o", dir_ + "/o", "--depends",
        "y>>2"},
       "bad version bound"},
      {{"build", "--name", "x", "--version", "1.0", "--key", root_ + "/etc/secret.conf", "--root", root_, "-o",
        dir_ + "/o"},
       "exactly 32 bytes"},
      {{"build", "--frobnicate"}, "unknown option --frobnicate"},
      {{"info", dir_ + "/k.pub"}, "not a package file"},
      {{"info", dir_ + "/nothing.pkg"}, "cannot read"},
      {{"verify", dir_ + "/nothing.pkg"}, "verify needs --pub"},
      {{"keygen"}, "keygen needs -o NAME"},
      {{"launch"}, "unknown command \"launch\""},
  };
  for (const Case& c : cases) {
    const Result r = run(c.args);
    EXPECT_NE(r.status, 0) << c.args[0] << " " << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << "wanted: " << c.message << "\ngot: " << r.err;
    EXPECT_FALSE(fs::exists(dir_ + "/o"));
  }
  for (const char* command : {"keygen", "build", "bundle", "info", "verify"}) {
    const Result help = run({command, "--help"});
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_NE(help.out.find(command), std::string::npos) << help.out;
  }
  EXPECT_EQ(run({"--help"}).status, 0);
}

}  // namespace
}  // namespace deployboot
