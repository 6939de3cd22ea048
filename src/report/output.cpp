/*
 * norvo-report: the outputs. The terminal table and the CSV go to a
 * stream; the HTML page is one file without any external resource (its
 * Content-Security-Policy forbids loading any), with the charts as inline
 * SVG drawn here, so it opens offline and from a file: URL.
 */
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <math.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "report/report.h"

std::string report_bytes(uint64_t bytes, int exact)
{
    char buf[32];
    if (exact || bytes < 1024) {
        snprintf(buf, sizeof buf, exact ? "%" PRIu64 : "%" PRIu64 " B", bytes);
        return buf;
    }
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = (double)bytes;
    int unit = 0;
    while (value >= 1024 && unit < 6) {
        value /= 1024;
        ++unit;
    }
    /* 1023.96 KiB prints as 1024.0: say 1.0 MiB instead */
    if (value >= 1023.95 && unit < 6) {
        value /= 1024;
        ++unit;
    }
    snprintf(buf, sizeof buf, "%.1f %s", value, units[unit]);
    return buf;
}

static int report_seconds(int64_t tag, int64_t divider, int64_t *seconds)
{
    return __builtin_mul_overflow(tag, divider, seconds) ? 1 : 0;
}

static std::string report_format_seconds(int64_t seconds, const char *format)
{
    time_t t = (time_t)seconds;
    struct tm local;
    char buf[64];
    if (localtime_r(&t, &local) == nullptr || strftime(buf, sizeof buf, format, &local) == 0)
        snprintf(buf, sizeof buf, "%" PRId64 " s", seconds);
    return buf;
}

std::string report_time(int64_t tag, int64_t divider)
{
    int64_t seconds;
    if (report_seconds(tag, divider, &seconds) != 0)
        return std::to_string(tag);
    /* periods of whole minutes have no seconds to show */
    return report_format_seconds(seconds,
                                 divider % 60 == 0 ? "%Y-%m-%d %H:%M" : "%Y-%m-%d %H:%M:%S");
}

static std::string report_tag_meaning(const report &r)
{
    if (r.options.time_divider == 1)
        return "time tags are seconds since the epoch, shown in local time";
    return "time tags count " + std::to_string(r.options.time_divider) +
           "-second periods since 1970-01-01 00:00 UTC (--timedivider); the local time "
           "shown is the start of each";
}

static std::string report_when_text(const report_when &w, int64_t divider)
{
    if (w.is_tag)
        return "time tag " + std::to_string(w.value) + " = " + report_time(w.value, divider);
    return report_format_seconds(w.value, "%Y-%m-%d %H:%M:%S");
}

static std::string report_span_text(const report &r)
{
    const report_totals &t = r.totals;
    std::string s = "no traffic";
    if (!r.periods.empty()) {
        int64_t first = t.periods[r.periods.front()].tag;
        int64_t last = t.periods[r.periods.back()].tag;
        s = report_time(first, r.options.time_divider) + " to " +
            report_time(last, r.options.time_divider) + ", " + std::to_string(r.periods.size()) +
            (r.periods.size() == 1 ? " period" : " periods");
    }
    const report_when &from = r.options.from, &to = r.options.to;
    if (from.given || to.given) {
        s += " (asked for";
        if (from.given)
            s += " from " + report_when_text(from, r.options.time_divider);
        if (to.given)
            s += " to " + report_when_text(to, r.options.time_divider);
        s += ")";
    }
    return s;
}

static std::string report_file_text(const report_file &f)
{
    char buf[96];
    snprintf(buf, sizeof buf, " (%s, %" PRIu64 " bytes, %" PRIu64 " %s%s)",
             f.format == REPORT_BINFILE ? "BinFile" : "TextFile", f.size, f.records,
             f.format == REPORT_BINFILE ? "record" : "row", f.records == 1 ? "" : "s");
    return f.path + buf;
}

static void report_sums(const report &r, uint64_t *input, uint64_t *output)
{
    *input = *output = 0;
    for (const report_period &p : r.totals.periods) {
        *input += p.input;
        *output += p.output;
    }
}

