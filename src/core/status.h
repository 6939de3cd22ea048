/*
 * Status report: settings, queue fill, devices, categories and rules.
 */
#ifndef NORVO_CORE_STATUS_H
#define NORVO_CORE_STATUS_H

#include <stdio.h>

#include "config/config.h"

/* The report for `config` on standard output. */
void print_status(void);
/* The same report for any settings and free-slot count, into any stream. */
void status_write(FILE *out, const struct settings *settings, int free_slots);
/* The report of settings just read (-t): no queue line, and each
 * category's dump with its parameters (never the password). */
void status_write_summary(FILE *out, const struct settings *settings);

#endif
