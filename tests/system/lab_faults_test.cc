// Faults in the lab: an installation through a lossy link, a server killed
// in the middle of a package, and the board's power cut while it commits a
// package. The installer writes the only copy of a router's system, so
// none of these may leave a half-installed package behind.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "pkg/version.h"
#include "tests/system/package_builder.h"
#include "tests/system/lab_support.h"
#include "tests/system/package_sandbox.h"

namespace deployboot {
namespace {

namespace fs = std::filesystem;
using testing::pathExists;
using testing::readWholeFile;
using testing::TestPackage;
using testing::testPackage;
using testing::writeWholeFile;

constexpr Version v(uint8_t major, uint8_t minor) { return makeVersion(major, minor, 'f', 0); }

const std::string BIN = DEPLOYBOOT_BINARY_DIR;

std::string boardText() {
  return "name = 42Z\nlayout = single\npartitions = 48M\nmin-version = 6.0\ncpus = 2\n"
         "cmdline = console=ttyS0,115200\nerase-size = 128K\ninterfaces = 1\n";
}

// Bytes that do not compress, so that the package is as large on the wire.
std::string noise(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string out(size, '\0');
  for (auto& c : out) c = static_cast<char>(random());
  return out;
}

TestPackage withFiles(TestPackage p, std::vector<testing::TestFile> files) {
  p.files = std::move(files);
  return p;
}

using testing::has;

// The tree under root as path -> type, permission bits and content (the
// link text for links). Times are left out: they differ from run to run.
std::map<std::string, std::string> treeOf(const std::string& root) {
  std::map<std::string, std::string> tree;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    struct stat st;
    if (lstat(it->path().c_str(), &st) != 0) continue;
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o ", static_cast<unsigned>(st.st_mode & 07777));
    std::string value = mode;
    if (S_ISDIR(st.st_mode)) value += "dir";
    else if (S_ISLNK(st.st_mode)) value += "link " + fs::read_symlink(it->path(), ec).string();
    else if (S_ISREG(st.st_mode)) value += "file " + readWholeFile(it->path().string());
    else value += "other";
    tree[fs::relative(it->path(), root, ec).string()] = value;
  }
  return tree;
}

// The paths on which two trees differ, for a readable failure.
std::string differences(const std::map<std::string, std::string>& a,
                        const std::map<std::string, std::string>& b) {
  std::string out;
  for (const auto& [path, value] : a) {
    const auto other = b.find(path);
    if (other == b.end()) out += "  only in the first: " + path + "\n";
    else if (other->second != value) out += "  differs: " + path + "\n";
  }
  for (const auto& [path, value] : b)
    if (!a.count(path)) out += "  only in the second: " + path + "\n";
  return out;
}

// What an unfinished package leaves: the transaction's temporary files and
// the copy of the package file written while it arrives.
std::vector<std::string> temporaryFiles(const std::string& root) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec))
    if (it->path().filename().string().starts_with("tmp") || it->path() == root + "/image")
      found.push_back(fs::relative(it->path(), root, ec).string());
  return found;
}

// The argument vector of a process, NULs turned into blanks.
std::string commandLineOf(pid_t pid) {
  std::string text = readWholeFile("/proc/" + std::to_string(pid) + "/cmdline");
  for (auto& c : text)
    if (c == '\0') c = ' ';
  return text;
}

std::vector<pid_t> processes() {
  std::vector<pid_t> out;
  DIR* dir = opendir("/proc");
  if (!dir) return out;
  while (dirent* e = readdir(dir)) {
    const pid_t pid = std::atoi(e->d_name);
    if (pid > 0) out.push_back(pid);
  }
  closedir(dir);
  return out;
}

// Polls `condition` every 20 ms for at most `seconds`.
template <typename Condition>
bool waitFor(double seconds, Condition condition) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

struct LabRun {
  int status = -1;
  std::string console;
  std::string output;  // deploylab's own
  std::string flash;   // the kept board's flash after the run
};

class LabFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    DEPLOYBOOT_REQUIRE_ROOT();
    ASSERT_EQ(testing::missingLabProgram(), "") << "is not built";
    ASSERT_TRUE(testing::developmentKey(&key));
    char dir[] = "/tmp/lab-faults.XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    work = dir;
  }
  void TearDown() override {
    if (lab > 0) {
      ::kill(lab, SIGKILL);
      int status;
      waitpid(lab, &status, 0);
    }
    if (!work.empty()) fs::remove_all(work);
  }

  std::string file(const TestPackage& p) { return testing::packageFile(p, key); }

  // A directory of files for the server.
  std::string samples(const std::vector<std::pair<std::string, std::string>>& files) {
    const std::string dir = work + "/samples" + std::to_string(++sampleSets);
    fs::create_directories(dir);
    for (const auto& [name, bytes] : files) EXPECT_TRUE(writeWholeFile(dir + "/" + name, bytes));
    return dir;
  }

  // Starts deploylab on the board kept in work/<board>; finish() waits.
  void start(const std::string& board, const std::string& samplesDir,
             const std::vector<std::string>& extra = {}) {
    ASSERT_TRUE(writeWholeFile(work + "/board.conf", boardText()));
    std::vector<std::string> args = {BIN + "/deploylab", "run", "--quiet", "--timeout", "300",
                                     "--board", work + "/board.conf", "--keep-board",
                                     work + "/" + board, "--samples", samplesDir,
                                     "--installer", BIN + "/deployboot-vboard", "--nandfix",
                                     BIN + "/nandfix", "--server", BIN + "/deployserve"};
    args.insert(args.end(), extra.begin(), extra.end());
    boardDir = work + "/" + board;
    const std::string out = work + "/lab.out";
    lab = fork();
    ASSERT_GE(lab, 0);
    if (lab == 0) {
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
      }
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }

  LabRun finish() {
    LabRun result;
    int status = 0;
    // deploylab gives up after its own timeout of 300 s.
    const bool ended = waitFor(360, [&] { return waitpid(lab, &status, WNOHANG) == lab; });
    if (!ended) {
      ::kill(lab, SIGKILL);
      waitpid(lab, &status, 0);
    }
    lab = -1;
    result.status = ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.console = readWholeFile(boardDir + "/console.log");
    result.output = readWholeFile(work + "/lab.out");
    result.flash = boardDir + "/saved/0";
    return result;
  }

  LabRun run(const std::string& board, const std::string& samplesDir,
             const std::vector<std::string>& extra = {}) {
    start(board, samplesDir, extra);
    return finish();
  }

  // The installation server of the running lab: it serves samplesDir.
  pid_t serverOf(const std::string& samplesDir) {
    for (pid_t pid : processes()) {
      const std::string line = commandLineOf(pid);
      if (line.starts_with(BIN + "/deployserve ") && has(line, " " + samplesDir + " ")) return pid;
    }
    return -1;
  }

  // PID 1 of the running lab's board: the process whose root is the run's
  // ramdisk and which is the first of its PID namespace.
  pid_t boardInitOf() {
    std::string runDir;
    for (const auto& e : fs::directory_iterator("/tmp")) {
      const std::string name = e.path().filename().string();
      if (name.starts_with("deploylab-") &&
          std::atoi(readWholeFile(e.path().string() + "/pid").c_str()) == lab)
        runDir = e.path().string();
    }
    if (runDir.empty()) return -1;
    for (pid_t pid : processes()) {
      const std::string proc = "/proc/" + std::to_string(pid);
      std::error_code ec;
      if (fs::read_symlink(proc + "/root", ec).string() != runDir + "/ramdisk") continue;
      const std::string status = readWholeFile(proc + "/status");
      const size_t at = status.find("NSpid:");
      if (at == std::string::npos) continue;
      const std::string line = status.substr(at, status.find('\n', at) - at);
      if (line.ends_with("\t1")) return pid;
    }
    return -1;
  }

  SigningKey key;
  std::string work, boardDir;
  pid_t lab = -1;
  int sampleSets = 0;
};

#define EXPECT_CONSOLE_HAS(run, text) \
  EXPECT_TRUE(has((run).console, text)) << "console lacks: " << (text) << "\n" << (run).console

