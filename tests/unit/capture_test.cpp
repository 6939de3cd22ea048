/*
 * Capture: the frame decoder on hand-made frames and on random bytes, the
 * libpcap callback with its debug lines and its stop path, and whole
 * capture threads on devices that cannot be used and on a loopback device
 * inside a private network namespace.
 */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if_arp.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture.h"
#include "capture/queue.h"
#include "config/config.h"
#include "core/state.h"

namespace {

/* Internet checksum, for frames that must look real to the reader. */
uint16_t inet_checksum(const uint8_t *data, size_t size)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < size; i += 2)
        sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
    if (size % 2)
        sum += static_cast<uint32_t>(data[size - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

void put16(std::vector<uint8_t> &f, size_t at, uint32_t v)
{
    f[at] = static_cast<uint8_t>(v >> 8);
    f[at + 1] = static_cast<uint8_t>(v);
}

void put32(std::vector<uint8_t> &f, size_t at, uint32_t v)
{
    put16(f, at, v >> 16);
    put16(f, at + 2, v & 0xffff);
}

/* Ethernet II + 20-byte IPv4 header + the given transport bytes. */
std::vector<uint8_t> ipv4_frame(uint8_t proto, uint32_t src, uint32_t dst,
                                const std::vector<uint8_t> &transport, uint16_t ethertype = 0x0800)
{
    std::vector<uint8_t> f(14 + 20);
    for (int i = 0; i < 6; i++) {
        f[i] = 0x02;
        f[6 + i] = 0x04;
    }
    put16(f, 12, ethertype);
    f[14] = 0x45;
    put16(f, 16, static_cast<uint32_t>(20 + transport.size()));
    f[22] = 64;
    f[23] = proto;
    put32(f, 26, src);
    put32(f, 30, dst);
    put16(f, 24, inet_checksum(&f[14], 20));
    f.insert(f.end(), transport.begin(), transport.end());
    return f;
}

std::vector<uint8_t> ports_header(uint16_t sport, uint16_t dport, size_t size)
{
    std::vector<uint8_t> t(size, 0);
    put16(t, 0, sport);
    put16(t, 2, dport);
    return t;
}

constexpr uint32_t kSrc = 0xc6120001; /* 198.18.0.1 */
constexpr uint32_t kDst = 0xc6130002; /* 198.19.0.2 */

/* Decodes a copy of exactly caplen bytes, so ASan sees any read beyond them. */
int decode_exact(const std::vector<uint8_t> &frame, uint32_t caplen, uint32_t len,
                 struct packet_info *out, int link = CAPTURE_LINK_ETHERNET)
{
    std::vector<uint8_t> copy(frame.begin(), frame.begin() + caplen);
    return capture_decode(link, caplen ? copy.data() : reinterpret_cast<const uint8_t *>(""),
                          caplen, len, out);
}

TEST(CaptureDecode, TcpAndUdpGiveAddressesPortsProtocolAndWireLength)
{
    struct packet_info p;
    auto tcp = ipv4_frame(6, kSrc, kDst, ports_header(40000, 443, 20));
    ASSERT_EQ(decode_exact(tcp, static_cast<uint32_t>(tcp.size()), 54, &p), 1);
    EXPECT_EQ(p.proto, 6);
    EXPECT_EQ(p.src, kSrc);
    EXPECT_EQ(p.dst, kDst);
    EXPECT_EQ(p.sport, 40000u);
    EXPECT_EQ(p.dport, 443u);
    EXPECT_EQ(p.len, 54u);

    auto udp = ipv4_frame(17, kDst, kSrc, ports_header(53, 65535, 8));
    ASSERT_EQ(decode_exact(udp, static_cast<uint32_t>(udp.size()), 60, &p), 1);
    EXPECT_EQ(p.proto, 17);
    EXPECT_EQ(p.src, kDst);
    EXPECT_EQ(p.dst, kSrc);
    EXPECT_EQ(p.sport, 53u);
    EXPECT_EQ(p.dport, 65535u);
    EXPECT_EQ(p.len, 60u);
}

TEST(CaptureDecode, LengthComesFromTheWireNotFromTheCapture)
{
    auto tcp = ipv4_frame(6, kSrc, kDst, ports_header(1, 2, 1480));
    ASSERT_EQ(tcp.size(), 1514u);
    struct packet_info p;
    ASSERT_EQ(decode_exact(tcp, CAPTURE_SNAPLEN, 1514, &p), 1);
    EXPECT_EQ(p.len, 1514u);
    EXPECT_EQ(p.sport, 1u);
    EXPECT_EQ(p.dport, 2u);
}

TEST(CaptureDecode, IcmpEchoGivesTypeCodeAndChecksumAsPorts)
{
    std::vector<uint8_t> icmp(8 + 32, 0x61);
    icmp[0] = 8; /* echo request */
    icmp[1] = 0;
    icmp[2] = icmp[3] = 0;
    put16(icmp, 4, 0x1234);
    put16(icmp, 6, 1);
    uint16_t sum = inet_checksum(icmp.data(), icmp.size());
    put16(icmp, 2, sum);
    auto frame = ipv4_frame(1, kSrc, kDst, icmp);

    struct packet_info p;
    ASSERT_EQ(decode_exact(frame, static_cast<uint32_t>(frame.size()), 74, &p), 1);
    EXPECT_EQ(p.proto, 1);
    EXPECT_EQ(p.sport, 0x0800u);
    EXPECT_EQ(p.dport, static_cast<uint32_t>(sum));
}

TEST(CaptureDecode, OnlyEthernetIpv4FramesOfAtLeast39BytesPass)
{
    auto udp = ipv4_frame(17, kSrc, kDst, ports_header(7, 9, 8));
    struct packet_info p;
    EXPECT_EQ(decode_exact(udp, 38, 64, &p), 0) << "38 captured bytes must not be enough";
    EXPECT_EQ(decode_exact(udp, 39, 64, &p), 1) << "39 captured bytes are enough";
    EXPECT_EQ(p.dport, 9u);

    auto arp = ipv4_frame(17, kSrc, kDst, ports_header(7, 9, 8), 0x0806);
    EXPECT_EQ(decode_exact(arp, static_cast<uint32_t>(arp.size()), 64, &p), 0);
    auto vlan = ipv4_frame(17, kSrc, kDst, ports_header(7, 9, 8), 0x8100);
    EXPECT_EQ(decode_exact(vlan, static_cast<uint32_t>(vlan.size()), 64, &p), 0);
    auto ipv6 = ipv4_frame(17, kSrc, kDst, ports_header(7, 9, 8), 0x86dd);
    EXPECT_EQ(decode_exact(ipv6, static_cast<uint32_t>(ipv6.size()), 64, &p), 0);
    /* Each byte of the type matters on its own. */
    auto half = ipv4_frame(17, kSrc, kDst, ports_header(7, 9, 8), 0x0801);
    EXPECT_EQ(decode_exact(half, static_cast<uint32_t>(half.size()), 64, &p), 0);
    half = ipv4_frame(17, kSrc, kDst, ports_header(7, 9, 8), 0x0000);
    EXPECT_EQ(decode_exact(half, static_cast<uint32_t>(half.size()), 64, &p), 0);

    EXPECT_EQ(capture_decode(CAPTURE_LINK_ETHERNET, nullptr, 96, 96, &p), 0) << "no bytes captured";
}

TEST(CaptureDecode, RandomFramesNeverReadPastTheCapture)
{
    std::mt19937 rng(20240611u);
    std::uniform_int_distribution<uint32_t> caplen_of(0, 120);
    std::uniform_int_distribution<int> byte_of(0, 255);
    int accepted = 0;
    for (int round = 0; round < 200000; round++) {
        uint32_t caplen = caplen_of(rng);
        /* Exactly caplen bytes on the heap: one byte more read is an ASan report. */
        std::unique_ptr<uint8_t[]> bytes(new uint8_t[caplen ? caplen : 1]);
        for (uint32_t i = 0; i < caplen; i++)
            bytes[i] = static_cast<uint8_t>(byte_of(rng));
        /* Half the frames claim IPv4, so the decoding path gets its share. */
        if (caplen >= 14 && round % 2) {
            bytes[12] = 0x08;
            bytes[13] = 0x00;
        }
        struct packet_info p;
        memset(&p, 0xee, sizeof p);
        struct packet_info before = p;
        uint32_t len = caplen + static_cast<uint32_t>(byte_of(rng));
        int rc = capture_decode(CAPTURE_LINK_ETHERNET, caplen ? bytes.get() : nullptr, caplen, len, &p);
        bool ipv4 = caplen >= 14 && bytes[12] == 0x08 && bytes[13] == 0x00;
        ASSERT_EQ(rc, (caplen >= 39 && ipv4) ? 1 : 0) << "caplen " << caplen;
        if (rc) {
            accepted++;
            ASSERT_EQ(p.len, len);
            ASSERT_LE(p.sport, 0xffffu);
            ASSERT_LE(p.dport, 0xffffu);
        } else {
            ASSERT_EQ(memcmp(&p, &before, sizeof p), 0) << "a refused frame changed the entry";
        }
    }
    EXPECT_GT(accepted, 10000);
}

/* ---- link types ---- */

/* The IPv4 packet of ipv4_frame, without the Ethernet header. */
std::vector<uint8_t> ip_packet(uint8_t proto, uint32_t src, uint32_t dst,
                               const std::vector<uint8_t> &transport)
{
    auto f = ipv4_frame(proto, src, dst, transport);
    f.erase(f.begin(), f.begin() + 14);
    return f;
}

std::vector<uint8_t> joined(std::vector<uint8_t> header, const std::vector<uint8_t> &packet)
{
    header.insert(header.end(), packet.begin(), packet.end());
    return header;
}

/* A pseudo-header in front of an IPv4 packet; type_at locates its protocol
 * field, which `other` replaces to make the frame carry something else. */
struct link_case {
    const char *name;
    int link;
    std::vector<uint8_t> header;
    size_t type_at;
    std::vector<uint8_t> other;
};

std::vector<link_case> link_cases()
{
    std::vector<uint8_t> ether(14, 0x02), sll(16, 0), sll2(20, 0);
    ether[12] = 0x08, ether[13] = 0x00;
    sll[1] = 0;                          /* to this host */
    sll[3] = 1;                          /* ARPHRD_ETHER */
    sll[5] = 6;                          /* address length */
    sll[14] = 0x08, sll[15] = 0x00;
    sll2[0] = 0x08, sll2[1] = 0x00;
    sll2[7] = 3;                         /* interface index */
    sll2[9] = 1;                         /* ARPHRD_ETHER */
    sll2[11] = 6;
    return {
        {"ethernet", CAPTURE_LINK_ETHERNET, ether, 12, {0x86, 0xdd}},
        {"raw", CAPTURE_LINK_RAW, {}, 0, {0x60}},
        {"sll", CAPTURE_LINK_SLL, sll, 14, {0x86, 0xdd}},
        {"sll2", CAPTURE_LINK_SLL2, sll2, 0, {0x86, 0xdd}},
        {"null, little-endian", CAPTURE_LINK_NULL, {2, 0, 0, 0}, 0, {10, 0, 0, 0}},
        {"null, big-endian", CAPTURE_LINK_NULL, {0, 0, 0, 2}, 0, {0, 0, 0, 24}},
    };
}

TEST(CaptureLink, EachLinkTypeGetsItsDecoderAndOthersNone)
{
    EXPECT_EQ(capture_link_for(DLT_EN10MB, 0), CAPTURE_LINK_ETHERNET);
    EXPECT_EQ(capture_link_for(DLT_EN10MB, 1), CAPTURE_LINK_ETHERNET_VLAN);
    EXPECT_EQ(capture_link_for(DLT_RAW, 1), CAPTURE_LINK_RAW);
    EXPECT_EQ(capture_link_for(DLT_IPV4, 0), CAPTURE_LINK_RAW);
    EXPECT_EQ(capture_link_for(DLT_LINUX_SLL, 0), CAPTURE_LINK_SLL);
    EXPECT_EQ(capture_link_for(DLT_LINUX_SLL2, 0), CAPTURE_LINK_SLL2);
    EXPECT_EQ(capture_link_for(DLT_NULL, 0), CAPTURE_LINK_NULL);
    EXPECT_EQ(capture_link_for(DLT_LOOP, 0), CAPTURE_LINK_NULL);
    for (int other : {DLT_FDDI, DLT_IEEE802_11, DLT_PPP, DLT_IPV6, DLT_NETLINK})
        EXPECT_EQ(capture_link_for(other, 1), CAPTURE_LINK_NONE) << other;
}

TEST(CaptureLink, EveryLinkTypeDecodesIpv4AtItsStartAndCountsWithoutThePseudoHeader)
{
    auto udp = ip_packet(17, kSrc, kDst, ports_header(5353, 53, 8));
    for (const auto &c : link_cases()) {
        SCOPED_TRACE(c.name);
        auto frame = joined(c.header, udp);
        uint32_t size = static_cast<uint32_t>(frame.size());
        uint32_t pseudo = c.link == CAPTURE_LINK_ETHERNET ? 0 : static_cast<uint32_t>(c.header.size());
        struct packet_info p;
        ASSERT_EQ(decode_exact(frame, size, size + 100, &p, c.link), 1);
        EXPECT_EQ(p.src, kSrc);
        EXPECT_EQ(p.dst, kDst);
        EXPECT_EQ(p.proto, 17);
        EXPECT_EQ(p.sport, 5353u);
        EXPECT_EQ(p.dport, 53u);
        EXPECT_EQ(p.len, size + 100 - pseudo);

        uint32_t least = static_cast<uint32_t>(c.header.size()) + CAPTURE_MIN_IP_CAPLEN;
        EXPECT_EQ(decode_exact(frame, least - 1, size, &p, c.link), 0) << "one byte short";
        EXPECT_EQ(decode_exact(frame, least, size, &p, c.link), 1);

        auto other = frame;
        std::copy(c.other.begin(), c.other.end(), other.begin() + static_cast<long>(c.type_at));
        EXPECT_EQ(decode_exact(other, size, size, &p, c.link), 0) << "not IPv4";
    }
}

/* Ethernet header whose type field is the given tags (TPID, tag) and then IPv4. */
std::vector<uint8_t> tagged_frame(const std::vector<uint16_t> &tpids, uint16_t inner = 0x0800)
{
    std::vector<uint8_t> f(12, 0x02);
    for (uint16_t tpid : tpids) {
        f.push_back(static_cast<uint8_t>(tpid >> 8));
        f.push_back(static_cast<uint8_t>(tpid));
        f.push_back(0x00);
        f.push_back(0x0a); /* VLAN 10 */
    }
    f.push_back(static_cast<uint8_t>(inner >> 8));
    f.push_back(static_cast<uint8_t>(inner));
    return joined(f, ip_packet(6, kSrc, kDst, ports_header(443, 40000, 20)));
}

TEST(CaptureLink, VlanTagsAreDecodedOnlyWhenAskedForAndAtMostTwo)
{
    struct packet_info p;
    for (uint16_t tpid : {0x8100, 0x88a8, 0x9100}) {
        auto one = tagged_frame({tpid});
        uint32_t size = static_cast<uint32_t>(one.size());
        EXPECT_EQ(decode_exact(one, size, size, &p, CAPTURE_LINK_ETHERNET), 0) << tpid;
        ASSERT_EQ(decode_exact(one, size, size, &p, CAPTURE_LINK_ETHERNET_VLAN), 1) << tpid;
        EXPECT_EQ(p.sport, 443u);
        EXPECT_EQ(p.len, size) << "tags are counted as on the wire";
        EXPECT_EQ(decode_exact(one, 18 + CAPTURE_MIN_IP_CAPLEN - 1, size, &p,
                               CAPTURE_LINK_ETHERNET_VLAN), 0);
        EXPECT_EQ(decode_exact(one, 18 + CAPTURE_MIN_IP_CAPLEN, size, &p,
                               CAPTURE_LINK_ETHERNET_VLAN), 1);
    }
    auto two = tagged_frame({0x88a8, 0x8100});
    uint32_t size = static_cast<uint32_t>(two.size());
    EXPECT_EQ(decode_exact(two, size, size, &p, CAPTURE_LINK_ETHERNET), 0);
    ASSERT_EQ(decode_exact(two, size, size, &p, CAPTURE_LINK_ETHERNET_VLAN), 1);
    EXPECT_EQ(p.dst, kDst);
    EXPECT_EQ(p.dport, 40000u);

    auto three = tagged_frame({0x88a8, 0x8100, 0x8100});
    EXPECT_EQ(decode_exact(three, static_cast<uint32_t>(three.size()), 99, &p,
                           CAPTURE_LINK_ETHERNET_VLAN), 0);
    auto arp = tagged_frame({0x8100}, 0x0806);
    EXPECT_EQ(decode_exact(arp, static_cast<uint32_t>(arp.size()), 99, &p,
                           CAPTURE_LINK_ETHERNET_VLAN), 0);
    auto not_a_tag = tagged_frame({0x8101});
    EXPECT_EQ(decode_exact(not_a_tag, static_cast<uint32_t>(not_a_tag.size()), 99, &p,
                           CAPTURE_LINK_ETHERNET_VLAN), 0);

    /* libpcap puts the tag the kernel took off back into a cooked header. */
    auto cooked = tagged_frame({0x8100});
    cooked.insert(cooked.begin(), {0x00, 0x00}); /* 16 bytes before the type */
    size = static_cast<uint32_t>(cooked.size());
    ASSERT_EQ(decode_exact(cooked, size, size, &p, CAPTURE_LINK_SLL), 1);
    EXPECT_EQ(p.sport, 443u);
    EXPECT_EQ(p.len, size - 16);
}

TEST(CaptureLink, RandomFramesOfEveryLinkTypeNeverReadPastTheCapture)
{
    std::mt19937 rng(20240612u);
    std::uniform_int_distribution<uint32_t> caplen_of(0, 120);
    std::uniform_int_distribution<int> byte_of(0, 255);
    for (const auto &c : link_cases()) {
        SCOPED_TRACE(c.name);
        int accepted = 0;
        for (int round = 0; round < 40000; round++) {
            uint32_t caplen = caplen_of(rng);
            std::unique_ptr<uint8_t[]> bytes(new uint8_t[caplen ? caplen : 1]);
            for (uint32_t i = 0; i < caplen; i++)
                bytes[i] = static_cast<uint8_t>(byte_of(rng));
            /* Half the frames start like this link's IPv4 frames, some with tags. */
            if (round % 2 && caplen >= c.header.size()) {
                std::copy(c.header.begin(), c.header.end(), bytes.get());
                if (c.link == CAPTURE_LINK_RAW && caplen > 0)
                    bytes[0] = static_cast<uint8_t>(0x40 | (bytes[0] & 0x0f));
                if (round % 4 == 1 && caplen >= c.type_at + 6 && c.header.size() > 12) {
                    bytes[c.type_at] = 0x81;
                    bytes[c.type_at + 1] = 0x00;
                    bytes[c.type_at + 4] = 0x08;
                    bytes[c.type_at + 5] = 0x00;
                }
            }
            int links[] = {c.link, CAPTURE_LINK_ETHERNET_VLAN};
            for (int link : links) {
                struct packet_info p;
                memset(&p, 0xee, sizeof p);
                struct packet_info before = p;
                uint32_t len = caplen + static_cast<uint32_t>(byte_of(rng));
                int rc = capture_decode(link, caplen ? bytes.get() : nullptr, caplen, len, &p);
                if (!rc) {
                    ASSERT_EQ(memcmp(&p, &before, sizeof p), 0) << "a refused frame changed the entry";
                    continue;
                }
                accepted++;
                ASSERT_GE(caplen, CAPTURE_MIN_IP_CAPLEN);
                ASSERT_LE(p.len, len);
                ASSERT_LE(p.sport, 0xffffu);
                ASSERT_LE(p.dport, 0xffffu);
            }
        }
        EXPECT_GT(accepted, 5000);
    }
}

/* ---- the libpcap callback ---- */

struct settings callback_settings;
constexpr int kSlots = CAPTURE_BATCH + 4; /* a full batch fits */

class CapturePacket : public ::testing::Test {
protected:
    struct device dev;
    struct capture_run run;
    void SetUp() override
    {
        memset(&dev, 0, sizeof dev);
        strcpy(dev.name, "test0");
        memset(&run, 0, sizeof run);
        run.device = &dev;
        run.link = CAPTURE_LINK_ETHERNET;
        dev.handle = pcap_open_dead(DLT_EN10MB, CAPTURE_SNAPLEN);
        ASSERT_NE(dev.handle, nullptr);
        callback_settings.buffer_size = kSlots;
        config = &callback_settings;
        ASSERT_EQ(queue_init(config->buffer_size), 0);
    }
    void TearDown() override
    {
        pcap_close(dev.handle);
        debug.store(0);
        running.store(1);
    }
    void deliver(const std::vector<uint8_t> &frame, uint32_t len)
    {
        struct pcap_pkthdr header;
        memset(&header, 0, sizeof header);
        header.caplen = static_cast<bpf_u_int32>(frame.size());
        header.len = len;
        capture_packet(reinterpret_cast<u_char *>(&run), &header, frame.data());
    }
};

TEST_F(CapturePacket, QueuesIpv4FramesAtTheFlushOrAFullBatchAndNothingElse)
{
    auto arp = ipv4_frame(17, kSrc, kDst, ports_header(7, 9, 8), 0x0806);
    auto udp = ipv4_frame(17, kSrc, kDst, ports_header(1234, 80, 8));
    deliver(arp, 60);
    deliver(udp, 60);
    deliver(std::vector<uint8_t>(udp.begin(), udp.begin() + 38), 60);

    struct packet_info p;
    EXPECT_EQ(queue_pop(&p, 0), 1) << "a packet was queued before the flush";
    ASSERT_EQ(capture_flush(&run, 0), 0);
    ASSERT_EQ(queue_pop(&p, 0), 0);
    EXPECT_EQ(p.src, kSrc);
    EXPECT_EQ(p.dst, kDst);
    EXPECT_EQ(p.sport, 1234u);
    EXPECT_EQ(p.dport, 80u);
    EXPECT_EQ(p.proto, 17);
    EXPECT_EQ(p.len, 60u);
    EXPECT_EQ(queue_pop(&p, 0), 1) << "a frame that is not IPv4 was queued";

    /* A full batch goes to the queue without waiting for the flush, in order. */
    for (uint16_t i = 0; i < CAPTURE_BATCH; i++)
        deliver(ipv4_frame(6, kSrc, kDst, ports_header(i, 1, 20)), 60);
    EXPECT_EQ(run.count, 0);
    for (uint32_t i = 0; i < CAPTURE_BATCH; i++) {
        ASSERT_EQ(queue_pop(&p, 0), 0) << i;
        ASSERT_EQ(p.sport, i);
    }
}

TEST_F(CapturePacket, DebugLinesShowEveryFrameAndEachQueuedPacket)
{
    debug.store(1);
    auto arp = ipv4_frame(17, kSrc, kDst, ports_header(7, 9, 8), 0x0806);
    auto udp = ipv4_frame(17, kSrc, kDst, ports_header(1234, 80, 8));
    testing::internal::CaptureStdout();
    deliver(arp, 60);
    deliver(udp, 60);
    deliver(udp, 60);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Inserting packet into queue of device test0: wb:0 rb:0\n"
                   "Inserting packet into queue of device test0: wb:0 rb:0\n"
                   "IP-Packet 198.18.0.1: 1234 -> 198.19.0.2:   80\n"
                   "Inserting packet into queue of device test0: wb:1 rb:0\n"
                   "IP-Packet 198.18.0.1: 1234 -> 198.19.0.2:   80\n");
}

TEST_F(CapturePacket, StopWhileTheQueueIsFullDropsTheBatch)
{
    auto udp = ipv4_frame(17, kSrc, kDst, ports_header(1, 2, 8));
    for (int i = 0; i < kSlots; i++)
        deliver(udp, 60);
    ASSERT_EQ(capture_flush(&run, 0), 0);
    running.store(0);
    auto udp2 = ipv4_frame(17, kSrc, kDst, ports_header(3, 4, 8));
    auto done = std::async(std::launch::async, [&] {
        deliver(udp2, 60);
        return capture_flush(&run, 0);
    });
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        fprintf(stderr, "capture_flush ignored the stop request on a full queue\n");
        abort();
    }
    EXPECT_EQ(done.get(), 1);
    running.store(1);
    struct packet_info p;
    for (int i = 0; i < kSlots; i++) {
        ASSERT_EQ(queue_pop(&p, 0), 0);
        EXPECT_EQ(p.sport, 1u);
    }
    EXPECT_EQ(queue_pop(&p, 0), 1) << "the packet of a stopping daemon was queued";
}

