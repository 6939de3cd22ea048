/*
 * The accounting cycle. The main thread is the only consumer of the packet
 * queue and owns the running cycle's tables; at the cycle end each table
 * moves, inside a heap copy of its category, to a dump thread of its own.
 *
 * The wait for a packet is bounded by the end of the period, so a cycle
 * ends on time on a quiet network, and within one queue wait slice after
 * SIGHUP or SIGTERM.
 */
#include "core/cycle.h"

#include <assert.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>

#include "accounting/account.h"
#include "accounting/iptable.h"
#include "capture/queue.h"
#include "core/state.h"
#include "core/status.h"
#include "dump/dump.h"

/*
 * Periods are started and timed on one clock: time() may lag
 * clock_gettime(CLOCK_REALTIME) by a timer tick, and a cycle started on one
 * and timed on the other could end the moment it began. The clock is read
 * before every batch of packets, so it is the coarse one: a few ns instead of a few
 * tens; it lags by at most a scheduler tick, which only makes a cycle end
 * that much later.
 */
#define CYCLE_CLOCK CLOCK_REALTIME_COARSE
#define CYCLE_BATCH 1024 /* packets taken from the queue at once, at most */

int64_t cycle_clock(void)
{
    struct timespec now;
    clock_gettime(CYCLE_CLOCK, &now);
    return now.tv_sec;
}

/* Milliseconds until the period ends, at most one wait slice; 0 when over. */
static int cycle_wait_ms(void)
{
    struct timespec now;
    clock_gettime(CYCLE_CLOCK, &now);
    int64_t end = cycle_start.load() + config->period;
    if (!running.load() || now.tv_sec >= end)
        return 0;
    int64_t left = (end - now.tv_sec) * 1000 - now.tv_nsec / NS_PER_MS;
    if (left > QUEUE_WAIT_SLICE_MS)
        return QUEUE_WAIT_SLICE_MS;
    return left > 0 ? (int)left : 1;
}

static void cycle_new_tables(void)
{
    if (debug)
        puts("Initializing Cats");
    for (struct cat *c = config->cats; c; c = c->next) {
        debug_printf("Initializing Category %s\n", c->name);
        c->table = iptable_new();
        if (!c->table)
            log_msg(LOG_ERR, "Cannot create the address table of category %s: %s; "
                    "its traffic is not counted in this cycle", c->name, strerror(errno));
    }
}

/*
 * Takes the queue's packets in batches: one lock and one look at the clock
 * per batch. In debug mode one at a time, so that each packet's lines show
 * in the order it was taken.
 */
static void cycle_account(void)
{
    static struct packet_info batch[CYCLE_BATCH]; /* main thread only */
    int max = debug.load(std::memory_order_relaxed) ? 1 : CYCLE_BATCH;
    for (;;) {
        int wait_ms = cycle_wait_ms();
        if (wait_ms == 0)
            return;
        int n = queue_pop_batch(batch, max, wait_ms);
        for (int i = 0; i < n; i++) {
            for (struct cat *c = config->cats; c; c = c->next) {
                if (c->table)
                    account_packet(c, &batch[i]);
            }
        }
    }
}

static void cycle_discard(void)
{
    for (struct cat *c = config->cats; c; c = c->next) {
        if (c->table)
            iptable_destroy(c->table);
        c->table = nullptr;
    }
}

static void cycle_dispatch(void)
{
    if (dump_active() != 0) {
        log_msg(LOG_ERR, "ERROR: Privious dump still active. Aborting this one! Data lost! "
                "Please increase cycle time.");
        cycle_discard();
        return;
    }
    for (struct cat *c = config->cats; c; c = c->next) {
        log_msg(LOG_INFO, "Dumping category %s", c->name);
        debug_printf("Dumping Category %s\n", c->name);
        struct cat *old_cat = (struct cat *)malloc(sizeof *old_cat);
        assert(old_cat);
        *old_cat = *c;
        c->table = nullptr; /* the copy owns it now */
        pthread_t thread;
        int err = pthread_create(&thread, &thread_attr, dump_thread, old_cat);
        if (err != 0) {
            log_msg(LOG_ERR, "Cannot start the dump thread of category %s: %s; "
                    "the counts of this cycle are lost", old_cat->name, strerror(err));
            if (old_cat->table)
                iptable_destroy(old_cat->table);
            free(old_cat);
        }
    }
}

void cycle_run(void)
{
    while (running.load()) {
        cycle_new_tables();
        cycle_account();
        if (debug)
            print_status();
        cycle_start.store(cycle_clock());
        if (debug)
            puts("starting dump-sequence");
        cycle_dispatch();
    }
}
