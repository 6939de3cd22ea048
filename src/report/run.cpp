/*
 * norvo-report: the command line. Every input is read and checked before
 * anything is written, so bad input leaves neither a partial table nor a
 * partial page behind.
 */
#include <argp.h>
#include <errno.h>
#include <inttypes.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "report/report.h"

/* Undivided time tags are seconds since the epoch; ones before this (March
 * 1973) are most likely counts of periods. */
#define REPORT_DIVIDED_BELOW 100000000

enum {
    REPORT_OPT_FROM = 256,
    REPORT_OPT_TO,
    REPORT_OPT_BYTES,
    REPORT_OPT_CSV,
    REPORT_OPT_HTML,
    REPORT_OPT_TIMEDIVIDER,
    REPORT_OPT_BYTEDIVIDER,
    REPORT_OPT_CAT,
};

static const char report_doc[] =
    "norvo-report -- shows the traffic that norvo's BinFile and TextFile dumps hold: the "
    "addresses that used the most and the totals of every period, as a table on standard "
    "output, as CSV, or as one self-contained HTML page with charts."
    "\vWHEN is a time tag (digits only) or a local date and time: YYYY-MM-DD, YYYY-MM-DD "
    "HH:MM or YYYY-MM-DD HH:MM:SS. --to includes the whole day or minute it names. Exit "
    "status: 0 done, 1 bad input or an output that could not be written, 64 usage error.";

static const struct argp_option report_argp_options[] = {
    {"top", 'n', "N", 0, "Show the N addresses with the most traffic (default 20; 0: all)", 0},
    {"from", REPORT_OPT_FROM, "WHEN", 0, "Only periods from WHEN on", 0},
    {"to", REPORT_OPT_TO, "WHEN", 0, "Only periods up to WHEN", 0},
    {"bytes", REPORT_OPT_BYTES, nullptr, 0, "Exact numbers of bytes instead of KiB, MiB, GiB", 0},
    {"csv", REPORT_OPT_CSV, nullptr, 0,
     "Per-address totals as CSV instead of the table (every address unless -n is given)", 0},
    {"html", REPORT_OPT_HTML, "FILE", 0,
     "Write the report as one HTML page to FILE (the table is not printed then)", 0},
    {"timedivider", REPORT_OPT_TIMEDIVIDER, "N", 0,
     "The time tags count N-second periods (the category's timedivider)", 0},
    {"bytedivider", REPORT_OPT_BYTEDIVIDER, "N", 0,
     "The counters were divided by N (the category's bytedivider): multiply them back", 0},
    {"cat", REPORT_OPT_CAT, "NAME", 0, "Only the TextFile rows of category NAME", 0},
    {nullptr, 0, nullptr, 0, nullptr, 0},
};

static uint64_t report_number(struct argp_state *state, const char *option, const char *arg,
                              uint64_t min, uint64_t max)
{
    char *end;
    errno = 0;
    unsigned long long v = strtoull(arg, &end, 10);
    if (arg[0] < '0' || arg[0] > '9' || *end != '\0' || errno != 0 || v < min || v > max)
        argp_error(state, "%s: \"%s\" is not a whole number from %" PRIu64 " to %" PRIu64, option,
                   arg, min, max);
    return v;
}

static error_t report_parse_option(int key, char *arg, struct argp_state *state)
{
    report_options *o = (report_options *)state->input;
    std::string error;
    switch (key) {
    case 'n':
        o->top = (unsigned)report_number(state, "-n", arg, 0, UINT32_MAX);
        o->top_given = 1;
        return 0;
    case REPORT_OPT_FROM:
    case REPORT_OPT_TO:
        if (report_parse_when(arg, key == REPORT_OPT_TO, key == REPORT_OPT_TO ? &o->to : &o->from,
                              &error) != 0)
            argp_error(state, "%s: %s", key == REPORT_OPT_TO ? "--to" : "--from", error.c_str());
        return 0;
    case REPORT_OPT_BYTES:
        o->exact = 1;
        return 0;
    case REPORT_OPT_CSV:
        o->csv = 1;
        return 0;
    case REPORT_OPT_HTML:
        o->html = arg;
        return 0;
    case REPORT_OPT_TIMEDIVIDER:
        o->time_divider = (int64_t)report_number(state, "--timedivider", arg, 1, INT32_MAX);
        o->divider_given = 1;
        return 0;
    case REPORT_OPT_BYTEDIVIDER:
        o->byte_divider = report_number(state, "--bytedivider", arg, 1, INT32_MAX);
        return 0;
    case REPORT_OPT_CAT:
        o->category = arg;
        return 0;
    case ARGP_KEY_ARG:
        o->files.push_back(arg);
        return 0;
    case ARGP_KEY_END:
        if (o->files.empty())
            argp_error(state, "no file given");
        if (o->from.given && o->to.given && o->from.is_tag == o->to.is_tag &&
            o->from.value > o->to.value)
            argp_error(state, "--from is after --to");
        return 0;
    default:
        return ARGP_ERR_UNKNOWN;
    }
}

static const struct argp report_argp = {
    report_argp_options, report_parse_option, "FILE...", report_doc, nullptr, nullptr, nullptr};

int report_run(int argc, char **argv, FILE *out, FILE *err)
{
    report r;
    argp_parse(&report_argp, argc, argv, 0, nullptr, &r.options);
    r.generated = (int64_t)time(nullptr);
    std::string error;
    if (report_load(&r, &error) != 0) {
        fprintf(err, "norvo-report: %s\n", error.c_str());
        return 1;
    }
    if (!r.options.divider_given && !r.periods.empty() &&
        r.totals.periods[r.periods.back()].tag < REPORT_DIVIDED_BELOW)
        fprintf(err, "norvo-report: the time tags are too small for seconds since 1970: if the "
                     "category has a timedivider, pass --timedivider with its value\n");
    if (r.options.html != nullptr) {
        if (report_load_series(&r, &error) != 0 ||
            report_write_html(r, r.options.html, &error) != 0) {
            fprintf(err, "norvo-report: %s\n", error.c_str());
            return 1;
        }
    }
    int failed = 0;
    if (r.options.csv)
        failed = report_write_csv(out, r);
    else if (r.options.html == nullptr)
        failed = report_write_table(out, r);
    if (failed) {
        fprintf(err, "norvo-report: standard output: %s\n", strerror(errno ? errno : EIO));
        return 1;
    }
    return 0;
}
