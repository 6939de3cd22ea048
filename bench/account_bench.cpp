/*
 * Per-packet accounting cost on the main thread, with the office example's
 * three rules moved onto 198.18.0.0/15: own side 198.18.0.0/16, no
 * counting with the wider 198.18.0.0/15, every other peer counted. Each
 * iteration accounts one packet, so the time column is ns per packet and
 * items_per_second is packets per second. The tables are warmed first, so
 * steady state is measured, not the first sight of each address.
 * "Reference" runs are the same packets through account_packet and the table
 * as they were before compact nodes (iptable_ref.cpp), in the same run.
 *
 * The flood runs account a new scattered source in every packet, in a
 * category that accounts every address against every peer: with room in the
 * table (each packet inserts), and with the table at its limit (each packet
 * is refused).
 *
 * The IPv6 benchmarks do the same with the same three rules in IPv6 form:
 * own side 2001:db8:100::/48, no counting with the wider 2001:db8::/32,
 * every other peer counted; the IPv4 rules stay in the category, as in a
 * dual-stack configuration. Run both in one run to compare them.
 */
#include <malloc.h>
#include <string.h>
#include <sys/resource.h>

#include <deque>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "accounting/account.h"
#include "accounting/iptable.h"
#include "accounting/iptable6.h"
#include "iptable_ref.h"

namespace {

constexpr uint32_t OWN_NET = 198u << 24 | 18u << 16; /* 198.18.0.0/16 */
constexpr uint32_t SITE_MASK = 0xfffe0000u;          /* /15 */
constexpr size_t PACKET_RING = 1 << 16;              /* pre-built packets */
constexpr uint64_t OWN6_HI = 0x20010db801000000ULL;  /* 2001:db8:100::/48 */
constexpr uint64_t SITE6_HI = 0x20010db800000000ULL; /* 2001:db8::/32 */

struct Category {
    struct cat record;
    struct rule rules[3];
    struct rule6 rules6[3];

