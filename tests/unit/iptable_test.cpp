#include <errno.h>
#include <stdlib.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "accounting/iptable.h"
#include "test_addr.h"

namespace {

/* The table keeps a copy of the entry it is given. */
void insert_new(struct iptable *table, uint32_t address)
{
    struct ip_entry entry = {address, 0, 0};
    ASSERT_EQ(iptable_insert(table, address, &entry), 1) << std::hex << address;
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
    /* Nothing left behind by a cleared entry may confuse the walk. */
    insert_new(t.table, ip4(10, 1, 2, 3));
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

TEST(IptableWalk, AddressAddedBehindTheCursorInTheSameSlash24IsLeftForTheNextWalk)
{
    /* A /24 with one address keeps it in its /16 node, with two in a leaf:
     * both kinds, behind and ahead of the cursor. */
    Table t;
    insert_new(t.table, ip4(10, 0, 0, 7));
    insert_new(t.table, ip4(10, 0, 1, 1));
    insert_new(t.table, ip4(10, 0, 1, 9));
    EXPECT_EQ(iptable_next(t.table)->ip, ip4(10, 0, 0, 7));
    ASSERT_EQ(iptable_insert(t.table, ip4(10, 0, 0, 7), nullptr), 1);
    insert_new(t.table, ip4(10, 0, 0, 3)); /* lone, behind */
    EXPECT_EQ(iptable_next(t.table)->ip, ip4(10, 0, 1, 1));
    insert_new(t.table, ip4(10, 0, 1, 0)); /* in the leaf, behind */
    insert_new(t.table, ip4(10, 0, 1, 5)); /* in the leaf, ahead */
    EXPECT_EQ(iptable_next(t.table)->ip, ip4(10, 0, 1, 5));
    EXPECT_EQ(iptable_next(t.table)->ip, ip4(10, 0, 1, 9));
    EXPECT_EQ(iptable_next(t.table), nullptr);
    EXPECT_EQ(walk(t.table), (std::vector<uint32_t>{ip4(10, 0, 0, 3), ip4(10, 0, 1, 0),
                                                    ip4(10, 0, 1, 1), ip4(10, 0, 1, 5),
                                                    ip4(10, 0, 1, 9)}));
}

TEST(IptableInsert, SecondEntryIsRefusedAndFirstStays)
{
    Table t;
    struct ip_entry first = {ip4(198, 18, 1, 1), 11, 12};
    ASSERT_EQ(iptable_insert(t.table, ip4(198, 18, 1, 1), &first), 1);
    struct ip_entry second = {ip4(198, 18, 1, 1), 21, 22};
    EXPECT_EQ(iptable_insert(t.table, ip4(198, 18, 1, 1), &second), 0);
    struct ip_entry *stored = iptable_lookup(t.table, ip4(198, 18, 1, 1));
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->input, 11u);
    EXPECT_EQ(stored->output, 12u);
    errno = 0;
    EXPECT_EQ(iptable_add(t.table, ip4(198, 18, 1, 1)), nullptr);
    EXPECT_EQ(errno, EEXIST);
}

TEST(IptableAdd, GivesZeroCountersUnderTheAddressAndNothingWithoutATable)
{
    Table t;
    struct ip_entry *entry = iptable_add(t.table, ip4(198, 18, 3, 4));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->ip, ip4(198, 18, 3, 4));
    EXPECT_EQ(entry->input, 0u);
    EXPECT_EQ(entry->output, 0u);
    entry->input = 5;
    EXPECT_EQ(iptable_lookup(t.table, ip4(198, 18, 3, 4))->input, 5u);
    errno = 0;
    EXPECT_EQ(iptable_add(nullptr, ip4(198, 18, 3, 4)), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

TEST(IptableInsert, NullEntryClearsTheSlotAndFreesItForReuse)
{
    Table t;
    insert_new(t.table, ip4(198, 18, 1, 1));
    insert_new(t.table, ip4(198, 18, 1, 2));

    EXPECT_EQ(iptable_insert(t.table, ip4(198, 18, 1, 1), nullptr), 1);
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
    EXPECT_EQ(iptable_lookup(t.table, ip4(198, 18, 5, 8)), nullptr); /* absent in the leaf */
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
                ASSERT_EQ(iptable_insert(t.table, address, nullptr), 1);
                model.erase(address);
            } else {
                struct ip_entry entry = {address, 0, 0};
                ASSERT_EQ(iptable_insert(t.table, address, &entry), model.count(address) ? 0 : 1);
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

namespace {

/* Lookups of every candidate and a full walk agree with the model. */
void expect_matches(struct iptable *table, const std::set<uint32_t> &model,
                    const std::vector<uint32_t> &candidates)
{
    for (uint32_t address : candidates) {
        struct ip_entry *entry = iptable_lookup(table, address);
        ASSERT_EQ(entry != nullptr, model.count(address) == 1) << std::hex << address;
        if (entry != nullptr) {
            ASSERT_EQ(entry->ip, address);
        }
    }
    ASSERT_EQ(walk(table), std::vector<uint32_t>(model.begin(), model.end()));
}

}  // namespace

TEST(IptableNodes, GrowToFullAndShrinkToEmptyAtEveryLevel)
{
    /* All 256 values of one byte under a fixed rest, added and then removed
     * in random order: every node size on the way up and down, at each level,
     * with the neighbours of the one changing byte checked at every step. */
    std::mt19937 rng(77);
    for (int level = 0; level < 4; level++) {
        for (uint32_t rest : {0u, 0xffffffffu, ip4(198, 18, 7, 9)}) {
            SCOPED_TRACE(testing::Message() << "level " << level << " rest " << std::hex << rest);
            int shift = 8 * (3 - level);
            std::vector<uint32_t> candidates;
            for (uint32_t value = 0; value < 256; value++)
                candidates.push_back((rest & ~(0xffu << shift)) | value << shift);
            Table t;
            std::set<uint32_t> model;
            std::vector<uint32_t> order = candidates;
            std::shuffle(order.begin(), order.end(), rng);
            for (uint32_t address : order) {
                insert_new(t.table, address);
                model.insert(address);
                expect_matches(t.table, model, candidates);
                if (HasFatalFailure())
                    return;
            }
            std::shuffle(order.begin(), order.end(), rng);
            for (uint32_t address : order) {
                ASSERT_EQ(iptable_insert(t.table, address, nullptr), 1);
                model.erase(address);
                expect_matches(t.table, model, candidates);
                if (HasFatalFailure())
                    return;
            }
        }
    }
}

TEST(IptableNodes, FreedNodesAreReusedSoRepeatedFillsTakeNoMoreMemory)
{
    /* The same fill and removal again and again: every node the second
     * round needs, the first one freed. */
    std::mt19937 rng(5);
    std::vector<uint32_t> fill;
    for (int i = 0; i < 3000; i++)
        fill.push_back(rng() & 0xff00ffffu); /* dense leaves and sparse ones */
    std::vector<uint32_t> removal = fill;
    std::shuffle(removal.begin(), removal.end(), rng);
    Table t;
    size_t after_first_round = 0;
    for (int round = 0; round < 3; round++) {
        for (uint32_t address : fill)
            iptable_add(t.table, address);
        EXPECT_EQ(walk(t.table).size(), std::set<uint32_t>(fill.begin(), fill.end()).size());
        for (uint32_t address : removal)
            ASSERT_EQ(iptable_insert(t.table, address, nullptr), 1);
        EXPECT_EQ(walk(t.table), std::vector<uint32_t>{});
        if (round == 0)
            after_first_round = iptable_bytes(t.table);
        EXPECT_EQ(iptable_bytes(t.table), after_first_round) << "round " << round;
    }
}

TEST(IptableWalk, CrossesWordAndNodeBoundariesAtEveryLevel)
{
    /* The occupancy maps are read 64 bits at a time. */
    const uint32_t edges[] = {0, 1, 62, 63, 64, 65, 127, 128, 191, 192, 254, 255};
    Table t;
    std::set<uint32_t> model;
    for (int level = 0; level < 4; level++)
        for (uint32_t high : {0u, 0xffffffffu})
            for (uint32_t edge : edges) {
                int shift = 8 * (3 - level);
                uint32_t address = (high & ~(0xffu << shift)) | edge << shift;
                if (model.insert(address).second)
                    insert_new(t.table, address);
            }
    EXPECT_EQ(walk(t.table), std::vector<uint32_t>(model.begin(), model.end()));
    /* Step by step, each find resumes right past the previous one. */
    for (uint32_t expected : model) {
        struct ip_entry *entry = iptable_next(t.table);
        ASSERT_NE(entry, nullptr);
        ASSERT_EQ(entry->ip, expected);
        ASSERT_EQ(iptable_walking(t.table), expected != UINT32_MAX);
    }
}

TEST(IptableWalk, ZeroAloneIsYieldedOnceAndBroadcastAloneEndsTheWalk)
{
    Table zero;
    insert_new(zero.table, 0);
    ASSERT_NE(iptable_next(zero.table), nullptr);
    EXPECT_EQ(iptable_walking(zero.table), 1); /* the cursor stands at 0.0.0.1 */
    EXPECT_EQ(iptable_next(zero.table), nullptr);
    EXPECT_EQ(iptable_walking(zero.table), 0);
    ASSERT_EQ(iptable_insert(zero.table, 0, nullptr), 1);
    EXPECT_EQ(iptable_lookup(zero.table, 0), nullptr);
    EXPECT_EQ(iptable_next(zero.table), nullptr);

    Table broadcast;
    insert_new(broadcast.table, UINT32_MAX);
    struct ip_entry *last = iptable_next(broadcast.table);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->ip, UINT32_MAX);
    EXPECT_EQ(iptable_walking(broadcast.table), 0);
    ASSERT_EQ(iptable_insert(broadcast.table, UINT32_MAX, nullptr), 1);
    EXPECT_EQ(iptable_next(broadcast.table), nullptr);
}

TEST(IptableLimit, RefusesPastTheLimitAndKeepsEverythingItTook)
{
    const size_t limit = 64 * 1024;
    struct iptable *table = iptable_new_limited(limit);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(iptable_limit(table), limit);
    std::mt19937 rng(99);
    std::set<uint32_t> model;
    size_t refused = 0, first_refusal = 0;
    for (int i = 0; i < 5000; i++) {
        /* scattered over four /8s, and now and then one beside a stored one */
        uint32_t address = model.empty() || rng() % 4 != 0 ? (rng() & 0x03ffffffu) | 0x60000000u
                                                           : *model.begin() + 1 + rng() % 3;
        errno = 0;
        struct ip_entry *entry = iptable_add(table, address);
        if (entry == nullptr) {
            ASSERT_EQ(errno, model.count(address) ? EEXIST : ENOSPC) << std::hex << address;
            if (model.count(address) == 0 && refused++ == 0)
                first_refusal = model.size();
        } else {
            ASSERT_TRUE(model.insert(address).second);
        }
        ASSERT_LE(iptable_bytes(table), limit);
    }
    ASSERT_GT(refused, 0u);
    ASSERT_GT(first_refusal, 100u);
    /* Refusals left nothing behind: the walk holds exactly what was taken. */
    EXPECT_EQ(walk(table), std::vector<uint32_t>(model.begin(), model.end()));
    for (uint32_t address : model)
        ASSERT_NE(iptable_lookup(table, address), nullptr);
    iptable_destroy(table);

    /* 0 is no limit. */
    Table unbounded;
    for (int i = 0; i < 5000; i++)
        iptable_add(unbounded.table, rng());
    EXPECT_GT(iptable_bytes(unbounded.table), limit);
    EXPECT_EQ(iptable_limit(unbounded.table), 0u);
}
