/*
 * "BinFile" back-end: appends one 20-byte record (dump/record.h) per address
 * whose counts reach the divisor to the category's file.
 *
 * The record keeps 32-bit counters although the table counts in 64 bits; a
 * scaled counter that does not fit is stored as 4294967295, never wrapped,
 * and the dump says so once. norvo-binread reads these files.
 *
 * dump_to_file keeps the dumps of categories that share a file apart, so
 * records stay whole and aligned.
 *
 * IPv6 rows go to a second file, the path with ".v6" appended, in the
 * layout of dump/record.h: 64-bit counters, so nothing saturates. The rows
 * are gathered first, so that a period without IPv6 rows creates no file,
 * and the file gets its header when it is empty, under the same lock that
 * keeps whole records apart.
 */
#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>

#include <vector>

#include "core/state.h"
#include "dump/backend.h"
#include "dump/record.h"

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
        struct bin_record r = {entry->ip, binfile_counter(entry->input, saturated),
                               binfile_counter(entry->output, saturated), tag};
        unsigned char record[BINFILE_RECORD_SIZE];
        bin_record_pack(&r, record);
        if (fwrite(record, sizeof record, 1, file) != 1)
            error = errno ? errno : EIO;
    }
    if (fflush(file) != 0 && !error)
        error = errno ? errno : EIO;
    return error;
}

struct binfile6_rows {
    std::vector<unsigned char> bytes; /* whole records */
};

static int binfile6_write(FILE *file, struct cat *, void *arg)
{
    const struct binfile6_rows *rows = (const struct binfile6_rows *)arg;
    struct stat status;
    if (fstat(fileno(file), &status) != 0)
        return errno ? errno : EIO;
    if (status.st_size == 0) {
        unsigned char header[BINFILE6_HEADER_SIZE];
        bin6_header_pack(header);
        if (fwrite(header, sizeof header, 1, file) != 1)
            return errno ? errno : EIO;
    }
    if (fwrite(rows->bytes.data(), rows->bytes.size(), 1, file) != 1)
        return errno ? errno : EIO;
    if (fflush(file) != 0)
        return errno ? errno : EIO;
    return 0;
}

static int binfile6_dump(struct cat *old_cat)
{
    struct binfile6_rows rows;
    int64_t tag = dump_time_tag(old_cat, time(nullptr));
    struct dump_walk6 walk;
    dump_walk6_start(&walk, old_cat);
    struct ip6_entry *entry;
    int passes;
    while ((entry = dump_walk6_next(&walk, &passes)) != nullptr) {
        if (!passes)
            continue;
        struct bin6_record r;
        addr6_to_bytes(entry->ip, r.ip);
        r.input = entry->input;
        r.output = entry->output;
        r.time_tag = tag;
        size_t at = rows.bytes.size();
        rows.bytes.resize(at + BINFILE6_RECORD_SIZE);
        bin6_record_pack(&r, rows.bytes.data() + at);
    }
    if (rows.bytes.empty())
        return 0;
    char path[FILE_PATH_SIZE + sizeof BINFILE6_SUFFIX];
    snprintf(path, sizeof path, "%s%s", old_cat->file, BINFILE6_SUFFIX);
    return dump_to_path(old_cat, path, "binfile", binfile6_write, &rows);
}

int dump_binfile(struct cat *old_cat)
{
    uint64_t saturated = 0;
    int rc = dump_to_file(old_cat, "binfile", binfile_write, &saturated);
    rc |= binfile6_dump(old_cat);
    if (saturated)
        log_msg(LOG_ERR,
                "ERROR: Category %s: %" PRIu64 " counters above 4294967295 were stored as "
                "4294967295 in binfile %s; set a larger bytedivider",
                old_cat->name, saturated, old_cat->file);
    return rc;
}
