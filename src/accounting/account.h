/*
 * Rule matching and packet accounting, on the main thread only.
 */
#ifndef NORVO_ACCOUNTING_ACCOUNT_H
#define NORVO_ACCOUNTING_ACCOUNT_H

#include <stdint.h>

#include "capture/packet.h"
#include "config/config.h"

/* Policy of the first fitting rule; 0 when none fits. */
int rule_match(const struct rule *rules, uint32_t address, uint32_t port);
void account_packet(struct cat *category, const struct packet_info *packet);
/* At the cycle end, before the table leaves: one LOG_ERR line when the
 * category's table turned anything away in this cycle; the counts restart. */
void account_report_refused(struct cat *category);

#endif
