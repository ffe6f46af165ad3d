// SPDX-License-Identifier: MIT
/*
 * /proc entries with the legacy read_proc/write_proc callbacks.
 *
 * On 3.9 they are the kernel's own: create_proc_entry() gives the entry
 * this file's two trampolines, and the kernel's read loop calls them.  On
 * later kernels, which dropped that interface, the entries get proc_ops
 * whose read side is the old procfs read loop: within one read() the
 * handler is called with a fresh page, the current offset and the room
 * left (at most one block), and called again at the advanced offset until
 * it sets *eof, produces nothing, or produces nothing beyond the offset.
 * The three ways a handler may place its output (start left NULL, start as
 * a small offset "below" the page, start inside the page) behave as they
 * always did, so what cat shows is what it showed on the box.  On every
 * kernel, an entry without a read handler reads as empty; one without a
 * write handler refuses writes with -EIO.
 */
#include <linux/fs.h>
#include <linux/gfp.h>
#include <linux/list.h>
#include <linux/mutex.h>
#include <linux/proc_fs.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/uaccess.h>

#include "platform/kp_proc.h"
#include "kp_compat.h"

struct kp_proc_entry {
	struct list_head node;
	struct proc_dir_entry *pde;
	kp_read_proc_t read_proc;
	kp_write_proc_t write_proc;
	void *data;
	char name[];
};

static LIST_HEAD(fp_proc_entries);
static DEFINE_MUTEX(fp_proc_mutex);

#if FP_PROC_LEGACY

static int fp_legacy_read(char *page, char **start, off_t off, int count,
			  int *eof, void *data)
{
	struct kp_proc_entry *e = data;
	kp_read_proc_t read_proc = READ_ONCE(e->read_proc);

	if (!read_proc) {
		*eof = 1;
		return 0;
	}
	return read_proc(page, start, off, count, eof, READ_ONCE(e->data));
}

static int fp_legacy_write(struct file *file, const char __user *buf,
			   unsigned long count, void *data)
{
	struct kp_proc_entry *e = data;
	kp_write_proc_t write_proc = READ_ONCE(e->write_proc);

	if (!write_proc)
		return -EIO;
	return write_proc((kp_file *)file, (const char __force *)buf, count,
			  READ_ONCE(e->data));
}

static struct proc_dir_entry *fp_proc_create(const char *name, umode_t mode,
					     struct kp_proc_entry *e)
{
	struct proc_dir_entry *pde = create_proc_entry(name, mode, NULL);

	if (pde) {
		pde->data = e;
		smp_wmb(); /* the data before the handlers that use it */
		pde->read_proc = fp_legacy_read;
		pde->write_proc = fp_legacy_write;
	}
	return pde;
}

#else

#define FP_PROC_BLOCK_SIZE (PAGE_SIZE - 1024)
#define FP_MAX_NON_LFS ((1UL << 31) - 1)

