// SPDX-License-Identifier: GPL-2.0
/*
 * foreign: a queue driver behind /proc/marnel/ written apart from ours, from
 * what pushwell and drawwell rely on alone. Where the tools leave a choice
 * open it answers otherwise than driver/marnel.c, so that the checker and
 * the tools can be seen not to lean on our module's habits. Test-only.
 *
 * fault=NAME breaks one thing the tools do rely on, so that the checker can
 * be seen to catch it.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/proc_fs.h>
#include <linux/seq_file.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/uaccess.h>

#define FOREIGN_RECORD	8
#define FOREIGN_MAX	65536

enum foreign_fault {
	FAULT_NONE,
	FAULT_READ_REPORTS_COUNT,	/* a delivery returns the bytes placed */
	FAULT_LIFO,			/* the newest value comes out first */
	FAULT_NO_END_MARKER,		/* an empty queue answers "0" */
};

static const char * const foreign_faults[] = {
	[FAULT_NONE]			= "none",
	[FAULT_READ_REPORTS_COUNT]	= "read-reports-count",
	[FAULT_LIFO]			= "lifo",
	[FAULT_NO_END_MARKER]		= "no-end-marker",
};

static unsigned int size = 64;
module_param(size, uint, 0444);
MODULE_PARM_DESC(size, "Values the queue holds, 1 to 65536 (default 64)");

static char *fault = "none";
module_param(fault, charp, 0444);
MODULE_PARM_DESC(fault, "Test only: none, read-reports-count, lifo or no-end-marker");

static enum foreign_fault broken;

/* The ring and its fill, under one mutex: copies to the caller may sleep. */
static DEFINE_MUTEX(foreign_lock);
static int *ring;
static unsigned int head, used;

static struct proc_dir_entry *foreign_dir;

static int foreign_open(struct inode *inode, struct file *file)
{
	return nonseekable_open(inode, file);
}

/* Blanks around the text are dropped; kstrtos32 judges the rest. */
static int foreign_parse(const char *record, int *value)
{
	char text[FOREIGN_RECORD + 1];

	memcpy(text, record, FOREIGN_RECORD);
	text[FOREIGN_RECORD] = '\0';
	if (kstrtos32(strim(text), 10, value))
		return -EILSEQ;
	return 0;
}

static ssize_t enqueue_write(struct file *file, const char __user *buf,
			     size_t count, loff_t *ppos)
{
	char record[FOREIGN_RECORD];
	int value, ret;

	/* Longer writes give their first record; the rest is not taken. */
	if (count < FOREIGN_RECORD)
		return -EMSGSIZE;
	if (copy_from_user(record, buf, FOREIGN_RECORD))
		return -EFAULT;
	ret = foreign_parse(record, &value);
	if (ret)
		return ret;

	if (mutex_lock_killable(&foreign_lock))
		return -EINTR;
	if (used == size) {
		ret = -EAGAIN;
	} else {
		ring[(head + used) % size] = value;
		used++;
		ret = FOREIGN_RECORD;
	}
	mutex_unlock(&foreign_lock);
	return ret;
}

static ssize_t enqueue_read(struct file *file, char __user *buf,
			    size_t count, loff_t *ppos)
{
	return -EPERM;	/* opened the wrong way: allowed, but no use */
}

/*
 * The text and a NUL when the buffer has room for it; a buffer too short
 * takes as much of the text as fits, and the value is gone all the same.
 */
static ssize_t dequeue_read(struct file *file, char __user *buf,
			    size_t count, loff_t *ppos)
{
	char text[12];	/* "-2147483648" and its NUL */
	unsigned int at;
	bool delivered;
	size_t n;
	int value = -1;

	if (mutex_lock_killable(&foreign_lock))
		return -EINTR;
	delivered = used;
	at = head;
	if (delivered) {
		if (broken == FAULT_LIFO)
			at = (head + used - 1) % size;
		value = ring[at];
	} else if (broken == FAULT_NO_END_MARKER) {
		value = 0;
	}
	n = min_t(size_t, count, snprintf(text, sizeof(text), "%d", value) + 1);
	if (copy_to_user(buf, text, n)) {
		mutex_unlock(&foreign_lock);
		return -EFAULT;
	}
	if (delivered) {
		if (at == head)
			head = (head + 1) % size;
		used--;
	}
	mutex_unlock(&foreign_lock);
	if (broken == FAULT_READ_REPORTS_COUNT && delivered)
		return n;
	return 0;
}

static ssize_t dequeue_write(struct file *file, const char __user *buf,
			     size_t count, loff_t *ppos)
{
	return -EPERM;	/* opened the wrong way: allowed, but no use */
}

static int version_show(struct seq_file *m, void *v)
{
	seq_printf(m, "foreign 1, size %u, fault %s\n", size,
		   foreign_faults[broken]);
	return 0;
}

static const struct proc_ops enqueue_ops = {
	.proc_open	= foreign_open,
	.proc_read	= enqueue_read,
	.proc_write	= enqueue_write,
};

static const struct proc_ops dequeue_ops = {
	.proc_open	= foreign_open,
	.proc_read	= dequeue_read,
	.proc_write	= dequeue_write,
};

static int __init foreign_init(void)
{
	int which;

	which = match_string(foreign_faults, ARRAY_SIZE(foreign_faults), fault);
	if (which < 0) {
		pr_err("no fault named %s\n", fault);
		return -EINVAL;
	}
	broken = which;
	if (size < 1 || size > FOREIGN_MAX) {
		pr_err("size must be 1 to %d\n", FOREIGN_MAX);
		return -EINVAL;
	}
	ring = kcalloc(size, sizeof(*ring), GFP_KERNEL);
	if (!ring)
		return -ENOMEM;

	foreign_dir = proc_mkdir("marnel", NULL);
	if (!foreign_dir)
		goto fail;
	if (!proc_create("enqueue", 0600, foreign_dir, &enqueue_ops) ||
	    !proc_create("dequeue", 0600, foreign_dir, &dequeue_ops) ||
	    !proc_create_single("version", 0444, foreign_dir, version_show)) {
		proc_remove(foreign_dir);
		goto fail;
	}
	return 0;

fail:
	kfree(ring);
	return -ENOMEM;
}

static void __exit foreign_exit(void)
{
	proc_remove(foreign_dir);
	kfree(ring);
}

module_init(foreign_init);
module_exit(foreign_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("A queue behind /proc/marnel written apart from marnel, for tests");
