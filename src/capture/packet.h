/*
 * One captured IPv4 packet, as the capture threads decode it, the packet
 * queue carries it and the accounting reads it. All fields in host order.
 */
#ifndef NORVO_CAPTURE_PACKET_H
#define NORVO_CAPTURE_PACKET_H

#include <stdint.h>

struct packet_info {
    uint32_t src;
    uint32_t dst;
    uint32_t sport;
    uint32_t dport;
    uint32_t len;  /* frame length on the wire, link header included */
    uint8_t proto; /* IP protocol number */
};

#endif
