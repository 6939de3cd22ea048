/*
 * Packet queue: a bounded ring of packet_info between the capture threads
 * (any number of producers) and the main thread (the only consumer).
 *
 * One lock guards the ring and its fill count; two condition variables let
 * a producer wait for room and the consumer wait for packets. Both sides
 * move packets in batches, several per lock: a capture thread queues what
 * one read of its device gave, the consumer takes what it finds up to its
 * batch. Created at start-up by queue_init and kept until the process ends;
 * it owns nothing but its slot array.
 *
 * Wake-ups cost more than the queue itself: a signal to a sleeping thread is
 * a system call, and the woken thread tends to preempt the signaller. So a
 * side is signalled only when it sleeps, a producer's batch wakes the
 * consumer once, and a producer waiting for room is woken only once a good
 * part of the ring (QUEUE_ROOM_WAKE) is free again, so that it then queues
 * a large piece of its batch at once.
 *
 * Every blocking wait is cut into slices of QUEUE_WAIT_SLICE_MS so that a
 * stop request (`running` cleared) is seen even when no traffic flows and
 * the other side has stopped; after every slice, and after any wake-up a
 * signal or the system makes up, the wait looks at the ring again, so only
 * a packet or a slot really there ends it.
 */
#include "capture/queue.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>

#include "core/state.h"

/* Next slot to write and to read; changed under queue_lock, read without it
 * by queue_indexes. */
static std::atomic<int> queue_wb{0};
static std::atomic<int> queue_rb{0};
static pthread_mutex_t queue_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t queue_has_packets; /* the consumer waits on it */
static pthread_cond_t queue_has_room;    /* producers wait on it */

/* Under queue_lock. */
static struct packet_info *queue_slots;
static int queue_size;
static int queue_used;                    /* slots holding a packet */
static bool queue_consumer_waiting = false;
static int queue_producers_waiting = 0;

/* Set once the ring exists; the status report may ask at any time. */
static std::atomic<bool> queue_ready{false};

/* Half the ring, at least one slot: the fill that wakes the consumer while
 * more packets are coming, and the room that wakes a waiting producer. */
#define QUEUE_HALF(size) ((size) / 2 > 0 ? (size) / 2 : 1)

/* The consumer's wait for one packet may span several calls (the cycle
 * comes back after every slice to look at its clock); the debug line is
 * printed once per wait, not once per slice. Consumer only. */
static bool queue_pop_waiting = false;

/* Condition variables that time their waits on the monotonic clock, so that
 * a clock step cannot stretch or cut a wait. Made once: the tests create
 * the queue again and again, with no thread waiting. 0 or 1 (reported). */
static int queue_init_conditions(void)
{
    static bool made = false;
    if (made)
        return 0;
    pthread_condattr_t attr;
    int err = pthread_condattr_init(&attr);
    if (err == 0)
        err = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (err == 0) {
        err = pthread_cond_init(&queue_has_packets, &attr);
        if (err == 0) {
            err = pthread_cond_init(&queue_has_room, &attr);
            if (err != 0)
                pthread_cond_destroy(&queue_has_packets);
        }
        pthread_condattr_destroy(&attr);
    }
    if (err != 0) {
        log_both(LOG_ERR, "Packet queue: cannot create its condition variables: %s", strerror(err));
        return 1;
    }
    made = true;
    return 0;
}

int queue_init(int size)
{
    debug_printf("Initializing Queue.\n");

    if (size < 1) {
        log_both(LOG_ERR, "Packet queue: buffer size %d is not at least 1", size);
        return 1;
    }

    /* calloc zero-fills the slots. */
    struct packet_info *slots =
        static_cast<struct packet_info *>(calloc(static_cast<size_t>(size), sizeof *slots));
    if (slots == nullptr) {
        int err = errno;
        log_both(LOG_ERR, "Packet queue: cannot allocate %d slots: %s", size, strerror(err));
        return 1;
    }
    if (queue_init_conditions() != 0) {
        free(slots);
        return 1;
    }

    /*
     * The daemon creates its queue once. A second call replaces the queue
     * only for the tests, which start each case from a fresh one; the
     * caller makes sure that no thread is using the old one.
     */
    pthread_mutex_lock(&queue_lock);
    free(queue_slots);
    queue_slots = slots;
    queue_size = size;
    queue_used = 0;
    queue_consumer_waiting = false;
    queue_producers_waiting = 0;
    queue_pop_waiting = false;
    queue_wb.store(0);
    queue_rb.store(0);
    pthread_mutex_unlock(&queue_lock);
    queue_ready.store(true, std::memory_order_release);
    return 0;
}

/* ts += ms, normalised. */
static void queue_add_ms(struct timespec *ts, long ms)
{
    ts->tv_sec += ms / 1000;
    ts->tv_nsec += (ms % 1000) * NS_PER_MS;
    if (ts->tv_nsec >= NS_PER_S) {
        ts->tv_sec += 1;
        ts->tv_nsec -= NS_PER_S;
    }
}

static bool queue_before(const struct timespec *a, const struct timespec *b)
{
    return a->tv_sec < b->tv_sec || (a->tv_sec == b->tv_sec && a->tv_nsec < b->tv_nsec);
}

/* Whether the ring has what a side waits for; under queue_lock. */
static bool queue_has_some_packets(void) { return queue_used > 0; }
static bool queue_has_some_room(void) { return queue_used < queue_size; }

/*
 * With queue_lock held: waits on cond until ready() holds. timeout_ms < 0
 * waits until a stop request. *sleeping (may be null) is set before every
 * sleep, for the other side to see that a signal is wanted. 0 ready() holds; 1 timed out, stopping, or the
 * wait failed (reported).
 */