/* A table with right-aligned columns but the ones marked left. */
struct report_grid {
    std::vector<std::vector<std::string>> rows;
    std::vector<int> left;
};

static int report_grid_print(FILE *out, const report_grid &g)
{
    std::vector<size_t> width;
    for (const auto &row : g.rows)
        for (size_t i = 0; i < row.size(); ++i) {
            if (width.size() <= i)
                width.push_back(0);
            width[i] = std::max(width[i], row[i].size());
        }
    for (const auto &row : g.rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            std::string pad(width[i] - row[i].size(), ' ');
            int left = i < g.left.size() && g.left[i];
            if (i > 0)
                line += "  ";
            line += left ? row[i] + (i + 1 < row.size() ? pad : "") : pad + row[i];
        }
        if (fprintf(out, "%s\n", line.c_str()) < 0)
            return 1;
    }
    return 0;
}

int report_write_table(FILE *out, const report &r)
{
    const report_totals &t = r.totals;
    int exact = r.options.exact;
    uint64_t in, outb;
    report_sums(r, &in, &outb);
    fprintf(out, "Span:     %s\n", report_span_text(r).c_str());
    for (size_t i = 0; i < r.files.size(); ++i)
        fprintf(out, "%s%s\n", i == 0 ? "Files:    " : "          ",
                report_file_text(r.files[i]).c_str());
    fprintf(out, "Traffic:  %zu address%s, input %s, output %s, total %s%s\n", t.addrs.size(),
            t.addrs.size() == 1 ? "" : "es", report_bytes(in, exact).c_str(),
            report_bytes(outb, exact).c_str(), report_bytes(in + outb, exact).c_str(),
            exact ? " bytes" : "");
    fprintf(out, "Times:    %s\n", report_tag_meaning(r).c_str());

    fprintf(out, "\nTop %zu of %zu addresses by total\n", r.ranked.size(), t.addrs.size());
    report_grid top;
    top.left = {0, 1};
    top.rows.push_back({"rank", "address", "input", "output", "total"});
    for (size_t i = 0; i < r.ranked.size(); ++i) {
        const report_addr_sum &a = t.addrs[r.ranked[i]];
        top.rows.push_back({std::to_string(i + 1), report_addr_text(a.addr),
                            report_bytes(a.input, exact), report_bytes(a.output, exact),
                            report_bytes(a.input + a.output, exact)});
    }
    if (report_grid_print(out, top) != 0)
        return 1;

    fprintf(out, "\nPer period\n");
    report_grid per;
    per.left = {1, 1};
    per.rows.push_back({"time tag", "time", "input", "output", "total"});
    for (uint32_t pos : r.periods) {
        const report_period &p = t.periods[pos];
        per.rows.push_back({std::to_string(p.tag), report_time(p.tag, r.options.time_divider),
                            report_bytes(p.input, exact), report_bytes(p.output, exact),
                            report_bytes(p.input + p.output, exact)});
    }
    per.rows.push_back({"all", "", report_bytes(in, exact), report_bytes(outb, exact),
                        report_bytes(in + outb, exact)});
    if (report_grid_print(out, per) != 0)
        return 1;
    return fflush(out) != 0 || ferror(out) ? 1 : 0;
}

int report_write_csv(FILE *out, const report &r)
{
    fprintf(out, "address,input,output,total\n");
    /* every address, unless -n asked for fewer */
    std::vector<uint32_t> order = r.options.top_given ? r.ranked : report_rank(r.totals, 0);
    for (uint32_t pos : order) {
        const report_addr_sum &a = r.totals.addrs[pos];
        fprintf(out, "%s,%" PRIu64 ",%" PRIu64 ",%" PRIu64 "\n", report_addr_text(a.addr).c_str(),
                a.input, a.output, a.input + a.output);
    }
    return fflush(out) != 0 || ferror(out) ? 1 : 0;
}

/* ---- the HTML page ---- */

/* Collects the page and hands it to the stream in pieces. */
struct report_page {
    FILE *out;
    std::string buf;
    int failed;
};

static void report_flush(report_page *pg)
{
    if (!pg->buf.empty() && fwrite(pg->buf.data(), 1, pg->buf.size(), pg->out) != pg->buf.size())
        pg->failed = 1;
    pg->buf.clear();
}

static void report_put(report_page *pg, const std::string &text)
{
    pg->buf += text;
    if (pg->buf.size() >= 65536)
        report_flush(pg);
}

static void report_putf(report_page *pg, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

static void report_putf(report_page *pg, const char *format, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    if (n < 0 || (size_t)n >= sizeof buf) {
        pg->failed = 1;
        errno = EOVERFLOW;
        return;
    }
    report_put(pg, buf);
}

static std::string report_escape(const std::string &text)
{
    std::string s;
    for (char c : text) {
        switch (c) {
        case '&':
            s += "&amp;";
            break;
        case '<':
            s += "&lt;";
            break;
        case '>':
            s += "&gt;";
            break;
        case '"':
            s += "&quot;";
            break;
        case '\'':
            s += "&#39;";
            break;
        default:
            s += c;
        }
    }
    return s;
}

/* Chart geometry, in SVG user units. */
#define CHART_W 960
#define CHART_H 330
#define CHART_LEFT 80
#define CHART_RIGHT 20
#define CHART_TOP 36
#define CHART_BOTTOM 50
#define CHART_PLOT_W (CHART_W - CHART_LEFT - CHART_RIGHT)
#define CHART_PLOT_H (CHART_H - CHART_TOP - CHART_BOTTOM)
#define CHART_MAX_POINTS (CHART_PLOT_W / 2) /* a point every 2 units at most */
#define CHART_DOTS_MAX 100                  /* points drawn as dots too */
#define SPARK_W 120
#define SPARK_H 24

/* One point of a chart: the sum of `count` consecutive periods. */
struct report_point {
    int64_t seconds; /* time of the first of them */
    uint64_t input, output;
};

static std::vector<report_point> report_points(const report &r, size_t per_point)
{
    std::vector<report_point> points;
    const report_totals &t = r.totals;
    for (size_t i = 0; i < r.periods.size(); ++i) {
        const report_period &p = t.periods[r.periods[i]];
        if (i % per_point == 0) {
            int64_t seconds = 0;
            report_seconds(p.tag, r.options.time_divider, &seconds);
            points.push_back({seconds, 0, 0});
        }
        points.back().input += p.input;
        points.back().output += p.output;
    }
    return points;
}

/* Runs of points to join by a line: a gap of more than 2.5 times the usual
 * step between two points (the daemon did not run) breaks the line. */
static std::vector<std::pair<size_t, size_t>> report_runs(const std::vector<report_point> &pts)
{
    std::vector<std::pair<size_t, size_t>> runs;
    if (pts.empty())
        return runs;
    int64_t usual = 0;
    if (pts.size() >= 3) {
        std::vector<int64_t> steps;
        for (size_t i = 1; i < pts.size(); ++i)
            steps.push_back(pts[i].seconds - pts[i - 1].seconds);
        std::nth_element(steps.begin(), steps.begin() + (long)steps.size() / 2, steps.end());
        usual = steps[steps.size() / 2];
    }
    size_t start = 0;
    for (size_t i = 1; i < pts.size(); ++i)
        if (usual > 0 && (double)(pts[i].seconds - pts[i - 1].seconds) > 2.5 * (double)usual) {
            runs.push_back({start, i});
            start = i;
        }
    runs.push_back({start, pts.size()});
    return runs;
}

/* A byte axis from 0 to top, in steps of 1, 2 or 5 times a power of ten of
 * a binary unit. */
struct report_axis {
    double unit; /* bytes */
    const char *name;
    double step, top; /* in units */
};

static report_axis report_byte_axis(uint64_t max)
{
    static const char *const names[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    report_axis a = {1, names[0], 1, 1};
    int k = 0;
    while (k < 6 && (double)max >= a.unit * 1024) {
        a.unit *= 1024;
        ++k;
    }
    a.name = names[k];
    double m = (double)max / a.unit;
    if (max == 0)
        return a;
    for (double decade = k == 0 ? 1 : 0.1;; decade *= 10) {
        for (double f : {1.0, 2.0, 5.0}) {
            a.step = f * decade;
            if (ceil(m / a.step - 1e-9) <= 5) {
                a.top = ceil(m / a.step - 1e-9) * a.step;
                return a;
            }
        }
    }
}

static std::string report_axis_label(const report_axis &a, double value)
{
    char buf[48];
    snprintf(buf, sizeof buf, a.step >= 1 ? "%.0f %s" : "%.1f %s", value, a.name);
    return buf;
}

struct report_time_axis {
    int64_t first, step; /* seconds; first tick and distance */
    const char *format;
};

static report_time_axis report_time_ticks(int64_t t0, int64_t t1)
{
    static const int64_t steps[] = {1,      2,      5,       10,      15,       30,
                                    60,     120,    300,     600,     900,      1800,
                                    3600,   7200,   10800,   21600,   43200,    86400,
                                    172800, 604800, 2592000, 7776000, 31536000, 315360000};
    int64_t span = t1 - t0, step = steps[0];
    for (int64_t s : steps) {
        step = s;
        if (span / s <= 8)
            break;
    }
    /* ticks on round local times: whole hours and midnights where one lives */
    time_t at = (time_t)t0;
    struct tm local;
    int64_t offset = localtime_r(&at, &local) != nullptr ? (int64_t)local.tm_gmtoff : 0;
    int64_t first = t0 + offset;
    first = (first / step + (first % step > 0)) * step - offset;
    const char *format = step >= 86400   ? "%Y-%m-%d"
                         : span >= 86400 ? "%m-%d %H:%M"
                         : step < 60     ? "%H:%M:%S"
                                         : "%H:%M";
    return {first, step, format};
}

static void report_chart(report_page *pg, const report &r)
{
    size_t per_point = r.periods.size() <= CHART_MAX_POINTS
                           ? 1
                           : (r.periods.size() + CHART_MAX_POINTS - 1) / CHART_MAX_POINTS;
    std::vector<report_point> pts = report_points(r, per_point);
    uint64_t max = 0;
    for (const report_point &p : pts)
        max = std::max(max, std::max(p.input, p.output));
    report_axis ya = report_byte_axis(max);
    int64_t t0 = pts.front().seconds, t1 = pts.back().seconds;
    auto x = [&](int64_t s) {
        return t1 == t0 ? CHART_LEFT + CHART_PLOT_W / 2.0
                        : CHART_LEFT + (double)(s - t0) * CHART_PLOT_W / (double)(t1 - t0);
    };
    auto y = [&](uint64_t v) {
        return CHART_TOP + CHART_PLOT_H - (double)v / (ya.top * ya.unit) * CHART_PLOT_H;
    };

    std::string per = per_point == 1 ? "period" : std::to_string(per_point) + " periods";
    report_putf(pg,
                "<svg id=\"chart\" viewBox=\"0 0 %d %d\" role=\"img\" "
                "aria-label=\"Input and output per %s over the span\">\n",
                CHART_W, CHART_H, per.c_str());
    /* byte axis and grid */
    report_put(pg, "<g class=\"axis\">\n");
    for (double v = 0; v <= ya.top + ya.step / 2; v += ya.step) {
        double yy = y((uint64_t)llround(v * ya.unit));
        report_putf(pg,
                    "<line class=\"grid\" x1=\"%d\" x2=\"%d\" y1=\"%.1f\" y2=\"%.1f\"/>"
                    "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n",
                    CHART_LEFT, CHART_LEFT + CHART_PLOT_W, yy, yy, CHART_LEFT - 8, yy + 4,
                    report_axis_label(ya, v).c_str());
    }
    report_putf(pg,
                "<text class=\"title\" transform=\"translate(16 %d) rotate(-90)\" "
                "text-anchor=\"middle\">bytes per %s</text>\n",
                CHART_TOP + CHART_PLOT_H / 2, per.c_str());
    /* time axis */
    report_time_axis ta = report_time_ticks(t0, t1);
    int base = CHART_TOP + CHART_PLOT_H;
    report_putf(pg, "<line class=\"base\" x1=\"%d\" x2=\"%d\" y1=\"%d\" y2=\"%d\"/>\n", CHART_LEFT,
                CHART_LEFT + CHART_PLOT_W, base, base);
    for (int64_t s = ta.first; s <= t1 && t1 > t0; s += ta.step) {
        double xx = x(s);
        report_putf(pg,
                    "<line class=\"base\" x1=\"%.1f\" x2=\"%.1f\" y1=\"%d\" y2=\"%d\"/>"
                    "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%s</text>\n",
                    xx, xx, base, base + 5, xx, base + 19,
                    report_format_seconds(s, ta.format).c_str());
    }
    if (t1 == t0)
        report_putf(pg, "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%s</text>\n", x(t0),
                    base + 19, report_format_seconds(t0, "%Y-%m-%d %H:%M:%S").c_str());
    report_putf(pg, "<text class=\"title\" x=\"%d\" y=\"%d\" text-anchor=\"middle\">%s</text>\n",
                CHART_LEFT + CHART_PLOT_W / 2, CHART_H - 6,
                r.options.time_divider == 1 ? "local time" : "local time (start of each period)");
    report_put(pg, "</g>\n");

    /* the two series: an area under a line, per run of points */
    std::vector<std::pair<size_t, size_t>> runs = report_runs(pts);
    for (int dir = 0; dir < 2; ++dir) {
        const char *cls = dir == 0 ? "in" : "out";
        for (const auto &run : runs) {
            std::string line;
            char buf[64];
            for (size_t i = run.first; i < run.second; ++i) {
                snprintf(buf, sizeof buf, "%.1f,%.1f ", x(pts[i].seconds),
                         y(dir == 0 ? pts[i].input : pts[i].output));
                line += buf;
            }
            snprintf(buf, sizeof buf, "%.1f,%d %.1f,%d", x(pts[run.second - 1].seconds), base,
                     x(pts[run.first].seconds), base);
            report_putf(pg, "<polygon class=\"%s area\" points=\"", cls);
            report_put(pg, line + buf);
            report_putf(pg, "\"/>\n<polyline class=\"%s line\" points=\"", cls);
            report_put(pg, line);
            report_put(pg, "\"/>\n");
        }
        if (pts.size() <= CHART_DOTS_MAX)
            for (const report_point &p : pts)
                report_putf(pg, "<circle class=\"%s dot\" cx=\"%.1f\" cy=\"%.1f\" r=\"2.5\"/>\n",
                            cls, x(p.seconds), y(dir == 0 ? p.input : p.output));
    }
    /* hovering a column names its time and values */
    report_put(pg, "<g class=\"hover\">\n");
    for (size_t i = 0; i < pts.size(); ++i) {
        double left = i == 0 ? CHART_LEFT : (x(pts[i - 1].seconds) + x(pts[i].seconds)) / 2;
        double right = i + 1 == pts.size() ? CHART_LEFT + CHART_PLOT_W
                                           : (x(pts[i].seconds) + x(pts[i + 1].seconds)) / 2;
        report_putf(pg,
                    "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\"><title>%s: input "
                    "%s, output %s</title></rect>\n",
                    left, CHART_TOP, std::max(right - left, 0.1), CHART_PLOT_H,
                    report_format_seconds(pts[i].seconds, "%Y-%m-%d %H:%M:%S").c_str(),
                    report_bytes(pts[i].input, r.options.exact).c_str(),
                    report_bytes(pts[i].output, r.options.exact).c_str());
    }
    report_put(pg, "</g>\n");
    /* legend */
    report_putf(pg,
                "<g class=\"legend\"><rect class=\"in key\" x=\"%d\" y=\"10\" width=\"12\" "
                "height=\"12\"/><text x=\"%d\" y=\"20\">input</text><rect class=\"out key\" "
                "x=\"%d\" y=\"10\" width=\"12\" height=\"12\"/><text x=\"%d\" y=\"20\">output"
                "</text></g>\n</svg>\n",
                CHART_W - 170, CHART_W - 154, CHART_W - 95, CHART_W - 79);
    if (per_point > 1)
        report_putf(pg,
                    "<p class=\"note\">%zu periods: each point sums %zu consecutive periods.</p>\n",
                    r.periods.size(), per_point);
}

static void report_sparkline(report_page *pg, const report &r, size_t row)
{
    const uint64_t *v = r.spark.data() + row * r.spark_points;
    uint64_t max = 0;
    for (unsigned i = 0; i < r.spark_points; ++i)
        max = std::max(max, v[i]);
    std::vector<int64_t> at(r.spark_points);
    for (unsigned i = 0; i < r.spark_points; ++i)
        report_seconds(r.totals.periods[r.periods[i * r.spark_group]].tag, r.options.time_divider,
                       &at[i]);
    int64_t t0 = at.empty() ? 0 : at.front(), t1 = at.empty() ? 0 : at.back();
    std::string points;
    char buf[48];
    for (unsigned i = 0; i < r.spark_points; ++i) {
        double xx =
            t1 == t0 ? SPARK_W / 2.0 : 1 + (double)(at[i] - t0) * (SPARK_W - 2) / (double)(t1 - t0);
        double yy = SPARK_H - 2 - (max ? (double)v[i] / (double)max * (SPARK_H - 4) : 0);
        snprintf(buf, sizeof buf, "%s%.1f,%.1f", i ? " " : "", xx, yy);
        points += buf;
    }
    report_putf(pg,
                "<svg class=\"spark\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
                "role=\"img\"><title>most in one %s: %s</title>",
                SPARK_W, SPARK_H, SPARK_W, SPARK_H,
                r.spark_group == 1 ? "period"
                                   : (std::to_string(r.spark_group) + " periods").c_str(),
                report_bytes(max, r.options.exact).c_str());
    if (r.spark_points == 1)
        report_putf(pg, "<circle cx=\"%d\" cy=\"%d\" r=\"2\"/>", SPARK_W / 2, 4);
    else
        report_put(pg, "<polyline points=\"" + points + "\"/>");
    report_put(pg, "</svg>");
}

static const char report_style[] =
    "body{font-family:system-ui,-apple-system,'Segoe UI',Roboto,'DejaVu Sans',sans-serif;"
    "margin:1.5rem auto;max-width:1000px;padding:0 1rem;color:#1f2328;background:#fff}"
    "h1{font-size:1.5rem;margin:0 0 .5rem}h2{font-size:1.15rem;margin:1.8rem 0 .6rem}"
    "dl.facts{display:grid;grid-template-columns:max-content 1fr;gap:.2rem 1rem;margin:0}"
    "dl.facts dt{font-weight:600;color:#57606a}dl.facts dd{margin:0}"
    "svg#chart{width:100%;height:auto;display:block}"
    "svg text{font-size:12px;fill:#57606a}svg text.title{font-size:12px;fill:#1f2328}"
    "line.grid{stroke:#d8dee4;stroke-width:1}line.base{stroke:#8c959f;stroke-width:1}"
    ".line{fill:none;stroke-width:1.6}.area{stroke:none;opacity:.14}"
    ".in.line,.in.dot{stroke:#1f6feb}.in.area,.in.key,.in.dot{fill:#1f6feb}"
    ".out.line,.out.dot{stroke:#e3590c}.out.area,.out.key,.out.dot{fill:#e3590c}"
    ".hover rect{fill:transparent}.hover rect:hover{fill:rgba(31,35,40,.06)}"
    "table{border-collapse:collapse;width:100%;font-variant-numeric:tabular-nums}"
    "th,td{padding:.3rem .6rem;border-bottom:1px solid #d8dee4;text-align:left;"
    "vertical-align:middle}th{background:#f6f8fa;font-weight:600}"
    "td.num,th.num{text-align:right}td.addr{font-family:ui-monospace,'DejaVu Sans Mono',"
    "monospace}tr[hidden]{display:none}"
    "svg.spark{display:block}svg.spark polyline{fill:none;stroke:#1f6feb;stroke-width:1.3}"
    "svg.spark circle{fill:#1f6feb}"
    ".filter{margin:.4rem 0 .8rem;display:flex;gap:1rem;align-items:center}"
    ".filter input{font:inherit;padding:.3rem .5rem;width:18rem;border:1px solid #8c959f;"
    "border-radius:4px}.note,#shown,footer{color:#57606a;font-size:.9rem}"
    "ul.files{padding-left:1.2rem}ul.files li{font-family:ui-monospace,'DejaVu Sans Mono',"
    "monospace;font-size:.9rem}details{margin-top:1rem}summary{cursor:pointer}";

static const char report_script[] =
    "\"use strict\";\n"
    "(function () {\n"
    "  var box = document.getElementById(\"filter\");\n"
    "  var shown = document.getElementById(\"shown\");\n"
    "  var rows = document.querySelectorAll(\"#top tbody tr\");\n"
    "  function apply() {\n"
    "    var prefix = box.value.trim().toLowerCase(), n = 0;\n"
    "    for (var i = 0; i < rows.length; i++) {\n"
    "      var match = rows[i].getAttribute(\"data-addr\").indexOf(prefix) === 0;\n"
    "      rows[i].hidden = !match;\n"
    "      if (match) n++;\n"
    "    }\n"
    "    shown.textContent = n + \" of \" + rows.length + \" rows shown\";\n"
    "  }\n"
    "  box.addEventListener(\"input\", apply);\n"
    "  apply();\n"
    "})();\n";

static void report_cells(report_page *pg, uint64_t in, uint64_t out, int exact)
{
    const uint64_t v[3] = {in, out, in + out};
    for (uint64_t b : v) {
        if (exact)
            report_putf(pg, "<td class=\"num\">%" PRIu64 "</td>", b);
        else
            report_putf(pg, "<td class=\"num\" title=\"%" PRIu64 " bytes\">%s</td>", b,
                        report_bytes(b, 0).c_str());
    }
}

static int report_write_html_stream(FILE *out, const report &r)
{
    report_page page = {out, std::string(), 0};
    report_page *pg = &page;
    const report_totals &t = r.totals;
    uint64_t in, outb;
    report_sums(r, &in, &outb);
    std::string span = report_escape(report_span_text(r));

    report_put(pg, "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                   /* nothing may be fetched: the page is whole as it is */
                   "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
                   "style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src data:\">\n"
                   "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                   "<link rel=\"icon\" href=\"data:,\">\n");
    report_put(pg, "<title>norvo report: " + span + "</title>\n<style>");
    report_put(pg, report_style);
    report_put(pg,
               "</style>\n</head>\n<body>\n<h1>norvo traffic report</h1>\n<dl class=\"facts\">\n");
    report_put(pg, "<dt>Span</dt><dd id=\"span\">" + span + "</dd>\n");
    report_putf(pg, "<dt>Traffic</dt><dd>%zu address%s, input %s, output %s, total %s</dd>\n",
                t.addrs.size(), t.addrs.size() == 1 ? "" : "es",
                report_bytes(in, r.options.exact).c_str(),
                report_bytes(outb, r.options.exact).c_str(),
                report_bytes(in + outb, r.options.exact).c_str());
    report_put(pg, "<dt>Times</dt><dd>" + report_escape(report_tag_meaning(r)) + "</dd>\n");
    if (r.options.category != nullptr)
        report_put(pg, "<dt>Category</dt><dd>" + report_escape(r.options.category) + "</dd>\n");
    report_put(pg, "<dt>Generated</dt><dd id=\"generated\">" +
                       report_format_seconds(r.generated, "%Y-%m-%d %H:%M:%S %z") +
                       " by norvo-report</dd>\n</dl>\n");

    report_put(pg, "<h2>Input and output per period</h2>\n");
    if (r.periods.empty())
        report_put(pg, "<p class=\"note\">No traffic in the span.</p>\n");
    else
        report_chart(pg, r);

    report_putf(pg, "<h2>Top %zu of %zu addresses by total</h2>\n", r.ranked.size(),
                t.addrs.size());
    report_put(pg, "<div class=\"filter\"><input type=\"search\" id=\"filter\" "
                   "placeholder=\"Filter by address prefix, e.g. 198.18.2.\" "
                   "aria-label=\"Filter the table by address prefix\" autocomplete=\"off\">"
                   "<span id=\"shown\"></span></div>\n");
    report_put(pg,
               "<table id=\"top\">\n<thead><tr><th class=\"num\">#</th><th>Address</th>"
               "<th class=\"num\">Input</th><th class=\"num\">Output</th><th class=\"num\">Total"
               "</th><th class=\"num\">Share</th><th>Over the span</th></tr></thead>\n<tbody>\n");
    uint64_t all = in + outb;
    for (size_t i = 0; i < r.ranked.size(); ++i) {
        const report_addr_sum &a = t.addrs[r.ranked[i]];
        std::string addr = report_escape(report_addr_text(a.addr));
        report_put(pg, "<tr data-addr=\"" + addr + "\"><td class=\"num\">" + std::to_string(i + 1) +
                           "</td><td class=\"addr\">" + addr + "</td>");
        report_cells(pg, a.input, a.output, r.options.exact);
        report_putf(pg, "<td class=\"num\">%.1f %%</td><td>",
                    all ? 100.0 * (double)(a.input + a.output) / (double)all : 0.0);
        if (r.spark_points > 0)
            report_sparkline(pg, r, i);
        report_put(pg, "</td></tr>\n");
    }
    report_put(pg, "</tbody>\n</table>\n");

    report_putf(pg,
                "<details id=\"periods\"><summary>Totals of the %zu periods</summary>\n<table>"
                "<thead><tr><th class=\"num\">Time tag</th><th>Time</th><th class=\"num\">Input"
                "</th><th class=\"num\">Output</th><th class=\"num\">Total</th></tr></thead>\n"
                "<tbody>\n",
                r.periods.size());
    for (uint32_t pos : r.periods) {
        const report_period &p = t.periods[pos];
        report_putf(pg, "<tr><td class=\"num\">%" PRId64 "</td><td>%s</td>", p.tag,
                    report_time(p.tag, r.options.time_divider).c_str());
        report_cells(pg, p.input, p.output, r.options.exact);
        report_put(pg, "</tr>\n");
    }
    report_put(pg, "</tbody>\n</table>\n</details>\n");

    report_put(pg, "<h2>Files read</h2>\n<ul class=\"files\">\n");
    for (const report_file &f : r.files)
        report_put(pg, "<li>" + report_escape(report_file_text(f)) + "</li>\n");
    report_put(pg, "</ul>\n<footer>Sums of what norvo's dumps hold; counters are in bytes");
    if (r.options.byte_divider > 1)
        report_putf(pg, " (read ones multiplied by --bytedivider %" PRIu64 ")",
                    r.options.byte_divider);
    report_put(pg, ".</footer>\n<script>\n");
    report_put(pg, report_script);
    report_put(pg, "</script>\n</body>\n</html>\n");
    report_flush(pg);
    if (fflush(out) != 0 || ferror(out))
        page.failed = 1;
    return page.failed;
}

int report_write_html(const report &r, const char *path, std::string *error)
{
    /* the temporary file lies beside the page, so that rename replaces it
     * in one step */
    std::string target(path);
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temp = dir + "." + base + ".XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        *error = target + ": cannot create a temporary file beside it: " + strerror(errno);
        return 1;
    }
    mode_t mask = umask(0);
    umask(mask);
    FILE *out = fdopen(fd, "w");
    int failed = out == nullptr || fchmod(fd, 0666 & ~mask) != 0;
    if (!failed)
        failed = report_write_html_stream(out, r) != 0 || fsync(fd) != 0;
    int saved = errno ? errno : EIO;
    if (out != nullptr) {
        if (fclose(out) != 0 && !failed) {
            failed = 1;
            saved = errno;
        }
    } else {
        close(fd);
    }
    if (!failed && rename(name.data(), path) != 0) {
        failed = 1;
        saved = errno;
    }
    if (failed) {
        unlink(name.data());
        *error = target + ": " + strerror(saved);
        return 1;
    }
    return 0;
}
