/*
 * What the packet queue tests share: entries whose every field derives from
 * (producer, seq), so a torn or mixed copy shows, and helper threads that
 * cannot outlive a failing case.
 */
#ifndef NORVO_TESTS_QUEUE_FIXTURE_H
#define NORVO_TESTS_QUEUE_FIXTURE_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "capture/packet.h"
#include "capture/queue.h"
#include "core/state.h"

namespace {

constexpr auto kLimit = std::chrono::milliseconds(10000);

/* An entry whose fields all derive from (producer, seq), so a torn or mixed copy shows. */
struct packet_info make_entry(uint32_t producer, uint32_t seq)
{
    struct packet_info p;
    memset(&p, 0, sizeof p);
    p.src = producer;
    p.dst = seq;
    p.sport = (seq * 7u + producer) & 0xffff;
    p.dport = ~seq;
    p.len = seq * 3u + producer;
    p.proto = static_cast<uint8_t>(producer * 31u + seq);
    return p;
}

bool entry_is_whole(const struct packet_info &p)
{
    struct packet_info want = make_entry(p.src, p.dst);
    return p.sport == want.sport && p.dport == want.dport && p.len == want.len &&
           p.proto == want.proto;
}

/*
 * A helper thread of one case. If the case fails while the helper is still
 * blocked in the queue, leaving the case requests a stop, which every queue
 * wait honours, so a failure never turns into a hang.
 */
template <typename T> struct helper {
    std::future<T> result;
    ~helper()
    {
        if (result.valid() && result.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            running.store(0);
            /* It still uses this case's locals: if it cannot stop, end the run loudly. */
            if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
                fprintf(stderr, "a queue test helper thread ignored the stop request\n");
                abort();
            }
        }
    }
    std::future_status wait_for(std::chrono::milliseconds limit) { return result.wait_for(limit); }
    T get() { return result.get(); }
};

template <typename Fn> auto run_bounded(Fn fn) -> helper<decltype(fn())>
{
    return helper<decltype(fn())>{std::async(std::launch::async, fn)};
}

/* A pop on an empty queue gives up after timeout_ms (at least min_ms),
 * returns 1 and leaves its output untouched. How soon after its time it
 * returns depends on the scheduler (ThreadSanitizer slows it a lot), so
 * only a pop that does not return at all fails here; speed is measured in
 * bench/. */
void check_pop_times_out(int timeout_ms, int min_ms)
{
    struct packet_info got;
    memset(&got, 0xab, sizeof got);
    struct packet_info untouched = got;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(queue_pop(&got, timeout_ms), 1);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(min_ms)) << "pop gave up before its time";
    EXPECT_LT(waited, kLimit) << "pop ignored its time limit";
    EXPECT_EQ(memcmp(&got, &untouched, sizeof got), 0);
}

/*
 * Two producers push per_producer entries each while this thread pops them
 * all: nothing may be lost, mixed or taken twice, and each producer's
 * entries leave in the order it pushed them. With pauses, producers rest
 * now and then so the queue runs dry, and the consumer rests so it fills.
 * Batched, producers push runs of 1 to max_batch entries (some flagged as
 * having more to come) and the consumer takes up to 1 to max_batch at once.
 */
void check_two_producers_one_consumer(uint32_t per_producer, bool pauses, uint32_t max_batch = 1)
{
    auto produce = [per_producer, pauses, max_batch](uint32_t id) {
        std::vector<struct packet_info> run;
        for (uint32_t i = 0; i < per_producer;) {
            uint32_t n = 1 + (i * 2654435761u + id) % max_batch;
            if (n > per_producer - i)
                n = per_producer - i;
            run.clear();
            for (uint32_t k = 0; k < n; k++)
                run.push_back(make_entry(id, i + k));
            int more = max_batch > 1 && i % 3 == 0;
            int rc = max_batch > 1 ? queue_push_batch(run.data(), static_cast<int>(n), more)
                                   : queue_push(&run[0]);
            if (rc != 0)
                return false;
            if (pauses && i / 700 != (i + n) / 700)
                std::this_thread::sleep_for(std::chrono::microseconds(300 * id));
            i += n;
        }
        /* Whatever a last run flagged "more" left waiting is announced. */
        return max_batch == 1 || queue_push_batch(nullptr, 0, 0) == 0;
    };
    auto a = run_bounded([&] { return produce(1); });
    auto b = run_bounded([&] { return produce(2); });

    uint32_t next[3] = {0, 0, 0};
    std::vector<struct packet_info> got(max_batch);
    for (uint32_t k = 0; k < 2 * per_producer;) {
        int want = static_cast<int>(1 + (k * 40503u) % max_batch);
        int n = queue_pop_batch(got.data(), want, 5000);
        ASSERT_GT(n, 0) << "after " << k << " entries";
        ASSERT_LE(n, want);
        for (int j = 0; j < n; j++, k++) {
            const struct packet_info &p = got[static_cast<size_t>(j)];
            ASSERT_TRUE(p.src == 1 || p.src == 2) << "entry " << k << " src " << p.src;
            ASSERT_TRUE(entry_is_whole(p)) << "entry " << k << " of producer " << p.src;
            ASSERT_EQ(p.dst, next[p.src]) << "producer " << p.src;
            next[p.src]++;
        }
        if (pauses && k / 9000 != (k - static_cast<uint32_t>(n)) / 9000)
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    ASSERT_EQ(a.wait_for(kLimit), std::future_status::ready);
    ASSERT_EQ(b.wait_for(kLimit), std::future_status::ready);
    EXPECT_TRUE(a.get());
    EXPECT_TRUE(b.get());
    EXPECT_EQ(next[1], per_producer);
    EXPECT_EQ(next[2], per_producer);
}

}  // namespace

#endif
