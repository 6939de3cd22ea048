/*
 * Rule matching and packet accounting.
 *
 * Runs on the main thread for every packet taken from the queue and every
 * category. The rule lists are read-only after start-up; the category's
 * table and its refusal counts belong to the running cycle. Only the first
 * packet of an address in a cycle makes the table grow, within its limit;
 * what it cannot take is counted, not logged, and reported at the cycle end.
 */
#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>

#include "accounting/account.h"
#include "accounting/iptable.h"
#include "core/state.h"

int rule_match(const struct rule *rules, uint32_t address, uint32_t port)
{
    /* The first fitting rule decides, so an "ignore" placed before a wider
     * "account" carves out an exception. A rule whose address has bits
     * outside its mask can never fit. */
    for (const struct rule *rule = rules; rule != nullptr; rule = rule->next) {
        if ((address & rule->mask) == rule->ip && (rule->port == 0 || rule->port == port))
            return rule->policy;
    }
    return 0;
}

/*
 * The counters of `address` in the category's table, created zero-filled
 * on first sight. Null when the table has no room for a new address (or
 * there is no table); errno then says why.
 */
static struct ip_entry *account_entry(struct cat *category, uint32_t address)
{
    struct ip_entry *entry = iptable_lookup(category->table, address);
    if (entry != nullptr)
        return entry;
    return iptable_add(category->table, address);
}

/* A flood can bring a new address with every packet: refusals are only
 * counted here, and reported once per cycle. `sides` has bit 0 for the
 * source, bit 1 for the destination. */
static void account_refuse(struct cat *category, const struct packet_info *packet, int sides)
{
    struct refusals *refused = &category->refused;
    int both = sides == 3;
    refused->addresses += both && packet->src != packet->dst ? 2 : 1;
    refused->packets++;
    refused->bytes += (uint64_t)packet->len * (both ? 2 : 1);
    refused->reason = errno;
}

void account_packet(struct cat *category, const struct packet_info *packet)
{
    int refused = 0;
    /* Sent: own side is the source, judged by its own port. */
    if (rule_match(category->primary, packet->src, packet->sport) == 1 &&
        rule_match(category->secondary, packet->dst, packet->dport) == 1) {
        struct ip_entry *entry = account_entry(category, packet->src);
        if (entry != nullptr)
            entry->output += packet->len;
        else
            refused |= 1;
    }
    /* Received: own side is the destination. Independent of the first test,
     * so traffic between two own addresses counts on both, and a packet to
     * itself adds to both counters of one entry. */
    if (rule_match(category->primary, packet->dst, packet->dport) == 1 &&
        rule_match(category->secondary, packet->src, packet->sport) == 1) {
        struct ip_entry *entry = account_entry(category, packet->dst);
        if (entry != nullptr)
            entry->input += packet->len;
        else
            refused |= 2;
    }
    if (refused)
        account_refuse(category, packet, refused);
}

void account_report_refused(struct cat *category)
{
    struct refusals *refused = &category->refused;
    if (refused->packets == 0)
        return;
    char reason[64];
    if (refused->reason == ENOSPC)
        snprintf(reason, sizeof reason, "address table limit of %zu MiB reached",
                 iptable_limit(category->table) >> 20);
    else if (category->table == nullptr)
        snprintf(reason, sizeof reason, "no address table");
    else
        snprintf(reason, sizeof reason, "address table: %s", strerror(refused->reason));
    log_msg(LOG_ERR, "Category %s: %s: %" PRIu64 " new addresses, %" PRIu64 " packets and %" PRIu64
            " bytes not counted in this period", category->name, reason, refused->addresses,
            refused->packets, refused->bytes);
    memset(refused, 0, sizeof *refused);
}
