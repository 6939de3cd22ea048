#include <stdlib.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "accounting/iptable.h"
#include "test_addr.h"

namespace {

/* Entries are heap blocks because the table releases them with free(). */
struct ip_entry *new_entry(uint32_t address)
{
    struct ip_entry *entry = static_cast<struct ip_entry *>(calloc(1, sizeof *entry));
    entry->ip = address;
    return entry;
}

void insert_new(struct iptable *table, uint32_t address)
{
    ASSERT_EQ(iptable_insert(table, address, new_entry(address)), 1) << std::hex << address;
}

/* A full walk as every user runs it: until null, or right after the entry
 * for 255.255.255.255. Returns the addresses in the order visited. */
std::vector<uint32_t> walk(struct iptable *table)
{
    std::vector<uint32_t> seen;
    struct ip_entry *entry;
    while ((entry = iptable_next(table)) != nullptr) {
        seen.push_back(entry->ip);
        if (entry->ip == UINT32_MAX || seen.size() > (1u << 20))
            break;
    }
    return seen;
}

/* Lets several tests share clean-up whatever they assert. */
struct Table {
    struct iptable *table = iptable_new();
    ~Table() { iptable_destroy(table); }
};

}  // namespace

TEST(IptableNew, StartsEmptyAndIdle)
{
    Table t;
    ASSERT_NE(t.table, nullptr);
    EXPECT_EQ(iptable_walking(t.table), 0);
    for (int a = 0; a < 256; a++)
        ASSERT_EQ(iptable_lookup(t.table, ip4(a, 0, 0, 0)), nullptr) << a;
}

TEST(IptableWalk, EmptyTableEndsAtOnceWithCursorAtZero)
{
    Table t;
    EXPECT_EQ(iptable_next(t.table), nullptr);
    EXPECT_EQ(iptable_walking(t.table), 0);
    /* Arrays left behind by a cleared entry must not confuse the walk. */
    insert_new(t.table, ip4(10, 1, 2, 3));
    free(iptable_lookup(t.table, ip4(10, 1, 2, 3)));
    ASSERT_EQ(iptable_insert(t.table, ip4(10, 1, 2, 3), nullptr), 1);
    EXPECT_EQ(iptable_next(t.table), nullptr);
    EXPECT_EQ(iptable_walking(t.table), 0);
}

TEST(IptableWalk, YieldsAscendingAddressesAcrossFirstByteBoundary)
{
    Table t;
    insert_new(t.table, ip4(10, 0, 0, 1));
    insert_new(t.table, ip4(9, 255, 255, 255));
    insert_new(t.table, ip4(10, 0, 0, 0));
    std::vector<uint32_t> expected = {ip4(9, 255, 255, 255), ip4(10, 0, 0, 0), ip4(10, 0, 0, 1)};
    EXPECT_EQ(walk(t.table), expected);
    EXPECT_EQ(iptable_walking(t.table), 0);
    /* With the cursor back at 0 the next walk starts over. */
    EXPECT_EQ(walk(t.table), expected);
}

TEST(IptableWalk, BroadcastAddressComesLastAndWrapsCursorToZero)
{
    Table t;
    insert_new(t.table, UINT32_MAX);
    insert_new(t.table, 0);
    insert_new(t.table, ip4(255, 255, 255, 254));
    insert_new(t.table, ip4(198, 18, 0, 1));

    EXPECT_EQ(iptable_next(t.table)->ip, 0u);
    EXPECT_EQ(iptable_walking(t.table), 1);
    EXPECT_EQ(iptable_next(t.table)->ip, ip4(198, 18, 0, 1));
    EXPECT_EQ(iptable_next(t.table)->ip, ip4(255, 255, 255, 254));
    EXPECT_EQ(iptable_walking(t.table), 1);
    struct ip_entry *last = iptable_next(t.table);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->ip, UINT32_MAX);
    EXPECT_EQ(iptable_walking(t.table), 0);
    /* A further call begins anew rather than reporting the end. */
    struct ip_entry *again = iptable_next(t.table);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->ip, 0u);
}

TEST(IptableWalk, EachStepResumesJustPastThePreviousFindAcrossLevels)
{
    Table t;
    insert_new(t.table, ip4(1, 2, 3, 4));
    insert_new(t.table, ip4(1, 3, 0, 0));
    insert_new(t.table, ip4(1, 3, 0, 7));
    insert_new(t.table, ip4(2, 0, 0, 0));

    EXPECT_EQ(iptable_next(t.table)->ip, ip4(1, 2, 3, 4));
    /* Moving past a level must restart every lower level at index 0. */
    EXPECT_EQ(iptable_next(t.table)->ip, ip4(1, 3, 0, 0));
    /* An entry added behind the position is not seen in this walk; one
     * ahead of it is. */
    insert_new(t.table, ip4(1, 2, 0, 0));
    insert_new(t.table, ip4(1, 3, 0, 5));
    EXPECT_EQ(iptable_next(t.table)->ip, ip4(1, 3, 0, 5));
    EXPECT_EQ(iptable_next(t.table)->ip, ip4(1, 3, 0, 7));
    EXPECT_EQ(iptable_next(t.table)->ip, ip4(2, 0, 0, 0));
    EXPECT_EQ(iptable_walking(t.table), 1);
    EXPECT_EQ(iptable_next(t.table), nullptr);
    EXPECT_EQ(iptable_walking(t.table), 0);
}

