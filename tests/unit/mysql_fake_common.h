/*
 * Test-only stand-ins for the address table and the shared dump helpers,
 * which live in other modules that this branch does not carry yet. They
 * follow the documented behaviour of those functions and are weak, so the
 * real definitions win as soon as they are linked in. Delete this file (and
 * its #include lines) once accounting/iptable.cpp and dump/dump.cpp exist.
 *
 * Include it from exactly one translation unit per executable.
 */
#ifndef NORVO_TESTS_MYSQL_FAKE_COMMON_H
#define NORVO_TESTS_MYSQL_FAKE_COMMON_H

#include <stdint.h>
#include <stdlib.h>
#include <time.h>

#include "accounting/iptable.h"
#include "config/config.h"
#include "dump/backend.h"

#define FAKE_WEAK __attribute__((weak))

static void **fake_iptable_level(void **slots, unsigned index)
{
    if (slots[index] == nullptr)
        slots[index] = calloc(256, sizeof(void *));
    return (void **)slots[index];
}

FAKE_WEAK struct iptable *iptable_new(void)
{
    struct iptable *table = (struct iptable *)calloc(1, sizeof *table);
    if (table != nullptr)
        table->root = (void **)calloc(256, sizeof(void *));
    return table;
}

FAKE_WEAK int iptable_insert(struct iptable *table, uint32_t address, struct ip_entry *entry)
{
    if (table->root == nullptr)
        return 0;
    void **level = table->root;
    for (int shift = 24; shift > 0; shift -= 8) {
        level = fake_iptable_level(level, address >> shift & 0xff);
        if (level == nullptr)
            return 0;
    }
    void **slot = &level[address & 0xff];
    if (*slot != nullptr && entry != nullptr)
        return 0;
    *slot = entry;
    return 1;
}

FAKE_WEAK struct ip_entry *iptable_lookup(const struct iptable *table, uint32_t address)
{
    void **level = table->root;
    for (int shift = 24; shift >= 0 && level != nullptr; shift -= 8)
        level = (void **)level[address >> shift & 0xff];
    return (struct ip_entry *)level;
}

/* Smallest entry at or above `from` below `slots`, a level whose first
 * address is `base` and which spans 2^(shift+8) addresses. */
static struct ip_entry *fake_iptable_find(void **slots, int shift, uint32_t base, uint32_t from)
{
    unsigned first = base >= from ? 0 : (from >> shift & 0xff);
    for (unsigned i = first; i < 256; i++) {
        if (slots[i] == nullptr)
            continue;
        uint32_t start = base | (uint32_t)i << shift;
        if (shift == 0)
            return (struct ip_entry *)slots[i];
        struct ip_entry *found = fake_iptable_find((void **)slots[i], shift - 8, start,
                                                   start >= from ? start : from);
        if (found != nullptr)
            return found;
    }
    return nullptr;
}

FAKE_WEAK struct ip_entry *iptable_next(struct iptable *table)
{
    struct ip_entry *entry = fake_iptable_find(table->root, 24, 0, table->cursor);
    table->cursor = entry != nullptr ? entry->ip + 1 : 0;
    return entry;
}

FAKE_WEAK void iptable_destroy(struct iptable *table)
{
    struct ip_entry *entry;
    while ((entry = iptable_next(table)) != nullptr) {
        uint32_t address = entry->ip;
        free(entry);
        iptable_insert(table, address, nullptr);
        if (address == 0xffffffffu)
            break;
    }
    for (int a = 0; a < 256; a++) {
        void **two = (void **)table->root[a];
        for (int b = 0; two != nullptr && b < 256; b++) {
            void **three = (void **)two[b];
            for (int c = 0; three != nullptr && c < 256; c++)
                free(three[c]);
            free(three);
        }
        free(two);
    }
    free(table->root);
    free(table);
}

FAKE_WEAK uint64_t dump_divisor(const struct cat *category)
{
    return category->byte_divider >= 2 ? (uint64_t)category->byte_divider : 1;
}

FAKE_WEAK int64_t dump_time_tag(const struct cat *category, time_t now)
{
    if (category->time_divider > 0)
        return (int32_t)(now / category->time_divider);
    return (int64_t)now;
}

FAKE_WEAK void dump_walk_start(struct dump_walk *walk, const struct cat *category)
{
    walk->table = category->table;
    walk->divisor = dump_divisor(category);
    walk->done = 0;
}

FAKE_WEAK struct ip_entry *dump_walk_next(struct dump_walk *walk, int *passes)
{
    if (walk->done)
        return nullptr;
    struct ip_entry *entry = iptable_next(walk->table);
    if (entry == nullptr || entry->ip == 0xffffffffu)
        walk->done = 1;
    if (entry == nullptr)
        return nullptr;
    *passes = entry->input >= walk->divisor || entry->output >= walk->divisor;
    entry->input /= walk->divisor;
    entry->output /= walk->divisor;
    return entry;
}

#endif
