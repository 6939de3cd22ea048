/*
 * The address table before compact nodes, for the benchmarks' reference
 * figures (see iptable_ref.h): that table's code, renamed, without
 * iptable_walking; and account_packet as it was, without its failure
 * logging, which the benchmarks never reach.
 */
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "iptable_ref.h"
#include "accounting/account.h"
#include "core/addr.h"
#include "core/state.h"

#define LEVEL_SLOTS 256 /* pointer slots per array, one per address byte value */

struct ref_iptable {
    void **root;     /* LEVEL_SLOTS slots, indexed by the first address byte */
    uint32_t cursor; /* where the next walk step starts; 0 when idle */
};

static void **ref_iptable_new_level(void)
{
    return static_cast<void **>(calloc(LEVEL_SLOTS, sizeof(void *)));
}

struct ref_iptable *ref_iptable_new(void)
{
    struct ref_iptable *table = static_cast<struct ref_iptable *>(malloc(sizeof *table));
    if (table == nullptr) {
        log_msg(LOG_ERR, "reference table: record: %s", strerror(errno));
        return nullptr;
    }
    table->root = ref_iptable_new_level();
    if (table->root == nullptr) {
        log_msg(LOG_ERR, "reference table: root array: %s", strerror(errno));
        free(table);
        return nullptr;
    }
    table->cursor = 0;
    return table;
}

/*
 * The slot array below `slot`, created when missing. Null only when the
 * allocation failed; errno then holds the reason and the failure is logged.
 */
static void **ref_iptable_level(void **slot, int depth, uint32_t address)
{
    if (*slot == nullptr) {
        void **level = ref_iptable_new_level();
        if (level == nullptr) {
            int err = errno;
            struct addr_octets o = addr_split(address);
            log_msg(LOG_ERR, "reference table: level %d array for %u.%u.%u.%u: %s", depth, o.a,
                    o.b, o.c, o.d, strerror(err));
            errno = err;
            return nullptr;
        }
        *slot = level;
    }
    return static_cast<void **>(*slot);
}

int ref_iptable_insert(struct ref_iptable *table, uint32_t address, struct ip_entry *entry)
{
    if (table == nullptr || table->root == nullptr)
        return 0;
    void **level2 = ref_iptable_level(&table->root[address >> 24], 2, address);
    if (level2 == nullptr)
        return 0;
    void **level3 = ref_iptable_level(&level2[(address >> 16) & 0xff], 3, address);
    if (level3 == nullptr)
        return 0;
    void **leaf = ref_iptable_level(&level3[(address >> 8) & 0xff], 4, address);
    if (leaf == nullptr)
        return 0;
    void **slot = &leaf[address & 0xff];
    if (*slot != nullptr && entry != nullptr)
        return 0;
    *slot = entry;
    return 1;
}

struct ip_entry *ref_iptable_lookup(const struct ref_iptable *table, uint32_t address)
{
    if (table == nullptr || table->root == nullptr)
        return nullptr;
    void **level2 = static_cast<void **>(table->root[address >> 24]);
    if (level2 == nullptr)
        return nullptr;
    void **level3 = static_cast<void **>(level2[(address >> 16) & 0xff]);
    if (level3 == nullptr)
        return nullptr;
    void **leaf = static_cast<void **>(level3[(address >> 8) & 0xff]);
    if (leaf == nullptr)
        return nullptr;
    return static_cast<struct ip_entry *>(leaf[address & 0xff]);
}

/*
 * Each step descends along the cursor's own path and scans forward from
 * there, rather than keeping a position inside the tree between calls. The
 * descent costs three loads that hit the cache lines of the previous step,
 * and the cursor stays the whole state of a walk: entries cleared or added
 * between steps (destroy clears each one as it goes) cannot leave a stale
 * position behind. Across a full walk every slot of every array is scanned
 * at most once, since each step resumes just past the previous find.
 */
struct ip_entry *ref_iptable_next(struct ref_iptable *table)
{
    if (table == nullptr || table->root == nullptr)
        return nullptr;
    uint32_t cursor = table->cursor;
    unsigned a = cursor >> 24;
    unsigned b = (cursor >> 16) & 0xff;
    unsigned c = (cursor >> 8) & 0xff;
    unsigned d = cursor & 0xff;

    /* Below the cursor's path each level starts at the cursor's byte; once
     * a level moves past it, everything beneath starts at 0. */
    for (; a < LEVEL_SLOTS; a++, b = c = d = 0) {
        void **level2 = static_cast<void **>(table->root[a]);
        if (level2 == nullptr)
            continue;
        for (; b < LEVEL_SLOTS; b++, c = d = 0) {
            void **level3 = static_cast<void **>(level2[b]);
            if (level3 == nullptr)
                continue;
            for (; c < LEVEL_SLOTS; c++, d = 0) {
                void **leaf = static_cast<void **>(level3[c]);
                if (leaf == nullptr)
                    continue;
                for (; d < LEVEL_SLOTS; d++) {
                    if (leaf[d] == nullptr)
                        continue;
                    uint32_t found = a << 24 | b << 16 | c << 8 | d;
                    table->cursor = found + 1; /* wraps to 0 after 255.255.255.255 */
                    return static_cast<struct ip_entry *>(leaf[d]);
                }
            }
        }
    }
    table->cursor = 0;
    return nullptr;
}

void ref_iptable_destroy(struct ref_iptable *table)
{
    if (table == nullptr)
        return;
    if (table->root != nullptr) {
        table->cursor = 0;
        struct ip_entry *entry;
        while ((entry = ref_iptable_next(table)) != nullptr) {
            uint32_t address = table->cursor - 1; /* the path, not entry->ip */
            free(entry);
            ref_iptable_insert(table, address, nullptr);
            if (address == UINT32_MAX)
                break;
        }
        for (unsigned a = 0; a < LEVEL_SLOTS; a++) {
            void **level2 = static_cast<void **>(table->root[a]);
            if (level2 == nullptr)
                continue;
            for (unsigned b = 0; b < LEVEL_SLOTS; b++) {
                void **level3 = static_cast<void **>(level2[b]);
                if (level3 == nullptr)
                    continue;
                for (unsigned c = 0; c < LEVEL_SLOTS; c++)
                    free(level3[c]);
                free(level3);
            }
            free(level2);
        }
        free(table->root);
    }
    free(table);
}

static struct ip_entry *ref_account_entry(struct ref_iptable *table, uint32_t address)
{
    struct ip_entry *entry = ref_iptable_lookup(table, address);
    if (entry != nullptr)
        return entry;
    entry = static_cast<struct ip_entry *>(calloc(1, sizeof *entry));
    if (entry == nullptr)
        return nullptr;
    entry->ip = address;
    if (!ref_iptable_insert(table, address, entry)) {
        free(entry);
        return nullptr;
    }
    return entry;
}

void ref_account_packet(struct ref_iptable *table, const struct cat *category,
                        const struct packet_info *packet)
{
    if (rule_match(category->primary, packet->src, packet->sport) == 1 &&
        rule_match(category->secondary, packet->dst, packet->dport) == 1) {
        struct ip_entry *entry = ref_account_entry(table, packet->src);
        if (entry != nullptr)
            entry->output += packet->len;
    }
    if (rule_match(category->primary, packet->dst, packet->dport) == 1 &&
        rule_match(category->secondary, packet->src, packet->sport) == 1) {
        struct ip_entry *entry = ref_account_entry(table, packet->dst);
        if (entry != nullptr)
            entry->input += packet->len;
    }
}
