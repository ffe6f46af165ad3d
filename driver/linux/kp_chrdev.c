// SPDX-License-Identifier: MIT
/*
 * Character devices.  Each registration gets the glue's file operations,
 * which find the core's operations by the device's major and minor.  The
 * operations carry .owner, so an open file holds the module: rmmod fails
 * with EBUSY while /dev/micom is open.
 */
#include <linux/compat.h>
#include <linux/fs.h>
#include <linux/module.h>
#include <linux/mutex.h>

#include "platform/kp_chrdev.h"

#define FP_MAX_CHRDEVS 4

struct fp_chrdev {
	unsigned int major, baseminor, count;
	const kp_file_ops *ops; /* NULL: free slot */
};

static struct fp_chrdev fp_chrdevs[FP_MAX_CHRDEVS];
static DEFINE_MUTEX(fp_chrdev_mutex);

static const kp_file_ops *fp_ops_of(struct inode *inode)
{
	unsigned int major = imajor(inode), minor = iminor(inode);
	const kp_file_ops *ops = NULL;
	int i;

	mutex_lock(&fp_chrdev_mutex);
	for (i = 0; i < FP_MAX_CHRDEVS; i++) {
		const struct fp_chrdev *c = &fp_chrdevs[i];

		if (c->ops && c->major == major && minor >= c->baseminor &&
		    minor - c->baseminor < c->count) {
			ops = c->ops;
			break;
		}
	}
	mutex_unlock(&fp_chrdev_mutex);
	return ops;
}

static int fp_chrdev_open(struct inode *inode, struct file *file)
{
	const kp_file_ops *ops = fp_ops_of(inode);

	if (!ops)
		return -ENODEV;
	return ops->open ? ops->open((kp_inode *)inode, (kp_file *)file) : 0;
}

static int fp_chrdev_release(struct inode *inode, struct file *file)
{
	const kp_file_ops *ops = fp_ops_of(inode);

	if (!ops || !ops->release)
		return 0;
	return ops->release((kp_inode *)inode, (kp_file *)file);
}

static ssize_t fp_chrdev_write(struct file *file, const char __user *buf,
			       size_t count, loff_t *ppos)
{
	const kp_file_ops *ops = fp_ops_of(file_inode(file));

	if (!ops || !ops->write)
		return -EINVAL;
	return ops->write((kp_file *)file, (const char __force *)buf, count,
			  (long long *)ppos);
}

static long fp_chrdev_ioctl(struct file *file, unsigned int cmd,
			    unsigned long arg)
{
	const kp_file_ops *ops = fp_ops_of(file_inode(file));

	if (!ops || !ops->unlocked_ioctl)
		return -ENOTTY;
	return ops->unlocked_ioctl((kp_file *)file, cmd, arg);
}

#ifdef CONFIG_COMPAT
/* 32-bit callers on a 64-bit kernel: the argument is a pointer to an int. */
static long fp_chrdev_compat_ioctl(struct file *file, unsigned int cmd,
				   unsigned long arg)
{
	return fp_chrdev_ioctl(file, cmd, (unsigned long)compat_ptr(arg));
}
#endif

static const struct file_operations fp_chrdev_fops = {
	.owner = THIS_MODULE,
	.open = fp_chrdev_open,
	.release = fp_chrdev_release,
	.write = fp_chrdev_write,
	.unlocked_ioctl = fp_chrdev_ioctl,
#ifdef CONFIG_COMPAT
	.compat_ioctl = fp_chrdev_compat_ioctl,
#endif
	.llseek = noop_llseek,
};

int kp_register_chrdev(unsigned int major, unsigned int baseminor,
		       unsigned int count, const char *name,
		       const kp_file_ops *ops)
{
	struct fp_chrdev *slot = NULL;
	int i, ret;

	if (!ops)
		return -EINVAL;
	mutex_lock(&fp_chrdev_mutex);
	for (i = 0; i < FP_MAX_CHRDEVS; i++) {
		if (!fp_chrdevs[i].ops) {
			slot = &fp_chrdevs[i];
			break;
		}
	}
	if (!slot) {
		ret = -ENOSPC;
		goto out;
	}
	ret = __register_chrdev(major, baseminor, count, name, &fp_chrdev_fops);
	if (ret < 0)
		goto out;
	if (major == 0)
		major = ret; /* a dynamic major */
	*slot = (struct fp_chrdev){ major, baseminor, count, ops };
	ret = 0;
out:
	mutex_unlock(&fp_chrdev_mutex);
	return ret;
}

void kp_unregister_chrdev(unsigned int major, unsigned int baseminor,
			  unsigned int count, const char *name)
{
	int i;

	__unregister_chrdev(major, baseminor, count, name);
	mutex_lock(&fp_chrdev_mutex);
	for (i = 0; i < FP_MAX_CHRDEVS; i++) {
		struct fp_chrdev *c = &fp_chrdevs[i];

		if (c->ops && c->major == major && c->baseminor == baseminor)
			c->ops = NULL;
	}
	mutex_unlock(&fp_chrdev_mutex);
}

void kp_file_set_private(kp_file *file, void *data)
{
	((struct file *)file)->private_data = data;
}

void *kp_file_get_private(kp_file *file)
{
	return ((struct file *)file)->private_data;
}
