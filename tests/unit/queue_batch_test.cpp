/*
 * Packet queue at the default size of 500 slots, moving packets in batches
 * as the capture threads and the cycle do: runs larger than the ring and
 * across its end, bursts with pauses on either side, producers that leave
 * a sleeping consumer asleep, time limits, stop requests and interrupted
 * waits.
 */
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "capture/queue.h"
#include "config/config.h"
#include "core/state.h"
#include "queue_fixture.h"

namespace {

constexpr int kSlots = 500;

struct settings batch_settings;

class QueueBatchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        batch_settings.buffer_size = kSlots;
        config = &batch_settings;
        ASSERT_EQ(queue_init(config->buffer_size), 0);
    }
    void TearDown() override { running.store(1); }

    /* A pop that has to wait for a packet pushed later, so the consumer
     * has slept once before the case goes on. */
    void start_flowing()
    {
        auto late = run_bounded([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            struct packet_info p = make_entry(9, 0);
            return queue_push(&p);
        });
        struct packet_info got;
        ASSERT_EQ(queue_pop(&got, 5000), 0);
        ASSERT_EQ(got.src, 9u);
        ASSERT_EQ(late.wait_for(kLimit), std::future_status::ready);
        ASSERT_EQ(late.get(), 0);
    }
};

TEST_F(QueueBatchTest, BurstsWithPausesOnBothSidesLoseMixAndInventNothing)
{
    check_two_producers_one_consumer(60000, true);
}

TEST_F(QueueBatchTest, RunsLargerThanTheRingArriveWholeAndInOrder)
{
    check_two_producers_one_consumer(60000, true, kSlots + 200);
}

TEST_F(QueueBatchTest, StopWhileARunWaitsForRoomKeepsWhatFitAndDropsTheRest)
{
    std::vector<struct packet_info> run;
    for (uint32_t i = 0; i < kSlots + 50; i++)
        run.push_back(make_entry(3, i));
    auto producer = run_bounded(
        [&] { return queue_push_batch(run.data(), static_cast<int>(run.size()), 1); });
    while (queue_free_slots() > 0)
        std::this_thread::yield();
    ASSERT_EQ(producer.wait_for(std::chrono::milliseconds(2 * QUEUE_WAIT_SLICE_MS)),
              std::future_status::timeout) << "a run larger than the ring did not wait for room";
    running.store(0);
    ASSERT_EQ(producer.wait_for(kLimit), std::future_status::ready);
    EXPECT_EQ(producer.get(), 1);
    running.store(1);

    std::vector<struct packet_info> got(kSlots + 50);
    int taken = 0, n;
    while ((n = queue_pop_batch(&got[static_cast<size_t>(taken)], kSlots + 50 - taken, 20)) > 0)
        taken += n;
    ASSERT_EQ(taken, kSlots) << "the part that did not fit was queued after the stop";
    for (int i = 0; i < taken; i++)
        ASSERT_EQ(got[static_cast<size_t>(i)].dst, static_cast<uint32_t>(i));
}

TEST_F(QueueBatchTest, ConsumerThatSleptBeforeKeepsItsTimeLimitOnAnEmptyQueueAndTakesNothing)
{
    start_flowing();

    check_pop_times_out(30, 29);

    /* A zero time limit gives up on an empty queue too; how fast is the
     * benchmarks' business, not a timed test's. */
    start_flowing();
    struct packet_info got;
    EXPECT_EQ(queue_pop(&got, 0), 1);

    /* Neither wait ate a count: one push gives exactly one pop. */
    struct packet_info p = make_entry(4, 44);
    ASSERT_EQ(queue_push(&p), 0);
    ASSERT_EQ(queue_pop(&got, 1000), 0);
    EXPECT_EQ(got.dst, 44u);
    EXPECT_EQ(queue_pop(&got, 20), 1);
    EXPECT_EQ(queue_free_slots(), kSlots);
}

TEST_F(QueueBatchTest, StopRequestEndsTheWaitsOfBothSides)
{
    /* A consumer with no time limit. */
    start_flowing();
    auto consumer = run_bounded([] {
        struct packet_info got;
        return queue_pop(&got, -1);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * QUEUE_WAIT_SLICE_MS));
    ASSERT_EQ(consumer.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
        << "a pop on an empty queue returned";
    running.store(0);
    ASSERT_EQ(consumer.wait_for(kLimit), std::future_status::ready);
    EXPECT_EQ(consumer.get(), 1);
    running.store(1);

    /* A producer on a full queue: its packet is dropped, not queued. */
    for (int i = 0; i < kSlots; i++) {
        struct packet_info p = make_entry(5, static_cast<uint32_t>(i));
        ASSERT_EQ(queue_push(&p), 0);
    }
    auto producer = run_bounded([] {
        struct packet_info p = make_entry(5, 999999);
        return queue_push(&p);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * QUEUE_WAIT_SLICE_MS));
    ASSERT_EQ(producer.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
        << "a push into a full queue returned";
    running.store(0);
    ASSERT_EQ(producer.wait_for(kLimit), std::future_status::ready);
    EXPECT_EQ(producer.get(), 1);
    running.store(1);

    struct packet_info got;
    for (int i = 0; i < kSlots; i++) {
        ASSERT_EQ(queue_pop(&got, 1000), 0);
        ASSERT_EQ(got.dst, static_cast<uint32_t>(i));
    }
    EXPECT_EQ(queue_pop(&got, 20), 1) << "the dropped packet reached the queue";
}

void ignore_signal(int) {}

TEST_F(QueueBatchTest, InterruptedWaitsAreNotTakenForPackets)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = ignore_signal; /* no SA_RESTART */
    struct sigaction previous;
    ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);

    start_flowing();
    std::atomic<pthread_t> consumer_id{};
    std::atomic<bool> ready{false};
    auto consumer = run_bounded([&] {
        consumer_id.store(pthread_self());
        ready.store(true);
        struct packet_info got;
        memset(&got, 0, sizeof got);
        return queue_pop(&got, 5000) == 0 ? got.dst : 0xffffffffu;
    });
    while (!ready.load())
        std::this_thread::yield();
    /* Dense at first, then across several wait slices. */
    for (int i = 0; i < 40; i++) {
        pthread_kill(consumer_id.load(), SIGUSR2);
        std::this_thread::sleep_for(std::chrono::microseconds(i < 20 ? 50 : 10000));
    }
    ASSERT_EQ(consumer.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
        << "an interrupted pop returned";
    struct packet_info p = make_entry(6, 66);
    ASSERT_EQ(queue_push(&p), 0);
    ASSERT_EQ(consumer.wait_for(kLimit), std::future_status::ready);
    EXPECT_EQ(consumer.get(), 66u);
    EXPECT_EQ(queue_free_slots(), kSlots);

    sigaction(SIGUSR2, &previous, nullptr);
}

} // namespace
