// The production mipsel installer on a real kernel: Debian's malta kernel
// under qemu, real UBI and ubifs on block2mtd flash backed by disk images, a
// pcnet NIC on a tap beside deployserve. A second boot mounts the flash and
// lists it, so what is checked is what the installed system would find.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "pkg/sha256.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;

const std::string SOURCE_DIR = DEPLOYBOOT_SOURCE_DIR;
const std::string BINARY_DIR = DEPLOYBOOT_BINARY_DIR;

std::string mipselInstaller() {
  const char* chosen = std::getenv("DEPLOYBOOT_MIPSEL_INSTALLER");
  return chosen && *chosen ? chosen : SOURCE_DIR + "/build/mipsel/deployboot";
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& data, fs::perms mode) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << data;
  fs::permissions(path, mode);
}

std::string hexSha256(const std::string& data) {
  const auto digest = deployboot::Sha256::of(data.data(), data.size());
  std::string hex;
  char b[3];
  for (uint8_t byte : digest) {
    std::snprintf(b, sizeof b, "%02x", byte);
    hex += b;
  }
  return hex;
}

// Bytes that do not compress, so the file crosses many transfer replies.
std::string noise(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  for (char& c : out) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 24);
  }
  return out;
}

struct FlashEntry {
  char kind = 0;  // 'F', 'D' or 'L'
  std::string sha256;
  long size = -1;
  std::string mode;
  std::string target;
};

// Parses the listing the read-back boot prints (lab/qemu/readback-init.sh).
std::map<std::string, FlashEntry> parseListing(const std::string& text) {
  std::map<std::string, FlashEntry> entries;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    FlashEntry e;
    std::string path;
    fields >> e.kind;
    if (e.kind == 'F') {
      fields >> e.sha256 >> e.size >> e.mode >> path;
    } else if (e.kind == 'D') {
      fields >> path;
    } else if (e.kind == 'L') {
      std::string arrow;
      fields >> path >> arrow >> e.target;
    }
    if (!path.empty()) entries[path] = e;
  }
  return entries;
}

struct Package {
  std::string name, version, file;
  std::vector<std::string> extra;  // more deploypkg build options
  std::map<std::string, std::pair<std::string, fs::perms>> files;
};

class QemuMaltaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DEPLOYBOOT_REQUIRE_ROOT();
    // Under CI everything below is built and set up by scripts/test.sh, so
    // a missing piece is a failure there, not a reason to skip.
    const std::vector<std::pair<std::string, std::string>> needed = {
        {SOURCE_DIR + "/build/qemu-malta/setup.done", "the kernel kit (lab/qemu/setup.sh)"},
        {mipselInstaller(), "the mipsel installer (scripts/build.sh --mipsel)"},
        {BINARY_DIR + "/deployserve", "deployserve"},
        {BINARY_DIR + "/deploypkg", "deploypkg"},
    };
    for (const auto& [path, what] : needed) {
      if (access(path.c_str(), F_OK) == 0) continue;
      if (deployboot::testing::runningInCi()) FAIL() << "missing " << what << ": " << path;
      GTEST_SKIP() << "missing " << what << ": " << path;
    }
    if (std::system("command -v qemu-system-mipsel >/dev/null") != 0) {
      if (deployboot::testing::runningInCi()) FAIL() << "qemu-system-mipsel is not installed";
      GTEST_SKIP() << "qemu-system-mipsel is not installed (lab/qemu/setup.sh)";
    }
    char pattern[] = "/tmp/qemu-malta-test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }

  void TearDown() override {
    if (!dir_.empty() && !HasFailure()) fs::remove_all(dir_);
    if (HasFailure()) std::fprintf(stderr, "qemu-malta run kept in %s\n", dir_.c_str());
  }

  void buildPackage(const Package& p) {
    const fs::path root = dir_ / ("root-" + p.name);
    for (const auto& [path, content] : p.files) writeFile(root / path, content.first, content.second);
    std::string command = BINARY_DIR + "/deploypkg build --name " + p.name + " --version " +
                          p.version + " --arch mipsle --key " + SOURCE_DIR +
                          "/keys/development.key --root " + root.string() + " -o " +
                          (dir_ / "offer" / p.file).string();
    for (const std::string& option : p.extra) command += " " + option;
    fs::create_directories(dir_ / "offer");
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }

  int runBoard() {
    const std::string command = SOURCE_DIR + "/lab/qemu/run.sh --quiet --timeout 300" +
                                " --deployboot " + mipselInstaller() + " --server " +
                                BINARY_DIR + "/deployserve --packages " +
                                (dir_ / "offer").string() + " --work " +
                                (dir_ / "work").string() + " >" +
                                (dir_ / "run.log").string() + " 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  fs::path dir_;
};

