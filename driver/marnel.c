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
#include <linux/kernel.h>
#include <linux/kfifo.h>
#include <linux/log2.h>
#include <linux/mm.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/pagemap.h>
#include <linux/percpu.h>
#include <linux/proc_fs.h>
#include <linux/sched.h>
#include <linux/sched/signal.h>
#include <linux/seq_file.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/u64_stats_sync.h>
#include <linux/uaccess.h>
#include <linux/uidgid.h>

#include "marnel_parse.h"

#define MARNEL_MAX_CAPACITY	BIT(20)
/* Fault-ins in a row that may bring a read's copy no further. */
#define MARNEL_FAULT_TRIES	3

/*
 * Both parameters are checked as they are parsed, so that every value
 * refused is refused with EINVAL, as the docs say: the stock uint and int
 * parsers answer ERANGE to a number that does not fit.
 */
static unsigned int capacity = 1024;

static int capacity_set(const char *val, const struct kernel_param *kp)
{
	unsigned int v;

	if (kstrtouint(val, 0, &v) || v < 1 || v > MARNEL_MAX_CAPACITY) {
		pr_err("capacity must be 1 to %lu\n", MARNEL_MAX_CAPACITY);
		return -EINVAL;
	}
	*(unsigned int *)kp->arg = v;
	return 0;
}

static const struct kernel_param_ops capacity_ops = {
	.set	= capacity_set,
	.get	= param_get_uint,
};

module_param_cb(capacity, &capacity_ops, &capacity, 0444);
MODULE_PARM_DESC(capacity, "Values the queue holds, 1 to 1048576 (default 1024)");

/* Any valid gid of the initial namespace, or -1: root only. */
static kgid_t group = INVALID_GID;

static int group_set(const char *val, const struct kernel_param *kp)
{
	kgid_t gid = INVALID_GID;
	u32 v;

	if (!sysfs_streq(val, "-1")) {
		if (!kstrtou32(val, 0, &v))
			gid = make_kgid(&init_user_ns, v);
		if (!gid_valid(gid)) {
			pr_err("group must be a group id, or -1 for root only\n");
			return -EINVAL;
		}
	}
	*(kgid_t *)kp->arg = gid;
	return 0;
}

static int group_get(char *buffer, const struct kernel_param *kp)
{
	kgid_t gid = *(kgid_t *)kp->arg;

	if (!gid_valid(gid))
		return sysfs_emit(buffer, "-1\n");
	return sysfs_emit(buffer, "%u\n", from_kgid(&init_user_ns, gid));
}

static const struct kernel_param_ops group_ops = {
	.set	= group_set,
	.get	= group_get,
};

module_param_cb(group, &group_ops, &group, 0444);
MODULE_PARM_DESC(group, "Group id that may also write enqueue and read dequeue (default -1: root only)");

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
 * u64_stats, so that a 32-bit reader sees no torn count.
 */
struct marnel_refusals {
	u64_stats_t full;
	u64_stats_t malformed;
	struct u64_stats_sync syncp;
};

static DEFINE_PER_CPU(struct marnel_refusals, marnel_refusals);

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

/* Preemption off: one writer at a time on each CPU's sequence count. */
static void marnel_refuse(bool full)
{
	struct marnel_refusals *r = get_cpu_ptr(&marnel_refusals);

	u64_stats_update_begin(&r->syncp);
	u64_stats_inc(full ? &r->full : &r->malformed);
	u64_stats_update_end(&r->syncp);
	put_cpu_ptr(&marnel_refusals);
}

