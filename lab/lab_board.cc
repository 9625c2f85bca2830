#include "lab/lab_board.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "lab/lab_util.h"

namespace fs = std::filesystem;

namespace deployboot::lab {
namespace {

// The modules the installer loads, at the paths it looks for them.
const char* const MODULES[] = {
    "misc/flash.ko",
    "kernel/net/netfilter/nf_conntrack.ko",
    "drivers/net/packet_hook.ko",
    "drivers/net/phy_helper.ko",
    "drivers/net/phy_amcc_qt2025.ko",
    "drivers/net/phy_ti_tlk10232.ko",
    "drivers/net/switch.ko",
    "drivers/net/sfp_helper.ko",
    "drivers/net/aths16.ko",
    "drivers/net/ath8327.ko",
    "drivers/net/rtl8367.ko",
    "misc/spi_ssr.ko",
    "drivers/net/prestera_dx_mac.ko",
    "misc/prestera_pci.ko",
    "drivers/net/mediatek_switch.ko",
    "drivers/net/raether.ko",
    "misc/panics.ko",
};

std::string storeDir(const std::string& boardDir, size_t n) {
  return boardDir + "/store/" + std::to_string(n);
}

// Copies the contents of `from` into `to`, in this process: after the
// board's PID 1 has gone, its namespace allows no further forks.
void copyTree(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks |
                         fs::copy_options::overwrite_existing, ec);
  if (ec) std::fprintf(stderr, "deploylab: copying %s: %s\n", from.c_str(), ec.message().c_str());
}

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "deploylab: board: %s: %s\n", what.c_str(), std::strerror(errno));
  _exit(3);
}

void mountStores(const BoardPaths& paths, const vboard::BoardSpec& spec) {
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) die("private mounts");
  const std::string inner = paths.ramdisk + "/vboard";
  if (::mount(paths.boardDir.c_str(), inner.c_str(), nullptr, MS_BIND, nullptr) != 0)
    die("bind " + paths.boardDir);
  for (size_t n = 0; n < spec.partitionSizes.size(); ++n) {
    const std::string store = storeDir(inner, n);
    const std::string options = "mode=0755,size=" + std::to_string(spec.partitionSizes[n]);
    if (::mount("vboard-mtd", store.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
      die("store " + store);
    const std::string saved = paths.boardDir + "/saved/" + std::to_string(n);
    if (fs::is_directory(saved)) copyTree(saved, store);
  }
}

void saveStores(const BoardPaths& paths, const vboard::BoardSpec& spec) {
  const std::string inner = paths.ramdisk + "/vboard";
  for (size_t n = 0; n < spec.partitionSizes.size(); ++n) {
    const std::string saved = paths.boardDir + "/saved/" + std::to_string(n);
    std::error_code ignored;
    fs::remove_all(saved, ignored);
    fs::create_directories(saved, ignored);
    copyTree(storeDir(inner, n), saved);
  }
}

void bringLinksUp(const BoardPaths& paths, const vboard::BoardSpec& spec) {
  runCommand({"ip", "link", "set", "lo", "up"});
  for (unsigned n = 0; n < spec.interfaces; ++n) {
    const std::string name = "eth" + std::to_string(n);
    runCommand({"ip", "link", "set", paths.linkPrefix + std::to_string(n), "name", name});
    runCommand({"ip", "link", "set", name, "up"});
  }
}

[[noreturn]] void execInstaller(const BoardPaths& paths, const vboard::BoardSpec& spec,
                                const std::string& ttyPath) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The first process of the new PID namespace: commands run from here on
  // are its children, so the namespace lives until the installer ends.
  bringLinksUp(paths, spec);
  for (int sig : {SIGINT, SIGHUP, SIGTERM, SIGPIPE}) signal(sig, SIG_DFL);
  setsid();
  const int tty = ::open(ttyPath.c_str(), O_RDWR);
  if (tty < 0) die("open " + ttyPath);
  ioctl(tty, TIOCSCTTY, 0);
  dup2(tty, 0);
  dup2(tty, 1);
  dup2(tty, 2);
  for (int fd = 3; fd < 1024; ++fd) ::close(fd);
  if (chroot(paths.ramdisk.c_str()) != 0 || chdir("/") != 0) die("chroot");
  std::vector<std::string> env = {"PATH=/sbin:/bin", "HOME=/", "TERM=linux",
                                  "DEPLOYBOOT_VBOARD=/vboard"};
  if (spec.activepart) env.push_back("activepart=" + *spec.activepart);
  if (spec.bootimage) env.push_back("bootimage=" + *spec.bootimage);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char init[] = "/init";
  char* argv[] = {init, nullptr};
  execve("/init", argv, envp.data());
  die("exec /init");
}

// The partition bound at `target` by the last successful mount of this
// boot, from the board log; -1 if none.
int mtdMountedAt(const std::string& log, const std::string& target) {
  std::stringstream in(log);
  std::string line;
  int mtd = -1;
  while (std::getline(in, line)) {
    std::stringstream words(line);
    std::string verb, source, where;
    if (!(words >> verb >> source >> where) || verb != "mount" || where != target) continue;
    const size_t at = line.rfind(" -> ok mtd=");
    if (at != std::string::npos) mtd = std::atoi(line.c_str() + at + 11);
  }
  return mtd;
}

