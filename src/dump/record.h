/*
 * The BinFile record: 20 bytes per address, in the byte order of the
 * machine that wrote it, without any header:
 *
 *   offset 0  u32 address    offset 4  u32 input    offset 8  u32 output
 *   offset 12 i64 time tag
 *
 * The BinFile back-end writes it and norvo-binread reads it; header-only so
 * that the reader does not link the daemon.
 */
#ifndef NORVO_DUMP_RECORD_H
#define NORVO_DUMP_RECORD_H

#include <stdint.h>
#include <string.h>

#define BINFILE_RECORD_SIZE 20 /* bytes */

struct bin_record {
    uint32_t ip;
    uint32_t input;
    uint32_t output;
    int64_t time_tag;
};

static inline void bin_record_pack(const struct bin_record *record,
                                   unsigned char out[BINFILE_RECORD_SIZE])
{
    memcpy(out, &record->ip, 4);
    memcpy(out + 4, &record->input, 4);
    memcpy(out + 8, &record->output, 4);
    memcpy(out + 12, &record->time_tag, 8);
}

static inline void bin_record_unpack(const unsigned char in[BINFILE_RECORD_SIZE],
                                     struct bin_record *record)
{
    memcpy(&record->ip, in, 4);
    memcpy(&record->input, in + 4, 4);
    memcpy(&record->output, in + 8, 4);
    memcpy(&record->time_tag, in + 12, 8);
}

#endif