TEST_F(QemuMaltaTest, InstallsSignedPackagesOntoUbiFlashThatReadsBackAfterTheReboot) {
  const fs::perms plain = fs::perms(0644), program = fs::perms(0755);
  Package base{"qlab-base", "1.0", "1-qlab-base.pkg", {}, {}};
  base.files["usr/lib/qlab/base.txt"] = {"base 1.0\n", plain};
  // Large enough for dozens of transfer replies and several flash pages.
  base.files["usr/bin/qlab-tool"] = {noise(150 * 1024 + 7, 1), program};
  // An image part makes the database keep the whole package file.
  writeFile(dir_ / "base-image.bin", noise(20000, 2), plain);
  base.extra.push_back("--image " + (dir_ / "base-image.bin").string());
  Package app{"qlab-app", "2.0", "2-qlab-app.pkg", {"--depends 'qlab-base>=1.0'"}, {}};
  app.files["etc/qlab/app.conf"] = {"answer=42\n", plain};
  buildPackage(base);
  buildPackage(app);
  const std::string script = "echo configured by the lab\n";
  writeFile(dir_ / "offer" / "qlab.scr", script, plain);

  ASSERT_EQ(runBoard(), 0) << readFile(dir_ / "run.log") << readFile(dir_ / "work/install.log");

  const std::string console = readFile(dir_ / "work/install.log");
  EXPECT_EQ(console.find("FATAL ERROR"), std::string::npos) << console;
  EXPECT_EQ(console.find("ERROR: could not"), std::string::npos) << console;
  const size_t installed = console.find("Software installed.");
  ASSERT_NE(installed, std::string::npos) << console;
  const size_t rebooting = console.find("Rebooting...", installed);
  ASSERT_NE(rebooting, std::string::npos) << console;
  EXPECT_EQ(console.find("Rebooting...", rebooting + 1), std::string::npos) << console;

  const auto flash = parseListing(readFile(dir_ / "work/flash.txt"));
  ASSERT_FALSE(flash.empty()) << readFile(dir_ / "work/readback.log");
  for (const char* d : {"rw", "vela", "vela/etc", "var", "var/pdb"}) {
    EXPECT_EQ(flash.count(d) ? flash.at(d).kind : 0, 'D') << "base directory /flash/" << d;
  }
  for (const Package* p : {&base, &app}) {
    for (const auto& [path, content] : p->files) {
      ASSERT_TRUE(flash.count(path)) << p->name << " did not install " << path;
      const FlashEntry& e = flash.at(path);
      EXPECT_EQ(e.kind, 'F') << path;
      EXPECT_EQ(e.size, static_cast<long>(content.first.size())) << path;
      EXPECT_EQ(e.sha256, hexSha256(content.first)) << path;
      EXPECT_EQ(e.mode, content.second == program ? "755" : "644") << path;
    }
  }
  // A package with an image is recorded by the package file itself, kept as
  // it arrived; one without is recorded in text files and leaves no copy.
  for (const char* entry : {"version", "files", "deps"}) {
    const std::string path = std::string("var/pdb/qlab-app/") + entry;
    EXPECT_EQ(flash.count(path) ? flash.at(path).kind : 0, 'F') << "database lacks " << path;
  }
  ASSERT_TRUE(flash.count("var/pdb/qlab-base/image")) << "no stored package file for qlab-base";
  EXPECT_EQ(flash.at("var/pdb/qlab-base/image").sha256,
            hexSha256(readFile(dir_ / "offer" / base.file)));
  EXPECT_EQ(flash.count("var/pdb/qlab-app/image"), 0u);
  EXPECT_EQ(flash.count("image"), 0u);
  for (const auto& [path, entry] : flash) {
    EXPECT_FALSE(fs::path(path).filename().string().starts_with("tmp"))
        << "temporary file left on flash: " << path;
  }
  // A configuration script arrived, so the first boot keeps it.
  EXPECT_EQ(flash.count("rw/RESET"), 0u);
  EXPECT_EQ(flash.count("rw/REBOOT") ? flash.at("rw/REBOOT").kind : 0, 'F');
  ASSERT_TRUE(flash.count("qlab.scr")) << "configuration script not written to /flash";
  EXPECT_EQ(flash.at("qlab.scr").sha256, hexSha256(script));
}

}  // namespace
