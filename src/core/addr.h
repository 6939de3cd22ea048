/*
 * IPv4 addresses as the daemon holds them: a.b.c.d is a<<24|b<<16|c<<8|d.
 * Header-only, so the offline tools share it without linking the daemon.
 */
#ifndef NORVO_CORE_ADDR_H
#define NORVO_CORE_ADDR_H

#include <stdint.h>

/* The four bytes of an address, most significant first, for printing. */
struct addr_octets {
    unsigned a, b, c, d;
};

static inline struct addr_octets addr_split(uint32_t address)
{
    return {address >> 24, address >> 16 & 0xff, address >> 8 & 0xff, address & 0xff};
}

#endif
