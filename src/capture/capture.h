/*
 * Capture threads: one detached thread per device opens it with libpcap and
 * pushes every IPv4 packet, decoded, into the packet queue, until `running`
 * is cleared.
 *
 * Decoding is two steps, both pure: the link step finds where the IP header
 * starts (per link type, chosen once per device), the network step reads
 * IPv4 at that start.
 */
#ifndef NORVO_CAPTURE_CAPTURE_H
#define NORVO_CAPTURE_CAPTURE_H

#include <pcap/pcap.h>
#include <stddef.h>
#include <stdint.h>

#include "capture/packet.h"

struct device;

#define CAPTURE_SNAPLEN 96     /* bytes */
#define CAPTURE_TIMEOUT_MS 100 /* ms, libpcap read time-out */
#define CAPTURE_MIN_IP_CAPLEN 25 /* bytes from the IP header on: the header and both ports */
#define CAPTURE_MIN_CAPLEN 39  /* bytes: Ethernet + CAPTURE_MIN_IP_CAPLEN */
#define CAPTURE_BATCH 128      /* packets a capture thread hands to the queue at once */

/* How a device's frames are taken apart. */
enum capture_link {
    CAPTURE_LINK_NONE = 0,      /* a link type norvo cannot decode */
    CAPTURE_LINK_ETHERNET,      /* Ethernet; a tagged frame is no IPv4 frame */
    CAPTURE_LINK_ETHERNET_VLAN, /* Ethernet with up to two VLAN tags before the type */
    CAPTURE_LINK_RAW,           /* the frame is the IP packet (DLT_RAW, DLT_IPV4) */
    CAPTURE_LINK_SLL,           /* Linux cooked v1: 16-byte pseudo-header */
    CAPTURE_LINK_SLL2,          /* Linux cooked v2: 20-byte pseudo-header */
    CAPTURE_LINK_NULL,          /* BSD loopback: 4-byte address family (DLT_NULL, DLT_LOOP) */
};

/* Network-layer protocols the link step can find. */
enum capture_net {
    CAPTURE_NET_NONE = 0,
    CAPTURE_NET_IPV4,
};

/* Where a frame's IP header starts. */
struct capture_ip_start {
    uint32_t offset; /* bytes from the frame's start */
    uint32_t pseudo; /* bytes of pseudo-header that were never on the wire */
};

/* One capture thread's handle on its device and the packets it has decoded
 * but not yet queued; the libpcap callback's user argument. */
struct capture_run {
    struct device *device;
    int link; /* enum capture_link */
    int count;
    struct packet_info batch[CAPTURE_BATCH];
};

/* Thread body; the argument is the struct device. */
void *capture_thread(void *device);
/* Reports a device that gets no capture, with the reason, on standard
 * output and at LOG_ERR, and counts it as refused. */
void capture_refuse_device(const char *name, const char *reason);
/* Waits until `devices` devices were opened or refused, or a stop request.
 * Returns how many were opened (-1 after a stop request); `reasons` gets
 * "DEVICE: REASON" of every refusal, separated by "; ". */
int capture_wait_opened(int devices, char *reasons, size_t size);
/* libpcap callback; user is the struct capture_run. Decoded packets wait in
 * the run's batch until it is full or capture_flush is called (at once in
 * debug mode). */
void capture_packet(u_char *user, const struct pcap_pkthdr *header, const u_char *bytes);
/* Queues the batch; more is 1 when the read goes on (see queue_push_batch).
 * 0 done; 1 the daemon is stopping and the batch was dropped. */
int capture_flush(struct capture_run *run, int more);

/* The decoder for a libpcap link type (DLT_...); CAPTURE_LINK_NONE for none. */
int capture_link_for(int dlt, int vlan);
/* Link step: the protocol found (enum capture_net) and *start filled, or
 * CAPTURE_NET_NONE. Reads nothing beyond caplen. */
int capture_find_ip(int link, const uint8_t *bytes, uint32_t caplen, struct capture_ip_start *start);
/* Network step: 1 and *out filled when `caplen` bytes from the IPv4 header
 * on hold the header and both ports; len is the length counted. */
int capture_decode_ipv4(const uint8_t *ip, uint32_t caplen, uint32_t len, struct packet_info *out);
/* Both steps: 1 and *out filled for an IPv4 packet, else 0 and *out untouched.
 * len is libpcap's length on the wire; the length counted leaves out any
 * pseudo-header. */
int capture_decode(int link, const uint8_t *bytes, uint32_t caplen, uint32_t len,
                   struct packet_info *out);

#endif
