// The board seam on the lab's virtual board. Nothing reaches the host
// kernel's module loader, flash or reboot: module loads, device requests
// and the reboot are recorded in the board log, the board's devices are
// plain files in a tmpfs /dev that this file answers for, and mounting a
// flash file system becomes a bind mount of the partition's store. The
// errors are those the real kernel gives in the same situation.
#include <fcntl.h>
#include <mtd/mtd-abi.h>
#include <mtd/ubi-user.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "lab/vboard/board_state.h"
#include "support/board.h"

namespace deployboot::board {
namespace {

using vboard::BoardSpec;
using vboard::logLine;
using vboard::PartitionState;

constexpr unsigned long FLASH_READ_NAME = 0x40204605;
constexpr unsigned long FLASH_READ_TAG = 0xC0044626;
constexpr uint16_t TAG_MIN_VERSION = 37;
constexpr unsigned MTD_BLOCK_MAJOR = 31;

// Files the virtual devices and the runtime state live in. Only a /dev and
// /sys mounted by this board carry the marker; nothing is written into a
// host's real /dev or /sys.
constexpr const char* DEV_MARKER = "/dev/.vboard";
constexpr const char* SYS_MARKER = "/sys/.vboard";
constexpr const char* MOUNT_TABLE = "/dev/.vboard-mounts";  // "TARGET MTD" lines

struct Device {
  enum Kind { Flash, Mtd, UbiCtrl, Ubi, Panics, Block } kind;
  unsigned number = 0;
};

std::map<int, Device> openDevices;

// The partition the last successful flash mount bound, for the log.
int lastBoundMtd = -1;

int failWith(int error) {
  errno = error;
  return -1;
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool writeFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

// A device file's first line: "vboard KIND [NUMBER]".
bool deviceOf(const std::string& path, Device* device) {
  std::ifstream in(path);
  std::string magic, kind;
  if (!(in >> magic >> kind) || magic != "vboard") return false;
  static const std::map<std::string, Device::Kind> kinds = {
      {"flash", Device::Flash}, {"mtd", Device::Mtd},       {"ubi_ctrl", Device::UbiCtrl},
      {"ubi", Device::Ubi},     {"panics", Device::Panics}, {"block", Device::Block}};
  auto it = kinds.find(kind);
  if (it == kinds.end()) return false;
  device->kind = it->second;
  if (device->kind == Device::Ubi || device->kind == Device::Mtd || device->kind == Device::Block)
    if (!(in >> device->number)) return false;
  return true;
}

std::string errnoName(int error) {
  const char* name = strerrorname_np(error);
  return name ? name : std::to_string(error);
}

bool loadSpec(BoardSpec* spec) {
  std::string error;
  if (vboard::loadBoard(spec, &error)) return true;
  logLine("board: " + error);
  return false;
}

// ---- mount table of flash partitions (for EBUSY) ----

std::map<std::string, unsigned> readMountTable() {
  std::map<std::string, unsigned> table;
  std::ifstream in(MOUNT_TABLE);
  std::string target;
  unsigned mtd;
  while (in >> target >> mtd) table[target] = mtd;
  return table;
}

void writeMountTable(const std::map<std::string, unsigned>& table) {
  std::string text;
  for (const auto& [target, mtd] : table) text += target + " " + std::to_string(mtd) + "\n";
  writeFile(MOUNT_TABLE, text);
}

bool partitionMounted(unsigned mtd) {
  for (const auto& [target, m] : readMountTable())
    if (m == mtd) return true;
  return false;
}

int bindPartition(unsigned mtd, const char* target, unsigned long flags) {
  if (partitionMounted(mtd)) return failWith(EBUSY);
  const std::string store = vboard::storePath(mtd);
  if (::mount(store.c_str(), target, nullptr, MS_BIND, nullptr) != 0) return -1;
  if (flags & MS_RDONLY)
    ::mount(nullptr, target, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr);
  auto table = readMountTable();
  table[target] = mtd;
  writeMountTable(table);
  lastBoundMtd = static_cast<int>(mtd);
  return 0;
}

// ---- UBI ----

std::string ubiDevicePath(unsigned ubi) { return "/dev/ubi" + std::to_string(ubi); }
std::string ubiSysPath(unsigned ubi) { return "/sys/class/ubi/ubi" + std::to_string(ubi); }

// The MTD partition that UBI device `ubi` is attached to; false if none.
bool attachedMtd(unsigned ubi, unsigned* mtd) {
  std::ifstream in(ubiDevicePath(ubi));
  std::string magic, kind, key;
  unsigned number;
  return (in >> magic >> kind >> number >> key >> *mtd) && magic == "vboard" && key == "mtd";
}

uint64_t availableLebs(const BoardSpec& spec, unsigned mtd, const PartitionState& state) {
  uint64_t used = 0;
  for (const auto& v : state.volumes) used += v.lebs;
  const uint64_t usable = vboard::ubiUsableLebs(spec, mtd);
  return usable > used ? usable - used : 0;
}

void writeUbiSysfs(unsigned ubi, unsigned mtd, const BoardSpec& spec, const PartitionState& state) {
  if (!exists(SYS_MARKER)) return;
  const std::string dir = ubiSysPath(ubi);
  ::mkdir(dir.c_str(), 0755);
  writeFile(dir + "/avail_eraseblocks",
            std::to_string(availableLebs(spec, mtd, state)) + "\n");
  writeFile(dir + "/eraseblock_size", std::to_string(vboard::ubiLebSize(spec)) + "\n");
  writeFile(dir + "/mtd_num", std::to_string(mtd) + "\n");
}

int attach(ubi_attach_req* request) {
  BoardSpec spec;
  if (!loadSpec(&spec)) return failWith(ENODEV);
  if (request->mtd_num < 0 || static_cast<size_t>(request->mtd_num) >= spec.partitionSizes.size())
    return failWith(ENODEV);
  const unsigned mtd = static_cast<unsigned>(request->mtd_num);
  int ubi = request->ubi_num;
  if (ubi == UBI_DEV_NUM_AUTO) {
    ubi = 0;
    while (ubi < 32 && exists(ubiDevicePath(ubi))) ++ubi;
  }
  if (ubi < 0 || ubi >= 32) return failWith(EINVAL);
  if (exists(ubiDevicePath(ubi))) return failWith(EEXIST);
  for (unsigned other = 0; other < 32; ++other) {
    unsigned m;
    if (attachedMtd(other, &m) && m == mtd) return failWith(EEXIST);
  }
  PartitionState state;
  if (!vboard::loadPartitionState(mtd, &state)) return failWith(EIO);
  if (state.format == PartitionState::Yaffs) return failWith(EINVAL);  // not a UBI image
  if (state.format == PartitionState::Erased) {
    // UBI formats an empty partition when attaching it.
    state.format = PartitionState::Ubi;
    if (!vboard::savePartitionState(mtd, state)) return failWith(EIO);
  }
  if (!writeFile(ubiDevicePath(ubi), "vboard ubi " + std::to_string(ubi) + "\nmtd " +
                                         std::to_string(mtd) + "\n"))
    return failWith(ENOMEM);
  writeUbiSysfs(static_cast<unsigned>(ubi), mtd, spec, state);
  request->ubi_num = ubi;
  return 0;
}

void removeTree(const std::string& dir) {
  for (const char* name : {"avail_eraseblocks", "eraseblock_size", "mtd_num"})
    ::unlink((dir + "/" + name).c_str());
  ::rmdir(dir.c_str());
}

int detach(int32_t ubi) {
  unsigned mtd;
  if (ubi < 0 || !attachedMtd(static_cast<unsigned>(ubi), &mtd)) return failWith(EINVAL);
  if (partitionMounted(mtd)) return failWith(EBUSY);
  ::unlink(ubiDevicePath(ubi).c_str());
  if (exists(SYS_MARKER)) removeTree(ubiSysPath(ubi));
  return 0;
}

int makeVolume(unsigned ubi, ubi_mkvol_req* request) {
  unsigned mtd;
  if (!attachedMtd(ubi, &mtd)) return failWith(ENODEV);
  BoardSpec spec;
  if (!loadSpec(&spec)) return failWith(ENODEV);
  const int nameLength = request->name_len;
  if (nameLength <= 0 || nameLength > UBI_MAX_VOLUME_NAME ||
      strnlen(request->name, UBI_MAX_VOLUME_NAME + 1) != static_cast<size_t>(nameLength))
    return failWith(EINVAL);
  if (request->vol_type != UBI_DYNAMIC_VOLUME && request->vol_type != UBI_STATIC_VOLUME)
    return failWith(EINVAL);
  if (request->alignment != 1 || request->bytes <= 0) return failWith(EINVAL);
  const std::string name(request->name, static_cast<size_t>(nameLength));
  if (name.find_first_of(" \t\n") != std::string::npos) return failWith(EINVAL);
  PartitionState state;
  if (!vboard::loadPartitionState(mtd, &state)) return failWith(EIO);
  for (const auto& v : state.volumes)
    if (v.name == name) return failWith(EEXIST);
  const uint64_t leb = vboard::ubiLebSize(spec);
  const uint64_t lebs = (static_cast<uint64_t>(request->bytes) + leb - 1) / leb;
  if (lebs > availableLebs(spec, mtd, state)) return failWith(ENOSPC);
  state.volumes.push_back({name, lebs});
  if (!vboard::savePartitionState(mtd, state)) return failWith(EIO);
  writeUbiSysfs(ubi, mtd, spec, state);
  request->vol_id = static_cast<int32_t>(state.volumes.size() - 1);
  return 0;
}

// ---- devices ----

int answerFlash(unsigned long request, void* argument) {
  BoardSpec spec;
  if (!loadSpec(&spec)) return failWith(EIO);
  if (request == FLASH_READ_NAME) {
    char* name = static_cast<char*>(argument);
    std::memset(name, 0, 32);
    std::memcpy(name, spec.name.data(), std::min<size_t>(spec.name.size(), 31));
    return 0;
  }
  if (request == FLASH_READ_TAG) {
    // Native byte order: length u16, tag u16, value u32.
    unsigned char* record = static_cast<unsigned char*>(argument);
    uint16_t tag;
    std::memcpy(&tag, record + 2, sizeof tag);
    if (tag != TAG_MIN_VERSION) return failWith(EINVAL);
    std::memcpy(record + 4, &spec.minVersion, sizeof spec.minVersion);
    return 0;
  }
  return failWith(ENOTTY);
}

int answerMtd(unsigned mtd, unsigned long request, void* argument) {
  if (request != MEMGETINFO) return failWith(ENOTTY);
  BoardSpec spec;
  if (!loadSpec(&spec) || mtd >= spec.partitionSizes.size()) return failWith(ENODEV);
  mtd_info_user info{};
  info.type = MTD_NANDFLASH;
  info.flags = MTD_CAP_NANDFLASH;
  info.size = static_cast<uint32_t>(spec.partitionSizes[mtd]);
  info.erasesize = spec.eraseSize;
  info.writesize = 2048;
  info.oobsize = 64;
  std::memcpy(argument, &info, sizeof info);
  return 0;
}

std::string hex(unsigned long value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%lX", value);
  return text;
}

// ---- pseudo file systems ----

int mountProc(const char* target, unsigned long flags, const void* data) {
  if (::mount("proc", target, "proc", flags, data) != 0) return -1;
  BoardSpec spec;
  const bool known = loadSpec(&spec);
  const std::string run = vboard::boardDirectory() + "/run";
  ::mkdir(run.c_str(), 0755);
  const std::string cmdline = run + "/cmdline", stat = run + "/stat";
  writeFile(cmdline, (known ? vboard::kernelCommandLine(spec) : std::string()) + "\n");
  writeFile(stat, vboard::procStatText(known ? spec.cpus : 1));
  const std::string t = target;
  if (::mount(cmdline.c_str(), (t + "/cmdline").c_str(), nullptr, MS_BIND, nullptr) != 0 ||
      ::mount(stat.c_str(), (t + "/stat").c_str(), nullptr, MS_BIND, nullptr) != 0) {
    const int error = errno;
    ::umount2(target, MNT_DETACH);
    return failWith(error);
  }
  return 0;
}

int mountDev(const char* target) {
  if (::mount("tmpfs", target, "tmpfs", MS_NOSUID, "mode=0755,size=1m") != 0) return -1;
  const std::string t = target;
  struct Node {
    const char* name;
    unsigned minor;
  };
  for (Node n : {Node{"null", 3}, Node{"zero", 5}, Node{"random", 8}, Node{"urandom", 9}})
    ::mknod((t + "/" + n.name).c_str(), S_IFCHR | 0666, makedev(1, n.minor));
  ::mknod((t + "/tty").c_str(), S_IFCHR | 0666, makedev(5, 0));
  writeFile(t + "/.vboard", "");
  writeFile(t + "/ubi_ctrl", "vboard ubi_ctrl\n", 0600);
  BoardSpec spec;
  if (loadSpec(&spec))
    for (size_t i = 0; i < spec.partitionSizes.size(); ++i)
      writeFile(t + "/mtd" + std::to_string(i), "vboard mtd " + std::to_string(i) + "\n", 0600);
  return 0;
}

int mountSys(const char* target) {
  if (::mount("tmpfs", target, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=1m") != 0)
    return -1;
  const std::string t = target;
  ::mkdir((t + "/class").c_str(), 0755);
  ::mkdir((t + "/class/ubi").c_str(), 0755);
  writeFile(t + "/.vboard", "");
  return 0;
}

// "ubiN:NAME" as ubifs.
int mountUbifs(const char* source, const char* target, unsigned long flags) {
  unsigned ubi = 0;
  int consumed = 0;
  if (!source || std::sscanf(source, "ubi%u:%n", &ubi, &consumed) != 1 || consumed == 0 ||
      source[consumed] == '\0')
    return failWith(EINVAL);
  const std::string volume = source + consumed;
  unsigned mtd;
  if (!attachedMtd(ubi, &mtd)) return failWith(ENODEV);
  PartitionState state;
  if (!vboard::loadPartitionState(mtd, &state)) return failWith(EIO);
  bool found = false;
  for (const auto& v : state.volumes) found = found || v.name == volume;
  if (!found) return failWith(ENODEV);
  BoardSpec spec;
  if (!loadSpec(&spec)) return failWith(ENODEV);
  if (spec.unmountable.count(mtd)) return failWith(EINVAL);
  return bindPartition(mtd, target, flags);
}

// A block node made by makeNode, as yaffs.
int mountYaffs(const char* source, const char* target, unsigned long flags) {
  if (!source || !exists(source)) return failWith(ENOENT);
  Device device;
  if (!deviceOf(source, &device) || device.kind != Device::Block) return failWith(ENOTBLK);
  BoardSpec spec;
  if (!loadSpec(&spec)) return failWith(ENXIO);
  const unsigned mtd = device.number;
  if (mtd >= spec.partitionSizes.size()) return failWith(ENXIO);
  PartitionState state;
  if (!vboard::loadPartitionState(mtd, &state)) return failWith(EIO);
  if (state.format == PartitionState::Ubi || spec.unmountable.count(mtd)) return failWith(EINVAL);
  if (state.format == PartitionState::Erased) {
    // yaffs takes an erased partition as an empty file system.
    state.format = PartitionState::Yaffs;
    if (!vboard::savePartitionState(mtd, state)) return failWith(EIO);
  }
  return bindPartition(mtd, target, flags);
}

}  // namespace

int loadModule(const char* path, const void*, size_t size, const char* parameters) {
  const std::string module = path ? path : "";
  logLine("module " + module + " size=" + std::to_string(size) + " params=" +
          (parameters ? parameters : ""));
  if (exists(DEV_MARKER)) {
    if (module == "misc/flash.ko") writeFile("/dev/flash", "vboard flash\n", 0600);
    if (module == "misc/panics.ko") writeFile("/dev/panics", "vboard panics\n", 0600);
  }
  return 0;
}

int mount(const char* source, const char* target, const char* type, unsigned long flags,
          const void* data) {
  const std::string t = type ? type : "";
  lastBoundMtd = -1;
  int result;
  if (t == "proc") result = mountProc(target, flags, data);
  else if (t == "devtmpfs") result = mountDev(target);
  else if (t == "sysfs") result = mountSys(target);
  else if (t == "ubifs") result = mountUbifs(source, target, flags);
  else if (t == "yaffs" || t == "yaffs2") result = mountYaffs(source, target, flags);
  else result = ::mount(source, target, type, flags, data);
  const int error = errno;
  logLine("mount " + std::string(source ? source : "-") + " " + (target ? target : "-") + " " +
          (t.empty() ? "-" : t) + " flags=" + hex(flags) +
          ((data && (t == "ubifs" || t == "yaffs")) ? " data=" + std::string(static_cast<const char*>(data)) : "") +
          " -> " + (result == 0 ? "ok" : errnoName(error)) +
          (result == 0 && lastBoundMtd >= 0 ? " mtd=" + std::to_string(lastBoundMtd) : ""));
  errno = error;
  return result;
}

int umount(const char* target) {
  const int result = ::umount(target);
  const int error = errno;
  if (result == 0) {
    auto table = readMountTable();
    if (table.erase(target)) writeMountTable(table);
  }
  logLine("umount " + std::string(target) + " -> " + (result == 0 ? "ok" : errnoName(error)));
  errno = error;
  return result;
}

int makeNode(const char* path, mode_t mode, dev_t device) {
  int result;
  if (!S_ISBLK(mode) || major(device) != MTD_BLOCK_MAJOR) {
    // The board has no other block or character devices to make.
    result = failWith(EPERM);
  } else if (exists(path)) {
    result = failWith(EEXIST);
  } else {
    result = writeFile(path, "vboard block " + std::to_string(minor(device)) + "\n", mode & 07777)
                 ? 0
                 : -1;
  }
  const int error = errno;
  logLine("mknod " + std::string(path) + " " + std::to_string(major(device)) + ":" +
          std::to_string(minor(device)) + " mode=" + hex(mode) + " -> " +
          (result == 0 ? "ok" : errnoName(error)));
  errno = error;
  return result;
}

int openDevice(const char* path, int flags) {
  const int handle = ::open(path, flags);
  if (handle < 0) return -1;
  Device device;
  if (deviceOf(path, &device)) openDevices[handle] = device;
  return handle;
}

int controlDevice(int handle, unsigned long request, void* argument) {
  auto it = openDevices.find(handle);
  if (it == openDevices.end()) return ::ioctl(handle, request, argument);
  const Device device = it->second;
  int result;
  std::string what;
  switch (device.kind) {
    case Device::Flash:
      return answerFlash(request, argument);
    case Device::Mtd:
      return answerMtd(device.number, request, argument);
    case Device::Panics:
      logLine("panics request " + hex(request));
      return 0;
    case Device::Block:
      return failWith(ENOTTY);
    case Device::UbiCtrl:
      if (request == UBI_IOCATT) {
        auto* r = static_cast<ubi_attach_req*>(argument);
        const int mtd = r->mtd_num, ubi = r->ubi_num;
        result = attach(r);
        what = "ubi attach mtd=" + std::to_string(mtd) + " ubi=" + std::to_string(ubi);
      } else if (request == UBI_IOCDET) {
        int32_t ubi;
        std::memcpy(&ubi, argument, sizeof ubi);
        result = detach(ubi);
        what = "ubi detach ubi=" + std::to_string(ubi);
      } else {
        return failWith(ENOTTY);
      }
      break;
    case Device::Ubi:
      if (request != UBI_IOCMKVOL) return failWith(ENOTTY);
      {
        auto* r = static_cast<ubi_mkvol_req*>(argument);
        result = makeVolume(device.number, r);
        what = "ubi mkvol ubi=" + std::to_string(device.number) + " name=" +
               std::string(r->name, strnlen(r->name, sizeof r->name)) +
               " bytes=" + std::to_string(r->bytes);
      }
      break;
    default:
      return failWith(ENOTTY);
  }
  const int error = errno;
  logLine(what + " -> " + (result == 0 ? "ok" : errnoName(error)));
  errno = error;
  return result;
}

int closeDevice(int handle) {
  openDevices.erase(handle);
  return ::close(handle);
}

int restart() {
  logLine("reboot");
  // The board is switched off: the process ends as a successful reboot would.
  _exit(0);
}

}  // namespace deployboot::board
