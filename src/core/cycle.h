/*
 * The accounting cycle, run by the main thread until `running` is cleared.
 */
#ifndef NORVO_CORE_CYCLE_H
#define NORVO_CORE_CYCLE_H

void cycle_run(void);

#endif
