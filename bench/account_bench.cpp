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
#include "iptable_ref.h"

namespace {

constexpr uint32_t OWN_NET = 198u << 24 | 18u << 16; /* 198.18.0.0/16 */
constexpr uint32_t SITE_MASK = 0xfffe0000u;          /* /15 */
constexpr size_t PACKET_RING = 1 << 16;              /* pre-built packets */

struct Category {
    struct cat record;
    struct rule rules[3];

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
    }
    ~Category() { iptable_destroy(record.table); }
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
            packets[i] = {own, peer, own_port, peer_port, len, 6};
        else
            packets[i] = {peer, own, peer_port, own_port, len, 6};
    }
    return packets;
}

void run_packets(benchmark::State &state, uint32_t own_count, int category_count)
{
    std::deque<Category> categories(category_count);
    std::vector<struct packet_info> packets = make_packets(own_count);
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
    return {i, FLOOD_SERVER, 40000, 80, 64, 6};
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

/* Bytes held by one cycle's table after every address of the /16 has been
 * seen (what the table counts; the reference's heap by mallinfo2), and the
 * process's peak RSS; run this one alone for a peak that belongs to it. */
void BM_AccountTableMemory(benchmark::State &state)
{
    uint32_t own_count = 65536;
    for (auto _ : state) {
        Category category;
        for (uint32_t i = 0; i < own_count; i++) {
            struct packet_info packet = {own_address(i, own_count), 0x08080808u, 5000, 443, 100, 6};
            account_packet(&category.record, &packet);
        }
        state.counters["table_kB"] = static_cast<double>(iptable_bytes(category.record.table)) / 1024;
        if (iptable_lookup(category.record.table, own_address(own_count - 1, own_count)) == nullptr)
            state.SkipWithError("addresses were not accounted");

        size_t before = mallinfo2().uordblks;
        ReferenceCategory reference;
        for (uint32_t i = 0; i < own_count; i++) {
            struct packet_info packet = {own_address(i, own_count), 0x08080808u, 5000, 443, 100, 6};
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

}  // namespace
