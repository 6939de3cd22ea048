/*
 * norvo-binread: prints the records of binary dump files as CSV lines
 * "ip,input,output,timetag". IPv4 records are read in this machine's byte
 * order, the order the daemon wrote them in; a file that starts with the
 * IPv6 header (dump/record.h) holds IPv6 records, whose order is fixed. The
 * files are untrusted input: a file whose length is not a whole number of
 * records still has its whole records printed, then the incomplete one is
 * reported with its offset; an IPv6 header of another version or record
 * size is refused before any record, naming the offset of the field.
 */
#include <errno.h>
#include <inttypes.h>
#include <string.h>

#include "binread/binread.h"
#include "core/addr.h"
#include "core/addr6.h"
#include "dump/record.h"

static void binread_print(FILE *out, const unsigned char *record)
{
    struct bin_record r;
    bin_record_unpack(record, &r);
    struct addr_octets o = addr_split(r.ip);
    fprintf(out, "%u.%u.%u.%u,%" PRIu32 ",%" PRIu32 ",%" PRId64 "\n", o.a, o.b, o.c, o.d,
            r.input, r.output, r.time_tag);
}

static void binread_print6(FILE *out, const unsigned char *record)
{
    struct bin6_record r;
    bin6_record_unpack(record, &r);
    char ip[ADDR6_TEXT_SIZE];
    fprintf(out, "%s,%" PRIu64 ",%" PRIu64 ",%" PRId64 "\n", addr6_format(addr6_from_bytes(r.ip), ip),
            r.input, r.output, r.time_tag);
}

/* The rest of an IPv6 header whose magic was read: 0 when it fits. */
static int binread_check_header6(const char *path, const unsigned char *head, size_t got,
                                 FILE *err)
{
    if (got < BINFILE6_HEADER_SIZE) {
        fprintf(err, "norvo-binread: %s: incomplete IPv6 header at byte offset 0 (%zu of %d bytes)\n",
                path, got, BINFILE6_HEADER_SIZE);
        return 1;
    }
    uint64_t version = bin6_get_le(head + BINFILE6_OFF_VERSION, 4);
    if (version != BINFILE6_VERSION) {
        fprintf(err,
                "norvo-binread: %s: IPv6 format version %" PRIu64 " at byte offset %d, this "
                "reader knows version %d\n",
                path, version, BINFILE6_OFF_VERSION, BINFILE6_VERSION);
        return 1;
    }
    uint64_t size = bin6_get_le(head + BINFILE6_OFF_RECORD_SIZE, 4);
    if (size != BINFILE6_RECORD_SIZE) {
        fprintf(err,
                "norvo-binread: %s: IPv6 record size %" PRIu64 " at byte offset %d, expected %d\n",
                path, size, BINFILE6_OFF_RECORD_SIZE, BINFILE6_RECORD_SIZE);
        return 1;
    }
    return 0;
}

int binread_file(const char *path, FILE *out, FILE *err)
{
    FILE *in = fopen(path, "rb");
    if (in == nullptr) {
        fprintf(err, "norvo-binread: %s: %s\n", path, strerror(errno));
        return 1;
    }

    /* The first bytes tell the kinds apart. An IPv4 file's first record
     * would need an address and input that spell "NORVOIP6". */
    unsigned char head[BINFILE6_HEADER_SIZE];
    size_t head_got = fread(head, 1, sizeof head, in);
    int v6 = bin6_is_v6(head, head_got);
    if (v6 && binread_check_header6(path, head, head_got, err) != 0) {
        fclose(in);
        return 1;
    }
    size_t record_size = v6 ? BINFILE6_RECORD_SIZE : BINFILE_RECORD_SIZE;
    /* Bytes of the first IPv4 records were read with the header's; they
     * are taken from `head` before the stream. */
    size_t pending = v6 ? 0 : head_got, pending_at = 0;

    unsigned char record[BINFILE6_RECORD_SIZE];
    uint64_t offset = v6 ? BINFILE6_HEADER_SIZE : 0; /* bytes, start of the record being read */
    int status = 0;
    for (;;) {
        size_t got = 0;
        while (pending > 0 && got < record_size) {
            record[got++] = head[pending_at++];
            pending--;
        }
        if (got < record_size)
            got += fread(record + got, 1, record_size - got, in);
        if (got == record_size) {
            if (v6)
                binread_print6(out, record);
            else
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
                    " (%zu of %zu bytes)\n",
                    path, offset, got, record_size);
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
