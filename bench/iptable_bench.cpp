/*
 * Address table: inserts, memory per address, lookups, and the walk and
 * destroy of 1,000,000 entries, each measured for the table in use
 * ("Compact") and for the table it replaced ("Reference", iptable_ref.cpp)
 * in the same run.
 *
 * Scattered addresses are uniformly spread over 0.0.0.0/0, as a flood of
 * spoofed sources brings them: nearly every one alone in its /24. Dense
 * addresses fill one /16. Insert figures include creating the counters, as
 * the accounting does. Memory is the growth of the process's resident set
 * while the table fills, divided by its entries (rss_B_per_addr), and what
 * the table itself counts (Compact: its carved bytes; Reference: the heap in
 * use by malloc) (table_B_per_addr).
 */
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "accounting/iptable.h"
#include "iptable_ref.h"

namespace {

constexpr uint32_t OWN_NET = 198u << 24 | 18u << 16; /* 198.18.0.0 */
constexpr int64_t BIG_TABLE = 1000000;               /* entries */

/* A bijection of 32-bit numbers that looks random: distinct counters give
 * distinct, scattered addresses. */
uint32_t scatter(uint32_t i)
{
    i ^= i >> 16;
    i *= 0x7feb352du;
    i ^= i >> 15;
    i *= 0x846ca68bu;
    i ^= i >> 16;
    return i;
}

size_t resident_bytes(void)
{
    long pages = 0, resident = 0;
    FILE *statm = fopen("/proc/self/statm", "r");
    if (statm == nullptr)
        return 0;
    if (fscanf(statm, "%ld %ld", &pages, &resident) != 2)
        resident = 0;
    fclose(statm);
    return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

struct Compact {
    using table = struct iptable;
    static table *create() { return iptable_new(); }
    static struct ip_entry *add(table *t, uint32_t address) { return iptable_add(t, address); }
    static struct ip_entry *lookup(table *t, uint32_t address) { return iptable_lookup(t, address); }
    static struct ip_entry *next(table *t) { return iptable_next(t); }
    static void destroy(table *t) { iptable_destroy(t); }
    static size_t own_bytes(table *t) { return iptable_bytes(t); }
};

struct Reference {
    using table = struct ref_iptable;
    static table *create() { return ref_iptable_new(); }
    static struct ip_entry *add(table *t, uint32_t address)
    {
        struct ip_entry *entry = static_cast<struct ip_entry *>(calloc(1, sizeof *entry));
        if (entry == nullptr)
            abort();
        entry->ip = address;
        if (!ref_iptable_insert(t, address, entry)) {
            free(entry);
            return nullptr;
        }
        return entry;
    }
    static struct ip_entry *lookup(table *t, uint32_t address)
    {
        return ref_iptable_lookup(t, address);
    }
    static struct ip_entry *next(table *t) { return ref_iptable_next(t); }
    static void destroy(table *t) { ref_iptable_destroy(t); }
    static size_t own_bytes(table *) { return mallinfo2().uordblks; }
};

enum Spread { SCATTERED = 0, DENSE = 1, STRIDE16 = 16 };

/* Address number i of a table of the given spread. */
uint32_t address_of(int64_t i, int spread)
{
    if (spread == SCATTERED)
        return scatter(static_cast<uint32_t>(i));
    return OWN_NET + static_cast<uint32_t>(i) * static_cast<uint32_t>(spread);
}

template <class T>
typename T::table *filled(int64_t count, int spread)
{
    typename T::table *table = T::create();
    for (int64_t i = 0; i < count; i++)
        if (T::add(table, address_of(i, spread)) == nullptr)
            abort();
    return table;
}

/* Fills a fresh table per iteration, timed per insert, and records its
 * memory. Arg 0: 1,000,000 scattered addresses; arg 1: all 65,536 of one
 * /16 in random order. */
template <class T>
void BM_Insert(benchmark::State &state)
{
    int spread = static_cast<int>(state.range(0));
    std::vector<uint32_t> order;
    if (spread == SCATTERED) {
        for (int64_t i = 0; i < BIG_TABLE; i++)
            order.push_back(scatter(static_cast<uint32_t>(i)));
    } else {
        for (uint32_t low = 0; low < 65536; low++)
            order.push_back(OWN_NET | low);
        std::shuffle(order.begin(), order.end(), std::mt19937(12345));
    }
    double rss = 0, own = 0;
    for (auto _ : state) {
        state.PauseTiming();
        size_t rss_before = resident_bytes();
        size_t own_before = T::own_bytes(nullptr);
        state.ResumeTiming();
        typename T::table *table = T::create();
        for (uint32_t address : order)
            benchmark::DoNotOptimize(T::add(table, address));
        state.PauseTiming();
        /* the largest of the iterations: a later one may refill pages an
         * earlier one left resident */
        rss = std::max(rss, static_cast<double>(resident_bytes() - rss_before));
        own = std::max(own, static_cast<double>(T::own_bytes(table) - own_before));
        T::destroy(table);
        malloc_trim(0);
        state.ResumeTiming();
    }
    double n = static_cast<double>(order.size());
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(order.size()));
    state.counters["ns_per_insert"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * n,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["rss_B_per_addr"] = rss / n;
    state.counters["table_B_per_addr"] = own / n;
}
BENCHMARK_TEMPLATE(BM_Insert, Compact)->Arg(SCATTERED)->Arg(DENSE)->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Insert, Reference)->Arg(SCATTERED)->Arg(DENSE)->Iterations(3)
    ->Unit(benchmark::kMillisecond);

/* Even last bytes of 198.18.0.0/16 are present, odd ones absent: a miss
 * still goes through all four levels, the worst case. */
template <class T>
void lookup_bench(benchmark::State &state, uint32_t parity)
{
    typename T::table *table = filled<T>(32768, 2);
    std::vector<uint32_t> order;
    for (uint32_t low = 0; low < 65536; low += 2)
        order.push_back(OWN_NET | low | parity);
    std::shuffle(order.begin(), order.end(), std::mt19937(12345));
    size_t next = 0;
    int64_t found = 0;
    for (auto _ : state) {
        struct ip_entry *entry = T::lookup(table, order[next]);
        found += entry != nullptr;
        benchmark::DoNotOptimize(entry);
        next = next + 1 == order.size() ? 0 : next + 1;
    }
    if (found != (parity == 0 ? state.iterations() : 0))
        state.SkipWithError("lookup found the wrong entries");
    T::destroy(table);
    state.SetItemsProcessed(state.iterations());
}
template <class T>
void BM_LookupHit(benchmark::State &state)
{
    lookup_bench<T>(state, 0);
}
template <class T>
void BM_LookupMiss(benchmark::State &state)
{
    lookup_bench<T>(state, 1);
}
BENCHMARK_TEMPLATE(BM_LookupHit, Compact);
BENCHMARK_TEMPLATE(BM_LookupHit, Reference);
BENCHMARK_TEMPLATE(BM_LookupMiss, Compact);
BENCHMARK_TEMPLATE(BM_LookupMiss, Reference);

/* A full walk of 1,000,000 entries. Arg: 0 scattered, 1 consecutive, 16
 * sixteen apart. */
template <class T>
void BM_Walk(benchmark::State &state)
{
    int spread = static_cast<int>(state.range(0));
    typename T::table *table = filled<T>(BIG_TABLE, spread);
    for (auto _ : state) {
        int64_t seen = 0;
        struct ip_entry *entry;
        while ((entry = T::next(table)) != nullptr) {
            seen++;
            if (entry->ip == UINT32_MAX)
                break;
        }
        if (seen != BIG_TABLE) {
            state.SkipWithError("walk missed entries");
            break;
        }
    }
    T::destroy(table);
    malloc_trim(0);
    state.SetItemsProcessed(state.iterations() * BIG_TABLE);
}
BENCHMARK_TEMPLATE(BM_Walk, Compact)->Arg(SCATTERED)->Arg(DENSE)->Arg(STRIDE16)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Walk, Reference)->Arg(SCATTERED)->Arg(DENSE)->Arg(STRIDE16)
    ->Unit(benchmark::kMillisecond)->Iterations(3);

/* Destroy of a 1,000,000-entry table; same args as the walk. */
template <class T>
void BM_Destroy(benchmark::State &state)
{
    int spread = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        typename T::table *table = filled<T>(BIG_TABLE, spread);
        state.ResumeTiming();
        T::destroy(table);
        state.PauseTiming();
        malloc_trim(0);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * BIG_TABLE);
}
BENCHMARK_TEMPLATE(BM_Destroy, Compact)->Arg(SCATTERED)->Arg(DENSE)->Arg(STRIDE16)
    ->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_TEMPLATE(BM_Destroy, Reference)->Arg(SCATTERED)->Arg(DENSE)->Arg(STRIDE16)
    ->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
