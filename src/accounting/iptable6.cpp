/*
 * IPv6 address table.
 *
 * Entries sit in one dense array in the order they were added; an open
 * addressing index (linear probing, at most half full) maps an address's
 * hash to its position. An existing address costs one hash, one index load
 * and one entry compare in the usual case; a new one may double either
 * array. Per address that is 32 bytes of entry and 8 to 16 of index, up to
 * twice that right after a doubling: well under the IPv4 tree's cost for
 * addresses that share no leaf.
 *
 * Nothing is allocated before the first address, so a category whose rules
 * never match IPv6 traffic keeps only the record.
 *
 * The walk sorts the entries in place at its first step and rebuilds the
 * index, so lookups still work while it runs.
 *
 * Senders choose their own interface identifiers: with a fixed hash one
 * host could send from thousands of addresses that share one probe run and
 * make every lookup walk it. Each table mixes in a random key of its own.
 */
#include "accounting/iptable6.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>

#include <algorithm>

#define IPTABLE6_FIRST_ENTRIES 16 /* entries of the first array */

struct iptable6 {
    struct ip6_entry *entries;
    uint32_t *slots;     /* 0 empty, else position in entries + 1 */
    uint32_t count;      /* entries in use */
    uint32_t capacity;   /* entries allocated */
    uint32_t slot_bits;  /* slots: 1 << slot_bits, 0 before the first add */
    uint32_t walk;       /* position of the next walk step; 0 when idle */
    int sorted;          /* entries are in ascending order */
    size_t limit;        /* bytes; 0 no bound */
    size_t reserved;     /* bytes of the limit taken elsewhere */
    uint64_t key[2];     /* random, mixed into the hash */
};

static size_t iptable6_bytes_for(uint32_t capacity, uint32_t slot_bits)
{
    size_t slots = slot_bits ? (size_t)1 << slot_bits : 0;
    return sizeof(struct iptable6) + (size_t)capacity * sizeof(struct ip6_entry) +
           slots * sizeof(uint32_t);
}

static uint32_t iptable6_hash(const struct iptable6 *table, struct addr6 a, uint32_t bits)
{
    /* Scattered interface identifiers differ in lo, subnets of one site in
     * the low bits of hi: both halves are mixed before the top bits, which
     * a multiplication makes depend on every bit below, are taken. */
    uint64_t h = ((a.hi ^ table->key[0]) * 0xc2b2ae3d27d4eb4fULL ^ a.lo ^ table->key[1]) *
                 0x9e3779b97f4a7c15ULL;
    return (uint32_t)(h >> (64 - bits));
}

static void iptable6_new_key(struct iptable6 *table)
{
    if (getrandom(table->key, sizeof table->key, GRND_NONBLOCK) == (ssize_t)sizeof table->key)
        return;
    /* No entropy yet (early boot): still different for every table. */
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    table->key[0] = (uint64_t)now.tv_nsec * 0x9e3779b97f4a7c15ULL ^ (uintptr_t)table;
    table->key[1] = (uint64_t)now.tv_sec * 0xc2b2ae3d27d4eb4fULL ^ table->key[0] >> 17;
}

struct iptable6 *iptable6_new(size_t limit)
{
    struct iptable6 *table = static_cast<struct iptable6 *>(calloc(1, sizeof *table));
    if (table == nullptr)
        return nullptr;
    table->limit = limit;
    table->sorted = 1;
    iptable6_new_key(table);
    return table;
}

struct ip6_entry *iptable6_lookup(const struct iptable6 *table, struct addr6 address)
{
    if (table == nullptr || table->slot_bits == 0)
        return nullptr;
    uint32_t mask = (1u << table->slot_bits) - 1;
    for (uint32_t i = iptable6_hash(table, address, table->slot_bits);; i = (i + 1) & mask) {
        uint32_t slot = table->slots[i];
        if (slot == 0)
            return nullptr;
        struct ip6_entry *entry = &table->entries[slot - 1];
        if (addr6_equal(entry->ip, address))
            return entry;
    }
}