static ssize_t fp_proc_read(struct file *file, char __user *buf, size_t nbytes,
			    loff_t *ppos)
{
	struct kp_proc_entry *e = pde_data(file_inode(file));
	kp_read_proc_t read_proc = READ_ONCE(e->read_proc);
	void *data = READ_ONCE(e->data);
	ssize_t retval = 0;
	ssize_t n, count;
	char *page, *start;
	int eof = 0;
	loff_t pos = *ppos;

	if (pos < 0 || pos > FP_MAX_NON_LFS)
		return 0;
	if (nbytes > FP_MAX_NON_LFS - pos)
		nbytes = FP_MAX_NON_LFS - pos;
	if (!read_proc)
		return 0;

	page = (char *)__get_free_page(GFP_KERNEL);
	if (!page)
		return -ENOMEM;

	while (nbytes > 0 && !eof) {
		count = min_t(size_t, FP_PROC_BLOCK_SIZE, nbytes);
		start = NULL;
		n = read_proc(page, &start, (long)*ppos, (int)count, &eof, data);

		if (n == 0) /* end of file */
			break;
		if (n < 0) { /* error */
			if (retval == 0)
				retval = n;
			break;
		}

		if (!start) {
			/* the handler wrote from the page's start: skip what was read before */
			if (n > PAGE_SIZE) {
				pr_err("proc_file_read: Apparent buffer overflow!\n");
				n = PAGE_SIZE;
			}
			n -= *ppos;
			if (n <= 0)
				break;
			if (n > count)
				n = count;
			start = page + *ppos;
		} else if (start < page) {
			/* n bytes at the page's start; the offset advances by (long)start */
			if (n > PAGE_SIZE) {
				pr_err("proc_file_read: Apparent buffer overflow!\n");
				n = PAGE_SIZE;
			}
			if (n > count)
				pr_warn("proc_file_read: Read count exceeded\n");
		} else {
			/* n bytes at start, within the page */
			unsigned long startoff = (unsigned long)(start - page);

			if (n > (ssize_t)(PAGE_SIZE - startoff)) {
				pr_err("proc_file_read: Apparent buffer overflow!\n");
				n = PAGE_SIZE - startoff;
			}
			if (n > count)
				n = count;
		}

		n -= copy_to_user(buf, start < page ? page : start, n);
		if (n == 0) {
			if (retval == 0)
				retval = -EFAULT;
			break;
		}

		*ppos += start < page ? (unsigned long)start : n;
		nbytes -= n;
		buf += n;
		retval += n;
	}

	free_page((unsigned long)page);
	return retval;
}

static ssize_t fp_proc_write(struct file *file, const char __user *buf,
			     size_t count, loff_t *ppos)
{
	struct kp_proc_entry *e = pde_data(file_inode(file));
	kp_write_proc_t write_proc = READ_ONCE(e->write_proc);

	if (!write_proc)
		return -EIO;
	return write_proc((kp_file *)file, (const char __force *)buf, count,
			  READ_ONCE(e->data));
}

static const struct proc_ops fp_proc_ops = {
	.proc_read = fp_proc_read,
	.proc_write = fp_proc_write,
	.proc_lseek = default_llseek,
};

static struct proc_dir_entry *fp_proc_create(const char *name, umode_t mode,
					     struct kp_proc_entry *e)
{
	return proc_create_data(name, mode, NULL, &fp_proc_ops, e);
}

#endif

kp_proc_entry *kp_create_proc_entry(const char *name, unsigned short mode)
{
	size_t len = strlen(name) + 1;
	struct kp_proc_entry *e = kzalloc(sizeof(*e) + len, GFP_KERNEL);

	if (!e)
		return NULL;
	memcpy(e->name, name, len);
	e->pde = fp_proc_create(name, mode, e);
	if (!e->pde) {
		kfree(e);
		return NULL;
	}
	mutex_lock(&fp_proc_mutex);
	list_add_tail(&e->node, &fp_proc_entries);
	mutex_unlock(&fp_proc_mutex);
	return e;
}

void kp_proc_set_handlers(kp_proc_entry *entry, kp_read_proc_t read_proc,
			  kp_write_proc_t write_proc, void *data)
{
	WRITE_ONCE(entry->data, data);
	WRITE_ONCE(entry->read_proc, read_proc);
	WRITE_ONCE(entry->write_proc, write_proc);
}

/*
 * Removes /proc/@name; remove_proc_entry() waits for readers and writers
 * still inside the handlers, after which our record can go.
 */
void kp_remove_proc_entry(const char *name)
{
	struct kp_proc_entry *e, *found = NULL;

	mutex_lock(&fp_proc_mutex);
	list_for_each_entry(e, &fp_proc_entries, node) {
		if (!strcmp(e->name, name)) {
			found = e;
			list_del(&e->node);
			break;
		}
	}
	mutex_unlock(&fp_proc_mutex);

	remove_proc_entry(name, NULL);
	kfree(found);
}