void listFiles(std::ostream& out, const std::string& root) {
  std::vector<std::string> lines;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    const fs::path rel = fs::relative(it->path(), root, ec);
    std::string line = "  /" + rel.string();
    if (it->is_symlink(ec)) line += " -> " + fs::read_symlink(it->path(), ec).string();
    else if (it->is_directory(ec)) line += "/";
    else line += " (" + std::to_string(it->file_size(ec)) + " bytes)";
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  const size_t shown = std::min<size_t>(lines.size(), 200);
  for (size_t i = 0; i < shown; ++i) out << lines[i] << "\n";
  if (lines.size() > shown) out << "  ... and " << lines.size() - shown << " more\n";
  if (lines.empty()) out << "  (empty)\n";
}

void writeSummary(const BoardPaths& paths, const std::string& bootLog) {
  std::ostringstream out;
  const std::string inner = paths.ramdisk + "/vboard";
  const int flash = mtdMountedAt(bootLog, "/flash");
  const int boot = mtdMountedAt(bootLog, "/flash/boot");
  if (flash < 0) {
    out << "flash: never mounted at /flash\n";
  } else {
    const std::string root = storeDir(inner, static_cast<size_t>(flash));
    out << "flash: /flash was mtd" << flash;
    if (boot >= 0) out << ", /flash/boot was mtd" << boot;
    out << "\n";
    out << "packages in /flash/var/pdb:";
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(root + "/var/pdb", ec))
      if (e.is_directory()) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    for (const auto& n : names) out << " " << n;
    out << (names.empty() ? " (none)\n" : "\n");
    out << "markers:\n";
    for (const char* marker : {"rw/RESET", "rw/REBOOT", "UPGRADED", "bootimage"}) {
      const std::string path = root + "/" + marker;
      out << "  /flash/" << marker << ": ";
      if (!fs::exists(path)) out << "absent\n";
      else if (std::string(marker) == "rw/RESET") out << "\"" << readText(path) << "\"\n";
      else out << "present\n";
    }
    out << "files on /flash (mtd" << flash << "):\n";
    listFiles(out, root);
    if (boot >= 0 && boot != flash) {
      out << "files on /flash/boot (mtd" << boot << "):\n";
      listFiles(out, storeDir(inner, static_cast<size_t>(boot)));
    }
  }
  writeText(paths.summaryFile, out.str());
}

}  // namespace

bool buildRamdisk(const std::string& root, const std::string& installer,
                  const std::string& nandfix, std::string* error) {
  std::error_code ec;
  for (const char* dir : {"sbin", "bin", "proc", "dev", "sys", "flash", "ram", "tmp", "vboard"})
    fs::create_directories(root + "/" + dir, ec);
  fs::copy_file(installer, root + "/init", fs::copy_options::overwrite_existing, ec);
  if (ec) {
    *error = "cannot copy " + installer + ": " + ec.message();
    return false;
  }
  fs::copy_file(nandfix, root + "/sbin/nandfix", fs::copy_options::overwrite_existing, ec);
  if (ec) {
    *error = "cannot copy " + nandfix + ": " + ec.message();
    return false;
  }
  const std::string modules = root + "/lib/modules/" + kernelRelease() + "/";
  for (const char* m : MODULES) {
    const fs::path path = modules + m;
    fs::create_directories(path.parent_path(), ec);
    if (!writeText(path, std::string("virtual module ") + m + "\n")) {
      *error = "cannot write " + path.string();
      return false;
    }
  }
  return true;
}

bool prepareBoardDirectory(const std::string& dir, const std::string& boardText,
                           const vboard::BoardSpec& spec, std::string* error) {
  std::error_code ec;
  fs::create_directories(dir + "/run", ec);
  for (size_t n = 0; n < spec.partitionSizes.size(); ++n)
    fs::create_directories(storeDir(dir, n), ec);
  if (ec || !writeText(dir + "/board.conf", boardText)) {
    *error = "cannot prepare board directory " + dir;
    return false;
  }
  // UBI attachments and mounts belong to one boot and are kept in /dev.
  return true;
}

void runBoardLauncher(const BoardPaths& paths, const vboard::BoardSpec& spec,
                      const std::string& ttyPath, int reportFd) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  sethostname("vboard", 6);
  mountStores(paths, spec);
  const std::string logPath = paths.boardDir + "/board.log";
  std::error_code ec;
  const auto logStart = fs::exists(logPath) ? fs::file_size(logPath, ec) : 0;
  const pid_t init = fork();
  if (init < 0) die("fork");
  if (init == 0) execInstaller(paths, spec, ttyPath);
  ssize_t ignored = ::write(reportFd, &init, sizeof init);
  (void)ignored;
  ::close(reportFd);
  int status = 0;
  while (waitpid(init, &status, 0) < 0 && errno == EINTR) {
  }
  std::string log = readText(logPath);
  writeSummary(paths, log.size() > logStart ? log.substr(logStart) : std::string());
  if (paths.keepStores) saveStores(paths, spec);
  _exit(0);
}

}  // namespace deployboot::lab
