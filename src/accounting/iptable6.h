/*
 * IPv6 address table: the counters of every IPv6 address a category
 * accounts in one cycle. Same life as the IPv4 table beside it: the main
 * thread fills it, then exactly one dump thread walks it in ascending
 * numeric order and destroys it. No lock.
 *
 * A tree indexed by address bytes, as for IPv4, would need up to sixteen
 * levels and far more memory per scattered address; this is a hash index
 * over a dense array of entries, sorted once when the walk starts.
 */
#ifndef NORVO_ACCOUNTING_IPTABLE6_H
#define NORVO_ACCOUNTING_IPTABLE6_H

#include <stddef.h>
#include <stdint.h>

#include "core/addr6.h"

struct ip6_entry {
    struct addr6 ip;
    uint64_t input;  /* bytes received in this cycle */
    uint64_t output; /* bytes sent in this cycle */
};

struct iptable6;

/* An empty table; `limit` bounds the bytes it may take, 0 means no bound.
 * Null when its first memory cannot be had (errno set). */
struct iptable6 *iptable6_new(size_t limit);
struct ip6_entry *iptable6_lookup(const struct iptable6 *table, struct addr6 address);
/* Zero counters for an address not in the table yet. Null, with errno
 * EEXIST when it is there already, ENOSPC when the table would pass its
 * limit, ENOMEM without memory, EINVAL without a table. The entry stays
 * where it is until the next iptable6_add on the same table. */
struct ip6_entry *iptable6_add(struct iptable6 *table, struct addr6 address);
/* Walk in ascending order; null at the end, and the next call starts over.
 * An address added during a walk is still yielded when it is above every
 * other; any other addition ends the walk (the next step yields null). */
struct ip6_entry *iptable6_next(struct iptable6 *table);
size_t iptable6_count(const struct iptable6 *table);
/* Bytes taken elsewhere under the same limit (the category's IPv4 table). */
void iptable6_reserve(struct iptable6 *table, size_t bytes);
/* Bytes the table has taken, its bookkeeping included. */
size_t iptable6_bytes(const struct iptable6 *table);
void iptable6_destroy(struct iptable6 *table);

#endif
