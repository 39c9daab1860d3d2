// SPDX-License-Identifier: GPL-2.0
/*
 * The histogram of window lengths. Each CPU counts the windows closed on it
 * in counters of its own, so a closing marker takes no lock and touches one
 * CPU's cache lines. The file sums them when read.
 *
 * A reset does not touch the counters: it moves a generation on, and each
 * CPU's counters are cleared by the first window that CPU counts after it
 * (only the buckets it had used), or are left out when read.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/cache.h>
#include <linux/cpumask.h>
#include <linux/kernel.h>
#include <linux/limits.h>
#include <linux/math64.h>
#include <linux/mm.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/proc_fs.h>
#include <linux/seq_file.h>
#include <linux/slab.h>
#include <linux/smp.h>

#include "hist.h"
#include "hist_bucket.h"

/* 800 KB of counters per CPU at most. */
#define HIST_MAX_BUCKETS 100000

static unsigned int hist_bucket_us = 1;
module_param(hist_bucket_us, uint, 0444);
MODULE_PARM_DESC(hist_bucket_us, "Width of a /proc/latency_hist bucket in us (default 1)");

static unsigned int hist_range_us = 10000;
module_param(hist_range_us, uint, 0444);
MODULE_PARM_DESC(hist_range_us, "Windows this long or longer count as overflows in /proc/latency_hist, in us (default 10000; 0: no histogram)");

/* One CPU's counters, the buckets after them. */
struct hist_cpu {
	unsigned long generation;
	u64 count, sum_us, min_us, max_us, overflows;
	long top;		/* the highest bucket used, or -1 */
	u64 bucket[];
};

static unsigned int buckets;
static size_t stride;		/* bytes per CPU, whole cache lines */
static void *counters;
static unsigned long generation;
static struct proc_dir_entry *hist_entry;

static struct hist_cpu *hist_of(int cpu)
{
	return counters + (size_t)cpu * stride;
}

void notrace hist_add(u64 length_us)
{
	unsigned long now = READ_ONCE(generation);
	struct hist_cpu *h;
	long long i;

	if (!counters)
		return;
	h = hist_of(raw_smp_processor_id());
	i = hist_bucket(length_us, hist_bucket_us, buckets);
	if (h->generation != now) {
		if (h->top >= 0)
			memset(h->bucket, 0, (h->top + 1) * sizeof(u64));
		h->count = h->sum_us = h->max_us = h->overflows = 0;
		h->min_us = U64_MAX;
		h->top = -1;
		/* The reader trusts the counters only once this is seen. */
		smp_store_release(&h->generation, now);
	}
	WRITE_ONCE(h->count, h->count + 1);
	WRITE_ONCE(h->sum_us, h->sum_us + length_us);
	WRITE_ONCE(h->min_us, min(h->min_us, length_us));
	WRITE_ONCE(h->max_us, max(h->max_us, length_us));
	if (i < 0) {
		WRITE_ONCE(h->overflows, h->overflows + 1);
		return;
	}
	WRITE_ONCE(h->bucket[i], h->bucket[i] + 1);
	if ((long)i > h->top)
		WRITE_ONCE(h->top, (long)i);
}

void hist_reset(void)
{
	WRITE_ONCE(generation, generation + 1);
}

/* The CPU's counters, if they belong to the current generation. */
static struct hist_cpu *current_of(int cpu, unsigned long now)
{
	struct hist_cpu *h = hist_of(cpu);

	return smp_load_acquire(&h->generation) == now ? h : NULL;
}

/*
 * cyclictest's --histogram layout: a "#" header, a bucket per line (its
 * lower bound in us, then the count) up to the highest one used, then the
 * totals. Read while windows close, the sums may differ by those windows.
 */
static int hist_show(struct seq_file *m, void *v)
{
	unsigned long now = READ_ONCE(generation);
	u64 count = 0, sum = 0, min_us = U64_MAX, max_us = 0, overflows = 0;
	cpumask_var_t current_cpus;
	long top = -1, i;
	struct hist_cpu *h;
	int cpu;

	if (!counters) {
		seq_puts(m, "# no histogram: loaded with hist_range_us=0\n");
		return 0;
	}
	/* The CPUs of this generation, chosen once for every line. */
	if (!zalloc_cpumask_var(&current_cpus, GFP_KERNEL))
		return -ENOMEM;
	for_each_possible_cpu(cpu) {
		h = current_of(cpu, now);
		if (!h)
			continue;
		cpumask_set_cpu(cpu, current_cpus);
		count += READ_ONCE(h->count);
		sum += READ_ONCE(h->sum_us);
		min_us = min(min_us, READ_ONCE(h->min_us));
		max_us = max(max_us, READ_ONCE(h->max_us));
		overflows += READ_ONCE(h->overflows);
		top = max(top, READ_ONCE(h->top));
	}
	seq_printf(m, "# Histogram of window lengths in us, buckets of %u us\n",
		   hist_bucket_us);
	for (i = 0; i <= top; i++) {
		u64 n = 0;

		for_each_cpu(cpu, current_cpus)
			n += READ_ONCE(hist_of(cpu)->bucket[i]);
		seq_printf(m, "%06lu %06llu\n", i * hist_bucket_us, n);
	}
	seq_printf(m, "# Total: %09llu\n", count);
	seq_printf(m, "# Min Latencies: %05llu\n", count ? min_us : 0);
	seq_printf(m, "# Avg Latencies: %05llu\n",
		   count ? div64_u64(sum, count) : 0);
	seq_printf(m, "# Max Latencies: %05llu\n", max_us);
	seq_printf(m, "# Histogram Overflows: %05llu\n", overflows);
	free_cpumask_var(current_cpus);
	return 0;
}

int hist_init(void)
{
	if (hist_bucket_us == 0 || hist_range_us % hist_bucket_us ||
	    hist_range_us / hist_bucket_us > HIST_MAX_BUCKETS) {
		pr_err("hist_bucket_us=%u and hist_range_us=%u are out of range (the range a multiple of the bucket, at most %u buckets)\n",
		       hist_bucket_us, hist_range_us, HIST_MAX_BUCKETS);
		return -EINVAL;
	}
	buckets = hist_range_us / hist_bucket_us;
	if (!buckets)
		goto file;
	stride = ALIGN(struct_size((struct hist_cpu *)NULL, bucket, buckets),
		       SMP_CACHE_BYTES);
	/* Generation 0: every CPU's counters start out of date. */
	generation = 1;
	counters = kvzalloc(stride * nr_cpu_ids, GFP_KERNEL);
	if (!counters)
		return -ENOMEM;
file:
	hist_entry = proc_create_single("latency_hist", 0400, NULL, hist_show);
	if (!hist_entry) {
		kvfree(counters);
		return -ENOMEM;
	}
	return 0;
}

void hist_exit(void)
{
	proc_remove(hist_entry);
	kvfree(counters);
}
