/*
 * The address table as it was before compact nodes: a 256-pointer array
 * per level, entries malloc'd one by one. Kept for the benchmarks only, so
 * that every figure of the table in use can be given beside this one,
 * measured in the same run on the same machine.
 */
#ifndef NORVO_BENCH_IPTABLE_REF_H
#define NORVO_BENCH_IPTABLE_REF_H

#include <stdint.h>

#include "accounting/iptable.h"
#include "capture/packet.h"
#include "config/config.h"

struct ref_iptable;

struct ref_iptable *ref_iptable_new(void);
/* Takes a malloc'd entry, which the table frees; 1 stored, 0 refused. */
int ref_iptable_insert(struct ref_iptable *table, uint32_t address, struct ip_entry *entry);
struct ip_entry *ref_iptable_lookup(const struct ref_iptable *table, uint32_t address);
struct ip_entry *ref_iptable_next(struct ref_iptable *table);
void ref_iptable_destroy(struct ref_iptable *table);
/* account_packet as it was, on the category's rules and this table. */
void ref_account_packet(struct ref_iptable *table, const struct cat *category,
                        const struct packet_info *packet);

#endif
