/* SPDX-License-Identifier: MIT */
/*
 * Character devices.  The back-end makes an open file of the device hold a
 * reference on the module, so the module cannot be unloaded while the
 * device is open.
 */
#ifndef FP_KERNEL_KP_CHRDEV_H
#define FP_KERNEL_KP_CHRDEV_H

#include "kp_types.h"

KP_EXTERN_C_BEGIN

/** struct kp_file_ops - the operations of a character device. */
typedef struct kp_file_ops {
	int (*open)(kp_inode *inode, kp_file *file);
	int (*release)(kp_inode *inode, kp_file *file);
	/* returns the bytes written or a negative error */
	long (*write)(kp_file *file, const char *ubuf, size_t count, long long *pos);
	long (*unlocked_ioctl)(kp_file *file, unsigned int cmd, unsigned long arg);
} kp_file_ops;

/* Registers @count minors from @baseminor of @major; 0 or a negative error. */
int kp_register_chrdev(unsigned int major, unsigned int baseminor,
		       unsigned int count, const char *name,
		       const kp_file_ops *ops);
void kp_unregister_chrdev(unsigned int major, unsigned int baseminor,
			  unsigned int count, const char *name);
void kp_file_set_private(kp_file *file, void *data);
void *kp_file_get_private(kp_file *file);

KP_EXTERN_C_END

#endif
