/*
 * Packet queue: ordering, blocking, wrap-around, stop requests and
 * interrupted waits. The queue is process-wide, so every case builds a
 * fresh one of the size it needs.
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

struct settings test_settings;

class QueueTest : public ::testing::Test {
protected:
    void use_queue(int size)
    {
        test_settings.buffer_size = size;
        config = &test_settings;
        ASSERT_EQ(queue_init(config->buffer_size), 0);
    }
    void TearDown() override { running.store(1); }
};

TEST_F(QueueTest, BufferOfOneMakesProducerAndConsumerAlternate)
{
    use_queue(1);
    constexpr uint32_t n = 20000;
    std::atomic<uint32_t> pushed{0};

    auto producer = run_bounded([&] {
        for (uint32_t i = 0; i < n; i++) {
            struct packet_info p = make_entry(1, i);
            if (queue_push(&p) != 0)
                return false;
            pushed.fetch_add(1);
        }
        return true;
    });

    for (uint32_t i = 0; i < n; i++) {
        /* Push i+1 needs the free slot that pop i has not yet posted. */
        ASSERT_LE(pushed.load(), i + 1) << "producer ran two entries ahead at pop " << i;
        struct packet_info got;
        ASSERT_EQ(queue_pop(&got, 5000), 0) << "pop " << i;
        ASSERT_EQ(got.dst, i);
        ASSERT_TRUE(entry_is_whole(got));
        int wb, rb;
        queue_indexes(&wb, &rb);
        ASSERT_EQ(wb, 0);
        ASSERT_EQ(rb, 0);
    }
    ASSERT_EQ(producer.wait_for(kLimit), std::future_status::ready);
    EXPECT_TRUE(producer.get());
}

TEST_F(QueueTest, FullQueueBlocksThePushUntilAPop)
{
    use_queue(4);
    for (uint32_t i = 0; i < 4; i++) {
        struct packet_info p = make_entry(2, i);
        ASSERT_EQ(queue_push(&p), 0);
    }
    EXPECT_EQ(queue_free_slots(), 0);

    std::atomic<bool> done{false};
    auto blocked = run_bounded([&] {
        struct packet_info p = make_entry(2, 4);
        int rc = queue_push(&p);
        done.store(true);
        return rc;
    });
    /* Longer than a wait slice, so a slice that ran out and was taken for a slot would show. */
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * QUEUE_WAIT_SLICE_MS));
    EXPECT_FALSE(done.load()) << "push into a full queue did not wait";

    struct packet_info got;
    ASSERT_EQ(queue_pop(&got, 1000), 0);
    EXPECT_EQ(got.dst, 0u);
    ASSERT_EQ(blocked.wait_for(kLimit), std::future_status::ready);
    EXPECT_EQ(blocked.get(), 0);

    for (uint32_t i = 1; i <= 4; i++) {
        ASSERT_EQ(queue_pop(&got, 1000), 0);
        EXPECT_EQ(got.dst, i);
        EXPECT_TRUE(entry_is_whole(got));
    }
    EXPECT_EQ(queue_free_slots(), 4);
}

TEST_F(QueueTest, TwoProducersUnderLoadLoseAndMixNothing)
{
    use_queue(8);
    check_two_producers_one_consumer(100000, false);
    check_two_producers_one_consumer(100000, false, 13); /* runs across the ring's end */
}

TEST_F(QueueTest, IndexesWrapAfterTheLastSlot)
{
    use_queue(3);
    for (uint32_t i = 0; i < 10; i++) {
        struct packet_info p = make_entry(3, i), got;
        ASSERT_EQ(queue_push(&p), 0);
        int wb, rb;
        queue_indexes(&wb, &rb);
        EXPECT_EQ(wb, static_cast<int>((i + 1) % 3));
        ASSERT_EQ(queue_pop(&got, 1000), 0);
        queue_indexes(&wb, &rb);
        EXPECT_EQ(rb, static_cast<int>((i + 1) % 3));
        EXPECT_EQ(got.dst, i);
    }
    /* Fill across the wrap point: slots 1, 2, 0. */
    for (uint32_t i = 0; i < 3; i++) {
        struct packet_info p = make_entry(4, i);
        ASSERT_EQ(queue_push(&p), 0);
    }
    int wb, rb;
    queue_indexes(&wb, &rb);
    EXPECT_EQ(wb, 1);
    for (uint32_t i = 0; i < 3; i++) {
        struct packet_info got;
        ASSERT_EQ(queue_pop(&got, 1000), 0);
        EXPECT_EQ(got.src, 4u);
        EXPECT_EQ(got.dst, i);
    }
}

TEST_F(QueueTest, StopRequestFreesABlockedProducerAndDropsItsPacket)
{
    use_queue(1);
    struct packet_info first = make_entry(5, 1), second = make_entry(5, 2);
    ASSERT_EQ(queue_push(&first), 0);

    std::atomic<bool> done{false};
    auto blocked = run_bounded([&] {
        int rc = queue_push(&second);
        done.store(true);
        return rc;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * QUEUE_WAIT_SLICE_MS));
    ASSERT_FALSE(done.load());
    running.store(0);
    ASSERT_EQ(blocked.wait_for(kLimit), std::future_status::ready);
    EXPECT_EQ(blocked.get(), 1);

    running.store(1);
    struct packet_info got;
    ASSERT_EQ(queue_pop(&got, 1000), 0);
    EXPECT_EQ(got.dst, 1u);
    EXPECT_EQ(queue_pop(&got, 50), 1) << "the dropped packet reached the queue";
    EXPECT_EQ(queue_free_slots(), 1);
}

