/*
 * IPv6 address helpers: RFC 5952 text, prefixes and masks.
 */
#include <arpa/inet.h>

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "core/addr6.h"

namespace {

std::string formatted(const char *text)
{
    struct addr6 a = {0, 0};
    if (addr6_parse(text, &a) != 0)
        return "(unparsed)";
    char out[ADDR6_TEXT_SIZE];
    return addr6_format(a, out);
}

TEST(Addr6Format, FollowsRfc5952)
{
    EXPECT_EQ(formatted("2001:0DB8:0000:0000:0000:FF00:0042:8329"), "2001:db8::ff00:42:8329");
    EXPECT_EQ(formatted("::"), "::");
    EXPECT_EQ(formatted("::1"), "::1");
    EXPECT_EQ(formatted("1::"), "1::");
    /* a lone zero group stays */
    EXPECT_EQ(formatted("2001:db8:0:1:1:1:1:1"), "2001:db8:0:1:1:1:1:1");
    /* the longest run, then the first of equal runs */
    EXPECT_EQ(formatted("1:0:0:2:0:0:0:3"), "1:0:0:2::3");
    EXPECT_EQ(formatted("2001:db8:0:0:1:0:0:1"), "2001:db8::1:0:0:1");
    EXPECT_EQ(formatted("0:0:1:0:0:0:0:0"), "0:0:1::");
    /* the dotted quad only for IPv4-mapped addresses */
    EXPECT_EQ(formatted("::ffff:198.18.0.1"), "::ffff:198.18.0.1");
    EXPECT_EQ(formatted("::1:2"), "::1:2");
    EXPECT_EQ(formatted("::198.18.0.1"), "::c612:1");
    EXPECT_EQ(formatted("64:ff9b::198.18.0.1"), "64:ff9b::c612:1");
    EXPECT_EQ(formatted("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"),
              "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
}

/* Random addresses with zero groups in random places: the text reads back
 * as the same address, and outside ::/96 (where glibc embeds a dotted quad)
 * it is what inet_ntop prints. */
TEST(Addr6Format, ReadsBackAndAgreesWithInetNtopOutsideEmbeddedIpv4)
{
    std::mt19937_64 random(5952);
    for (int round = 0; round < 20000; round++) {
        uint8_t bytes[16];
        for (int g = 0; g < 8; g++) {
            unsigned value = random() % 3 == 0 ? 0 : static_cast<unsigned>(random() & 0xffff);
            if (random() % 4 == 0)
                value &= 0xf;
            bytes[2 * g] = static_cast<uint8_t>(value >> 8);
            bytes[2 * g + 1] = static_cast<uint8_t>(value);
        }
        struct addr6 a = addr6_from_bytes(bytes);
        char ours[ADDR6_TEXT_SIZE];
        addr6_format(a, ours);
        struct addr6 back = {0, 0};
        ASSERT_EQ(addr6_parse(ours, &back), 0) << ours;
        ASSERT_TRUE(addr6_equal(a, back)) << ours;
        uint8_t again[16];
        addr6_to_bytes(back, again);
        ASSERT_EQ(memcmp(bytes, again, 16), 0) << ours;
        if (a.hi == 0 && (a.lo >> 32) <= 0xffff)
            continue;
        char theirs[INET6_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET6, bytes, theirs, sizeof theirs), nullptr);
        ASSERT_STREQ(ours, theirs);
    }
}

TEST(Addr6Prefix, ParsesAddressAndLengthAndRefusesTheRest)
{
    struct addr6 a = {0, 0};
    int length = -1;
    ASSERT_EQ(addr6_parse_prefix("2001:db8:100::/48", &a, &length), ADDR6_PREFIX_OK);
    EXPECT_EQ(length, 48);
    EXPECT_EQ(a.hi, 0x20010db801000000ULL);
    EXPECT_EQ(a.lo, 0u);
    ASSERT_EQ(addr6_parse_prefix("::/0", &a, &length), ADDR6_PREFIX_OK);
    EXPECT_EQ(length, 0);
    ASSERT_EQ(addr6_parse_prefix("2001:2::1/128", &a, &length), ADDR6_PREFIX_OK);
    EXPECT_EQ(length, 128);

    for (const char *bad : {"2001:db8::", "/48", "2001:db8::g/48", "2001:db8:::/48",
                            "2001:db8::%eth0/48", "198.18.0.0/24", ""})
        EXPECT_EQ(addr6_parse_prefix(bad, &a, &length), ADDR6_PREFIX_BAD_TEXT) << bad;
    for (const char *bad : {"2001:db8::/129", "2001:db8::/", "2001:db8::/-1", "2001:db8::/4x",
                            "2001:db8::/1000", "2001:db8::/48/1"})
        EXPECT_EQ(addr6_parse_prefix(bad, &a, &length), ADDR6_PREFIX_BAD_LENGTH) << bad;

    char text[ADDR6_PREFIX_SIZE];
    ASSERT_EQ(addr6_parse_prefix("2001:DB8:0:0::/64", &a, &length), ADDR6_PREFIX_OK);
    EXPECT_STREQ(addr6_format_prefix(a, length, text), "2001:db8::/64");
}

TEST(Addr6Prefix, MaskCoversExactlyTheLength)
{
    for (int length = 0; length <= 128; length++) {
        struct addr6 m = addr6_mask(length);
        int ones = __builtin_popcountll(m.hi) + __builtin_popcountll(m.lo);
        EXPECT_EQ(ones, length);
        /* the ones come first, in wire order */
        uint8_t bytes[16];
        addr6_to_bytes(m, bytes);
        for (int bit = 0; bit < 128; bit++)
            EXPECT_EQ((bytes[bit / 8] >> (7 - bit % 8)) & 1, bit < length ? 1 : 0)
                << "length " << length << " bit " << bit;
    }
}

} // namespace
