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
#include "accounting/iptable6.h"
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
    /* The category's IPv6 table counts against the same bound. */
    if (category->table6 != nullptr)
        iptable_reserve(category->table, iptable6_bytes(category->table6));
    return iptable_add(category->table, address);
}

/* A flood can bring a new address with every packet: refusals are only
 * counted here, and reported once per cycle. `sides` has bit 0 for the
 * source, bit 1 for the destination. */
static void account_refuse(struct cat *category, const struct packet_info *packet, int sides)
{
    struct refusals *refused = &category->refused;
    int both = sides == 3;
    int same = packet->family == PACKET_IPV6 ? addr6_equal(packet->src6, packet->dst6)
                                             : packet->src == packet->dst;
    refused->addresses += both && !same ? 2 : 1;
    refused->packets++;
    refused->bytes += (uint64_t)packet->len * (both ? 2 : 1);
    refused->reason = errno;
}

int rule_match6(const struct rule6 *rules, struct addr6 address, uint32_t port)
{
    for (const struct rule6 *rule = rules; rule != nullptr; rule = rule->next) {
        if ((address.hi & rule->mask.hi) == rule->ip.hi &&
            (address.lo & rule->mask.lo) == rule->ip.lo &&
            (rule->port == 0 || rule->port == port))
            return rule->policy;
    }
    return 0;
}

/* As account_entry, in the IPv6 table, bounded together with the IPv4 one. */
static struct ip6_entry *account_entry6(struct cat *category, struct addr6 address)
{
    struct ip6_entry *entry = iptable6_lookup(category->table6, address);
    if (entry != nullptr)
        return entry;
    iptable6_reserve(category->table6, iptable_bytes(category->table));
    return iptable6_add(category->table6, address);
}

/*
 * Both directions of one packet, for either address family: `match` judges
 * an address and port against a rule list, `entry` finds or makes the
 * counters of an own address (null when its table refuses it).
 */
template <typename Addr, typename Rules, typename Match, typename Entry>
static void account_directions(struct cat *category, const struct packet_info *packet,
                               const Rules *primary, const Rules *secondary, Addr src, Addr dst,
                               Match match, Entry entry)
{
    int refused = 0;
    /* Sent: own side is the source, judged by its own port. */
    if (match(primary, src, packet->sport) == 1 && match(secondary, dst, packet->dport) == 1) {
        auto *counters = entry(category, src);
        if (counters != nullptr)
            counters->output += packet->len;
        else
            refused |= 1;
    }
    /* Received: own side is the destination. Independent of the first test,
     * so traffic between two own addresses counts on both, and a packet to
     * itself adds to both counters of one entry. */
    if (match(primary, dst, packet->dport) == 1 && match(secondary, src, packet->sport) == 1) {
        auto *counters = entry(category, dst);
        if (counters != nullptr)
            counters->input += packet->len;
        else
            refused |= 2;
    }
    if (refused)
        account_refuse(category, packet, refused);
}

void account_packet(struct cat *category, const struct packet_info *packet)
{
    if (packet->family == PACKET_IPV6)
        account_directions(category, packet, category->primary6, category->secondary6,
                           packet->src6, packet->dst6, rule_match6, account_entry6);
    else
        account_directions(category, packet, category->primary, category->secondary,
                           packet->src, packet->dst, rule_match, account_entry);
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
