/*
 * Process-wide run-time state and the small helpers every module uses.
 * Kept apart from start-up so that tests and benchmarks can link the
 * modules without the daemon's entry point.
 */
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>

#include "core/daemon.h"

std::atomic<int> debug{0};
const char *config_file = NORVO_DEFAULT_CONFIG;
std::atomic<int> running{1};
std::atomic<int64_t> cycle_start{0};
struct settings *config = nullptr;
sem_t dump_lock;
pthread_mutex_t queue_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_attr_t thread_attr;

static_assert(std::atomic<int>::is_always_lock_free, "flags must be lock-free");
static_assert(std::atomic<int64_t>::is_always_lock_free, "cycle_start must be lock-free");

void log_msg(int priority, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsyslog(priority, format, args);
    va_end(args);
}

void debug_printf(const char *format, ...)
{
    if (!debug.load(std::memory_order_relaxed))
        return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

int sem_wait_resumed(sem_t *sem)
{
    while (sem_wait(sem) != 0) {
        if (errno != EINTR)
            return 1;
    }
    return 0;
}
