/*
 * norvo-report: reads the BinFile and TextFile dumps of norvo offline and
 * shows who used the most and how traffic moved: a table on the terminal,
 * per-address CSV, or one self-contained HTML page with SVG charts.
 *
 * The first pass over the files sums per address and per period (time
 * tag); the HTML page then reads the files a second time, up to the same
 * byte, for the series of the top addresses only, so memory grows with the
 * number of addresses and periods, never with the number of records.
 *
 * Addresses are held as 128-bit numbers, IPv4 a.b.c.d as ::ffff:a.b.c.d,
 * so that the IPv6 files can be summed in the same tables once they exist.
 */
#ifndef NORVO_REPORT_REPORT_H
#define NORVO_REPORT_REPORT_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

/* Latest time a time tag may stand for: 9999-12-31 23:59:59 UTC. Anything
 * later is not a time norvo wrote. */
#define REPORT_TIME_MAX 253402300799LL /* seconds since the epoch */
#define REPORT_TOP_DEFAULT 20          /* addresses in the table */

struct report_addr {
    uint64_t hi, lo;
};

report_addr report_addr_v4(uint32_t ip);
/* IPv4 before IPv6, then by value; <0, 0, >0. */
int report_addr_compare(const report_addr &a, const report_addr &b);
/* 198.18.2.5, or the IPv6 text form. */
std::string report_addr_text(const report_addr &a);

enum report_format { REPORT_BINFILE, REPORT_TEXTFILE };

struct report_file {
    std::string path;
    report_format format;
    uint64_t size;    /* bytes read by the first pass; the second stops there */
    uint64_t records; /* records or rows, in the span or not */
};

/* A --from or --to value: a time tag, or a local time in seconds. */
struct report_when {
    int given;
    int is_tag;
    int64_t value;
};

struct report_options {
    unsigned top = REPORT_TOP_DEFAULT; /* 0: every address */
    int top_given = 0;
    int exact = 0; /* --bytes */
    int csv = 0;
    const char *html = nullptr;
    int64_t time_divider = 1;
    int divider_given = 0;
    uint64_t byte_divider = 1;
    const char *category = nullptr; /* TextFile rows of this category only */
    report_when from = {0, 0, 0}, to = {0, 0, 0};
    std::vector<const char *> files;
};

struct report_addr_sum {
    report_addr addr;
    uint64_t input, output;
};

struct report_period {
    int64_t tag;
    uint64_t input, output;
};

/* Open addressing from a key's hash to its position in a dense vector. */
struct report_index {
    std::vector<uint32_t> slots; /* 0: empty, else position + 1 */
    uint32_t used = 0;
};

struct report_totals {
    int64_t span_first, span_last; /* time tags kept, both included */
    std::vector<report_addr_sum> addrs;
    std::vector<report_period> periods;
    report_index addr_index, period_index;
    uint32_t last_period; /* records come in runs of one tag */
    int overflow;         /* a sum passed 2^64 - 1 */
};

/* One record as a sink receives it, counters already in bytes. */
typedef void (*report_sink)(void *arg, const report_addr &addr, uint64_t input, uint64_t output,
                            int64_t tag);

/* Parses a --from (end 0) or --to (end 1) value: digits are a time tag;
 * YYYY-MM-DD, YYYY-MM-DD HH:MM and YYYY-MM-DD HH:MM:SS (or with a T) are
 * local times, and for --to they stand for the end of that day or minute.
 * 0, or 1 with *error set. */
int report_parse_when(const char *text, int end, report_when *when, std::string *error);
/* The time tags the options keep, both included. */
void report_span(const report_options &options, int64_t *first, int64_t *last);

void report_totals_init(report_totals *totals, int64_t span_first, int64_t span_last);
/* Adds a record whose tag lies in the span (others are ignored). */
void report_totals_add(report_totals *totals, const report_addr &addr, uint64_t input,
                       uint64_t output, int64_t tag);
/* Position of an address in the totals, or -1. */
long report_totals_find_addr(const report_totals &totals, const report_addr &addr);

/* Reads one file and hands every record to sink. The first pass (again 0)
 * finds the format and stops at the size the file had when opened; the
 * second stops at the same byte. 0, or 1 with *error naming the byte offset
 * and the reason. */
int report_read_file(report_file *file, const report_options &options, int again, report_sink sink,
                     void *arg, std::string *error);

/* Positions of the first n addresses (0: all) by total, descending, ties by
 * address. */
std::vector<uint32_t> report_rank(const report_totals &totals, size_t n);
/* Positions of the periods by time tag. */
std::vector<uint32_t> report_period_order(const report_totals &totals);

/* 1023 B, 1.5 KiB ... PiB; exact: the plain number. */
std::string report_bytes(uint64_t bytes, int exact);
/* Local date and time of a time tag (tag x divider seconds). */
std::string report_time(int64_t tag, int64_t divider);

/* Everything the outputs show. */
struct report {
    report_options options;
    std::vector<report_file> files;
    report_totals totals;
    std::vector<uint32_t> ranked;  /* addresses shown */
    std::vector<uint32_t> periods; /* by time */
    /* HTML: per shown address, the sum of each group of spark_group
     * consecutive periods */
    unsigned spark_group = 1, spark_points = 0;
    std::vector<uint64_t> spark;
    int64_t generated = 0; /* seconds since the epoch */
};

/* Reads every file into r->totals (first pass); 0, or 1 with *error. */
int report_load(report *r, std::string *error);
/* Second pass for the sparklines of r->ranked; 0, or 1 with *error. */
int report_load_series(report *r, std::string *error);

/* The outputs; 0, or 1 after a write error (errno tells). */
int report_write_table(FILE *out, const report &r);
int report_write_csv(FILE *out, const report &r);
/* Writes the page under a temporary name beside path and renames it, so
 * path is either the old file or the whole new page. 0, or 1 with *error. */
int report_write_html(const report &r, const char *path, std::string *error);

/* The program; returns the exit status: 0, or 1 after bad input or an
 * output that could not be written. Usage errors exit from argp. */
int report_run(int argc, char **argv, FILE *out, FILE *err);

#endif
