/*
 * "BinFile" back-end: appends one 20-byte record per address whose counts
 * reach the divisor to the category's file, in the byte order of this
 * machine and without any header:
 *
 *   offset 0  u32 address    offset 4  u32 input    offset 8  u32 output
 *   offset 12 i64 time tag
 *
 * The record keeps 32-bit counters although the table counts in 64 bits; a
 * scaled counter that does not fit is stored as 4294967295, never wrapped,
 * and the dump says so once. norvo-binread reads these files.
 *
 * dump_to_file keeps the dumps of categories that share a file apart, so
 * records stay whole and aligned.
 */
#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>

#include "core/daemon.h"
#include "dump/backend.h"

#define BINFILE_RECORD_SIZE 20 /* bytes */
#define BINFILE_COUNTER_MAX 4294967295ULL

static uint32_t binfile_counter(uint64_t value, uint64_t *saturated)
{
    if (value > BINFILE_COUNTER_MAX) {
        ++*saturated;
        return (uint32_t)BINFILE_COUNTER_MAX;
    }
    return (uint32_t)value;
}

/* Writes the records into an open stream; 0, or the errno of the first
 * failed write. The walk runs to its end even after a failure. */
static int binfile_write(FILE *file, struct cat *old_cat, void *arg)
{
    uint64_t *saturated = (uint64_t *)arg;
    int64_t tag = dump_time_tag(old_cat, time(nullptr));
    struct dump_walk walk;
    dump_walk_start(&walk, old_cat);
    struct ip_entry *entry;
    int passes;
    int error = 0;
    while ((entry = dump_walk_next(&walk, &passes)) != nullptr) {
        if (!passes || error)
            continue;
        uint32_t fields[3] = {entry->ip, binfile_counter(entry->input, saturated),
                              binfile_counter(entry->output, saturated)};
        unsigned char record[BINFILE_RECORD_SIZE];
        memcpy(record, fields, sizeof fields);
        memcpy(record + sizeof fields, &tag, sizeof tag);
        if (fwrite(record, sizeof record, 1, file) != 1)
            error = errno ? errno : EIO;
    }
    if (fflush(file) != 0 && !error)
        error = errno ? errno : EIO;
    return error;
}

int dump_binfile(struct cat *old_cat)
{
    uint64_t saturated = 0;
    int rc = dump_to_file(old_cat, "binfile", binfile_write, &saturated);
    if (saturated)
        log_msg(LOG_ERR,
                "ERROR: Category %s: %" PRIu64 " counters above 4294967295 were stored as "
                "4294967295 in binfile %s; set a larger bytedivider",
                old_cat->name, saturated, old_cat->file);
    return rc;
}
