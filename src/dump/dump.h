/*
 * Dump threads: at every cycle end the main thread hands each category's
 * table, inside a heap copy of the category (`old_cat`), to a detached
 * dump thread, which stores the rows through the category's back-end, then
 * destroys the table and the copy.
 *
 * Each category counts its own running dumps, so that one slow back-end
 * holds up only its own category: the count is reachable from the live
 * category and from every copy of it.
 */
#ifndef NORVO_DUMP_DUMP_H
#define NORVO_DUMP_DUMP_H

struct cat;

/* Gives every category of the list its count of running dumps; once, on
 * the main thread, before any other thread reads the categories. 0 on
 * success, 1 on failure (reported on standard error). */
int dump_track(struct cat *cats);
/* Releases the count of a category that is itself released (the daemon's
 * categories live until it ends). */
void dump_untrack(struct cat *category);
/* Dumps of the category counted in and not finished; 0 without a count. */
int dump_running(const struct cat *category);

/* Hands the category's table to a new dump thread: copies the category,
 * counts the dump in before the thread exists and moves the table into the
 * copy. 0 when the thread runs; otherwise the error number, with nothing
 * counted and the table still the category's. */
int dump_start(struct cat *category);
/* Counts in a dump that is not started yet (the last one at a stop), so the
 * category never shows as finished in between; dump_release ends it. */
void dump_hold(struct cat *category);
void dump_release(struct cat *category);

/* Dumps finished so far, for dump_wait. */
unsigned long dump_finished(void);
/* Waits until more than `seen` dumps have finished, at most timeout_ms. */
void dump_wait(unsigned long seen, int timeout_ms);

/* Process-wide set-up of the back-ends' libraries; call once at start-up
 * before any thread exists. 0 on success, 1 on failure. */
int dump_library_init(void);

/* Thread body; the argument is a heap struct cat that the thread owns. */
void *dump_thread(void *old_cat);

#endif