// A package set with a configuration script, dependent packages, modes,
// a link and 3 MiB that do not compress (about 800 data replies).
std::vector<std::pair<std::string, std::string>> installationSet(const SigningKey& key) {
  TestPackage system = withFiles(testPackage("system", v(6, 47)),
                                 {{"etc/system-version", "6.47\n"},
                                  {"bin/hello", "#!/bin/sh\necho hello\n", 0100755},
                                  {"etc/secret", "s", 0100600}});
  TestPackage web = withFiles(testPackage("web", v(1, 2)), {{"usr/bin/web", "web", 0100755}});
  web.dependencies = {{"system", v(6, 0), 0, 0}};
  TestPackage bulk = withFiles(testPackage("bulk", v(2, 0)),
                               {{"data/a", noise(1 << 20, 1)},
                                {"data/b", noise(1 << 20, 2)},
                                {"data/c", noise(1 << 20, 3)}});
  return {{"00-users.scr", "user add name=lab\n"},
          {"10-system.pkg", testing::packageFile(system, key)},
          {"20-web.pkg", testing::packageFile(web, key)},
          {"30-bulk.pkg", testing::packageFile(bulk, key)}};
}

TEST_F(LabFaults, InstallationThroughALossyLinkLeavesTheSameFlashAsACleanOne) {
  const std::string set = samples(installationSet(key));
  const LabRun clean = run("clean", set);
  ASSERT_EQ(clean.status, 0) << clean.console;
  for (const char* name : {"installed system-6.47", "installed web-1.2", "installed bulk-2.0"})
    EXPECT_CONSOLE_HAS(clean, name);
  const auto reference = treeOf(clean.flash);
  ASSERT_TRUE(reference.count("data/c")) << clean.console;

  const LabRun lossy = run("lossy", set, {"--faulty-link", "loss=10,duplicate=5,reorder=5,delay=2ms,seed=1"});
  ASSERT_EQ(lossy.status, 0) << lossy.console << lossy.output;
  EXPECT_FALSE(has(lossy.console, "ERROR")) << lossy.console;
  EXPECT_TRUE(has(lossy.output, "faulty link loss=10,duplicate=5,reorder=5,delay=2ms,seed=1"))
      << lossy.output;
  // The relay did drop, duplicate and reorder on both ways.
  const std::string counts = readWholeFile(boardDir + "/faulty-link.log");
  for (const char* way : {"board->server", "server->board"}) {
    const size_t at = counts.find(way);
    ASSERT_NE(at, std::string::npos) << counts;
    const std::string line = counts.substr(at, counts.find('\n', at) - at);
    for (const char* fault : {" dropped", " duplicated", " reordered"})
      EXPECT_FALSE(has(line, ", 0" + std::string(fault))) << line;
  }
  EXPECT_EQ(differences(reference, treeOf(lossy.flash)), "");
}

// 8 MiB through a link that only delays: about ten seconds on the wire,
// long enough to kill the server in the middle.
std::string bigPackage(const SigningKey& key) {
  TestPackage big = withFiles(testPackage("big", v(1, 0)),
                              {{"big/one", noise(4 << 20, 7)}, {"big/two", noise(4 << 20, 8)}});
  return testing::packageFile(big, key);
}

TEST_F(LabFaults, ServerKilledInTheMiddleOfAPackage) {
  TestPackage system = withFiles(testPackage("system", v(6, 47)),
                                 {{"etc/system-version", "6.47\n"}, {"bin/tool", "t", 0100755}});
  TestPackage after = withFiles(testPackage("after", v(1, 0)), {{"after/file", "a"}});
  const std::string set = samples({{"10-system.pkg", file(system)},
                                   {"20-big.pkg", bigPackage(key)},
                                   {"30-after.pkg", file(after)}});
  start("board", set, {"--faulty-link", "delay=2ms,seed=1"});
  const std::string serverLog = boardDir + "/server.log";
  ASSERT_TRUE(waitFor(120, [&] { return has(readWholeFile(serverLog), "sending 20-big.pkg"); }))
      << readWholeFile(serverLog);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const pid_t server = serverOf(set);
  ASSERT_GT(server, 0);
  // Still in the middle of the file.
  ASSERT_FALSE(has(readWholeFile(serverLog), "sent 20-big.pkg")) << readWholeFile(serverLog);
  ASSERT_EQ(::kill(server, SIGKILL), 0);
  const LabRun r = finish();

  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_CONSOLE_HAS(r, "FATAL ERROR: bad network connection");
  EXPECT_CONSOLE_HAS(r, "Press ENTER to reboot");
  EXPECT_CONSOLE_HAS(r, "installed system-6.47");
  EXPECT_FALSE(has(r.console, "Software installed."));
  // The earlier package is whole, nothing of the interrupted one is there.
  EXPECT_EQ(readWholeFile(r.flash + "/etc/system-version"), "6.47\n");
  EXPECT_EQ(readWholeFile(r.flash + "/bin/tool"), "t");
  EXPECT_TRUE(pathExists(r.flash + "/var/pdb/system/version"));
  for (const char* gone : {"/big", "/var/pdb/big", "/var/pdb/after", "/after"})
    EXPECT_FALSE(pathExists(r.flash + gone)) << gone;
  EXPECT_EQ(temporaryFiles(r.flash), std::vector<std::string>{});
}

