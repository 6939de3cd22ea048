/*
 * The accounting cycle. The main thread is the only consumer of the packet
 * queue and owns the running cycle's tables; at the cycle end each table
 * moves, inside a heap copy of its category, to a dump thread of its own.
 * A category whose previous dump is still running keeps its table and goes
 * on counting into it, and is dumped at the first cycle end after that dump
 * has finished: a slow back-end delays its own rows but loses none, and
 * holds up no other category.
 *
 * The wait for a packet is bounded by the end of the period, so a cycle
 * ends on time on a quiet network, and within one queue wait slice after
 * SIGHUP or SIGTERM.
 */
#include "core/cycle.h"

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

/* A table for every category that has none: a category that carries its
 * counts into this cycle keeps the one it has. */
static void cycle_new_tables(void)
{
    if (debug)
        puts("Initializing Cats");
    for (struct cat *c = config->cats; c; c = c->next) {
        debug_printf("Initializing Category %s\n", c->name);
        if (c->table)
            continue;
        c->table = iptable_new_limited((size_t)config->table_limit << 20);
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

/* 0 when the category's table went to a dump thread; otherwise the table
 * is still the category's and the error number is returned. */
static int cycle_dump(struct cat *c)
{
    log_msg(LOG_INFO, "Dumping category %s", c->name);
    debug_printf("Dumping Category %s\n", c->name);
    return dump_start(c);
}

/* Refusals of the period just ended, whether or not its dump can start. */
static void cycle_report_refused(void)
{
    for (struct cat *c = config->cats; c; c = c->next)
        account_report_refused(c);
}

static void cycle_dispatch(void)
{
    cycle_report_refused();
    for (struct cat *c = config->cats; c; c = c->next) {
        if (dump_running(c) != 0) {
            log_msg(LOG_ERR, "ERROR: Privious dump still active. Category %s keeps its counts: "
                    "they are carried into the next period.", c->name);
            continue;
        }
        int err = cycle_dump(c);
        if (err != 0)
            log_msg(LOG_ERR, "Cannot start the dump of category %s: %s; its counts are carried "
                    "into the next period", c->name, strerror(err));
    }
}

/*
 * After a stop every category gets one last dump, as soon as its previous
 * dump has finished, and the cycle returns once every dump is written. A
 * held count stands for the last dump until it runs, so the category shows
 * as unfinished throughout (daemon.cpp names such categories when a second
 * stop signal ends the wait).
 */
static void cycle_finish(void)
{
    cycle_report_refused();
    for (struct cat *c = config->cats; c; c = c->next) {
        dump_hold(c);
        /* the last dump still writes its header */
        if (!c->table)
            c->table = iptable_new_limited((size_t)config->table_limit << 20);
        if (!c->table) {
            log_msg(LOG_ERR, "Cannot create the address table of category %s: %s; it gets no "
                    "last dump", c->name, strerror(errno));
            dump_release(c);
        }
    }
    for (;;) {
        unsigned long seen = dump_finished();
        int busy = 0;
        for (struct cat *c = config->cats; c; c = c->next) {
            /* the held count and a previous dump: wait for that one */
            if (!c->table || dump_running(c) > 1) {
                busy = busy || dump_running(c) > 0;
                continue;
            }
            int err = cycle_dump(c);
            if (err != 0) {
                log_msg(LOG_ERR, "Cannot start the last dump of category %s: %s; its counts "
                        "are lost", c->name, strerror(err));
                iptable_destroy(c->table);
                c->table = nullptr;
            }
            dump_release(c);
            busy = 1;
        }
        if (!busy)
            return;
        dump_wait(seen, QUEUE_WAIT_SLICE_MS);
    }
}

void cycle_run(void)
{
    for (;;) {
        cycle_new_tables();
        cycle_account();
        if (debug)
            print_status();
        cycle_start.store(cycle_clock());
        if (debug)
            puts("starting dump-sequence");
        /* Read once: a stop that comes during the dispatch is seen at the
         * next cycle end, with the counts carried until then. */
        if (!running.load()) {
            cycle_finish();
            return;
        }
        cycle_dispatch();
    }
}
