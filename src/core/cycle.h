/*
 * The accounting cycle, run by the main thread until `running` is cleared.
 */
#ifndef NORVO_CORE_CYCLE_H
#define NORVO_CORE_CYCLE_H

#include <stdint.h>

/* Seconds since the epoch on the clock that periods are measured with. */
int64_t cycle_clock(void);
/* Cycles until a stop, then the last dumps; returns once all are written. */
void cycle_run(void);

#endif
