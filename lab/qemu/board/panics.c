// SPDX-License-Identifier: GPL-2.0
/*
 * The qemu-malta lab board's panic device, /dev/panics.
 *
 * The installer loads misc/panics.ko once the software is on flash and tells
 * the device so with request 'P' 3; only when it can open the device does it
 * run the post-installation program, sync and unmount the flash. This board
 * has no panic log to keep, so the device only records the request.
 */
#include <linux/fs.h>
#include <linux/ioctl.h>
#include <linux/kernel.h>
#include <linux/miscdevice.h>
#include <linux/module.h>

#define PANICS_INSTALLED _IO('P', 3)

static long panics_ioctl(struct file *file, unsigned int cmd, unsigned long arg)
{
	if (cmd != PANICS_INSTALLED)
		return -ENOTTY;
	pr_info("panics: software installed\n");
	return 0;
}

static const struct file_operations panics_fops = {
	.owner = THIS_MODULE,
	.unlocked_ioctl = panics_ioctl,
	.llseek = noop_llseek,
};

static struct miscdevice panics_device = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "panics",
	.fops = &panics_fops,
};

module_misc_device(panics_device);
MODULE_DESCRIPTION("qemu-malta lab board: the panic device");
MODULE_LICENSE("GPL");
