/*
 * Rule matching and packet accounting.
 *
 * Runs on the main thread for every packet taken from the queue and every
 * category. The rule lists are read-only after start-up; the category's
 * table belongs to the running cycle, and the entries created here become
 * the table's to release. Nothing allocates except for the first packet of
 * an address in a cycle.
 */
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "accounting/account.h"
#include "accounting/iptable.h"
#include "accounting/iptable6.h"
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
 * on first sight. Null when they cannot be created; the packet then goes
 * uncounted for this address, and the log says so.
 */
static struct ip_entry *account_entry(struct cat *category, uint32_t address)
{
    struct ip_entry *entry = iptable_lookup(category->table, address);
    if (entry != nullptr)
        return entry;

    struct addr_octets o = addr_split(address);
    entry = static_cast<struct ip_entry *>(calloc(1, sizeof *entry));
    if (entry == nullptr) {
        log_msg(LOG_ERR, "category %s: counters for %u.%u.%u.%u: %s; packet not counted",
                category->name, o.a, o.b, o.c, o.d, strerror(errno));
        return nullptr;
    }
    entry->ip = address;
    errno = 0;
    if (!iptable_insert(category->table, address, entry)) {
        /* The slot was empty, so a refusal means a level array could not be
         * allocated (errno set) or the cycle gave the category no table. */
        int err = errno;
        log_msg(LOG_ERR, "category %s: table entry for %u.%u.%u.%u: %s; packet not counted",
                category->name, o.a, o.b, o.c, o.d,
                err != 0 ? strerror(err) : "category has no address table");
        free(entry);
        return nullptr;
    }
    return entry;
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

static struct ip6_entry *account_entry6(struct cat *category, struct addr6 address)
{
    struct ip6_entry *entry = iptable6_lookup(category->table6, address);
    if (entry != nullptr)
        return entry;
    entry = iptable6_add(category->table6, address);
    if (entry == nullptr) {
        char text[ADDR6_TEXT_SIZE];
        int err = errno;
        log_msg(LOG_ERR, "category %s: table entry for %s: %s; packet not counted",
                category->name, addr6_format(address, text),
                category->table6 != nullptr ? strerror(err) : "category has no IPv6 table");
    }
    return entry;
}

/* As for IPv4 below, against the category's IPv6 rules and table. */
static void account_packet6(struct cat *category, const struct packet_info *packet)
{
    if (rule_match6(category->primary6, packet->src6, packet->sport) == 1 &&
        rule_match6(category->secondary6, packet->dst6, packet->dport) == 1) {
        struct ip6_entry *entry = account_entry6(category, packet->src6);
        if (entry != nullptr)
            entry->output += packet->len;
    }
    if (rule_match6(category->primary6, packet->dst6, packet->dport) == 1 &&
        rule_match6(category->secondary6, packet->src6, packet->sport) == 1) {
        struct ip6_entry *entry = account_entry6(category, packet->dst6);
        if (entry != nullptr)
            entry->input += packet->len;
    }
}

void account_packet(struct cat *category, const struct packet_info *packet)
{
    if (packet->family == PACKET_IPV6) {
        account_packet6(category, packet);
        return;
    }
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