static void marnel_refusals_sum(u64 *full, u64 *malformed)
{
	unsigned int start;
	u64 f, m;
	int cpu;

	*full = 0;
	*malformed = 0;
	for_each_possible_cpu(cpu) {
		const struct marnel_refusals *r = per_cpu_ptr(&marnel_refusals, cpu);

		do {
			start = u64_stats_fetch_begin(&r->syncp);
			f = u64_stats_read(&r->full);
			m = u64_stats_read(&r->malformed);
		} while (u64_stats_fetch_retry(&r->syncp, start));
		*full += f;
		*malformed += m;
	}
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
		marnel_refuse(false);
		return -EINVAL;
	}
	/* A queue seen not full is checked again under the lock. */
	if (READ_ONCE(marnel_depth) >= capacity) {
		marnel_refuse(true);
		return -ENOSPC;
	}

	raw_spin_lock(&marnel_lock);
	if (marnel_depth >= capacity) {
		marnel_refuse(true);
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
 *
 * The fault-in stores nothing (fault_in_writeable() would write zeros
 * into the caller's buffer, past what a shorter value then delivers). A
 * copy can keep failing where the fault-in saw no fault: a sub-page fault
 * (arm64 MTE), or injected failures. So the read gives up with EFAULT,
 * the value kept, after MARNEL_FAULT_TRIES fault-ins in a row that took
 * the copy no further; a page reclaimed between a fault-in and the copy
 * costs one try, not the read. A fatal signal ends it with EINTR, which
 * no one sees but the signal's sender.
 */
static ssize_t dequeue_read(struct file *file, char __user *buf,
			    size_t count, loff_t *ppos)
{
	char text[12];	/* "-2147483648" and a NUL */
	unsigned int tries = 0;
	size_t len, n, reached = 0;
	unsigned long left;
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
		if (n - left > reached) {
			reached = n - left;
			tries = 0;
		}
		if (tries++ == MARNEL_FAULT_TRIES)
			return -EFAULT;
		if (fatal_signal_pending(current))
			return -EINTR;
		if (fault_in_safe_writeable(buf, n))
			return -EFAULT;
		cond_resched();
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
	u64 acc, del, ends, full, malformed;
	unsigned int depth;

	/* One consistent snapshot; the printing is done without the lock. */
	raw_spin_lock(&marnel_lock);
	depth = marnel_depth;
	acc = accepted;
	del = delivered;
	ends = end_markers;
	raw_spin_unlock(&marnel_lock);
	marnel_refusals_sum(&full, &malformed);

	seq_printf(m, "capacity: %u\n", capacity);
	seq_printf(m, "depth: %u\n", depth);
	seq_printf(m, "accepted: %llu\n", acc);
	seq_printf(m, "refused_full: %llu\n", full);
	seq_printf(m, "refused_malformed: %llu\n", malformed);
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

static int __init marnel_init(void)
{
	umode_t enqueue_mode = 0200, dequeue_mode = 0400;
	struct proc_dir_entry *enq, *deq, *st;
	unsigned int slots;
	int cpu, ret;

	if (gid_valid(group)) {
		enqueue_mode = 0220;
		dequeue_mode = 0440;
	}
	for_each_possible_cpu(cpu)
		u64_stats_init(&per_cpu_ptr(&marnel_refusals, cpu)->syncp);

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

	/*
	 * proc_mkdir gives no reason when it fails. A name taken is one, but
	 * telling it apart would take a path lookup, racy as it is; the proc
	 * code warns of that one with the name. Otherwise it is memory.
	 */
	ret = -ENOMEM;
	marnel_dir = proc_mkdir("marnel", NULL);
	if (!marnel_dir)
		goto free;
	/*
	 * An entry takes its directory's owner before it is visible: with the
	 * group on the directory, enqueue and dequeue never show a moment with
	 * their group's mode and root's group. The directory's own mode (0555)
	 * gives the group nothing others lack; it and status go back to root.
	 */
	if (gid_valid(group))
		proc_set_user(marnel_dir, GLOBAL_ROOT_UID, group);
	enq = proc_create("enqueue", enqueue_mode, marnel_dir, &enqueue_ops);
	deq = proc_create("dequeue", dequeue_mode, marnel_dir, &dequeue_ops);
	proc_set_user(marnel_dir, GLOBAL_ROOT_UID, GLOBAL_ROOT_GID);
	st = proc_create("status", 0444, marnel_dir, &status_ops);
	if (!enq || !deq || !st) {
		proc_remove(marnel_dir);
		goto free;
	}
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

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("A bounded FIFO of ints behind /proc/marnel");
MODULE_VERSION(MARNEL_VERSION);
