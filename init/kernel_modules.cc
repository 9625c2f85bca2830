#include "init/kernel_modules.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>

#include "support/board.h"

namespace deployboot {
namespace {

// The board platform's own modules: the flash device comes first.
const char* const platformModules[] = {"misc/flash.ko", nullptr};

struct ModuleEntry {
  const char* path;
  const char* parameters;
};

// Network, PHY and switch drivers of every board of the family; a board
// has only some of them.
const ModuleEntry fixedModules[] = {
    {"kernel/net/netfilter/nf_conntrack.ko", ""},
    {"drivers/net/packet_hook.ko", ""},
    {"drivers/net/phy_helper.ko", ""},
    {"drivers/net/phy_amcc_qt2025.ko", ""},
    {"drivers/net/phy_ti_tlk10232.ko", ""},
    {"drivers/net/switch.ko", ""},
    {"drivers/net/sfp_helper.ko", ""},
    {"drivers/net/aths16.ko", "auto_enable=1"},
    {"drivers/net/ath8327.ko", "auto_enable=1"},
    {"drivers/net/rtl8367.ko", ""},
    {"misc/spi_ssr.ko", ""},
    {"drivers/net/prestera_dx_mac.ko", "auto_enable=1"},
    {"misc/prestera_pci.ko", ""},
    {"drivers/net/mediatek_switch.ko", ""},
    {"drivers/net/raether.ko", ""},
};

}  // namespace

std::string kernelModuleDirectory() {
  utsname names{};
  ::uname(&names);
  return std::string("/lib/modules/") + names.release;
}

int loadKernelModuleFrom(const std::string& moduleDirectory, const char* path,
                         const char* parameters) {
  const std::string file = moduleDirectory + "/" + path;
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st{};
  void* image = MAP_FAILED;
  if (::fstat(fd, &st) == 0) image = ::mmap(nullptr, st.st_size, PROT_READ, MAP_SHARED, fd, 0);
  if (image == MAP_FAILED) {
    std::printf("ERROR: could not load module %s\n", path);
    ::close(fd);
    return -1;
  }
  const int result = board::loadModule(path, image, st.st_size, parameters);
  ::munmap(image, st.st_size);
  ::close(fd);
  return result;
}

int loadKernelModule(const char* path, const char* parameters) {
  return loadKernelModuleFrom(kernelModuleDirectory(), path, parameters);
}

void loadStartupModules(const std::string& moduleDirectory) {
  for (const char* const* module = platformModules; *module; ++module)
    loadKernelModuleFrom(moduleDirectory, *module, "");
  for (const ModuleEntry& module : fixedModules)
    loadKernelModuleFrom(moduleDirectory, module.path, module.parameters);
}

}  // namespace deployboot
