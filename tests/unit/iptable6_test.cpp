/*
 * IPv6 address table: lookups, the walk order, the memory bound.
 */
#include <errno.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "accounting/iptable6.h"

namespace {

struct Ascending {
    bool operator()(const struct addr6 &a, const struct addr6 &b) const
    {
        return addr6_compare(a, b) < 0;
    }
};

/* Addresses of 2001:db8::/32 and 2001:2::/48 in scattered subnets, plus
 * both ends of the address space, which are keys like any other. */
std::vector<struct addr6> scattered(size_t count, uint64_t seed)
{
    std::mt19937_64 random(seed);
    std::vector<struct addr6> out = {{0, 0}, {~0ULL, ~0ULL}};
    while (out.size() < count) {
        uint64_t hi = random() % 2 ? 0x20010db800000000ULL | (random() & 0xffffffffULL)
                                   : 0x2001000200000000ULL | (random() & 0xffffULL);
        out.push_back({hi, random() % 3 ? random() : random() & 0xff});
    }
    return out;
}

TEST(IpTable6, CountsEveryAddressAndWalksThemInAscendingOrder)
{
    struct iptable6 *table = iptable6_new(0);
    ASSERT_NE(table, nullptr);
    std::map<struct addr6, uint64_t, Ascending> expected;
    auto addresses = scattered(5000, 12);
    for (size_t round = 0; round < 3; round++) {
        for (size_t i = 0; i < addresses.size(); i++) {
            struct ip6_entry *e = iptable6_lookup(table, addresses[i]);
            if (e == nullptr)
                e = iptable6_add(table, addresses[i]);
            ASSERT_NE(e, nullptr);
            e->input += i + 1;
            e->output += 1;
            expected[addresses[i]] += i + 1;
        }
    }
    EXPECT_EQ(iptable6_count(table), expected.size());

    for (int walk = 0; walk < 2; walk++) {
        auto want = expected.begin();
        struct ip6_entry *e;
        while ((e = iptable6_next(table)) != nullptr) {
            ASSERT_NE(want, expected.end());
            EXPECT_TRUE(addr6_equal(e->ip, want->first));
            EXPECT_EQ(e->input, want->second);
            EXPECT_EQ(e->output, 3u);
            ++want;
        }
        EXPECT_EQ(want, expected.end());
    }
    /* sorting moved the entries; the index still finds each one */
    for (const auto &[address, input] : expected) {
        struct ip6_entry *e = iptable6_lookup(table, address);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->input, input);
    }
    iptable6_destroy(table);
}

TEST(IpTable6, AddRefusesTakenAddressesAndKeepsItsLimit)
{
    struct iptable6 *empty = iptable6_new(0);
    EXPECT_EQ(iptable6_next(empty), nullptr);
    iptable6_destroy(empty);

    errno = 0;
    EXPECT_EQ(iptable6_add(nullptr, {1, 1}), nullptr);
    EXPECT_EQ(errno, EINVAL);

    const size_t limit = 64 * 1024;
    struct iptable6 *table = iptable6_new(limit);
    auto addresses = scattered(10000, 7);
    size_t stored = 0;
    for (const struct addr6 &a : addresses) {
        errno = 0;
        if (iptable6_add(table, a) == nullptr) {
            EXPECT_EQ(errno, ENOSPC);
            break;
        }
        stored++;
        EXPECT_LE(iptable6_bytes(table), limit);
    }
    EXPECT_GT(stored, 500u);
    EXPECT_LT(stored, addresses.size());
    EXPECT_EQ(iptable6_count(table), stored);
    errno = 0;
    EXPECT_EQ(iptable6_add(table, addresses[0]), nullptr);
    EXPECT_EQ(errno, EEXIST);
    iptable6_destroy(table);
}

TEST(IpTable6, AdditionDuringAWalkKeepsTheOrder)
{
    struct iptable6 *table = iptable6_new(0);
    iptable6_add(table, {5, 0});
    iptable6_add(table, {3, 0});
    ASSERT_EQ(iptable6_next(table)->ip.hi, 3u);
    /* above everything: still yielded, in order */
    iptable6_add(table, {9, 0});
    ASSERT_EQ(iptable6_next(table)->ip.hi, 5u);
    ASSERT_EQ(iptable6_next(table)->ip.hi, 9u);
    EXPECT_EQ(iptable6_next(table), nullptr);
    /* a new walk after an addition in the middle sees it in its place */
    iptable6_add(table, {4, 0});
    std::vector<uint64_t> seen;
    for (struct ip6_entry *e; (e = iptable6_next(table)) != nullptr;)
        seen.push_back(e->ip.hi);
    EXPECT_EQ(seen, (std::vector<uint64_t>{3, 4, 5, 9}));
    iptable6_destroy(table);
}

} // namespace
