// SPDX-License-Identifier: GPL-2.0
/*
 * marnel: a bounded FIFO of ints behind /proc/marnel/.
 *
 * enqueue takes 8-byte records holding decimal text, dequeue hands out the
 * oldest value as text and returns 0, "-1" when the queue is empty, and
 * status shows the counters. docs/queue-driver.md is the contract.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/bits.h>
#include <linux/ctype.h>
#include <linux/kernel.h>
#include <linux/kfifo.h>
#include <linux/log2.h>
#include <linux/mm.h>
#include <linux/module.h>
#include <linux/namei.h>
#include <linux/pagemap.h>
#include <linux/percpu.h>
#include <linux/proc_fs.h>
#include <linux/seq_file.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/uaccess.h>
#include <linux/uidgid.h>

#define MARNEL_RECORD_SIZE	8
#define MARNEL_MAX_CAPACITY	BIT(20)

static unsigned int capacity = 1024;
module_param(capacity, uint, 0444);
MODULE_PARM_DESC(capacity, "Values the queue holds, 1 to 1048576 (default 1024)");

static int group = -1;
module_param(group, int, 0444);
MODULE_PARM_DESC(group, "Group id that may also write enqueue and read dequeue (default: root only)");

/*
 * One lock for the queue and its counters, held for a few instructions and
 * a copy of at most 12 bytes with page faults disabled. A raw spinlock, so
 * that on PREEMPT_RT too it is taken by spinning: there a mutex hands
 * itself to a waiter who must first be woken, and a spinlock_t lets its
 * holder be preempted, and both cost more than the section they guard.
 */
static DEFINE_RAW_SPINLOCK(marnel_lock);
static DECLARE_KFIFO_PTR(marnel_fifo, int);
static int *marnel_buffer;
static u64 accepted, delivered, end_markers;
/*
 * The queue's length, written under the lock and read without it: one
 * load of one word, so a writer that sees capacity saw a full queue.
 */
static unsigned int marnel_depth;
/*
 * Refusals change no queue state: counted per CPU without the lock, so a
 * writer on a full queue (pushwell's usual state) costs no atomic at all.
 */
static DEFINE_PER_CPU(u64, refused_full);
static DEFINE_PER_CPU(u64, refused_malformed);

static struct proc_dir_entry *marnel_dir;

/* Each entry is opened in its one direction only; root passes DAC checks. */
static int marnel_open_for(struct file *file, fmode_t mode)
{
	if ((file->f_mode & (FMODE_READ | FMODE_WRITE)) != mode)
		return -EACCES;
	return 0;
}

static int enqueue_open(struct inode *inode, struct file *file)
{
	return marnel_open_for(file, FMODE_WRITE);
}

static u64 marnel_sum(u64 __percpu *counter)
{
	u64 sum = 0;
	int cpu;

	for_each_possible_cpu(cpu)
		sum += READ_ONCE(*per_cpu_ptr(counter, cpu));
	return sum;
}

/*
 * The record's text, which ends at its first NUL or after its 8th byte, as
 * kstrtoint(text, 10) takes it: one optional sign, one or more digits, at
 * most one trailing newline. Eight bytes always fit in an int. Written out
 * because every write of a full queue pays for it: kstrtoint's general
 * path costs more than the rest of the write.
 */
static bool marnel_parse(const char *record, int *value)
{
	size_t n = strnlen(record, MARNEL_RECORD_SIZE), i = 0;
	bool negative = false;
	int v = 0;

	if (i < n && (record[i] == '+' || record[i] == '-'))
		negative = record[i++] == '-';
	if (i == n || !isdigit(record[i]))
		return false;
	while (i < n && isdigit(record[i]))
		v = v * 10 + (record[i++] - '0');
	if (i < n && record[i] == '\n')
		i++;
	if (i != n)
		return false;
	*value = negative ? -v : v;
	return true;
}

static ssize_t enqueue_write(struct file *file, const char __user *buf,
			     size_t count, loff_t *ppos)
{
	char record[MARNEL_RECORD_SIZE];
	bool wellformed = false;
	ssize_t ret;
	int value;

	if (count == MARNEL_RECORD_SIZE) {
		if (copy_from_user(record, buf, MARNEL_RECORD_SIZE))
			return -EFAULT;
		wellformed = marnel_parse(record, &value);
	}

	if (!wellformed) {
		this_cpu_inc(refused_malformed);
		return -EINVAL;
	}
	/* A queue seen not full is checked again under the lock. */
	if (READ_ONCE(marnel_depth) >= capacity) {
		this_cpu_inc(refused_full);
		return -ENOSPC;
	}

	raw_spin_lock(&marnel_lock);
	if (marnel_depth >= capacity) {
		this_cpu_inc(refused_full);
		ret = -ENOSPC;
	} else {
		kfifo_put(&marnel_fifo, value);
		WRITE_ONCE(marnel_depth, marnel_depth + 1);
		accepted++;
		ret = MARNEL_RECORD_SIZE;
	}
	raw_spin_unlock(&marnel_lock);
	return ret;
}

static int dequeue_open(struct inode *inode, struct file *file)
{
	return marnel_open_for(file, FMODE_READ);
}

/*
 * A delivery returns 0, not a byte count: callers tell a value by that.
 * The value leaves the queue only once its text has reached the caller.
 * The copy runs with page faults disabled under the lock; a buffer that
 * is not yet mapped is faulted in with the lock dropped, and the read
 * starts over, since another reader may have taken the value meanwhile.
 */
