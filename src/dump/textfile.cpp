/*
 * "TextFile" back-end: appends a header line and one line per address whose
 * counts reach the divisor to the category's file. Each dump opens and
 * closes the file itself.
 *
 * Several categories may name one file and their dump threads run at once.
 * A whole dump, open to close, holds textfile_lock, so lines of different
 * categories never cut into each other.
 */
#include <errno.h>
#include <inttypes.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>

#include "core/daemon.h"
#include "dump/backend.h"

#define TEXTFILE_STAMP_SIZE 100 /* bytes, zero-filled */

static pthread_mutex_t textfile_lock = PTHREAD_MUTEX_INITIALIZER;

static int textfile_error(void)
{
    return errno ? errno : EIO;
}

/* Writes the dump into an open stream; 0, or the errno of the first failed
 * write. The walk runs to its end even after a failure. */
static int textfile_write(FILE *file, struct cat *old_cat)
{
    time_t now = time(nullptr);
    char stamp[TEXTFILE_STAMP_SIZE] = {0};
    dump_format_time(now, stamp, sizeof stamp);

    int error = 0;
    if (fprintf(file, "== [ %s ] Starting dump sequence of category %s ==\n", stamp,
                old_cat->name) < 0)
        error = textfile_error();

    int64_t tag = dump_time_tag(old_cat, now);
    struct dump_walk walk;
    dump_walk_start(&walk, old_cat);
    struct ip_entry *entry;
    int passes;
    while ((entry = dump_walk_next(&walk, &passes)) != nullptr) {
        if (!passes || error)
            continue;
        uint32_t ip = entry->ip;
        if (fprintf(file,
                    "Cat: %s IP: %03d.%03d.%03d.%03d input: %8" PRIu64 " output: %8" PRIu64
                    " timetag: %8" PRId64 "\n",
                    old_cat->name, (int)(ip >> 24), (int)(ip >> 16 & 0xff),
                    (int)(ip >> 8 & 0xff), (int)(ip & 0xff), entry->input, entry->output,
                    tag) < 0)
            error = textfile_error();
    }
    return error;
}

int dump_textfile(struct cat *old_cat)
{
    int rc = pthread_mutex_lock(&textfile_lock);
    if (rc != 0) {
        log_msg(LOG_ERR, "ERROR: Category %s: cannot lock textfile %s: %s", old_cat->name,
                old_cat->file, strerror(rc));
        return 1;
    }

    FILE *file = fopen(old_cat->file, "a");
    if (file == nullptr) {
        int error = errno;
        pthread_mutex_unlock(&textfile_lock);
        log_msg(LOG_ERR, "ERROR: Error while category %s dumping into textfile %s: %s",
                old_cat->name, old_cat->file, strerror(error));
        return 1;
    }

    int error = textfile_write(file, old_cat);
    /* A full disk often shows only when the buffer is flushed. */
    if (fflush(file) != 0 && !error)
        error = textfile_error();
    if (fclose(file) != 0 && !error)
        error = textfile_error();

    rc = pthread_mutex_unlock(&textfile_lock);
    if (rc != 0)
        log_msg(LOG_ERR, "ERROR: Category %s: cannot unlock textfile %s: %s", old_cat->name,
                old_cat->file, strerror(rc));
    if (error) {
        log_msg(LOG_ERR, "ERROR: Error while category %s writing textfile %s: %s",
                old_cat->name, old_cat->file, strerror(error));
        return 1;
    }
    return 0;
}
