/*
 * Address table: insert, lookup hits and misses, and a full walk and
 * destroy of 1,000,000 entries. Time per iteration is per operation for
 * insert and lookup, per whole table for walk and destroy.
 */
#include <stdlib.h>

#include <algorithm>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "accounting/iptable.h"

namespace {

constexpr uint32_t OWN_NET = 198u << 24 | 18u << 16; /* 198.18.0.0 */
constexpr int64_t WALK_ENTRIES = 1000000;

struct ip_entry *new_entry(uint32_t address)
{
    struct ip_entry *entry = static_cast<struct ip_entry *>(calloc(1, sizeof *entry));
    if (entry == nullptr)
        abort();
    entry->ip = address;
    return entry;
}

/* `count` addresses upwards from `first`, `stride` apart. */
struct iptable *filled_table(uint32_t first, int64_t count, uint32_t stride)
{
    struct iptable *table = iptable_new();
    for (int64_t i = 0; i < count; i++) {
        uint32_t address = first + static_cast<uint32_t>(i) * stride;
        if (!iptable_insert(table, address, new_entry(address)))
            abort();
    }
    return table;
}

std::vector<uint32_t> shuffled(std::vector<uint32_t> addresses)
{
    std::mt19937 rng(12345);
    std::shuffle(addresses.begin(), addresses.end(), rng);
    return addresses;
}

/* Inserts of first-seen addresses in random order into one /16, entry
 * allocation included, as the accounting does it. */
void BM_IptableInsert(benchmark::State &state)
{
    std::vector<uint32_t> order;
    for (uint32_t low = 0; low < 65536; low++)
        order.push_back(OWN_NET | low);
    order = shuffled(order);
    size_t next = order.size();
    struct iptable *table = nullptr;
    for (auto _ : state) {
        if (next == order.size()) {
            state.PauseTiming();
            iptable_destroy(table);
            table = iptable_new();
            next = 0;
            state.ResumeTiming();
        }
        uint32_t address = order[next++];
        benchmark::DoNotOptimize(iptable_insert(table, address, new_entry(address)));
    }
    iptable_destroy(table);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IptableInsert);

/* Even last bytes of 198.18.0.0/16 are present, odd ones absent: a miss
 * still goes through all four levels, the worst case. */
void lookup_bench(benchmark::State &state, uint32_t parity)
{
    struct iptable *table = filled_table(OWN_NET, 32768, 2);
    std::vector<uint32_t> order;
    for (uint32_t low = 0; low < 65536; low += 2)
        order.push_back(OWN_NET | low | parity);
    order = shuffled(order);
    size_t next = 0;
    int64_t found = 0;
    for (auto _ : state) {
        struct ip_entry *entry = iptable_lookup(table, order[next]);
        found += entry != nullptr;
        benchmark::DoNotOptimize(entry);
        next = next + 1 == order.size() ? 0 : next + 1;
    }
    if (found != (parity == 0 ? state.iterations() : 0))
        state.SkipWithError("lookup found the wrong entries");
    iptable_destroy(table);
    state.SetItemsProcessed(state.iterations());
}
void BM_IptableLookupHit(benchmark::State &state) { lookup_bench(state, 0); }
void BM_IptableLookupMiss(benchmark::State &state) { lookup_bench(state, 1); }
BENCHMARK(BM_IptableLookupHit);
BENCHMARK(BM_IptableLookupMiss);

/* Arg: distance between neighbouring addresses; 1 fills every leaf, 16
 * spreads the same count over sixteen times as many arrays. */
void BM_IptableWalk(benchmark::State &state)
{
    uint32_t stride = static_cast<uint32_t>(state.range(0));
    struct iptable *table = filled_table(OWN_NET, WALK_ENTRIES, stride);
    for (auto _ : state) {
        int64_t seen = 0;
        struct ip_entry *entry;
        while ((entry = iptable_next(table)) != nullptr) {
            seen++;
            if (entry->ip == UINT32_MAX)
                break;
        }
        if (seen != WALK_ENTRIES) {
            state.SkipWithError("walk missed entries");
            break;
        }
    }
    iptable_destroy(table);
    state.SetItemsProcessed(state.iterations() * WALK_ENTRIES);
}
BENCHMARK(BM_IptableWalk)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);

void BM_IptableDestroy(benchmark::State &state)
{
    uint32_t stride = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        struct iptable *table = filled_table(OWN_NET, WALK_ENTRIES, stride);
        state.ResumeTiming();
        iptable_destroy(table);
    }
    state.SetItemsProcessed(state.iterations() * WALK_ENTRIES);
}
BENCHMARK(BM_IptableDestroy)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
