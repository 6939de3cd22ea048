/*
 * Rule matching and packet accounting.
 *
 * Runs on the main thread for every packet taken from the queue and every
 * category. The rule lists are read-only after start-up; the category's
 * table belongs to the running cycle and keeps the counters. Only the first
 * packet of an address in a cycle makes the table grow.
 */
#include <errno.h>
#include <string.h>
#include <syslog.h>

#include "accounting/account.h"
#include "accounting/iptable.h"
#include "core/addr.h"
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
 * on first sight. Null when the table has no room for them; the packet then
 * goes uncounted for this address, and the log says so.
 */
static struct ip_entry *account_entry(struct cat *category, uint32_t address)
{
    struct ip_entry *entry = iptable_lookup(category->table, address);
    if (entry != nullptr)
        return entry;
    entry = iptable_add(category->table, address);
    if (entry == nullptr) {
        struct addr_octets o = addr_split(address);
        log_msg(LOG_ERR, "category %s: table entry for %u.%u.%u.%u: %s; packet not counted",
                category->name, o.a, o.b, o.c, o.d,
                category->table != nullptr ? strerror(errno) : "category has no address table");
    }
    return entry;
}

void account_packet(struct cat *category, const struct packet_info *packet)
{
    /* Sent: own side is the source, judged by its own port. */
    if (rule_match(category->primary, packet->src, packet->sport) == 1 &&
        rule_match(category->secondary, packet->dst, packet->dport) == 1) {
        struct ip_entry *entry = account_entry(category, packet->src);
        if (entry != nullptr)
            entry->output += packet->len;
    }
    /* Received: own side is the destination. Independent of the first test,
     * so traffic between two own addresses counts on both, and a packet to
     * itself adds to both counters of one entry. */
    if (rule_match(category->primary, packet->dst, packet->dport) == 1 &&
        rule_match(category->secondary, packet->src, packet->sport) == 1) {
        struct ip_entry *entry = account_entry(category, packet->dst);
        if (entry != nullptr)
            entry->input += packet->len;
    }
}
