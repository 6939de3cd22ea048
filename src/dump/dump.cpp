/*
 * Dump threads and the rules every back-end shares.
 *
 * Lifecycle: dump_start mallocs a copy of the category (`old_cat`) that
 * carries the finished cycle's table, counts the dump in on the category's
 * count and starts a detached dump_thread for it. From then on the thread
 * owns the copy and the table: it runs the category's back-end, releases
 * both and counts itself out. The rule lists, `db`, `file` and the count
 * inside the copy belong to the live category and are only read here.
 *
 * Back-ends scale the table in place while walking it, so a table can be
 * dumped once only; every walk runs to its end to leave the cursor at 0 for
 * iptable_destroy.
 */
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "core/addr.h"
#include "core/state.h"
#include "dump/backend.h"
#include "dump/dump.h"

/* A category's dumps counted in and not finished. The cycle reads it
 * without the lock; changes take dump_end_lock so that dump_wait cannot
 * miss the end of a dump. */
struct dump_count {
    std::atomic<int> running{0};
};

static pthread_mutex_t dump_end_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t dump_end_cond = PTHREAD_COND_INITIALIZER; /* CLOCK_REALTIME */
static unsigned long dump_ends = 0; /* dumps finished; under dump_end_lock */

#define DUMP_TIME_FORMAT "%a, %d %b %Y %H:%M:%S %z"
#define DUMP_STAMP_SIZE 100 /* bytes; a stamp has 31 characters */

uint64_t dump_divisor(const struct cat *category)
{
    return category->byte_divider >= 2 ? (uint64_t)category->byte_divider : 1;
}

int64_t dump_time_tag(const struct cat *category, time_t now)
{
    /* 64-bit throughout: the same tags as a 32-bit one until 2038, and
     * still increasing after it, so database rows keep adding up. */
    if (category->time_divider > 0)
        return (int64_t)now / category->time_divider;
    return (int64_t)now;
}

void dump_walk_start(struct dump_walk *walk, const struct cat *category)
{
    walk->table = category->table;
    walk->divisor = dump_divisor(category);
    walk->done = walk->table == nullptr;
}

struct ip_entry *dump_walk_next(struct dump_walk *walk, int *passes)
{
    if (walk->done)
        return nullptr;
    struct ip_entry *entry = iptable_next(walk->table);
    if (entry == nullptr) {
        walk->done = 1;
        return nullptr;
    }
    /* The cursor wraps to 0 right after 255.255.255.255; another step
     * would start the walk over. */
    if (!iptable_walking(walk->table))
        walk->done = 1;
    if (passes != nullptr)
        *passes = entry->input >= walk->divisor || entry->output >= walk->divisor;
    entry->input /= walk->divisor;
    entry->output /= walk->divisor;
    return entry;
}

void dump_format_time(time_t now, char *buf, size_t size)
{
    if (size == 0)
        return;
    buf[0] = '\0';
    struct tm local;
    /* localtime_r: dump threads format at the same moment, each into its own
     * struct tm. */
    if (localtime_r(&now, &local) == nullptr) {
        log_msg(LOG_ERR, "ERROR: Cannot convert time %lld to local time: %s",
                (long long)now, strerror(errno));
        return;
    }
    if (strftime(buf, size, DUMP_TIME_FORMAT, &local) == 0) {
        buf[0] = '\0';
        log_msg(LOG_ERR, "ERROR: Time stamp of %lld does not fit in %zu bytes",
                (long long)now, size);
    }
}

static int dump_errno(void)
{
    return errno ? errno : EIO;
}

