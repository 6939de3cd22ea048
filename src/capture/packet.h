/*
 * One captured IP packet, as the capture threads decode it, the packet
 * queue carries it and the accounting reads it. All fields in host order.
 *
 * `family` is 0 for IPv4, so a zero-filled or IPv4-only initialised
 * packet_info is an IPv4 packet; the IPv6 addresses share the space of the
 * IPv4 ones.
 */
#ifndef NORVO_CAPTURE_PACKET_H
#define NORVO_CAPTURE_PACKET_H

#include <stdint.h>

#include "core/addr6.h"

#define PACKET_IPV4 0
#define PACKET_IPV6 6

struct packet_info {
    union {
        uint32_t src;
        struct addr6 src6;
    };
    union {
        uint32_t dst;
        struct addr6 dst6;
    };
    uint32_t sport;
    uint32_t dport;
    uint32_t len;   /* frame length on the wire, link header included */
    uint8_t proto;  /* IP protocol number; for IPv6 the header after the extensions */
    uint8_t family; /* PACKET_IPV4 or PACKET_IPV6 */
};

#endif