/* ---- whole capture threads ---- */

std::string run_capture_thread(struct device *dev)
{
    testing::internal::CaptureStdout();
    void *result = capture_thread(dev);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, nullptr);
    return out;
}

TEST(CaptureThread, MissingDeviceGetsBothErrorLinesAndTheReason)
{
    struct device dev;
    memset(&dev, 0, sizeof dev);
    strcpy(dev.name, "nvcap-none0");
    std::string out = run_capture_thread(&dev);
    EXPECT_EQ(out.rfind("Error opening device nvcap-none0\nError opening device nvcap-none0: ", 0), 0u)
        << out;
    EXPECT_GT(out.size(), strlen("Error opening device nvcap-none0\nError opening device nvcap-none0: \n"))
        << "the reason is empty";
    EXPECT_EQ(dev.handle, nullptr);
}

/*
 * Runs body on a thread of its own inside a new, empty network namespace
 * (only a loopback device), so nothing here sees or sends host traffic.
 * The namespace disappears with the thread. Returns "" or why it was skipped.
 */
template <typename Fn> std::string in_private_netns(Fn body)
{
    std::string skipped;
    std::thread t([&] {
        if (unshare(CLONE_NEWNET) != 0) {
            skipped = std::string("cannot create a network namespace: ") + strerror(errno);
            return;
        }
        body();
    });
    t.join();
    return skipped;
}

