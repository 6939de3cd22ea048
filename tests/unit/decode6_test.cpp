/*
 * IPv6 decoding of Ethernet frames: addresses, the extension header walk,
 * fragments and captures cut anywhere. Every frame is decoded from a copy
 * of exactly the captured bytes, so ASan sees any read past them.
 */
#include <vector>

#include <gtest/gtest.h>

#include "capture/capture.h"
#include "capture/decode6.h"

namespace {

constexpr uint8_t kHopByHop = 0, kTcp = 6, kUdp = 17, kDccp = 33, kRouting = 43,
                  kFragment = 44, kIcmp6 = 58, kDestOpts = 60, kSctp = 132, kUdpLite = 136;

/* 2001:db8::1 and 2001:2::2 */
const uint8_t kSrc[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const uint8_t kDst[16] = {0x20, 0x01, 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

struct Extension {
    uint8_t type;
    std::vector<uint8_t> body; /* after the next-header byte */
};

/* An options-style extension of (units + 1) * 8 bytes. */
Extension options(uint8_t type, uint8_t units)
{
    std::vector<uint8_t> body((units + 1) * 8 - 1, 0);
    body[0] = units;
    return {type, body};
}

Extension fragment(uint16_t offset_units, bool more)
{
    uint16_t field = static_cast<uint16_t>(offset_units << 3 | (more ? 1 : 0));
    return {kFragment, {0, static_cast<uint8_t>(field >> 8), static_cast<uint8_t>(field), 0, 0,
                        0, 1}};
}

/* Ethernet, the IPv6 header, the extensions in order, then a transport
 * header with ports 40000 -> 443 padded to 20 bytes. */
std::vector<uint8_t> frame(uint8_t transport, const std::vector<Extension> &chain = {})
{
    std::vector<uint8_t> f(12, 0x02);
    f.push_back(0x86);
    f.push_back(0xdd);
    size_t ip = f.size();
    f.resize(ip + 40, 0);
    f[ip] = 0x60;
    f[ip + 7] = 64;
    std::copy(kSrc, kSrc + 16, f.begin() + ip + 8);
    std::copy(kDst, kDst + 16, f.begin() + ip + 24);
    size_t next_at = ip + 6;
    for (const Extension &e : chain) {
        f[next_at] = e.type;
        next_at = f.size();
        f.push_back(0);
        f.insert(f.end(), e.body.begin(), e.body.end());
    }
    f[next_at] = transport;
    std::vector<uint8_t> t(20, 0);
    t[0] = 40000 >> 8;
    t[1] = 40000 & 0xff;
    t[2] = 443 >> 8;
    t[3] = 443 & 0xff;
    f.insert(f.end(), t.begin(), t.end());
    return f;
}

int decode_exact(const std::vector<uint8_t> &f, size_t caplen, struct packet_info *out)
{
    std::vector<uint8_t> copy(f.begin(), f.begin() + static_cast<long>(caplen));
    return capture_decode(copy.data(), static_cast<uint32_t>(caplen), 1500, out);
}

TEST(Decode6, AddressesPortsAndWireLength)
{
    for (uint8_t transport : {kTcp, kUdp, kDccp, kSctp, kUdpLite}) {
        auto f = frame(transport);
        struct packet_info p;
        ASSERT_EQ(decode_exact(f, f.size(), &p), 1);
        EXPECT_EQ(p.family, PACKET_IPV6);
        EXPECT_EQ(p.src6.hi, 0x20010db800000000ULL);
        EXPECT_EQ(p.src6.lo, 1u);
        EXPECT_EQ(p.dst6.hi, 0x2001000200000000ULL);
        EXPECT_EQ(p.dst6.lo, 2u);
        EXPECT_EQ(p.proto, transport);
        EXPECT_EQ(p.sport, 40000u);
        EXPECT_EQ(p.dport, 443u);
        EXPECT_EQ(p.len, 1500u);
    }
    /* ICMPv6 has no ports */
    auto icmp = frame(kIcmp6);
    struct packet_info p;
    ASSERT_EQ(decode_exact(icmp, icmp.size(), &p), 1);
    EXPECT_EQ(p.proto, kIcmp6);
    EXPECT_EQ(p.sport, 0u);
    EXPECT_EQ(p.dport, 0u);
}

TEST(Decode6, WalksEveryExtensionHeaderToThePorts)
{
    auto f = frame(kUdp, {options(kHopByHop, 0), options(kRouting, 2), options(kDestOpts, 1),
                          fragment(0, true)});
    struct packet_info p;
    ASSERT_EQ(decode_exact(f, f.size(), &p), 1);
    EXPECT_EQ(p.proto, kUdp);
    EXPECT_EQ(p.sport, 40000u);
    EXPECT_EQ(p.dport, 443u);
}

TEST(Decode6, LaterFragmentHasNoPorts)
{
    auto f = frame(kTcp, {options(kHopByHop, 0), fragment(185, false)});
    struct packet_info p;
    ASSERT_EQ(decode_exact(f, f.size(), &p), 1);
    EXPECT_EQ(p.proto, kTcp);
    EXPECT_EQ(p.sport, 0u);
    EXPECT_EQ(p.dport, 0u);
    EXPECT_EQ(p.src6.lo, 1u);
}

/* Cut at every length: below the fixed header the frame is dropped; from
 * there on it is counted, with ports only once all four bytes are in. */
TEST(Decode6, TruncatedCapturesNeverReadPastTheCapturedBytes)
{
    auto f = frame(kTcp, {options(kHopByHop, 1), fragment(0, true), options(kDestOpts, 0)});
    const size_t ports_end = f.size() - 20 + 4;
    for (size_t caplen = 0; caplen <= f.size(); caplen++) {
        struct packet_info p;
        p.sport = p.dport = 7;
        int got = decode_exact(f, caplen, &p);
        if (caplen < 14 + 40) {
            EXPECT_EQ(got, 0) << caplen;
            continue;
        }
        ASSERT_EQ(got, 1) << caplen;
        EXPECT_EQ(p.family, PACKET_IPV6);
        EXPECT_EQ(p.sport, caplen >= ports_end ? 40000u : 0u) << caplen;
        EXPECT_EQ(p.dport, caplen >= ports_end ? 443u : 0u) << caplen;
    }
}

TEST(Decode6, WrongVersionOrEthertypeIsNotIpv6)
{
    auto f = frame(kTcp);
    f[14] = 0x40;
    struct packet_info p;
    EXPECT_EQ(decode_exact(f, f.size(), &p), 0);
    f[14] = 0x60;
    f[13] = 0xde;
    EXPECT_EQ(decode_exact(f, f.size(), &p), 0);
}

TEST(Decode6, ExtensionLengthBeyondTheCaptureStopsTheWalk)
{
    auto f = frame(kUdp, {options(kRouting, 0)});
    f[14 + 40 + 1] = 200; /* claims 1608 bytes */
    struct packet_info p;
    ASSERT_EQ(decode_exact(f, f.size(), &p), 1);
    EXPECT_EQ(p.sport, 0u);
    EXPECT_EQ(p.dport, 0u);
}

} // namespace