static int queue_wait(pthread_cond_t *cond, bool (*ready)(void), const char *name, int timeout_ms,
                      bool *sleeping)
{
    struct timespec end = {0, 0};
    if (timeout_ms >= 0) {
        clock_gettime(CLOCK_MONOTONIC, &end);
        queue_add_ms(&end, timeout_ms);
    }
    while (!ready()) {
        if (!running.load(std::memory_order_relaxed))
            return 1;
        struct timespec slice;
        clock_gettime(CLOCK_MONOTONIC, &slice);
        if (timeout_ms >= 0 && !queue_before(&slice, &end))
            return 1;
        queue_add_ms(&slice, QUEUE_WAIT_SLICE_MS);
        if (timeout_ms >= 0 && queue_before(&end, &slice))
            slice = end;
        if (sleeping != nullptr)
            *sleeping = true;
        int err = pthread_cond_timedwait(cond, &queue_lock, &slice);
        if (err != 0 && err != ETIMEDOUT) {
            log_both(LOG_ERR, "Packet queue: waiting for %s failed: %s", name, strerror(err));
            return 1;
        }
    }
    return 0;
}

static int queue_check_ready(const char *who)
{
    if (queue_ready.load(std::memory_order_acquire))
        return 0;
    log_both(LOG_ERR, "Packet queue: %s called before the queue was created", who);
    return 1;
}

int queue_push_batch(const struct packet_info *entries, int count, int more)
{
    if (queue_check_ready("queue_push") != 0)
        return 1;
    pthread_mutex_lock(&queue_lock);
    while (count > 0) {
        if (queue_used == queue_size) {
            queue_producers_waiting++;
            int rc = queue_wait(&queue_has_room, queue_has_some_room, "room", -1, nullptr);
            queue_producers_waiting--;
            if (rc != 0) {
                pthread_mutex_unlock(&queue_lock);
                return 1;
            }
        }
        int n = queue_size - queue_used;
        if (n > count)
            n = count;
        int wb = queue_wb.load(std::memory_order_relaxed);
        int first = queue_size - wb < n ? queue_size - wb : n; /* up to the ring's end */
        memcpy(&queue_slots[wb], entries, static_cast<size_t>(first) * sizeof *entries);
        memcpy(&queue_slots[0], entries + first, static_cast<size_t>(n - first) * sizeof *entries);
        wb += n;
        queue_wb.store(wb >= queue_size ? wb - queue_size : wb, std::memory_order_relaxed);
        queue_used += n;
        entries += n;
        count -= n;
        /* A consumer woken for a few packets would soon sleep again: with more
         * to come it is woken once half the ring waits (always before this
         * producer has to wait for room). One signal per sleep. */
        if (queue_consumer_waiting && count > 0) {
            queue_consumer_waiting = false;
            pthread_cond_signal(&queue_has_packets);
        }
    }
    bool wake = queue_consumer_waiting && queue_used > 0 &&
                (!more || queue_used >= QUEUE_HALF(queue_size));
    if (wake)
        queue_consumer_waiting = false;
    pthread_mutex_unlock(&queue_lock);
    /* After the unlock, so that the woken consumer does not wait for the lock. */
    if (wake)
        pthread_cond_signal(&queue_has_packets);
    return 0;
}

int queue_push(const struct packet_info *info)
{
    return queue_push_batch(info, 1, 0);
}

int queue_pop_batch(struct packet_info *out, int max, int timeout_ms)
{
    /* Tested here so that the usual, quiet run makes no call per batch. */
    if (!queue_pop_waiting && debug.load(std::memory_order_relaxed))
        debug_printf("Popping packet from queue\n");
    queue_pop_waiting = true;
    if (queue_check_ready("queue_pop") != 0 || max < 1)
        return 0;

    pthread_mutex_lock(&queue_lock);
    if (queue_used == 0) {
        int rc = queue_wait(&queue_has_packets, queue_has_some_packets, "packets", timeout_ms,
                            &queue_consumer_waiting);
        queue_consumer_waiting = false;
        if (rc != 0) {
            pthread_mutex_unlock(&queue_lock);
            return 0;
        }
    }
    int n = queue_used < max ? queue_used : max;
    int rb = queue_rb.load(std::memory_order_relaxed);
    int first = queue_size - rb < n ? queue_size - rb : n;
    memcpy(out, &queue_slots[rb], static_cast<size_t>(first) * sizeof *out);
    memcpy(out + first, &queue_slots[0], static_cast<size_t>(n - first) * sizeof *out);
    rb += n;
    queue_rb.store(rb >= queue_size ? rb - queue_size : rb, std::memory_order_relaxed);
    queue_used -= n;
    bool wake = queue_producers_waiting > 0 && queue_size - queue_used >= QUEUE_HALF(queue_size);
    pthread_mutex_unlock(&queue_lock);
    if (wake)
        pthread_cond_broadcast(&queue_has_room);
    queue_pop_waiting = false;
    return n;
}

int queue_pop(struct packet_info *out, int timeout_ms)
{
    return queue_pop_batch(out, 1, timeout_ms) == 1 ? 0 : 1;
}

int queue_free_slots(void)
{
    if (!queue_ready.load(std::memory_order_acquire))
        return config != nullptr ? config->buffer_size : 0;
    pthread_mutex_lock(&queue_lock);
    int free_slots = queue_size - queue_used;
    pthread_mutex_unlock(&queue_lock);
    return free_slots;
}

void queue_indexes(int *wb, int *rb)
{
    *wb = queue_wb.load(std::memory_order_relaxed);
    *rb = queue_rb.load(std::memory_order_relaxed);
}
