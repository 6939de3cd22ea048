/*
 * Dump threads: at every cycle end the main thread hands each category's
 * table, inside a heap copy of the category (`old_cat`), to a detached
 * dump thread, which stores the rows through the category's back-end, then
 * destroys the table and the copy.
 */
#ifndef NORVO_DUMP_DUMP_H
#define NORVO_DUMP_DUMP_H

/* Creates the lock that guards the count of running dumps; once, at
 * start-up. 0 on success, 1 on failure (reported on standard error). */
int dump_init(void);
/* Dump threads at work now. */
int dump_active(void);

/* Process-wide set-up of the back-ends' libraries; call once at start-up
 * before any thread exists. 0 on success, 1 on failure. */
int dump_library_init(void);

/* Thread body; the argument is a heap struct cat that the thread owns. */
void *dump_thread(void *old_cat);

#endif
