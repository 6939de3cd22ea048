/*
 * Address table: a four-level tree with 256-way fan-out, indexed by the
 * bytes of an IPv4 address, most significant first, so a walk yields
 * addresses in ascending order. One user at a time, no lock: the main thread
 * fills the running cycle's table, then exactly one dump thread walks and
 * destroys it.
 *
 * The table keeps the counters itself. A pointer to an entry stays valid
 * until the next insertion or removal in the same table, which may move it.
 */
#ifndef NORVO_ACCOUNTING_IPTABLE_H
#define NORVO_ACCOUNTING_IPTABLE_H

#include <stddef.h>
#include <stdint.h>

/* Counters are 64-bit: a busy address passes 2^32 bytes within a period. */
struct ip_entry {
    uint32_t ip;
    uint64_t input;  /* bytes received in this cycle */
    uint64_t output; /* bytes sent in this cycle */
};

/* Opaque: callers reach the table only through the functions below. */
struct iptable;

/* An empty table; `limit` bounds the bytes it may take, 0 means no bound.
 * Null when its first memory cannot be had (logged). */
struct iptable *iptable_new_limited(size_t limit);
struct iptable *iptable_new(void);
/* Zero counters for an address not in the table yet. Null, with errno
 * EEXIST when the address is there already, ENOSPC when the entry would
 * take the table past its limit, ENOMEM when there is no memory (logged
 * once per table), EINVAL without a table. */
struct ip_entry *iptable_add(struct iptable *table, uint32_t address);
/* A copy of *entry under `address`: 1 stored, 0 refused (address taken, or
 * no room as for iptable_add). A null entry removes the address (1). */
int iptable_insert(struct iptable *table, uint32_t address, const struct ip_entry *entry);
struct ip_entry *iptable_lookup(const struct iptable *table, uint32_t address);
/* One walk step; null when the walk is over (cursor back at 0). */
struct ip_entry *iptable_next(struct iptable *table);
/* 1 while a walk is under way: the last step yielded an entry and the next
 * one goes on from it. 0 when idle, including right after 255.255.255.255
 * was yielded (the cursor wrapped, so a further step would start over). */
int iptable_walking(const struct iptable *table);
/* Bytes the table has taken, its bookkeeping included; its limit (0: none). */
size_t iptable_bytes(const struct iptable *table);
size_t iptable_limit(const struct iptable *table);
/* Bytes mapped by all the process's tables, on any thread. */
size_t iptable_mapped_bytes(void);
void iptable_destroy(struct iptable *table);

#endif
