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

#include "binread/binread.h"
#include "core/addr.h"
#include "dump/record.h"

static void binread_print(FILE *out, const unsigned char *record)
{
    struct bin_record r;
    bin_record_unpack(record, &r);
    struct addr_octets o = addr_split(r.ip);
    fprintf(out, "%u.%u.%u.%u,%" PRIu32 ",%" PRIu32 ",%" PRId64 "\n", o.a, o.b, o.c, o.d,
            r.input, r.output, r.time_tag);
}

int binread_file(const char *path, FILE *out, FILE *err)
{
    FILE *in = fopen(path, "rb");
    if (in == nullptr) {
        fprintf(err, "norvo-binread: %s: %s\n", path, strerror(errno));
        return 1;
    }

    unsigned char record[BINFILE_RECORD_SIZE];
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
                    path, offset, got, BINFILE_RECORD_SIZE);
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
