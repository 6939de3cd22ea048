/*
 * What really is process-wide: the run flags, the settings, the attribute
 * every worker thread is created with, and the logging helpers. A leaf
 * header: it includes no other module but the settings' definitions.
 *
 * `running` (cleared by a stop request) and `cycle_start` (zeroed by
 * SIGHUP, reset by the cycle) are lock-free atomics that any thread reads;
 * everything else is written on the main thread before any other thread
 * exists.
 */
#ifndef NORVO_CORE_STATE_H
#define NORVO_CORE_STATE_H

#include <pthread.h>
#include <stdint.h>

#include <atomic>

#include "config/config.h"

#define NS_PER_MS 1000000L    /* ns in a millisecond */
#define NS_PER_S 1000000000L  /* ns in a second */

extern std::atomic<int> debug;
extern std::atomic<int> running;
extern std::atomic<int64_t> cycle_start; /* seconds since the epoch */
extern struct settings *config;
extern pthread_attr_t thread_attr; /* detached; every worker thread uses it */

/* syslog with the compiler checking the format. */
void log_msg(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
/* The same text on standard error (with a line feed) and in the system log. */
void log_both(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
/* printf on standard output when debug is set. */
void debug_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif
