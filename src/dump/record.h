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

/*
 * The IPv6 BinFile, the category's path with ".v6" appended: a 16-byte
 * header when the file is created, then 40-byte records. Unlike the IPv4
 * record its byte order is fixed, so a file can be read on any machine:
 *
 *   header: offset 0 "NORVOIP6", offset 8 u32 version (1),
 *           offset 12 u32 record size (40), both little-endian
 *   record: offset 0 the address, 16 bytes in network order,
 *           offset 16 u64 input, offset 24 u64 output, offset 32 i64 time
 *           tag, all little-endian
 */
#define BINFILE6_SUFFIX ".v6"
#define BINFILE6_MAGIC "NORVOIP6"
#define BINFILE6_MAGIC_SIZE 8   /* bytes */
#define BINFILE6_VERSION 1
#define BINFILE6_HEADER_SIZE 16 /* bytes */
#define BINFILE6_RECORD_SIZE 40 /* bytes */
#define BINFILE6_OFF_VERSION 8
#define BINFILE6_OFF_RECORD_SIZE 12

struct bin6_record {
    uint8_t ip[16];
    uint64_t input;
    uint64_t output;
    int64_t time_tag;
};

static inline void bin6_put_le(unsigned char *out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; i++, value >>= 8)
        out[i] = (unsigned char)value;
}

static inline uint64_t bin6_get_le(const unsigned char *in, int bytes)
{
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; i--)
        value = value << 8 | in[i];
    return value;
}

static inline void bin6_header_pack(unsigned char out[BINFILE6_HEADER_SIZE])
{
    memcpy(out, BINFILE6_MAGIC, BINFILE6_MAGIC_SIZE);
    bin6_put_le(out + BINFILE6_OFF_VERSION, BINFILE6_VERSION, 4);
    bin6_put_le(out + BINFILE6_OFF_RECORD_SIZE, BINFILE6_RECORD_SIZE, 4);
}

/* 1 when the bytes start with the magic: the file claims to be IPv6. */
static inline int bin6_is_v6(const unsigned char *head, size_t size)
{
    return size >= BINFILE6_MAGIC_SIZE && memcmp(head, BINFILE6_MAGIC, BINFILE6_MAGIC_SIZE) == 0;
}

static inline void bin6_record_pack(const struct bin6_record *record,
                                    unsigned char out[BINFILE6_RECORD_SIZE])
{
    memcpy(out, record->ip, 16);
    bin6_put_le(out + 16, record->input, 8);
    bin6_put_le(out + 24, record->output, 8);
    bin6_put_le(out + 32, (uint64_t)record->time_tag, 8);
}

static inline void bin6_record_unpack(const unsigned char in[BINFILE6_RECORD_SIZE],
                                      struct bin6_record *record)
{
    memcpy(record->ip, in, 16);
    record->input = bin6_get_le(in + 16, 8);
    record->output = bin6_get_le(in + 24, 8);
    record->time_tag = (int64_t)bin6_get_le(in + 32, 8);
}

#endif