static ssize_t dequeue_read(struct file *file, char __user *buf,
			    size_t count, loff_t *ppos)
{
	char text[12];	/* "-2147483648" and a NUL */
	unsigned long left;
	size_t len, n;
	bool empty;
	int value;

	for (;;) {
		raw_spin_lock(&marnel_lock);
		empty = !kfifo_peek(&marnel_fifo, &value);
		if (empty)
			value = -1;
		len = scnprintf(text, sizeof(text), "%d", value);
		if (count < len) {
			raw_spin_unlock(&marnel_lock);
			return -EINVAL;
		}
		n = min(count, len + 1);
		if (!access_ok(buf, n)) {
			raw_spin_unlock(&marnel_lock);
			return -EFAULT;
		}
		pagefault_disable();
		left = __copy_to_user_inatomic(buf, text, n);
		pagefault_enable();
		if (!left)
			break;
		raw_spin_unlock(&marnel_lock);
		if (fault_in_writeable(buf, n))
			return -EFAULT;
	}
	if (empty) {
		end_markers++;
	} else {
		kfifo_skip(&marnel_fifo);
		WRITE_ONCE(marnel_depth, marnel_depth - 1);
		delivered++;
	}
	raw_spin_unlock(&marnel_lock);
	return 0;
}

static int status_show(struct seq_file *m, void *v)
{
	u64 acc, del, ends;
	unsigned int depth;

	/* One consistent snapshot; the printing is done without the lock. */
	raw_spin_lock(&marnel_lock);
	depth = marnel_depth;
	acc = accepted;
	del = delivered;
	ends = end_markers;
	raw_spin_unlock(&marnel_lock);

	seq_printf(m, "capacity: %u\n", capacity);
	seq_printf(m, "depth: %u\n", depth);
	seq_printf(m, "accepted: %llu\n", acc);
	seq_printf(m, "refused_full: %llu\n", marnel_sum(&refused_full));
	seq_printf(m, "refused_malformed: %llu\n", marnel_sum(&refused_malformed));
	seq_printf(m, "delivered: %llu\n", del);
	seq_printf(m, "end_markers: %llu\n", ends);
	return 0;
}

static int status_open(struct inode *inode, struct file *file)
{
	int ret = marnel_open_for(file, FMODE_READ);

	return ret ? ret : single_open(file, status_show, NULL);
}

static const struct proc_ops enqueue_ops = {
	.proc_open	= enqueue_open,
	.proc_write	= enqueue_write,
	.proc_lseek	= noop_llseek,
};

static const struct proc_ops dequeue_ops = {
	.proc_open	= dequeue_open,
	.proc_read	= dequeue_read,
	.proc_lseek	= noop_llseek,
};

static const struct proc_ops status_ops = {
	.proc_open	= status_open,
	.proc_read	= seq_read,
	.proc_lseek	= seq_lseek,
	.proc_release	= single_release,
};

/* proc_mkdir gives no reason when it fails: a name taken is one. */
static bool __init marnel_name_taken(void)
{
	struct path path;

	if (kern_path("/proc/marnel", 0, &path))
		return false;
	path_put(&path);
	return true;
}

static int __init marnel_init(void)
{
	umode_t enqueue_mode = 0200, dequeue_mode = 0400;
	struct proc_dir_entry *enq, *deq, *st;
	kgid_t gid = GLOBAL_ROOT_GID;
	unsigned int slots;
	int ret;

	if (capacity < 1 || capacity > MARNEL_MAX_CAPACITY) {
		pr_err("capacity must be 1 to %lu\n", MARNEL_MAX_CAPACITY);
		return -EINVAL;
	}
	if (group < -1) {
		pr_err("group must be a group id, or -1 for root only\n");
		return -EINVAL;
	}
	if (group >= 0) {
		gid = make_kgid(&init_user_ns, group);
		if (!gid_valid(gid)) {
			pr_err("invalid group %d\n", group);
			return -EINVAL;
		}
		enqueue_mode = 0220;
		dequeue_mode = 0440;
	}

	/*
	 * kfifo wants a power of two, at least 2 slots; up to 4 MiB, so not
	 * necessarily physically contiguous.
	 */
	slots = roundup_pow_of_two(max(capacity, 2U));
	marnel_buffer = kvmalloc_array(slots, sizeof(int), GFP_KERNEL);
	if (!marnel_buffer)
		return -ENOMEM;
	ret = kfifo_init(&marnel_fifo, marnel_buffer, slots * sizeof(int));
	if (ret)
		goto free;

	ret = -ENOMEM;
	marnel_dir = proc_mkdir("marnel", NULL);
	if (!marnel_dir) {
		if (marnel_name_taken())
			ret = -EEXIST;
		goto free;
	}
	enq = proc_create("enqueue", enqueue_mode, marnel_dir, &enqueue_ops);
	deq = proc_create("dequeue", dequeue_mode, marnel_dir, &dequeue_ops);
	st = proc_create("status", 0444, marnel_dir, &status_ops);
	if (!enq || !deq || !st) {
		proc_remove(marnel_dir);
		goto free;
	}
	proc_set_user(enq, GLOBAL_ROOT_UID, gid);
	proc_set_user(deq, GLOBAL_ROOT_UID, gid);
	return 0;

free:
	kvfree(marnel_buffer);
	return ret;
}

static void __exit marnel_exit(void)
{
	/*
	 * Waits for every caller inside a handler; later calls on descriptors
	 * that stay open fail with EIO, so the queue can go.
	 */
	proc_remove(marnel_dir);
	kvfree(marnel_buffer);
}

module_init(marnel_init);
module_exit(marnel_exit);

#if IS_ENABLED(CONFIG_KUNIT)
#include "marnel_test.c"
#endif

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("A bounded FIFO of ints behind /proc/marnel");
MODULE_VERSION(MARNEL_VERSION);