int dump_write_text(FILE *out, struct cat *old_cat, int cat_prefix)
{
    time_t now = time(nullptr);
    char stamp[DUMP_STAMP_SIZE] = {0};
    dump_format_time(now, stamp, sizeof stamp);

    int error = 0;
    if (fprintf(out, "== [ %s ] Starting dump sequence of category %s ==\n", stamp,
                old_cat->name) < 0)
        error = dump_errno();

    int64_t tag = dump_time_tag(old_cat, now);
    const char *prefix = cat_prefix ? "Cat: " : "";
    const char *name = cat_prefix ? old_cat->name : "";
    const char *gap = cat_prefix ? " " : "";
    struct dump_walk walk;
    dump_walk_start(&walk, old_cat);
    struct ip_entry *entry;
    int passes;
    /* after a failure the walk still runs to its end, for iptable_destroy */
    while ((entry = dump_walk_next(&walk, &passes)) != nullptr) {
        if (!passes || error)
            continue;
        struct addr_octets ip = addr_split(entry->ip);
        if (fprintf(out,
                    "%s%s%sIP: %03u.%03u.%03u.%03u input: %8" PRIu64 " output: %8" PRIu64
                    " timetag: %8" PRId64 "\n",
                    prefix, name, gap, ip.a, ip.b, ip.c, ip.d, entry->input, entry->output,
                    tag) < 0)
            error = dump_errno();
    }
    /* a full disk often shows only when the buffer is flushed */
    if (fflush(out) != 0 && !error)
        error = dump_errno();
    return error;
}

int dump_stdout(struct cat *old_cat)
{
    /* Held from the header to the last row, so that two categories dumping
     * at once never put rows under each other's header. */
    flockfile(stdout);
    int error = dump_write_text(stdout, old_cat, 0);
    funlockfile(stdout);
    if (error) {
        log_msg(LOG_ERR, "ERROR: Error while category %s dumping to standard output: %s",
                old_cat->name, strerror(error));
        return 1;
    }
    return 0;
}

/* Categories may share a file and their dump threads run at once: the
 * writing of a whole file dump holds this lock, so neither a text line nor
 * a 20-byte record of one category is ever cut into another's. The file is
 * opened before the lock is taken: an open that blocks (a FIFO without a
 * reader) then holds up only its own category. */
static pthread_mutex_t dump_file_lock = PTHREAD_MUTEX_INITIALIZER;

#define DUMP_FILE_MODE 0640 /* rows are nobody else's business */

/*
 * The category's file for appending. The daemon runs as root: it must not
 * follow a symbolic link someone planted at the path (O_NOFOLLOW), and it
 * never creates a file others may write. Null with errno set on failure.
 */
static FILE *dump_open_file(const char *path)
{
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, DUMP_FILE_MODE);
    if (fd < 0)
        return nullptr;
    FILE *file = fdopen(fd, "a");
    if (file == nullptr) {
        int error = errno;
        close(fd);
        errno = error;
    }
    return file;
}

int dump_to_file(struct cat *old_cat, const char *kind,
                 int (*write)(FILE *file, struct cat *old_cat, void *arg), void *arg)
{
    FILE *file = dump_open_file(old_cat->file);
    if (file == nullptr) {
        int error = errno;
        /* "textfile" for both file back-ends: log watchers match this line */
        if (error == ELOOP)
            log_msg(LOG_ERR, "ERROR: Error while category %s dumping into textfile %s: %s "
                    "(a symbolic link, which is not followed)",
                    old_cat->name, old_cat->file, strerror(error));
        else
            log_msg(LOG_ERR, "ERROR: Error while category %s dumping into textfile %s: %s",
                    old_cat->name, old_cat->file, strerror(error));
        return 1;
    }
    int rc = pthread_mutex_lock(&dump_file_lock);
    if (rc != 0) {
        log_msg(LOG_ERR, "ERROR: Category %s: cannot lock %s %s: %s", old_cat->name, kind,
                old_cat->file, strerror(rc));
        fclose(file);
        return 1;
    }
    int error = write(file, old_cat, arg);
    if (fclose(file) != 0 && !error)
        error = dump_errno();
    pthread_mutex_unlock(&dump_file_lock);
    if (error) {
        log_msg(LOG_ERR, "ERROR: Error while category %s writing %s %s: %s", old_cat->name,
                kind, old_cat->file, strerror(error));
        return 1;
    }
    return 0;
}

