/*
 * norvo-binread: prints the records of binary dump files as CSV lines
 * "ip,input,output,timetag". Records are read in this machine's byte order,
 * the order the daemon wrote them in. The files are untrusted input: a file
 * whose length is not a whole number of records still has its whole
 * records printed, then the incomplete one is reported with its offset.
 */
#include <errno.h>
#include <inttypes.h>
#include <string.h>

#include "dump/binread.h"

static void binread_print(FILE *out, const unsigned char *record)
{
    uint32_t fields[3];
    int64_t tag;
    memcpy(fields, record, sizeof fields);
    memcpy(&tag, record + sizeof fields, sizeof tag);
    uint32_t ip = fields[0];
    fprintf(out, "%u.%u.%u.%u,%" PRIu32 ",%" PRIu32 ",%" PRId64 "\n", ip >> 24,
            ip >> 16 & 0xff, ip >> 8 & 0xff, ip & 0xff, fields[1], fields[2], tag);
}

int binread_file(const char *path, FILE *out, FILE *err)
{
    FILE *in = fopen(path, "rb");
    if (in == nullptr) {
        fprintf(err, "norvo-binread: %s: %s\n", path, strerror(errno));
        return 1;
    }

    unsigned char record[BINREAD_RECORD_SIZE];
    uint64_t offset = 0; /* bytes, start of the record being read */
    int status = 0;
    for (;;) {
        size_t got = fread(record, 1, sizeof record, in);
        if (got == sizeof record) {
            binread_print(out, record);
            offset += got;
            continue;
        }
        /* Whole records go out before the complaint about what follows. */
        fflush(out);
        if (ferror(in)) {
            fprintf(err, "norvo-binread: %s: read error at byte offset %" PRIu64 ": %s\n", path,
                    offset, strerror(errno));
            status = 1;
        } else if (got > 0) {
            fprintf(err,
                    "norvo-binread: %s: incomplete record at byte offset %" PRIu64
                    " (%zu of %d bytes)\n",
                    path, offset, got, BINREAD_RECORD_SIZE);
            status = 1;
        }
        break;
    }
    fclose(in);
    return status;
}

int binread_run(int argc, char **argv, FILE *out, FILE *err)
{
    if (argc < 2) {
        fprintf(err, "usage: norvo-binread FILE...\n");
        return 1;
    }
    fprintf(out, "%s\n", BINREAD_HEADER);
    int status = 0;
    for (int i = 1; i < argc; ++i)
        status |= binread_file(argv[i], out, err);
    if (fflush(out) != 0 || ferror(out)) {
        fprintf(err, "norvo-binread: standard output: %s\n", strerror(errno ? errno : EIO));
        status = 1;
    }
    return status;
}
