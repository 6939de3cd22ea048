/*
 * Packet queue: a bounded ring of packet_info between the capture threads
 * (any number of producers) and the main thread (the only consumer).
 *
 * free_slots and used_slots carry the counts and do the blocking;
 * queue_lock makes "take index, advance it, copy the slot" one step, so a
 * slot is complete before the used_slots post that can release the
 * consumer. Created at start-up by queue_init and kept until the process
 * ends; it owns nothing but its slot array.
 *
 * Every blocking wait is cut into slices of QUEUE_WAIT_SLICE_MS so that a
 * stop request (`running` cleared) is seen even when no traffic flows and
 * the other side has stopped; a wait that a signal interrupts or that runs
 * out never counts as a slot or a packet obtained.
 *
 * Wake-ups cost more than the queue itself. A side that sleeps on a
 * semaphore makes every post of the other side a futex wake-up (a system
 * call) until it runs again, and the woken thread tends to preempt the
 * poster on its own CPU after a handful of packets. So under traffic a side
 * that finds the queue empty (consumer) or full (producer) first takes a
 * short nap that is no semaphore wait: the other side posts for free
 * meanwhile and runs unpreempted, and the napper then takes a batch, one
 * trywait per packet as before. Only a nap after which there is still
 * nothing to take leads to the blocking wait. The consumer's nap adapts so
 * that a nap lets a good part of the queue, but well below all of it,
 * collect. Queues too small to hold a batch do not nap.
 */
#include "capture/queue.h"

#include <errno.h>
#include <semaphore.h>
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

static struct packet_info *queue_slots;
static int queue_size;
static sem_t free_slots;
static sem_t used_slots;
/* Set once the semaphores exist; the status report may ask at any time. */
static std::atomic<bool> queue_ready{false};

#define QUEUE_NAP_MIN_SLOTS 64 /* slots; smaller queues never nap */
#define QUEUE_NAP_MIN_US 50    /* us, shortest nap (about the timer slack) */
#define QUEUE_NAP_MAX_US 500   /* us, longest consumer nap */
#define QUEUE_PUSH_NAP_US 50   /* us, producer nap on a full queue */

/* Consumer pacing, see above. Consumer only. */
static bool queue_flowing = false;           /* the last wait for a packet ended with one */
static long queue_nap_us = QUEUE_NAP_MAX_US; /* length of the next nap */
static int queue_taken_since_nap = 0;        /* packets popped since the last nap */

/* A new queue starts quiet. */
static void queue_pop_pacing_reset(void)
{
    queue_flowing = false;
    queue_nap_us = QUEUE_NAP_MAX_US;
    queue_taken_since_nap = 0;
}

/* action is what failed ("creating", "waiting on", ...). */
static void queue_report_sem(const char *action, const char *name, int err)
{
    log_both(LOG_ERR, "Packet queue: %s semaphore %s failed: %s", action, name, strerror(err));
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

    /*
     * The daemon creates its queue once. A second call replaces the queue
     * only for the tests, which start each case from a fresh one; the
     * caller makes sure that no thread is using the old one.
     */
    if (queue_ready.load()) {
        sem_destroy(&free_slots);
        sem_destroy(&used_slots);
        free(queue_slots);
        queue_slots = nullptr;
        queue_ready.store(false);
    }

    if (sem_init(&free_slots, 0, static_cast<unsigned>(size)) != 0) {
        queue_report_sem("creating", "free_slots", errno);
        free(slots);
        return 1;
    }
    if (sem_init(&used_slots, 0, 0) != 0) {
        queue_report_sem("creating", "used_slots", errno);
        sem_destroy(&free_slots);
        free(slots);
        return 1;
    }

    queue_slots = slots;
    queue_size = size;
    queue_pop_pacing_reset();
    queue_wb.store(0);
    queue_rb.store(0);
    queue_ready.store(true);
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

static long queue_ms_until(const struct timespec *end)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (end->tv_sec - now.tv_sec) * 1000 + (end->tv_nsec - now.tv_nsec) / NS_PER_MS;
}

/*
 * Naps nap_us (cut to the time limit), then tries sem once more. *timeout_ms
 * loses the nap's whole milliseconds. 0 the count is held; 1 still nothing.
 * An interrupted nap is merely short: only the trywait takes anything.
 */
static int queue_nap(sem_t *sem, long nap_us, int *timeout_ms)
{
    if (*timeout_ms == 0 || !running.load(std::memory_order_relaxed))
        return 1;
    if (*timeout_ms > 0 && nap_us > *timeout_ms * 1000L)
        nap_us = *timeout_ms * 1000L;
    if (*timeout_ms > 0)
        *timeout_ms -= static_cast<int>(nap_us / 1000);
    struct timespec nap = {0, nap_us * 1000L};
    nanosleep(&nap, nullptr);
    return sem_trywait(sem) == 0 ? 0 : 1;
}

