/*
 * Run-time state of the daemon and its start-up.
 *
 * Everything here is written on the main thread before any other thread
 * exists, except the flags: `running` (cleared by a stop request) and
 * `cycle_start` (zeroed by SIGHUP, reset by the cycle) are lock-free
 * atomics that other threads read.
 */
#ifndef NORVO_CORE_DAEMON_H
#define NORVO_CORE_DAEMON_H

#include <pthread.h>
#include <semaphore.h>
#include <stdint.h>

#include <atomic>

#include "config/config.h"

#include "norvo_build.h" /* NORVO_VERSION, NORVO_DEFAULT_CONFIG: set in CMakeLists.txt */

extern std::atomic<int> debug;
extern const char *config_file;
extern std::atomic<int> running;
extern std::atomic<int64_t> cycle_start; /* seconds since the epoch */
extern struct settings *config;
extern sem_t dump_lock;
extern pthread_mutex_t queue_lock;
extern pthread_attr_t thread_attr; /* detached; every thread uses it */

/* syslog with the compiler checking the format. */
void log_msg(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
/* printf on standard output when debug is set. */
void debug_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* sem_wait that resumes after a signal; 0 once the semaphore is held. */
int sem_wait_resumed(sem_t *sem);

/* The whole daemon: start-up, the cycle, then pthread_exit. */
int daemon_main(int argc, char **argv);

#endif
