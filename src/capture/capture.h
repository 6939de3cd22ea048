/*
 * Capture threads: one detached thread per device opens it with libpcap and
 * pushes every Ethernet IPv4 frame, decoded, into the packet queue, until
 * `running` is cleared.
 */
#ifndef NORVO_CAPTURE_CAPTURE_H
#define NORVO_CAPTURE_CAPTURE_H

#include <pcap/pcap.h>
#include <stddef.h>
#include <stdint.h>

#include "capture/packet.h"

#define CAPTURE_SNAPLEN 96     /* bytes */
#define CAPTURE_TIMEOUT_MS 100 /* ms, libpcap read time-out */
#define CAPTURE_MIN_CAPLEN 39  /* bytes: Ethernet + IPv4 header + both ports */

/* Thread body; the argument is the struct device. */
void *capture_thread(void *device);
/* Reports a device that gets no capture, with the reason, on standard
 * output and at LOG_ERR, and counts it as refused. */
void capture_refuse_device(const char *name, const char *reason);
/* Waits until `devices` devices were opened or refused, or a stop request.
 * Returns how many were opened (-1 after a stop request); `reasons` gets
 * "DEVICE: REASON" of every refusal, separated by "; ". */
int capture_wait_opened(int devices, char *reasons, size_t size);
/* libpcap callback; user is the struct device. */
void capture_packet(u_char *user, const struct pcap_pkthdr *header, const u_char *bytes);
/* Pure decoder: 1 and *out filled for an Ethernet IPv4 frame, else 0. */
int capture_decode(const uint8_t *bytes, uint32_t caplen, uint32_t len, struct packet_info *out);

#endif
