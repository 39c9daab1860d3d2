/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The histogram's bucketing: plain C with no kernel headers, shared by
 * hist.c and a user-space test.
 */
#ifndef VORMEK_TRACER_HIST_BUCKET_H
#define VORMEK_TRACER_HIST_BUCKET_H

/*
 * The bucket of a window length_us long among n buckets width_us wide
 * (width_us > 0), or -1 where it is past the last: an overflow.
 */
static inline long long hist_bucket(unsigned long long length_us,
				    unsigned int width_us, unsigned int n)
{
	unsigned long long i = length_us / width_us;

	return i < n ? (long long)i : -1;
}

#endif