/*
 * Takes one count of sem, for a caller whose trywait (and nap) found none.
 * timeout_ms < 0 waits until a stop request. 0 the count is held; 1 timed
 * out, stopping, or the semaphore failed (reported). The overall limit is
 * measured on the monotonic clock so that a clock step cannot stretch it;
 * sem_timedwait itself only knows CLOCK_REALTIME, which is fine for a slice.
 */
static int queue_wait_blocking(sem_t *sem, const char *name, int timeout_ms)
{
    struct timespec end = {0, 0};
    if (timeout_ms >= 0) {
        clock_gettime(CLOCK_MONOTONIC, &end);
        queue_add_ms(&end, timeout_ms);
    }

    for (;;) {
        if (!running.load(std::memory_order_relaxed))
            return 1;
        long slice = QUEUE_WAIT_SLICE_MS;
        if (timeout_ms >= 0) {
            long left = queue_ms_until(&end);
            if (left <= 0)
                return sem_trywait(sem) == 0 ? 0 : 1;
            if (left < slice)
                slice = left;
        }
        struct timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        queue_add_ms(&deadline, slice);
        if (sem_timedwait(sem, &deadline) == 0)
            return 0;
        /* EINTR and ETIMEDOUT: nothing was taken; look at the flag again. */
        if (errno != EINTR && errno != ETIMEDOUT) {
            queue_report_sem("waiting on", name, errno);
            return 1;
        }
    }
}

static int queue_check_ready(const char *who)
{
    if (queue_ready.load(std::memory_order_acquire))
        return 0;
    log_both(LOG_ERR, "Packet queue: %s called before the queue was created", who);
    return 1;
}

int queue_push(const struct packet_info *info)
{
    if (queue_check_ready("queue_push") != 0)
        return 1;
    if (sem_trywait(&free_slots) != 0) {
        int timeout_ms = -1;
        if ((queue_size < QUEUE_NAP_MIN_SLOTS ||
             queue_nap(&free_slots, QUEUE_PUSH_NAP_US, &timeout_ms) != 0) &&
            queue_wait_blocking(&free_slots, "free_slots", timeout_ms) != 0)
            return 1;
    }

    pthread_mutex_lock(&queue_lock);
    int wb = queue_wb.load(std::memory_order_relaxed);
    queue_slots[wb] = *info;
    queue_wb.store(wb + 1 == queue_size ? 0 : wb + 1, std::memory_order_relaxed);
    pthread_mutex_unlock(&queue_lock);

    sem_post(&used_slots);
    return 0;
}

/* The consumer's wait for one packet may span several calls (the cycle
 * comes back after every slice to look at its clock); the debug line is
 * printed once per packet wanted, not once per slice. Consumer only. */
static bool queue_pop_waiting = false;

/* Length of the consumer's next nap: shorter when the last one let more than a
 * quarter of the queue collect, longer when it let less than a sixteenth. */
static long queue_pop_nap_us(void)
{
    if (queue_taken_since_nap > queue_size / 4)
        queue_nap_us /= 2;
    else if (queue_taken_since_nap < queue_size / 16)
        queue_nap_us *= 2;
    if (queue_nap_us < QUEUE_NAP_MIN_US)
        queue_nap_us = QUEUE_NAP_MIN_US;
    if (queue_nap_us > QUEUE_NAP_MAX_US)
        queue_nap_us = QUEUE_NAP_MAX_US;
    queue_taken_since_nap = 0;
    return queue_nap_us;
}

int queue_pop(struct packet_info *out, int timeout_ms)
{
    /* Tested here so that the usual, quiet run makes no call per packet. */
    if (!queue_pop_waiting && debug.load(std::memory_order_relaxed))
        debug_printf("Popping packet from queue\n");
    queue_pop_waiting = true;
    if (queue_check_ready("queue_pop") != 0)
        return 1;
    if (sem_trywait(&used_slots) != 0) {
        bool napped = queue_flowing && queue_size >= QUEUE_NAP_MIN_SLOTS &&
                      queue_nap(&used_slots, queue_pop_nap_us(), &timeout_ms) == 0;
        if (!napped) {
            queue_flowing = false;
            if (queue_wait_blocking(&used_slots, "used_slots", timeout_ms) != 0)
                return 1;
            queue_flowing = true;
        }
    }
    queue_pop_waiting = false;
    queue_taken_since_nap++;

    pthread_mutex_lock(&queue_lock);
    int rb = queue_rb.load(std::memory_order_relaxed);
    *out = queue_slots[rb];
    queue_rb.store(rb + 1 == queue_size ? 0 : rb + 1, std::memory_order_relaxed);
    pthread_mutex_unlock(&queue_lock);

    sem_post(&free_slots);
    return 0;
}

int queue_free_slots(void)
{
    if (!queue_ready.load(std::memory_order_acquire))
        return config != nullptr ? config->buffer_size : 0;
    int value = 0;
    if (sem_getvalue(&free_slots, &value) != 0) {
        queue_report_sem("reading", "free_slots", errno);
        return 0;
    }
    return value;
}

void queue_indexes(int *wb, int *rb)
{
    *wb = queue_wb.load(std::memory_order_relaxed);
    *rb = queue_rb.load(std::memory_order_relaxed);
}
