/*
 * Process-wide run-time state and the logging helpers every module uses.
 * Kept apart from start-up so that tests and benchmarks can link the
 * modules without the daemon's entry point.
 */
#include "core/state.h"

#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>

std::atomic<int> debug{0};
std::atomic<int> running{1};
std::atomic<int64_t> cycle_start{0};
struct settings *config = nullptr;
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

void log_both(int priority, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    /* one call, so the line is not cut by another thread's output */
    char line[1024];
    vsnprintf(line, sizeof line, format, copy);
    va_end(copy);
    fprintf(stderr, "%s\n", line);
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
