// The flash layouts (UBI volumes, a NAND pair, a single partition): mounting
// the existing file systems, erasing and re-creating them, and the base
// directories of a fresh file system. The layout comes from the kernel
// command line: "ubifs_support" means UBI, otherwise "no-nand" means a
// single partition, otherwise a NAND pair.
#pragma once

#include <sys/ioctl.h>
#include <mtd/ubi-user.h>

#include <cstdint>

namespace deployboot {

// The request numbers of the router's kernel (MIPS encodes "write" in the
// top bit); other hosts encode the same fields their own way.
#if defined(__mips__)
static_assert(UBI_IOCATT == 0x80186F40);
static_assert(UBI_IOCDET == 0x80046F41);
static_assert(UBI_IOCMKVOL == 0x80986F00);
#endif
static_assert(_IOC_TYPE(UBI_IOCATT) == 'o' && _IOC_NR(UBI_IOCATT) == 64 &&
              _IOC_SIZE(UBI_IOCATT) == 24 && _IOC_DIR(UBI_IOCATT) == _IOC_WRITE);
static_assert(_IOC_TYPE(UBI_IOCDET) == 'o' && _IOC_NR(UBI_IOCDET) == 65 &&
              _IOC_SIZE(UBI_IOCDET) == 4 && _IOC_DIR(UBI_IOCDET) == _IOC_WRITE);
static_assert(_IOC_TYPE(UBI_IOCMKVOL) == 'o' && _IOC_NR(UBI_IOCMKVOL) == 0 &&
              _IOC_SIZE(UBI_IOCMKVOL) == 152 && _IOC_DIR(UBI_IOCMKVOL) == _IOC_WRITE);
static_assert(sizeof(ubi_attach_req) == 24);
static_assert(sizeof(ubi_mkvol_req) == 152);

// The mtdblock devices of the MTD partitions.
inline constexpr unsigned MTD_BLOCK_MAJOR = 31;

// The active pair selected by the environment variable "activepart": MTD
// 2p is the boot side, 2p+1 the system side. 0 when the variable is absent
// or not a number from 0 to 1023.
int activePartition();

// Mounts the file system at /flash and, with `withBoot`, the boot side at
// /flash/boot where the layout has one. 1 when mounted, 0 when not (and
// nothing is left mounted or attached).
int mountFlash(bool withBoot);

// Erases the flash with /sbin/nandfix and, on UBI boards, re-creates the
// "Kernel" and "Zentrail" volumes; leaves nothing attached or mounted.
// Shows "Formatting disk..." with progress dots. true on success.
bool formatFlash();

// The UBI control requests; each returns the request's result, or -1 when
// the device cannot be opened.
int attachUbi(int mtd, int ubi);
int detachUbi(int ubi);
// Creates a dynamic volume taking every available eraseblock of device
// `ubi`. -1 also when the device's size in sysfs cannot be read.
int createUbiVolume(unsigned ubi, const char* name);

// /flash/rw, /flash/vela, /flash/vela/etc, /flash/var, /flash/var/pdb
// (mode 0755, in this order); a failure is reported on standard error and
// the others are still made.
void createBaseDirectories();

}  // namespace deployboot
