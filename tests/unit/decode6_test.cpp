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

int decode_exact(const std::vector<uint8_t> &f, size_t caplen, struct packet_info *out,
                 int link = CAPTURE_LINK_ETHERNET, uint32_t len = 1500)
{
    std::vector<uint8_t> copy(f.begin(), f.begin() + static_cast<long>(caplen));
    return capture_decode(link, copy.data(), static_cast<uint32_t>(caplen), len, out);
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

/* The IPv6 packet behind every link header the capture knows, counted
 * without the pseudo-headers that were never on the wire. */
TEST(Decode6, EveryLinkTypeAndVlanTagsLeadToTheSamePacket)
{
    auto ethernet = frame(kUdp, {options(kHopByHop, 0)});
    std::vector<uint8_t> packet(ethernet.begin() + 14, ethernet.end());
    std::vector<uint8_t> sll(16, 0), sll2(20, 0);
    sll[14] = 0x86, sll[15] = 0xdd;
    sll2[0] = 0x86, sll2[1] = 0xdd;
    std::vector<uint8_t> tagged(ethernet.begin(), ethernet.begin() + 12);
    for (uint8_t b : {0x88, 0xa8, 0x00, 0x07, 0x81, 0x00, 0x00, 0x2a, 0x86, 0xdd})
        tagged.push_back(b);
    struct Case {
        const char *name;
        int link;
        std::vector<uint8_t> header;
        uint32_t pseudo;
    } cases[] = {
        {"raw", CAPTURE_LINK_RAW, {}, 0},
        {"sll", CAPTURE_LINK_SLL, sll, 16},
        {"sll2", CAPTURE_LINK_SLL2, sll2, 20},
        {"null, BSD big-endian", CAPTURE_LINK_NULL, {0, 0, 0, 24}, 4},
        {"null, FreeBSD", CAPTURE_LINK_NULL, {28, 0, 0, 0}, 4},
        {"null, Darwin", CAPTURE_LINK_NULL, {0, 0, 0, 30}, 4},
        {"ethernet, two tags", CAPTURE_LINK_ETHERNET_VLAN, tagged, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> f = c.header;
        f.insert(f.end(), packet.begin(), packet.end());
        struct packet_info p;
        ASSERT_EQ(decode_exact(f, f.size(), &p, c.link, static_cast<uint32_t>(f.size())), 1);
        EXPECT_EQ(p.family, PACKET_IPV6);
        EXPECT_EQ(p.src6.lo, 1u);
        EXPECT_EQ(p.dst6.hi, 0x2001000200000000ULL);
        EXPECT_EQ(p.sport, 40000u);
        EXPECT_EQ(p.dport, 443u);
        EXPECT_EQ(p.len, f.size() - c.pseudo);
        /* one byte short of the fixed header behind the link header */
        EXPECT_EQ(decode_exact(f, c.header.size() + 39, &p, c.link), 0);
    }
    /* tags only where the device asked for them */
    struct packet_info p;
    std::vector<uint8_t> tagged_frame = tagged;
    tagged_frame.insert(tagged_frame.end(), packet.begin(), packet.end());
    EXPECT_EQ(decode_exact(tagged_frame, tagged_frame.size(), &p, CAPTURE_LINK_ETHERNET), 0);
    /* Linux's AF_INET6 (10) never heads a BSD loopback frame */
    std::vector<uint8_t> linux_family = {10, 0, 0, 0};
    linux_family.insert(linux_family.end(), packet.begin(), packet.end());
    EXPECT_EQ(decode_exact(linux_family, linux_family.size(), &p, CAPTURE_LINK_NULL), 0);
    /* an IPv4 header behind the IPv6 type is neither */
    auto wrong = ethernet;
    wrong[14] = 0x45;
    EXPECT_EQ(decode_exact(wrong, wrong.size(), &p), 0);
}

} // namespace
