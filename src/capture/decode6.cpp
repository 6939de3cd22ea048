/*
 * IPv6 decoder. Only the fixed header is required; everything after it is
 * read as far as it was captured, because the frame is counted either way
 * and only the ports depend on it. Each extension header's length is
 * checked against the captured bytes before it is read or skipped.
 */
#include "capture/decode6.h"

/* Next-header values walked over. */
#define DECODE6_HOP_BY_HOP 0
#define DECODE6_ROUTING 43
#define DECODE6_FRAGMENT 44
#define DECODE6_DEST_OPTS 60
/* Transports whose first four bytes are the source and destination port. */
#define DECODE6_TCP 6
#define DECODE6_UDP 17
#define DECODE6_DCCP 33
#define DECODE6_SCTP 132
#define DECODE6_UDPLITE 136

#define DECODE6_FRAGMENT_SIZE 8 /* bytes, fixed */
/* A chain longer than this is not one any stack sends; stop reading it. */
#define DECODE6_MAX_EXTENSIONS 16

static int decode6_has_ports(uint8_t next)
{
    return next == DECODE6_TCP || next == DECODE6_UDP || next == DECODE6_DCCP ||
           next == DECODE6_SCTP || next == DECODE6_UDPLITE;
}

int decode6(const uint8_t *ip, uint32_t caplen, uint32_t len, struct packet_info *out)
{
    if (ip == nullptr || caplen < DECODE6_FIXED_HEADER || ip[0] >> 4 != 6)
        return 0;
    out->family = PACKET_IPV6;
    out->src6 = addr6_from_bytes(ip + 8);
    out->dst6 = addr6_from_bytes(ip + 24);
    out->len = len;
    out->sport = 0;
    out->dport = 0;

    uint8_t next = ip[6];
    uint32_t offset = DECODE6_FIXED_HEADER;
    for (int walked = 0; walked < DECODE6_MAX_EXTENSIONS; walked++) {
        if (next == DECODE6_FRAGMENT) {
            if (caplen - offset < DECODE6_FRAGMENT_SIZE)
                break;
            const uint8_t *fragment = ip + offset;
            next = fragment[0];
            /* A later fragment carries no transport header: no ports. */
            if ((fragment[2] << 8 | (fragment[3] & 0xf8)) != 0) {
                out->proto = next;
                return 1;
            }
            offset += DECODE6_FRAGMENT_SIZE;
        } else if (next == DECODE6_HOP_BY_HOP || next == DECODE6_ROUTING ||
                   next == DECODE6_DEST_OPTS) {
            if (caplen - offset < 2)
                break;
            uint32_t size = (static_cast<uint32_t>(ip[offset + 1]) + 1) * 8;
            next = ip[offset];
            if (caplen - offset < size) {
                offset = caplen;
                break;
            }
            offset += size;
        } else {
            break;
        }
    }
    out->proto = next;
    if (decode6_has_ports(next) && caplen - offset >= 4) {
        out->sport = static_cast<uint32_t>(ip[offset]) << 8 | ip[offset + 1];
        out->dport = static_cast<uint32_t>(ip[offset + 2]) << 8 | ip[offset + 3];
    }
    return 1;
}