TEST_F(LabFaults, PowerCutWhileCommittingThenTheNextInstallationIsClean) {
  // Thousands of small files make the commit long enough to be cut.
  constexpr int files = 4000;
  std::vector<testing::TestFile> many;
  for (int i = 0; i < files; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "many/f%04d", i);
    many.push_back({name, noise(600, static_cast<uint32_t>(100 + i))});
  }
  TestPackage system = withFiles(testPackage("system", v(6, 47)), {{"etc/system-version", "6.47\n"}});
  TestPackage manyPackage = withFiles(testPackage("many", v(3, 0)), many);
  const std::string set = samples({{"10-system.pkg", file(system)},
                                   {"20-many.pkg", file(manyPackage)}});
  start("board", set, {"--faulty-link", "delay=2ms,seed=1"});
  ASSERT_TRUE(waitFor(120, [&] {
    return has(readWholeFile(boardDir + "/server.log"), "sending 20-many.pkg");
  }));
  const pid_t init = boardInitOf();
  ASSERT_GT(init, 0);
  // The package's files are staged as temporary files in the flash's root;
  // the commit's first rename out of it is the moment to cut the power.
  const std::string flashRoot = "/proc/" + std::to_string(init) + "/root/vboard/store/0";
  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, flashRoot.c_str(), IN_MOVED_FROM), 0) << flashRoot;
  pollfd p = {watch, POLLIN, 0};
  const bool committing = poll(&p, 1, 120000) == 1;
  if (committing) ::kill(init, SIGKILL);
  ::close(watch);
  ASSERT_TRUE(committing) << "no commit within 120 s";
  const LabRun cut = finish();
  EXPECT_FALSE(has(cut.console, "Software installed.")) << cut.console;
  // "installed many-3.0" may already be on the console: it is printed
  // before the commit that the power cut interrupts.
  int committed = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(cut.flash + "/many", ec)) committed += e.is_regular_file();
  // Cut in the middle: some of the package's files are in place, not all.
  EXPECT_LT(committed, files) << "the power was cut after the commit";
  EXPECT_TRUE(pathExists(cut.flash + "/var/pdb/system/version"));

  // The next installation meets that flash, with the server asking to keep
  // the configuration: it formats and installs everything.
  const LabRun next = run("board", set, {"--keep-config"});
  ASSERT_EQ(next.status, 0) << next.console << next.output;
  EXPECT_CONSOLE_HAS(next, "installed system-6.47");
  EXPECT_CONSOLE_HAS(next, "installed many-3.0");
  EXPECT_FALSE(has(next.console, "ERROR")) << next.console;
  const auto tree = treeOf(next.flash);
  for (int i = 0; i < files; i += 97) {
    const auto found = tree.find(many[static_cast<size_t>(i)].name);
    ASSERT_NE(found, tree.end()) << many[static_cast<size_t>(i)].name;
    EXPECT_EQ(found->second, "0644 file " + many[static_cast<size_t>(i)].data);
  }
  int placed = 0;
  for (const auto& [path, value] : tree) placed += path.starts_with("many/f");
  EXPECT_EQ(placed, files);
  EXPECT_EQ(temporaryFiles(next.flash), std::vector<std::string>{});
}

}  // namespace
}  // namespace deployboot
