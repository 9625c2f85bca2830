// SPDX-License-Identifier: GPL-2.0
/*
 * Platform module of the qemu-malta lab board.
 *
 * The installer loads its board's platform module by a fixed path and with
 * no parameters, through init_module, so nothing resolves dependencies or
 * reads module options for it. On a real board that module brings up the
 * board's own hardware; on this board the hardware is a set of stock kernel
 * drivers. This module asks the kernel to load them, which runs the
 * ramdisk's /sbin/modprobe: modprobe resolves their dependencies and takes
 * their options (the block2mtd flash devices) from /etc/modprobe.d.
 *
 * The board's flash is block2mtd on virtio disks, and block2mtd writes into
 * the disks' page cache. Real flash holds what was written at once, so the
 * installer reboots without syncing; here the module writes the disks out
 * when the kernel restarts, before the devices shut down.
 */
#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/kmod.h>
#include <linux/module.h>
#include <linux/notifier.h>
#include <linux/reboot.h>

/*
 * In load order: the virtio disks must exist before block2mtd opens them,
 * and block2mtd registers mtd0 (boot side) and mtd1 (system side) in the
 * order its options name the disks.
 */
static const char *const board_drivers[] = {
	"virtio_pci", "virtio_blk", "block2mtd", "ubi", "ubifs", "pcnet32",
};

/* The disks behind the flash, as lab/qemu/modprobe.conf names them. */
static const char *const flash_disks[] = { "/dev/vda", "/dev/vdb" };

static int qemu_malta_board_reboot(struct notifier_block *nb,
				   unsigned long action, void *data)
{
	size_t i;

	for (i = 0; i < ARRAY_SIZE(flash_disks); i++) {
		struct file *disk = filp_open(flash_disks[i], O_RDONLY, 0);
		int err;

		if (IS_ERR(disk)) {
			pr_err("qemu-malta board: cannot open %s (%ld)\n",
			       flash_disks[i], PTR_ERR(disk));
			continue;
		}
		err = vfs_fsync(disk, 0);
		if (err)
			pr_err("qemu-malta board: writing %s out failed (%d)\n",
			       flash_disks[i], err);
		filp_close(disk, NULL);
	}
	return NOTIFY_DONE;
}

static struct notifier_block qemu_malta_board_notifier = {
	.notifier_call = qemu_malta_board_reboot,
};

static int __init qemu_malta_board_init(void)
{
	size_t i;

	for (i = 0; i < ARRAY_SIZE(board_drivers); i++) {
		int err = request_module("%s", board_drivers[i]);

		if (err)
			pr_warn("qemu-malta board: loading %s failed (%d)\n",
				board_drivers[i], err);
	}
	/* A missing driver shows later as a missing interface or flash. */
	return register_reboot_notifier(&qemu_malta_board_notifier);
}

static void __exit qemu_malta_board_exit(void)
{
	unregister_reboot_notifier(&qemu_malta_board_notifier);
}

module_init(qemu_malta_board_init);
module_exit(qemu_malta_board_exit);
MODULE_DESCRIPTION("qemu-malta lab board: loads the board's drivers, keeps its flash");
MODULE_LICENSE("GPL");
