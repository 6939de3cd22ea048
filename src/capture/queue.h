/*
 * Packet queue: one bounded ring between the capture threads (producers)
 * and the main thread (the only consumer). Created once at start-up, never
 * released. Entries are copied in and out; the queue owns nothing.
 */
#ifndef NORVO_CAPTURE_QUEUE_H
#define NORVO_CAPTURE_QUEUE_H

#include "capture/packet.h"

#define QUEUE_WAIT_SLICE_MS 100 /* ms; how often a blocked wait looks at `running` */

/* Allocates `size` slots. 0 on success, 1 on failure (reported). */
int queue_init(int size);
/* 0 queued; 1 the daemon is stopping and the packet was dropped. */
int queue_push(const struct packet_info *info);
/* count packets in order, waiting for room as often as needed; `more` (0 or
 * 1) says that this producer has more packets coming at once, so a sleeping
 * consumer may be left asleep until half the ring is used. A call with
 * count 0 and more 0 wakes the consumer for what earlier calls left. 0 all
 * queued; 1 the daemon is stopping and those not yet queued were dropped. */
int queue_push_batch(const struct packet_info *entries, int count, int more);
/* 0 a packet in *out; 1 none arrived within timeout_ms, or a stop was requested. */
int queue_pop(struct packet_info *out, int timeout_ms);
/* Up to max packets into out, waiting at most timeout_ms (< 0: until a stop)
 * for the first: the number taken, 0 when none arrived or a stop was requested. */
int queue_pop_batch(struct packet_info *out, int max, int timeout_ms);
/* Free slots now; config->buffer_size before the queue exists. */
int queue_free_slots(void);
/* Indexes of the next slot to write and to read, read without the lock:
 * a snapshot for debug lines and tests. */
void queue_indexes(int *wb, int *rb);

#endif
