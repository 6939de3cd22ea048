/*
 * Address table: a sparse four-level tree with 256-way fan-out, indexed by
 * the bytes of an IPv4 address, most significant first, so a walk yields
 * addresses in ascending order. One user at a time, no lock: the main thread
 * fills the running cycle's table, then exactly one dump thread walks and
 * destroys it.
 */
#ifndef NORVO_ACCOUNTING_IPTABLE_H
#define NORVO_ACCOUNTING_IPTABLE_H

#include <stdint.h>

/* Counters are 64-bit: a busy address passes 2^32 bytes within a period. */
struct ip_entry {
    uint32_t ip;
    uint64_t input;  /* bytes received in this cycle */
    uint64_t output; /* bytes sent in this cycle */
};

/* Opaque: callers reach the table only through the functions below. */
struct iptable;

struct iptable *iptable_new(void);
/* 1 stored, 0 refused (slot taken, or no root). A null entry clears. */
int iptable_insert(struct iptable *table, uint32_t address, struct ip_entry *entry);
struct ip_entry *iptable_lookup(const struct iptable *table, uint32_t address);
/* One walk step; null when the walk is over (cursor back at 0). */
struct ip_entry *iptable_next(struct iptable *table);
/* 1 while a walk is under way: the last step yielded an entry and the next
 * one goes on from it. 0 when idle, including right after 255.255.255.255
 * was yielded (the cursor wrapped, so a further step would start over). */
int iptable_walking(const struct iptable *table);
void iptable_destroy(struct iptable *table);

#endif