/* Puts every entry into a fresh, empty index of 1 << bits slots. */
static void iptable6_reindex(struct iptable6 *table)
{
    uint32_t mask = (1u << table->slot_bits) - 1;
    memset(table->slots, 0, ((size_t)mask + 1) * sizeof *table->slots);
    for (uint32_t n = 0; n < table->count; n++) {
        uint32_t i = iptable6_hash(table, table->entries[n].ip, table->slot_bits);
        while (table->slots[i] != 0)
            i = (i + 1) & mask;
        table->slots[i] = n + 1;
    }
}

/* Room for one more entry, both arrays grown as needed; 0, or an errno. */
static int iptable6_make_room(struct iptable6 *table)
{
    uint32_t capacity = table->capacity;
    uint32_t bits = table->slot_bits;
    if (table->count == capacity)
        capacity = capacity ? capacity * 2 : IPTABLE6_FIRST_ENTRIES;
    /* at most half the slots in use keeps probe runs short */
    while (bits == 0 || (uint64_t)(table->count + 1) * 2 > (uint64_t)1 << bits)
        bits = bits ? bits + 1 : 5;
    if (capacity == table->capacity && bits == table->slot_bits)
        return 0;
    if (bits > 31 || capacity > UINT32_MAX / 2)
        return ENOSPC;
    if (table->limit != 0 && iptable6_bytes_for(capacity, bits) + table->reserved > table->limit)
        return ENOSPC;

    if (capacity != table->capacity) {
        void *grown = realloc(table->entries, (size_t)capacity * sizeof *table->entries);
        if (grown == nullptr)
            return ENOMEM;
        table->entries = static_cast<struct ip6_entry *>(grown);
        table->capacity = capacity;
    }
    if (bits != table->slot_bits) {
        uint32_t *slots = static_cast<uint32_t *>(malloc(((size_t)1 << bits) * sizeof *slots));
        if (slots == nullptr)
            return ENOMEM;
        free(table->slots);
        table->slots = slots;
        table->slot_bits = bits;
        iptable6_reindex(table);
    }
    return 0;
}

struct ip6_entry *iptable6_add(struct iptable6 *table, struct addr6 address)
{
    if (table == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (iptable6_lookup(table, address) != nullptr) {
        errno = EEXIST;
        return nullptr;
    }
    int err = iptable6_make_room(table);
    if (err != 0) {
        errno = err;
        return nullptr;
    }
    uint32_t mask = (1u << table->slot_bits) - 1;
    uint32_t i = iptable6_hash(table, address, table->slot_bits);
    while (table->slots[i] != 0)
        i = (i + 1) & mask;
    struct ip6_entry *entry = &table->entries[table->count];
    entry->ip = address;
    entry->input = 0;
    entry->output = 0;
    table->slots[i] = ++table->count;
    if (table->count > 1 && addr6_compare(table->entries[table->count - 2].ip, address) > 0)
        table->sorted = 0;
    return entry;
}

struct ip6_entry *iptable6_next(struct iptable6 *table)
{
    if (table == nullptr)
        return nullptr;
    if (table->walk == 0 && !table->sorted) {
        std::sort(table->entries, table->entries + table->count,
                  [](const struct ip6_entry &a, const struct ip6_entry &b) {
                      return addr6_compare(a.ip, b.ip) < 0;
                  });
        iptable6_reindex(table);
        table->sorted = 1;
    }
    if (table->walk >= table->count || !table->sorted) {
        table->walk = 0;
        return nullptr;
    }
    return &table->entries[table->walk++];
}

void iptable6_reserve(struct iptable6 *table, size_t bytes)
{
    if (table != nullptr)
        table->reserved = bytes;
}

size_t iptable6_count(const struct iptable6 *table)
{
    return table != nullptr ? table->count : 0;
}

size_t iptable6_bytes(const struct iptable6 *table)
{
    return table != nullptr ? iptable6_bytes_for(table->capacity, table->slot_bits) : 0;
}

void iptable6_destroy(struct iptable6 *table)
{
    if (table == nullptr)
        return;
    free(table->entries);
    free(table->slots);
    free(table);
}