TEST_F(QueueTest, StopRequestFreesABlockedConsumer)
{
    use_queue(2);
    auto waiting = run_bounded([] {
        struct packet_info got;
        return queue_pop(&got, -1); /* no time limit: only a stop ends it */
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * QUEUE_WAIT_SLICE_MS));
    running.store(0);
    ASSERT_EQ(waiting.wait_for(kLimit), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 1);
    EXPECT_EQ(queue_free_slots(), 2);
}

TEST_F(QueueTest, TimedOutPopReturnsOneAndTakesNothing)
{
    use_queue(2);
    check_pop_times_out(250, 240);
    struct packet_info got;
    EXPECT_EQ(queue_pop(&got, 0), 1);

    /* The timed-out waits must not have eaten a count: one push gives exactly one pop. */
    struct packet_info p = make_entry(6, 9);
    ASSERT_EQ(queue_push(&p), 0);
    ASSERT_EQ(queue_pop(&got, 1000), 0);
    EXPECT_EQ(got.dst, 9u);
    EXPECT_EQ(queue_pop(&got, 30), 1);
    EXPECT_EQ(queue_free_slots(), 2);
}

/* Interrupts are delivered to a thread blocked in the queue; the handler does nothing. */
void ignore_signal(int) {}

TEST_F(QueueTest, InterruptedWaitsAreResumedNotTakenForSlotsOrPackets)
{
    use_queue(1);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = ignore_signal; /* no SA_RESTART: every wait sees EINTR */
    struct sigaction previous;
    ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);

    std::atomic<pthread_t> consumer_id{};
    std::atomic<bool> ready{false};
    auto consumer = run_bounded([&] {
        consumer_id.store(pthread_self());
        ready.store(true);
        struct packet_info got;
        memset(&got, 0, sizeof got);
        int rc = queue_pop(&got, 5000);
        return rc == 0 ? got.dst : 0xffffffffu;
    });
    while (!ready.load())
        std::this_thread::yield();
    for (int i = 0; i < 20; i++) {
        pthread_kill(consumer_id.load(), SIGUSR2);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(consumer.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
        << "an interrupted pop returned";
    struct packet_info p = make_entry(7, 77);
    ASSERT_EQ(queue_push(&p), 0);
    ASSERT_EQ(consumer.wait_for(kLimit), std::future_status::ready);
    EXPECT_EQ(consumer.get(), 77u);

    /* Same for a producer waiting on a full queue. */
    struct packet_info first = make_entry(7, 1), second = make_entry(7, 2);
    ASSERT_EQ(queue_push(&first), 0);
    ready.store(false);
    std::atomic<pthread_t> producer_id{};
    auto producer = run_bounded([&] {
        producer_id.store(pthread_self());
        ready.store(true);
        return queue_push(&second);
    });
    while (!ready.load())
        std::this_thread::yield();
    for (int i = 0; i < 20; i++) {
        pthread_kill(producer_id.load(), SIGUSR2);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(producer.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
        << "an interrupted push returned";
    struct packet_info got;
    ASSERT_EQ(queue_pop(&got, 1000), 0);
    EXPECT_EQ(got.dst, 1u);
    ASSERT_EQ(producer.wait_for(kLimit), std::future_status::ready);
    EXPECT_EQ(producer.get(), 0);
    ASSERT_EQ(queue_pop(&got, 1000), 0);
    EXPECT_EQ(got.dst, 2u);

    sigaction(SIGUSR2, &previous, nullptr);
}

TEST(QueueInit, RejectsASizeBelowOneAndKeepsTheQueueItHad)
{
    struct settings s;
    memset(&s, 0, sizeof s);
    config = &s;
    s.buffer_size = 2;
    ASSERT_EQ(queue_init(config->buffer_size), 0);
    struct packet_info p = make_entry(8, 3), got;
    ASSERT_EQ(queue_push(&p), 0);

    s.buffer_size = 0;
    EXPECT_EQ(queue_init(config->buffer_size), 1);
    s.buffer_size = -5;
    EXPECT_EQ(queue_init(config->buffer_size), 1);

    ASSERT_EQ(queue_pop(&got, 1000), 0);
    EXPECT_EQ(got.dst, 3u);
    config = nullptr;
}

/* Runs in a fresh process, where no queue has been created yet. */
int free_slots_before_init()
{
    struct settings s;
    memset(&s, 0, sizeof s);
    s.buffer_size = 123;
    config = &s;
    if (queue_free_slots() != 123)
        return 1;
    struct packet_info p = make_entry(9, 1);
    if (queue_push(&p) != 1) /* refused with a message, not a crash */
        return 2;
    if (queue_init(config->buffer_size) != 0 || queue_free_slots() != 123)
        return 3;
    return 0;
}

TEST(QueueInit, FreeSlotsIsTheConfiguredSizeBeforeTheQueueExists)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exit(free_slots_before_init()), ::testing::ExitedWithCode(0), "");
}

} // namespace
