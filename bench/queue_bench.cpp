/*
 * Packet queue throughput: producers on their own threads push into a
 * queue of the default 500 slots while the benchmark thread pops, as the
 * capture threads and the cycle do. Reported as packets per second.
 * Also the decoder's cost per frame.
 */
#include <benchmark/benchmark.h>

#include <string.h>

#include <thread>
#include <vector>

#include "capture/capture.h"
#include "capture/queue.h"
#include "config/config.h"
#include "core/state.h"

namespace {

constexpr int kPacketsPerRound = 200000;

struct settings bench_settings;

void BM_QueuePushPop(benchmark::State &state)
{
    const int producers = static_cast<int>(state.range(0));
    bench_settings.buffer_size = static_cast<int>(state.range(1));
    config = &bench_settings;
    if (queue_init(config->buffer_size) != 0) {
        state.SkipWithError("queue_init failed");
        return;
    }
    const int per_producer = kPacketsPerRound / producers;
    const int total = per_producer * producers;

    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (int id = 0; id < producers; id++) {
            threads.emplace_back([id, per_producer] {
                struct packet_info p;
                memset(&p, 0, sizeof p);
                p.src = static_cast<uint32_t>(id);
                for (int i = 0; i < per_producer; i++) {
                    p.dst = static_cast<uint32_t>(i);
                    if (queue_push(&p) != 0)
                        return;
                }
            });
        }
        struct packet_info got;
        uint64_t sum = 0;
        for (int i = 0; i < total; i++) {
            if (queue_pop(&got, 1000) != 0) {
                state.SkipWithError("queue_pop timed out");
                break;
            }
            sum += got.dst;
        }
        benchmark::DoNotOptimize(sum);
        for (auto &t : threads)
            t.join();
    }
    state.SetItemsProcessed(state.iterations() * total); /* items_per_second = packets/s */
}
BENCHMARK(BM_QueuePushPop)
    ->ArgNames({"producers", "slots"})
    ->Args({1, 500})
    ->Args({2, 500})
    ->Args({1, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

/* The same traffic as the capture threads and the cycle move it: runs of
 * CAPTURE_BATCH packets pushed, up to 1024 popped at once. */
void BM_QueueBatches(benchmark::State &state)
{
    const int producers = static_cast<int>(state.range(0));
    bench_settings.buffer_size = static_cast<int>(state.range(1));
    config = &bench_settings;
    if (queue_init(config->buffer_size) != 0) {
        state.SkipWithError("queue_init failed");
        return;
    }
    const int per_producer = kPacketsPerRound / producers / CAPTURE_BATCH * CAPTURE_BATCH;
    const int total = per_producer * producers;

    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (int id = 0; id < producers; id++) {
            threads.emplace_back([id, per_producer] {
                struct packet_info run[CAPTURE_BATCH];
                memset(run, 0, sizeof run);
                for (int i = 0; i < per_producer; i += CAPTURE_BATCH) {
                    for (int k = 0; k < CAPTURE_BATCH; k++)
                        run[k].dst = static_cast<uint32_t>(i + k + id);
                    if (queue_push_batch(run, CAPTURE_BATCH, i + CAPTURE_BATCH < per_producer) != 0)
                        return;
                }
            });
        }
        static struct packet_info got[1024];
        uint64_t sum = 0;
        for (int taken = 0; taken < total;) {
            int n = queue_pop_batch(got, 1024, 1000);
            if (n == 0) {
                state.SkipWithError("queue_pop_batch timed out");
                break;
            }
            for (int k = 0; k < n; k++)
                sum += got[k].dst;
            taken += n;
        }
        benchmark::DoNotOptimize(sum);
        for (auto &t : threads)
            t.join();
    }
    state.SetItemsProcessed(state.iterations() * total);
}
BENCHMARK(BM_QueueBatches)
    ->ArgNames({"producers", "slots"})
    ->Args({1, 500})
    ->Args({2, 500})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_CaptureDecode(benchmark::State &state)
{
    uint8_t frame[CAPTURE_SNAPLEN];
    memset(frame, 0, sizeof frame);
    frame[12] = 0x08;
    frame[14] = 0x45;
    frame[23] = 6;
    struct packet_info p;
    uint32_t n = 0;
    for (auto _ : state) {
        frame[29] = static_cast<uint8_t>(n++);
        benchmark::DoNotOptimize(capture_decode(CAPTURE_LINK_ETHERNET, frame, sizeof frame, 1514, &p));
        benchmark::DoNotOptimize(p);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CaptureDecode);

} // namespace
