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
 */
#include <linux/kernel.h>
#include <linux/kmod.h>
#include <linux/module.h>

/*
 * In load order: the virtio disks must exist before block2mtd opens them,
 * and block2mtd registers mtd0 (boot side) and mtd1 (system side) in the
 * order its options name the disks.
 */
static const char *const board_drivers[] = {
	"virtio_pci", "virtio_blk", "block2mtd", "ubi", "ubifs", "pcnet32",
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
	return 0;
}

static void __exit qemu_malta_board_exit(void)
{
}

module_init(qemu_malta_board_init);
module_exit(qemu_malta_board_exit);
MODULE_DESCRIPTION("qemu-malta lab board: loads the board's drivers");
MODULE_LICENSE("GPL");
