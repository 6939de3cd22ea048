/*
 * IPv6 decoder: the capture threads call it with the start of the IP header
 * once the link layer (and any VLAN tags) has been passed.
 */
#ifndef NORVO_CAPTURE_DECODE6_H
#define NORVO_CAPTURE_DECODE6_H

#include <stdint.h>

#include "capture/packet.h"

#define DECODE6_FIXED_HEADER 40 /* bytes */

/*
 * `ip` points at the first byte of the IPv6 header and `caplen` bytes from
 * there were captured; `len` is the frame's length on the wire. 1 and *out
 * filled (family PACKET_IPV6), or 0 when the fixed header was not captured
 * whole or is not version 6. Ports are 0 unless the transport header of
 * TCP, UDP, SCTP, DCCP or UDP-Lite lies within the captured bytes and the
 * packet is a first fragment; proto is the last next-header value the
 * walk over the extension headers could read.
 */
int decode6(const uint8_t *ip, uint32_t caplen, uint32_t len, struct packet_info *out);

#endif
