/*
 * IPv6 addresses as the daemon holds them: two 64-bit halves in host
 * order, `hi` the first eight bytes on the wire, so that comparing
 * (hi, lo) is comparing the addresses numerically and masking a prefix is
 * two ANDs. Header-only, so the offline tools share it without linking the
 * daemon.
 *
 * Text goes out in the form of RFC 5952, which neither glibc's inet_ntop
 * (it prints ::1:2 as ::0.1.0.2) nor every other formatter follows: hex
 * digits in lower case without leading zeros, the longest run of two or
 * more all-zero groups as "::" (the first of equally long runs), a lone
 * zero group as "0", and the dotted quad only for IPv4-mapped addresses
 * (::ffff:0:0/96), the one embedding norvo can meet on the wire and whose
 * readers expect the IPv4 form.
 */
#ifndef NORVO_CORE_ADDR6_H
#define NORVO_CORE_ADDR6_H

#include <arpa/inet.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define ADDR6_TEXT_SIZE 46   /* bytes: the longest form and NUL */
#define ADDR6_PREFIX_SIZE 50 /* bytes: the longest form, "/128" and NUL */
#define ADDR6_BYTES 16

struct addr6 {
    uint64_t hi;
    uint64_t lo;
};

static inline struct addr6 addr6_from_bytes(const uint8_t bytes[ADDR6_BYTES])
{
    struct addr6 a = {0, 0};
    for (int i = 0; i < 8; i++) {
        a.hi = a.hi << 8 | bytes[i];
        a.lo = a.lo << 8 | bytes[8 + i];
    }
    return a;
}

static inline void addr6_to_bytes(struct addr6 a, uint8_t bytes[ADDR6_BYTES])
{
    for (int i = 7; i >= 0; i--) {
        bytes[i] = (uint8_t)a.hi;
        bytes[8 + i] = (uint8_t)a.lo;
        a.hi >>= 8;
        a.lo >>= 8;
    }
}

static inline int addr6_compare(struct addr6 a, struct addr6 b)
{
    if (a.hi != b.hi)
        return a.hi < b.hi ? -1 : 1;
    if (a.lo != b.lo)
        return a.lo < b.lo ? -1 : 1;
    return 0;
}

static inline int addr6_equal(struct addr6 a, struct addr6 b)
{
    return a.hi == b.hi && a.lo == b.lo;
}

/* The mask of a prefix length 0..128. */
static inline struct addr6 addr6_mask(int length)
{
    struct addr6 m = {0, 0};
    if (length >= 64) {
        m.hi = ~(uint64_t)0;
        m.lo = length >= 128 ? ~(uint64_t)0 : ~(~(uint64_t)0 >> (length - 64));
    } else if (length > 0) {
        m.hi = ~(~(uint64_t)0 >> length);
    }
    return m;
}

/* Text to address: 0, or 1 when it is no IPv6 address (zone indexes and
 * blanks included). */
static inline int addr6_parse(const char *text, struct addr6 *out)
{
    uint8_t bytes[ADDR6_BYTES];
    if (text == nullptr || inet_pton(AF_INET6, text, bytes) != 1)
        return 1;
    *out = addr6_from_bytes(bytes);
    return 0;
}

enum addr6_prefix_result {
    ADDR6_PREFIX_OK = 0,
    ADDR6_PREFIX_BAD_TEXT = 1,   /* not ADDRESS/LENGTH, or the address is bad */
    ADDR6_PREFIX_BAD_LENGTH = 2, /* the length is not a number from 0 to 128 */
};

/* "2001:db8::/32": the address and the length. The length is plain
 * decimal, at most three digits, no sign. */
static inline int addr6_parse_prefix(const char *text, struct addr6 *address, int *length)
{
    if (text == nullptr)
        return ADDR6_PREFIX_BAD_TEXT;
    const char *slash = strchr(text, '/');
    if (slash == nullptr || slash == text || (size_t)(slash - text) >= ADDR6_TEXT_SIZE)
        return ADDR6_PREFIX_BAD_TEXT;
    char head[ADDR6_TEXT_SIZE];
    memcpy(head, text, (size_t)(slash - text));
    head[slash - text] = '\0';
    if (addr6_parse(head, address) != 0)
        return ADDR6_PREFIX_BAD_TEXT;
    const char *digits = slash + 1;
    size_t count = strspn(digits, "0123456789");
    if (count == 0 || count > 3 || digits[count] != '\0')
        return ADDR6_PREFIX_BAD_LENGTH;
    int value = atoi(digits);
    if (value > 128)
        return ADDR6_PREFIX_BAD_LENGTH;
    *length = value;
    return ADDR6_PREFIX_OK;
}

/* The RFC 5952 form into out (ADDR6_TEXT_SIZE bytes); returns out. */
static inline char *addr6_format(struct addr6 a, char out[ADDR6_TEXT_SIZE])
{
    unsigned groups[8];
    for (int i = 0; i < 4; i++) {
        groups[i] = (unsigned)(a.hi >> (48 - 16 * i)) & 0xffff;
        groups[4 + i] = (unsigned)(a.lo >> (48 - 16 * i)) & 0xffff;
    }
    int mapped = a.hi == 0 && (a.lo >> 32) == 0xffff;
    int last = mapped ? 6 : 8; /* groups printed in hex */

    int best = -1, best_length = 1; /* a run must be longer than one group */
    for (int i = 0; i < last;) {
        if (groups[i] != 0) {
            i++;
            continue;
        }
        int start = i;
        while (i < last && groups[i] == 0)
            i++;
        if (i - start > best_length) {
            best = start;
            best_length = i - start;
        }
    }

    char *p = out;
    for (int i = 0; i < last; i++) {
        if (i == best) {
            *p++ = ':';
            *p++ = ':';
            i += best_length - 1;
            continue;
        }
        if (i > 0 && i != best + best_length)
            *p++ = ':';
        p += sprintf(p, "%x", groups[i]);
    }
    if (mapped) {
        /* "::ffff:" is written above; only the quad follows a group. */
        if (p[-1] != ':')
            *p++ = ':';
        p += sprintf(p, "%u.%u.%u.%u", (unsigned)(a.lo >> 24) & 0xff,
                     (unsigned)(a.lo >> 16) & 0xff, (unsigned)(a.lo >> 8) & 0xff,
                     (unsigned)a.lo & 0xff);
    }
    *p = '\0';
    return out;
}

/* "2001:db8::/32" into out (ADDR6_PREFIX_SIZE bytes); returns out. */
static inline char *addr6_format_prefix(struct addr6 a, int length, char out[ADDR6_PREFIX_SIZE])
{
    addr6_format(a, out);
    size_t used = strlen(out);
    snprintf(out + used, ADDR6_PREFIX_SIZE - used, "/%d", length);
    return out;
}

#endif