    Category()
    {
        memset(&record, 0, sizeof record);
        strcpy(record.name, "bench");
        rules[0] = {OWN_NET, 0xffff0000u, 0, 0, 1, nullptr};
        rules[2] = {0, 0, 0, 0, 1, nullptr};
        rules[1] = {OWN_NET & SITE_MASK, SITE_MASK, 0, 0, 0, &rules[2]};
        record.primary = &rules[0];
        record.secondary = &rules[1];
        record.table = iptable_new();
        rules6[0] = {{OWN6_HI, 0}, addr6_mask(48), 48, 0, 1, nullptr};
        rules6[2] = {{0, 0}, addr6_mask(0), 0, 0, 1, nullptr};
        rules6[1] = {{SITE6_HI, 0}, addr6_mask(32), 32, 0, 0, &rules6[2]};
        record.primary6 = &rules6[0];
        record.secondary6 = &rules6[1];
        record.table6 = iptable6_new(0);
    }
    ~Category()
    {
        iptable_destroy(record.table);
        iptable6_destroy(record.table6);
    }
};

/* The same rules in front of the reference table. */
struct ReferenceCategory {
    Category rules;
    struct ref_iptable *table = ref_iptable_new();
    ~ReferenceCategory() { ref_iptable_destroy(table); }
};

/* Own address i of n: spread over the /16 the way DHCP pools fill up. */
uint32_t own_address(uint32_t i, uint32_t n)
{
    return OWN_NET | static_cast<uint32_t>((static_cast<uint64_t>(i) * 65536) / n);
}

/* Half sent, half received, between random own addresses and random peers
 * outside the site. */
std::vector<struct packet_info> make_packets(uint32_t own_count)
{
    std::mt19937 rng(4242);
    std::vector<struct packet_info> packets(PACKET_RING);
    for (size_t i = 0; i < PACKET_RING; i++) {
        uint32_t own = own_address(rng() % own_count, own_count);
        uint32_t peer;
        do
            peer = rng();
        while ((peer & SITE_MASK) == (OWN_NET & SITE_MASK));
        uint32_t own_port = 1024 + rng() % 60000, peer_port = 443;
        uint32_t len = 60 + rng() % 1455;
        if (i % 2 == 0)
            packets[i] = {{own}, {peer}, own_port, peer_port, len, 6, PACKET_IPV4};
        else
            packets[i] = {{peer}, {own}, peer_port, own_port, len, 6, PACKET_IPV4};
    }
    return packets;
}

/* Own address i of n, scattered over the /48: random subnet, random
 * interface identifier, as privacy addresses spread. Deterministic in i. */
uint64_t splitmix(uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

struct addr6 own_address6(uint32_t i)
{
    return {OWN6_HI | (splitmix(2 * i) & 0xffff), splitmix(2 * i + 1)};
}

std::vector<struct packet_info> make_packets6(uint32_t own_count)
{
    std::mt19937 rng(4242);
    std::vector<struct packet_info> packets(PACKET_RING);
    std::vector<struct addr6> own(own_count);
    for (uint32_t i = 0; i < own_count; i++)
        own[i] = own_address6(i);
    for (size_t i = 0; i < PACKET_RING; i++) {
        struct packet_info &p = packets[i];
        memset(&p, 0, sizeof p);
        struct addr6 peer = {0x2001000200000000ULL | (rng() & 0xffff), rng()};
        uint32_t own_port = 1024 + rng() % 60000, peer_port = 443;
        p.src6 = i % 2 == 0 ? own[rng() % own_count] : peer;
        p.dst6 = i % 2 == 0 ? peer : own[rng() % own_count];
        p.sport = i % 2 == 0 ? own_port : peer_port;
        p.dport = i % 2 == 0 ? peer_port : own_port;
        p.len = 60 + rng() % 1455;
        p.proto = 6;
        p.family = PACKET_IPV6;
    }
    return packets;
}

void run_packets(benchmark::State &state, uint32_t own_count, int category_count, int v6 = 0)
{
    std::deque<Category> categories(category_count);
    std::vector<struct packet_info> packets = v6 ? make_packets6(own_count) : make_packets(own_count);
    for (const struct packet_info &packet : packets)
        for (Category &category : categories)
            account_packet(&category.record, &packet);

    size_t next = 0;
    for (auto _ : state) {
        const struct packet_info *packet = &packets[next];
        for (Category &category : categories)
            account_packet(&category.record, packet);
        next = (next + 1) & (PACKET_RING - 1);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["ns_per_packet"] = benchmark::Counter(
        static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

/* Arg: distinct own addresses. */
void BM_AccountPacket(benchmark::State &state)
{
    run_packets(state, static_cast<uint32_t>(state.range(0)), 1);
}
BENCHMARK(BM_AccountPacket)->Arg(1)->Arg(1000)->Arg(65536);

void BM_AccountPacketReference(benchmark::State &state)
{
    ReferenceCategory category;
    std::vector<struct packet_info> packets = make_packets(static_cast<uint32_t>(state.range(0)));
    for (const struct packet_info &packet : packets)
        ref_account_packet(category.table, &category.rules.record, &packet);
    size_t next = 0;
    for (auto _ : state) {
        ref_account_packet(category.table, &category.rules.record, &packets[next]);
        next = (next + 1) & (PACKET_RING - 1);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["ns_per_packet"] = benchmark::Counter(
        static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_AccountPacketReference)->Arg(1)->Arg(1000)->Arg(65536);

constexpr uint32_t FLOOD_TABLE = 1000000; /* new sources in a flood run */
constexpr uint32_t FLOOD_SERVER = OWN_NET | 1;

/* Packet number i of a flood: a new source each, scattered over 0.0.0.0/0
 * (a bijection of i, so no source comes twice). */
struct packet_info flood_packet(uint32_t i)
{
    i ^= i >> 16;
    i *= 0x7feb352du;
    i ^= i >> 15;
    i *= 0x846ca68bu;
    i ^= i >> 16;
    return {{i}, {FLOOD_SERVER}, 40000, 80, 64, 6, PACKET_IPV4};
}

/* Every address against every peer. */
void open_rules(Category *category)
{
    category->rules[0] = {0, 0, 0, 0, 1, nullptr};
    category->rules[1] = {0, 0, 0, 0, 1, nullptr};
    category->record.primary = &category->rules[0];
    category->record.secondary = &category->rules[1];
}

void flood_counter(benchmark::State &state)
{
    state.SetItemsProcessed(state.iterations());
    state.counters["ns_per_packet"] = benchmark::Counter(
        static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

/* Each packet inserts its source, FLOOD_TABLE of them into one table. */
void BM_AccountFloodInsert(benchmark::State &state)
{
    Category category;
    open_rules(&category);
    uint32_t i = 0;
    for (auto _ : state) {
        struct packet_info packet = flood_packet(i++);
        account_packet(&category.record, &packet);
    }
    if (category.record.refused.packets != 0)
        state.SkipWithError("packets were refused");
    flood_counter(state);
}
BENCHMARK(BM_AccountFloodInsert)->Iterations(FLOOD_TABLE);

void BM_AccountFloodInsertReference(benchmark::State &state)
{
    ReferenceCategory category;
    open_rules(&category.rules);
    uint32_t i = 0;
    for (auto _ : state) {
        struct packet_info packet = flood_packet(i++);
        ref_account_packet(category.table, &category.rules.record, &packet);
    }
    flood_counter(state);
}
BENCHMARK(BM_AccountFloodInsertReference)->Iterations(FLOOD_TABLE);

/* The table is filled to a 64 MiB limit first; then every new source is
 * refused, while the server's entry keeps counting. */
void BM_AccountFloodRefused(benchmark::State &state)
{
    Category category;
    open_rules(&category);
    iptable_destroy(category.record.table);
    category.record.table = iptable_new_limited(64u << 20);
    uint32_t i = 0;
    while (category.record.refused.packets == 0) {
        struct packet_info packet = flood_packet(i++);
        account_packet(&category.record, &packet);
    }
    state.counters["stored_before_limit"] = i - 1;
    uint64_t refused_before = category.record.refused.packets;
    for (auto _ : state) {
        struct packet_info packet = flood_packet(i++);
        account_packet(&category.record, &packet);
    }
    state.counters["refused_share"] =
        static_cast<double>(category.record.refused.packets - refused_before) /
        static_cast<double>(state.iterations());
    flood_counter(state);
}
BENCHMARK(BM_AccountFloodRefused);

void BM_AccountPacketFourCategories(benchmark::State &state)
{
    run_packets(state, static_cast<uint32_t>(state.range(0)), 4);
}
BENCHMARK(BM_AccountPacketFourCategories)->Arg(1000);

/* The same over IPv6 addresses; compare with BM_AccountPacket/1000. */
void BM_AccountPacket6(benchmark::State &state)
{
    run_packets(state, static_cast<uint32_t>(state.range(0)), 1, 1);
}
BENCHMARK(BM_AccountPacket6)->Arg(1)->Arg(1000)->Arg(65536);

/* Bytes held by one cycle's table after every address of the /16 has been
 * seen (what the table counts; the reference's heap by mallinfo2), and the
 * process's peak RSS; run this one alone for a peak that belongs to it. */
void BM_AccountTableMemory(benchmark::State &state)
{
    uint32_t own_count = 65536;
    for (auto _ : state) {
        Category category;
        for (uint32_t i = 0; i < own_count; i++) {
            struct packet_info packet = {{own_address(i, own_count)}, {0x08080808u}, 5000, 443, 100, 6,
                                         PACKET_IPV4};
            account_packet(&category.record, &packet);
        }
        state.counters["table_kB"] = static_cast<double>(iptable_bytes(category.record.table)) / 1024;
        if (iptable_lookup(category.record.table, own_address(own_count - 1, own_count)) == nullptr)
            state.SkipWithError("addresses were not accounted");

        size_t before = mallinfo2().uordblks;
        ReferenceCategory reference;
        for (uint32_t i = 0; i < own_count; i++) {
            struct packet_info packet = {{own_address(i, own_count)}, {0x08080808u}, 5000, 443, 100, 6,
                                         PACKET_IPV4};
            ref_account_packet(reference.table, &reference.rules.record, &packet);
        }
        state.counters["reference_table_kB"] =
            static_cast<double>(mallinfo2().uordblks - before) / 1024;
    }
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_kB"] = static_cast<double>(usage.ru_maxrss);
}
BENCHMARK(BM_AccountTableMemory)->Iterations(3)->Unit(benchmark::kMillisecond);

/* Heap in use, mmapped blocks included: large tables live there. */
size_t heap_in_use(void)
{
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

/* Heap per IPv6 address (mallinfo2 difference) after 65,536 and 1,000,000
 * addresses scattered over the /48 were each seen once, and the table's
 * own count of its bytes. */
void BM_AccountTable6Memory(benchmark::State &state)
{
    uint32_t own_count = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        size_t before = heap_in_use();
        Category category;
        struct packet_info packet;
        memset(&packet, 0, sizeof packet);
        packet.family = PACKET_IPV6;
        packet.dst6 = {0x2001000200000000ULL, 1};
        packet.len = 100;
        for (uint32_t i = 0; i < own_count; i++) {
            packet.src6 = own_address6(i);
            account_packet(&category.record, &packet);
        }
        size_t after = heap_in_use();
        size_t count = iptable6_count(category.record.table6);
        if (count != own_count)
            state.SkipWithError("addresses were not accounted");
        state.counters["heap_bytes_per_address"] =
            static_cast<double>(after - before) / static_cast<double>(count);
        state.counters["table_bytes_per_address"] =
            static_cast<double>(iptable6_bytes(category.record.table6)) / static_cast<double>(count);
    }
}
BENCHMARK(BM_AccountTable6Memory)->Arg(65536)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