int dump_track(struct cat *cats)
{
    for (struct cat *category = cats; category != nullptr; category = category->next) {
        if (category->dumps != nullptr)
            continue;
        category->dumps = new (std::nothrow) struct dump_count;
        if (category->dumps == nullptr) {
            fprintf(stderr, "Norvo: Cannot allocate the dump count of category %s: %s\n",
                    category->name, strerror(ENOMEM));
            return 1;
        }
    }
    return 0;
}

void dump_untrack(struct cat *category)
{
    delete category->dumps;
    category->dumps = nullptr;
}

int dump_running(const struct cat *category)
{
    return category->dumps != nullptr ? category->dumps->running.load() : 0;
}

static void dump_count_change(struct dump_count *count, int change)
{
    if (count == nullptr)
        return;
    pthread_mutex_lock(&dump_end_lock);
    count->running.fetch_add(change);
    if (change < 0) {
        dump_ends++;
        pthread_cond_broadcast(&dump_end_cond);
    }
    pthread_mutex_unlock(&dump_end_lock);
}

void dump_hold(struct cat *category)
{
    dump_count_change(category->dumps, 1);
}

void dump_release(struct cat *category)
{
    dump_count_change(category->dumps, -1);
}

int dump_start(struct cat *category)
{
    struct cat *old_cat = (struct cat *)malloc(sizeof *old_cat);
    if (old_cat == nullptr)
        return errno != 0 ? errno : ENOMEM;
    *old_cat = *category;
    /* Counted before the thread exists: a cycle that ends right after this
     * one (two quick SIGHUPs) already sees the dump running. */
    dump_count_change(category->dumps, 1);
    pthread_t thread;
    int err = pthread_create(&thread, &thread_attr, dump_thread, old_cat);
    if (err != 0) {
        dump_count_change(category->dumps, -1);
        free(old_cat);
        return err;
    }
    category->table = nullptr; /* the copy owns it now */
    return 0;
}

unsigned long dump_finished(void)
{
    pthread_mutex_lock(&dump_end_lock);
    unsigned long ends = dump_ends;
    pthread_mutex_unlock(&dump_end_lock);
    return ends;
}

void dump_wait(unsigned long seen, int timeout_ms)
{
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += timeout_ms / 1000;
    until.tv_nsec += (long)(timeout_ms % 1000) * NS_PER_MS;
    if (until.tv_nsec >= NS_PER_S) {
        until.tv_sec++;
        until.tv_nsec -= NS_PER_S;
    }
    pthread_mutex_lock(&dump_end_lock);
    /* A signal does not end a condition wait; a spurious wake-up is looped. */
    while (dump_ends == seen) {
        if (pthread_cond_timedwait(&dump_end_cond, &dump_end_lock, &until) == ETIMEDOUT)
            break;
    }
    pthread_mutex_unlock(&dump_end_lock);
}

void *dump_thread(void *arg)
{
    struct cat *old_cat = (struct cat *)arg;

    switch (old_cat->dump_type) {
    case DUMP_STDOUT:
        dump_stdout(old_cat);
        break;
    case DUMP_SYSLOG:
        dump_syslog(old_cat);
        break;
    case DUMP_TEXTFILE:
        dump_textfile(old_cat);
        break;
    case DUMP_BINFILE:
        dump_binfile(old_cat);
        break;
    case DUMP_MYSQL:
        dump_mysql(old_cat);
        break;
    case DUMP_PGSQL:
        log_msg(LOG_ERR,
                "Error while dumping category %s: Norvo was not compiled with PgSQL support",
                old_cat->name);
        break;
    default:
        /* A misspelt type name: the reader already said so at start-up. */
        break;
    }

    struct dump_count *count = old_cat->dumps;
    iptable_destroy(old_cat->table);
    free(old_cat);
    /* Last: once the count is down, a stopping daemon may end. */
    dump_count_change(count, -1);
    return nullptr;
}