TEST(IptableInsert, SecondEntryIsRefusedAndFirstStays)
{
    Table t;
    struct ip_entry *first = new_entry(ip4(198, 18, 1, 1));
    ASSERT_EQ(iptable_insert(t.table, ip4(198, 18, 1, 1), first), 1);
    struct ip_entry *second = new_entry(ip4(198, 18, 1, 1));
    EXPECT_EQ(iptable_insert(t.table, ip4(198, 18, 1, 1), second), 0);
    EXPECT_EQ(iptable_lookup(t.table, ip4(198, 18, 1, 1)), first);
    free(second);
}

TEST(IptableInsert, NullEntryClearsTheSlotAndFreesItForReuse)
{
    Table t;
    struct ip_entry *first = new_entry(ip4(198, 18, 1, 1));
    ASSERT_EQ(iptable_insert(t.table, ip4(198, 18, 1, 1), first), 1);
    insert_new(t.table, ip4(198, 18, 1, 2));

    EXPECT_EQ(iptable_insert(t.table, ip4(198, 18, 1, 1), nullptr), 1);
    free(first);
    EXPECT_EQ(iptable_lookup(t.table, ip4(198, 18, 1, 1)), nullptr);
    EXPECT_NE(iptable_lookup(t.table, ip4(198, 18, 1, 2)), nullptr); /* neighbour untouched */
    EXPECT_EQ(walk(t.table), std::vector<uint32_t>{ip4(198, 18, 1, 2)});
    insert_new(t.table, ip4(198, 18, 1, 1));
    /* Clearing an address never stored is accepted too. */
    EXPECT_EQ(iptable_insert(t.table, ip4(198, 19, 7, 7), nullptr), 1);
    EXPECT_EQ(walk(t.table), (std::vector<uint32_t>{ip4(198, 18, 1, 1), ip4(198, 18, 1, 2)}));
}

TEST(IptableInsert, MissingTableRefusesAndFindsNothing)
{
    struct ip_entry entry = {ip4(198, 18, 0, 1), 0, 0};
    EXPECT_EQ(iptable_insert(nullptr, entry.ip, &entry), 0);
    EXPECT_EQ(iptable_lookup(nullptr, entry.ip), nullptr);
    EXPECT_EQ(iptable_next(nullptr), nullptr);
    EXPECT_EQ(iptable_walking(nullptr), 0);
}

TEST(IptableLookup, MissesAtEveryLevelAndHitsOnlyTheExactAddress)
{
    Table t;
    insert_new(t.table, ip4(198, 18, 5, 9));
    EXPECT_EQ(iptable_lookup(t.table, ip4(198, 18, 5, 9))->ip, ip4(198, 18, 5, 9));
    EXPECT_EQ(iptable_lookup(t.table, ip4(197, 18, 5, 9)), nullptr); /* no level 2 */
    EXPECT_EQ(iptable_lookup(t.table, ip4(198, 19, 5, 9)), nullptr); /* no level 3 */
    EXPECT_EQ(iptable_lookup(t.table, ip4(198, 18, 6, 9)), nullptr); /* no leaf */
    EXPECT_EQ(iptable_lookup(t.table, ip4(198, 18, 5, 8)), nullptr); /* empty slot */
    /* Byte order: the same bytes reversed is another address. */
    EXPECT_EQ(iptable_lookup(t.table, ip4(9, 5, 18, 198)), nullptr);
}

TEST(IptableDestroy, ReleasesEntriesUnderDifferentFirstBytes)
{
    /* Leaks show up under LeakSanitizer, which the sanitizer build runs. */
    struct iptable *table = iptable_new();
    for (uint32_t a : {0u, 9u, 10u, 127u, 198u, 255u})
        for (uint32_t low : {0u, 1u, 0x0100u, 0x010000u, 0xffffffu})
            insert_new(table, a << 24 | low);
    iptable_destroy(table);

    iptable_destroy(iptable_new()); /* empty */
}

TEST(IptableDestroy, ReleasesEverythingEvenInTheMiddleOfAWalk)
{
    struct iptable *table = iptable_new();
    insert_new(table, ip4(1, 0, 0, 0));
    insert_new(table, ip4(2, 0, 0, 0));
    insert_new(table, UINT32_MAX);
    ASSERT_NE(iptable_next(table), nullptr);
    ASSERT_NE(iptable_next(table), nullptr); /* entries below the cursor remain */
    iptable_destroy(table);
}

TEST(IptableRandom, WalkMatchesASortedSetAfterInsertsAndClears)
{
    for (unsigned seed : {1u, 7u, 42u, 2024u}) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        Table t;
        std::set<uint32_t> model;
        /* Few prefixes so that arrays are shared and neighbours collide. */
        std::vector<uint32_t> prefixes;
        for (int i = 0; i < 6; i++)
            prefixes.push_back(rng() & 0xffff0000u);
        prefixes.push_back(0);
        prefixes.push_back(0xffff0000u);
        for (int step = 0; step < 4000; step++) {
            uint32_t address = prefixes[rng() % prefixes.size()] | (rng() & 0x3ff);
            if (rng() % 4 == 0) {
                free(iptable_lookup(t.table, address));
                ASSERT_EQ(iptable_insert(t.table, address, nullptr), 1);
                model.erase(address);
            } else {
                struct ip_entry *entry = new_entry(address);
                int stored = iptable_insert(t.table, address, entry);
                ASSERT_EQ(stored, model.count(address) ? 0 : 1);
                if (!stored)
                    free(entry);
                model.insert(address);
            }
        }
        std::vector<uint32_t> expected(model.begin(), model.end());
        EXPECT_EQ(walk(t.table), expected);
        EXPECT_EQ(iptable_walking(t.table), 0);
        for (uint32_t address : model)
            ASSERT_NE(iptable_lookup(t.table, address), nullptr);
    }
}
