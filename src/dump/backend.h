/*
 * Storage back-ends and the rules they share. Each back-end takes the
 * category copy of a finished cycle, walks its table to the end and returns
 * 0 on success, 1 on failure. They are called by the dump thread only.
 */
#ifndef NORVO_DUMP_BACKEND_H
#define NORVO_DUMP_BACKEND_H

#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include "accounting/iptable.h"
#include "accounting/iptable6.h"
#include "config/config.h"

/* byte_divider when it is 2 or more, otherwise 1. */
uint64_t dump_divisor(const struct cat *category);
/* Time tag of the rows of a dump taken at `now`. */
int64_t dump_time_tag(const struct cat *category, time_t now);

/* A walk over a dump's table that scales every entry it yields. */
struct dump_walk {
    struct iptable *table;
    uint64_t divisor;
    int done; /* set once 255.255.255.255 was yielded or the table ran out */
};
void dump_walk_start(struct dump_walk *walk, const struct cat *category);
/* Next entry with its counters divided in place; null at the end. *passes
 * is 1 when some unscaled counter reached the divisor (the row filter). */
struct ip_entry *dump_walk_next(struct dump_walk *walk, int *passes);
/* The same over the category's IPv6 table, after the IPv4 walk. */
struct dump_walk6 {
    struct iptable6 *table;
    uint64_t divisor;
};
void dump_walk6_start(struct dump_walk6 *walk, const struct cat *category);
struct ip6_entry *dump_walk6_next(struct dump_walk6 *walk, int *passes);
/* "Tue, 03 Mar 2009 14:05:09 +0100", local time of `now`, into buf. */
void dump_format_time(time_t now, char *buf, size_t size);

/* The header and the filtered rows in the text format, flushed; rows start
 * with "Cat: NAME " when cat_prefix is set. 0, or the errno of the first
 * failed write. */
int dump_write_text(FILE *out, struct cat *old_cat, int cat_prefix);
/* Opens the category's file for appending (never through a symbolic link,
 * mode 0640 when it is created), runs write on it, one file dump at a
 * time, and closes it. Failures are logged naming the category, the
 * kind of file and the path; 0 on success, 1 on failure. */
int dump_to_file(struct cat *old_cat, const char *kind,
                 int (*write)(FILE *file, struct cat *old_cat, void *arg), void *arg);
/* The same for another file of the category. */
int dump_to_path(struct cat *old_cat, const char *path, const char *kind,
                 int (*write)(FILE *file, struct cat *old_cat, void *arg), void *arg);

int dump_stdout(struct cat *old_cat);
int dump_syslog(struct cat *old_cat);
int dump_textfile(struct cat *old_cat);
int dump_binfile(struct cat *old_cat);
int dump_mysql(struct cat *old_cat);

/* For tests only, never set by the daemon: called on the dump thread with
 * the open connection (a MYSQL *) after each statement of rows ("rows") and
 * once COMMIT is sent, before its answer is read ("commit"). */
typedef void (*dump_mysql_hook_fn)(const char *point, void *conn, void *arg);
void dump_mysql_set_hook(dump_mysql_hook_fn hook, void *arg);

#endif