int bring_up(const char *name)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return 1;
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", name);
    int rc = ioctl(fd, SIOCGIFFLAGS, &ifr);
    if (rc == 0) {
        ifr.ifr_flags |= IFF_UP;
        rc = ioctl(fd, SIOCSIFFLAGS, &ifr);
    }
    close(fd);
    return rc == 0 ? 0 : 1;
}

/* A tun device that claims to be FDDI, a link type norvo cannot decode:
 * its descriptor, or -1 with why in *why. */
int open_fddi_tun(const char *name, std::string *why)
{
    int fd = open("/dev/net/tun", O_RDWR);
    if (fd < 0) {
        *why = std::string("cannot open /dev/net/tun: ") + strerror(errno);
        return -1;
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", name);
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    if (ioctl(fd, TUNSETIFF, &ifr) != 0 || ioctl(fd, TUNSETLINK, ARPHRD_FDDI) != 0 ||
        bring_up(name) != 0) {
        *why = std::string("cannot set up tun device ") + name + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

TEST(CaptureThread, LinkTypeWithoutDecoderIsRefusedWithItsType)
{
    std::string out, why;
    struct device dev;
    memset(&dev, 0, sizeof dev);
    strcpy(dev.name, "nvfddi0");
    std::string skipped = in_private_netns([&] {
        int fd = open_fddi_tun("nvfddi0", &why);
        if (fd < 0)
            return;
        out = run_capture_thread(&dev);
        close(fd);
    });
    if (!skipped.empty() || !why.empty())
        GTEST_SKIP() << skipped << why;
    EXPECT_EQ(out, "Error opening device nvfddi0\n"
                   "Error opening device nvfddi0: link type FDDI is not supported\n");
    EXPECT_EQ(dev.handle, nullptr);
}

struct settings loopback_settings;

TEST(CaptureThread, CapturesLoopbackTrafficAndEndsOnStop)
{
    loopback_settings.buffer_size = 64;
    config = &loopback_settings;
    ASSERT_EQ(queue_init(config->buffer_size), 0);

    std::vector<struct packet_info> seen;
    uint16_t sport = 0, dport = 0;
    int join_rc = -1, setup_failed = 0;
    std::string skipped = in_private_netns([&] {
        if (bring_up("lo") != 0) {
            setup_failed = 1;
            return;
        }
        struct device dev;
        memset(&dev, 0, sizeof dev);
        strcpy(dev.name, "lo");
        pthread_t capture;
        if (pthread_create(&capture, nullptr, capture_thread, &dev) != 0) {
            setup_failed = 2;
            return;
        }

        int rx = socket(AF_INET, SOCK_DGRAM, 0), tx = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t alen = sizeof a;
        bind(rx, reinterpret_cast<sockaddr *>(&a), sizeof a);
        getsockname(rx, reinterpret_cast<sockaddr *>(&a), &alen);
        dport = ntohs(a.sin_port);
        struct sockaddr_in b = a;
        b.sin_port = 0;
        bind(tx, reinterpret_cast<sockaddr *>(&b), sizeof b);
        alen = sizeof b;
        getsockname(tx, reinterpret_cast<sockaddr *>(&b), &alen);
        sport = ntohs(b.sin_port);

        /* The capture opens asynchronously: send until it shows up, at most 5 s. */
        char payload[100] = {0};
        for (int tries = 0; tries < 100 && seen.size() < 3; tries++) {
            sendto(tx, payload, sizeof payload, 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
            struct packet_info p;
            while (queue_pop(&p, 50) == 0)
                seen.push_back(p);
        }
        close(rx);
        close(tx);

        running.store(0);
        struct timespec limit;
        clock_gettime(CLOCK_REALTIME, &limit);
        limit.tv_sec += 10;
        join_rc = pthread_timedjoin_np(capture, nullptr, &limit);
        running.store(1);
        if (join_rc != 0) {
            fprintf(stderr, "capture thread on lo did not end after the stop request\n");
            abort();
        }
        /* The daemon keeps its handles for life; a test closes what it opened. */
        if (dev.handle != nullptr)
            pcap_close(dev.handle);
    });
    if (!skipped.empty())
        GTEST_SKIP() << skipped;
    ASSERT_EQ(setup_failed, 0);
    EXPECT_EQ(join_rc, 0);
    ASSERT_GE(seen.size(), 3u);
    for (const auto &p : seen) {
        EXPECT_EQ(p.src, INADDR_LOOPBACK);
        EXPECT_EQ(p.dst, INADDR_LOOPBACK);
        EXPECT_EQ(p.proto, IPPROTO_UDP);
        EXPECT_EQ(p.sport, sport);
        EXPECT_EQ(p.dport, dport);
        EXPECT_EQ(p.len, 14u + 20u + 8u + 100u);
    }
}

} // namespace
