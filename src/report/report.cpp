/*
 * norvo-report: reading, summing and ranking. The outputs are in
 * output.cpp, the command line in run.cpp.
 *
 * The dump files are untrusted input. A BinFile has no header, so what
 * norvo cannot have written tells a foreign file: a time tag outside
 * 1970..9999, or a record whose counters are both 0 (norvo writes only
 * addresses with traffic left after the byte divider). The first bad
 * record, line or incomplete tail is reported with its byte offset and
 * nothing is printed or written for the whole report.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "core/addr.h"
#include "dump/record.h"
#include "report/report.h"

#define REPORT_READ_CHUNK (BINFILE_RECORD_SIZE * 52428) /* bytes, about 1 MiB */
#define REPORT_LINE_MAX 4096 /* bytes; a TextFile line has less than 150 */
#define REPORT_V4_MAPPED 0xffff00000000ULL

static const uint32_t REPORT_NONE = UINT32_MAX;

report_addr report_addr_v4(uint32_t ip)
{
    return {0, REPORT_V4_MAPPED | ip};
}

static int report_addr_is_v4(const report_addr &a)
{
    return a.hi == 0 && (a.lo >> 32) == 0xffff;
}

int report_addr_compare(const report_addr &a, const report_addr &b)
{
    int a6 = !report_addr_is_v4(a), b6 = !report_addr_is_v4(b);
    if (a6 != b6)
        return a6 - b6;
    if (a.hi != b.hi)
        return a.hi < b.hi ? -1 : 1;
    if (a.lo != b.lo)
        return a.lo < b.lo ? -1 : 1;
    return 0;
}

std::string report_addr_text(const report_addr &a)
{
    char buf[INET6_ADDRSTRLEN];
    if (report_addr_is_v4(a)) {
        struct addr_octets o = addr_split((uint32_t)a.lo);
        snprintf(buf, sizeof buf, "%u.%u.%u.%u", o.a, o.b, o.c, o.d);
        return buf;
    }
    unsigned char bytes[16];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = (unsigned char)(a.hi >> (56 - 8 * i));
        bytes[8 + i] = (unsigned char)(a.lo >> (56 - 8 * i));
    }
    inet_ntop(AF_INET6, bytes, buf, sizeof buf);
    return buf;
}

/* ---- the index: a power-of-two table of positions, linear probing ---- */

static uint64_t report_mix(uint64_t x)
{
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

static uint64_t report_addr_hash(const report_addr &a)
{
    return report_mix(a.lo ^ report_mix(a.hi));
}

template <class Equal>
static uint32_t report_index_find(const report_index &ix, uint64_t hash, Equal equal)
{
    if (ix.slots.empty())
        return REPORT_NONE;
    size_t mask = ix.slots.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        uint32_t slot = ix.slots[i];
        if (slot == 0)
            return REPORT_NONE;
        if (equal(slot - 1))
            return slot - 1;
    }
}

/* Adds position pos, whose key is not in the index yet. */
template <class HashOf>
static void report_index_insert(report_index &ix, uint64_t hash, uint32_t pos, HashOf hash_of)
{
    if ((ix.used + 1) * 2 > ix.slots.size()) {
        /* at most half full, so probes stay short */
        std::vector<uint32_t> old;
        old.swap(ix.slots);
        ix.slots.assign(old.empty() ? 1024 : old.size() * 2, 0);
        size_t mask = ix.slots.size() - 1;
        for (uint32_t slot : old) {
            if (slot == 0)
                continue;
            size_t i = hash_of(slot - 1) & mask;
            while (ix.slots[i] != 0)
                i = (i + 1) & mask;
            ix.slots[i] = slot;
        }
    }
    size_t mask = ix.slots.size() - 1;
    size_t i = hash & mask;
    while (ix.slots[i] != 0)
        i = (i + 1) & mask;
    ix.slots[i] = pos + 1;
    ++ix.used;
}

/* ---- totals ---- */

void report_totals_init(report_totals *totals, int64_t span_first, int64_t span_last)
{
    totals->span_first = span_first;
    totals->span_last = span_last;
    totals->addrs.clear();
    totals->periods.clear();
    totals->addr_index = report_index();
    totals->period_index = report_index();
    totals->last_period = REPORT_NONE;
    totals->overflow = 0;
}

long report_totals_find_addr(const report_totals &totals, const report_addr &addr)
{
    uint32_t pos = report_index_find(totals.addr_index, report_addr_hash(addr), [&](uint32_t p) {
        return totals.addrs[p].addr.hi == addr.hi && totals.addrs[p].addr.lo == addr.lo;
    });
    return pos == REPORT_NONE ? -1 : (long)pos;
}

static long report_totals_find_period(const report_totals &totals, int64_t tag)
{
    uint32_t pos = report_index_find(totals.period_index, report_mix((uint64_t)tag),
                                     [&](uint32_t p) { return totals.periods[p].tag == tag; });
    return pos == REPORT_NONE ? -1 : (long)pos;
}

static void report_sum(uint64_t *sum, uint64_t add, int *overflow)
{
    if (__builtin_add_overflow(*sum, add, sum)) {
        *sum = UINT64_MAX;
        *overflow = 1;
    }
}

void report_totals_add(report_totals *t, const report_addr &addr, uint64_t input, uint64_t output,
                       int64_t tag)
{
    if (tag < t->span_first || tag > t->span_last)
        return;
    uint32_t period = t->last_period;
    if (period == REPORT_NONE || t->periods[period].tag != tag) {
        long found = report_totals_find_period(*t, tag);
        if (found < 0) {
            period = (uint32_t)t->periods.size();
            t->periods.push_back({tag, 0, 0});
            report_index_insert(
                t->period_index, report_mix((uint64_t)tag), period,
                [&](uint32_t p) { return report_mix((uint64_t)t->periods[p].tag); });
        } else {
            period = (uint32_t)found;
        }
        t->last_period = period;
    }
    long found = report_totals_find_addr(*t, addr);
    uint32_t pos;
    if (found < 0) {
        pos = (uint32_t)t->addrs.size();
        t->addrs.push_back({addr, 0, 0});
        report_index_insert(t->addr_index, report_addr_hash(addr), pos,
                            [&](uint32_t p) { return report_addr_hash(t->addrs[p].addr); });
    } else {
        pos = (uint32_t)found;
    }
    report_addr_sum &a = t->addrs[pos];
    report_sum(&a.input, input, &t->overflow);
    report_sum(&a.output, output, &t->overflow);
    report_period &p = t->periods[period];
    report_sum(&p.input, input, &t->overflow);
    report_sum(&p.output, output, &t->overflow);
    /* totals are shown too: input + output must fit as well */
    if (a.input > UINT64_MAX - a.output || p.input > UINT64_MAX - p.output)
        t->overflow = 1;
}

static void report_totals_sink(void *totals, const report_addr &addr, uint64_t input,
                               uint64_t output, int64_t tag)
{
    report_totals_add((report_totals *)totals, addr, input, output, tag);
}

/* ---- spans ---- */

static int64_t report_floor_div(int64_t a, int64_t b)
{
    return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

static int report_digits(const char *s, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (s[i] < '0' || s[i] > '9')
            return 0;
    return n > 0;
}

int report_parse_when(const char *text, int end, report_when *when, std::string *error)
{
    size_t n = strlen(text);
    if (report_digits(text, n)) {
        errno = 0;
        char *rest;
        long long tag = strtoll(text, &rest, 10);
        if (errno != 0 || tag > REPORT_TIME_MAX) {
            *error = std::string("time tag ") + text + " is out of range";
            return 1;
        }
        *when = {1, 1, (int64_t)tag};
        return 0;
    }
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    char sep = 0, tail = 0;
    int fields = sscanf(text, "%4d-%2d-%2d%c%2d:%2d:%2d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                        &sep, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &tail);
    /* the lengths pin the digit counts sscanf lets vary */
    int ok = (fields == 3 && n == 10) || ((fields == 6 && n == 16) || (fields == 7 && n == 19));
    if (fields >= 4 && sep != ' ' && sep != 'T')
        ok = 0;
    if (!ok || !report_digits(text, 4) || text[4] != '-' || text[7] != '-') {
        *error = std::string("\"") + text +
                 "\" is neither a time tag nor a date (YYYY-MM-DD, YYYY-MM-DD HH:MM[:SS])";
        return 1;
    }
    struct tm want = tm;
    int unit = fields == 3 ? 86400 : fields == 6 ? 60 : 1; /* seconds the value names */
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    struct tm check = tm;
    time_t t = mktime(&check);
    if (t == (time_t)-1 || check.tm_year != want.tm_year - 1900 ||
        check.tm_mon != want.tm_mon - 1 || check.tm_mday != want.tm_mday ||
        check.tm_hour != want.tm_hour || check.tm_min != want.tm_min || want.tm_sec > 59) {
        *error = std::string("\"") + text + "\" is not a valid local date and time";
        return 1;
    }
    int64_t seconds = (int64_t)t;
    if (end) {
        if (unit == 86400) {
            /* the last second before the next midnight, also on the days
             * daylight saving time begins or ends */
            struct tm next = tm;
            next.tm_mday += 1;
            next.tm_isdst = -1;
            seconds = (int64_t)mktime(&next) - 1;
        } else {
            seconds += unit - 1;
        }
    }
    *when = {1, 0, seconds};
    return 0;
}

void report_span(const report_options &options, int64_t *first, int64_t *last)
{
    int64_t d = options.time_divider;
    *first = 0;
    *last = INT64_MAX;
    /* a period is in the span when its time, tag x divider, is */
    if (options.from.given)
        *first =
            options.from.is_tag ? options.from.value : -report_floor_div(-options.from.value, d);
    if (options.to.given)
        *last = options.to.is_tag ? options.to.value : report_floor_div(options.to.value, d);
}

/* ---- reading ---- */

struct report_reader {
    report_file *file;
    const report_options *options;
    report_sink sink;
    void *arg;
    std::string *error;
};

static int report_fail(report_reader *rd, uint64_t offset, const std::string &reason)
{
    char where[64];
    snprintf(where, sizeof where, ": byte offset %" PRIu64 ": ", offset);
    *rd->error = rd->file->path + where + reason;
    return 1;
}

/* 0 when tag is a time norvo can have written with this divider. */
static int report_check_tag(report_reader *rd, uint64_t offset, int64_t tag)
{
    int64_t d = rd->options->time_divider;
    if (tag >= 0 && tag <= REPORT_TIME_MAX / d)
        return 0;
    char reason[160];
    if (tag < 0 || d == 1)
        snprintf(reason, sizeof reason, "time tag %" PRId64 " is not a time: not a %s of norvo",
                 tag, rd->file->format == REPORT_BINFILE ? "BinFile" : "TextFile");
    else
        snprintf(reason, sizeof reason,
                 "time tag %" PRId64 " of %" PRId64
                 "-second periods is past the year 9999: is --timedivider right?",
                 tag, d);
    return report_fail(rd, offset, reason);
}

static int report_scale(report_reader *rd, uint64_t offset, uint64_t *counter)
{
    if (!__builtin_mul_overflow(*counter, rd->options->byte_divider, counter))
        return 0;
    return report_fail(rd, offset, "counter times --bytedivider exceeds 2^64 - 1");
}

static int report_deliver(report_reader *rd, uint64_t offset, const report_addr &addr,
                          uint64_t input, uint64_t output, int64_t tag)
{
    if (report_check_tag(rd, offset, tag) != 0 || report_scale(rd, offset, &input) != 0 ||
        report_scale(rd, offset, &output) != 0)
        return 1;
    rd->sink(rd->arg, addr, input, output, tag);
    ++rd->file->records;
    return 0;
}

/* Reads up to want bytes; returns how many, or -1 with errno set. */
static ssize_t report_read_some(int fd, unsigned char *buf, size_t want)
{
    size_t got = 0;
    while (got < want) {
        ssize_t n = read(fd, buf + got, want - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += (size_t)n;
    }
    return (ssize_t)got;
}

static int report_read_error(report_reader *rd, uint64_t offset)
{
    return report_fail(rd, offset, std::string("read error: ") + strerror(errno));
}

static int report_read_bin(report_reader *rd, int fd, uint64_t limit)
{
    std::vector<unsigned char> buf(REPORT_READ_CHUNK);
    uint64_t offset = 0;
    while (offset + BINFILE_RECORD_SIZE <= limit) {
        uint64_t whole = (limit - offset) / BINFILE_RECORD_SIZE * BINFILE_RECORD_SIZE;
        size_t want = (size_t)std::min<uint64_t>(buf.size(), whole);
        ssize_t got = report_read_some(fd, buf.data(), want);
        if (got < 0)
            return report_read_error(rd, offset);
        if ((size_t)got < want)
            return report_fail(rd, offset + (uint64_t)got,
                               "the file ended early: it shrank while being read");
        for (size_t at = 0; at < want; at += BINFILE_RECORD_SIZE, offset += BINFILE_RECORD_SIZE) {
            struct bin_record r;
            bin_record_unpack(buf.data() + at, &r);
            if (r.input == 0 && r.output == 0)
                return report_fail(rd, offset,
                                   "record with no traffic: norvo writes none, not a BinFile "
                                   "of norvo");
            if (report_deliver(rd, offset, report_addr_v4(r.ip), r.input, r.output, r.time_tag) !=
                0)
                return 1;
        }
    }
    if (offset < limit) {
        char reason[80];
        snprintf(reason, sizeof reason, "incomplete record (%" PRIu64 " of %d bytes)",
                 limit - offset, BINFILE_RECORD_SIZE);
        return report_fail(rd, offset, reason);
    }
    return 0;
}

/* Text parsing: each step consumes what it expects at *p or fails. */
static int report_take(const char **p, const char *end, const char *word)
{
    size_t n = strlen(word);
    if ((size_t)(end - *p) < n || memcmp(*p, word, n) != 0)
        return 0;
    *p += n;
    return 1;
}

static int report_take_number(const char **p, const char *end, uint64_t max, uint64_t *value)
{
    while (*p < end && **p == ' ')
        ++*p;
    const char *start = *p;
    uint64_t v = 0;
    while (*p < end && **p >= '0' && **p <= '9') {
        if (__builtin_mul_overflow(v, 10, &v) ||
            __builtin_add_overflow(v, (uint64_t)(**p - '0'), &v) || v > max)
            return 0;
        ++*p;
    }
    *value = v;
    return *p > start;
}

/* "Cat: NAME IP: 198.018.002.005 input:     1200 output:      340 timetag: 1236085509" */
static int report_text_row(report_reader *rd, uint64_t offset, const char *p, const char *end)
{
    const char *what = "\"Cat: \"";
    uint64_t octet[4], input = 0, output = 0, tag = 0;
    int negative = 0;
    const char *name = nullptr;
    size_t name_len = 0;
    if (!report_take(&p, end, "Cat: "))
        goto bad;
    name = p;
    while (p < end && *p != ' ')
        ++p;
    name_len = (size_t)(p - name);
    what = "\" IP: \"";
    if (name_len == 0 || !report_take(&p, end, " IP: "))
        goto bad;
    what = "an address";
    for (int i = 0; i < 4; ++i) {
        const char *start = p;
        if ((i > 0 && !report_take(&p, end, ".")) || (p < end && *p == ' '))
            goto bad;
        start = p;
        if (!report_take_number(&p, end, 255, &octet[i]) || p - start > 3)
            goto bad;
    }
    what = "\" input: \" and a number";
    if (!report_take(&p, end, " input: ") || !report_take_number(&p, end, UINT64_MAX, &input))
        goto bad;
    what = "\" output: \" and a number";
    if (!report_take(&p, end, " output: ") || !report_take_number(&p, end, UINT64_MAX, &output))
        goto bad;
    what = "\" timetag: \" and a number";
    if (!report_take(&p, end, " timetag: "))
        goto bad;
    while (p < end && *p == ' ')
        ++p;
    negative = report_take(&p, end, "-");
    if (!report_take_number(&p, end, INT64_MAX, &tag))
        goto bad;
    what = "the end of the line";
    if (p != end)
        goto bad;
    if (rd->options->category != nullptr && (strlen(rd->options->category) != name_len ||
                                             memcmp(rd->options->category, name, name_len) != 0)) {
        ++rd->file->records;
        return 0;
    }
    return report_deliver(
        rd, offset,
        report_addr_v4((uint32_t)(octet[0] << 24 | octet[1] << 16 | octet[2] << 8 | octet[3])),
        input, output, negative ? -(int64_t)tag : (int64_t)tag);
bad:
    return report_fail(rd, offset,
                       std::string("expected ") + what +
                           ": neither a row nor a dump header of a TextFile of norvo");
}

static int report_text_line(report_reader *rd, uint64_t offset, const char *line, size_t n)
{
    static const char head[] = "== [ ", mid[] = " ] Starting dump sequence of category ",
                      tail[] = " ==";
    if (n >= sizeof head - 1 && memcmp(line, head, sizeof head - 1) == 0) {
        /* a dump header: the rows carry the time tag, computed from the same
         * clock reading as the date here, so only the shape is checked */
        const char *at = (const char *)memmem(line, n, mid, sizeof mid - 1);
        if (at == nullptr || n < sizeof tail - 1 ||
            memcmp(line + n - (sizeof tail - 1), tail, sizeof tail - 1) != 0 ||
            (size_t)(line + n - at) <= sizeof mid - 1 + sizeof tail - 1)
            return report_fail(rd, offset, "malformed dump header line");
        return 0;
    }
    return report_text_row(rd, offset, line, line + n);
}

static int report_read_text(report_reader *rd, int fd, uint64_t limit)
{
    std::vector<char> buf(REPORT_READ_CHUNK);
    size_t have = 0;     /* bytes in buf, from a line's start */
    uint64_t offset = 0; /* byte offset of buf[0] */
    uint64_t read_to = 0;
    for (;;) {
        size_t want = (size_t)std::min<uint64_t>(buf.size() - have, limit - read_to);
        ssize_t got = report_read_some(fd, (unsigned char *)buf.data() + have, want);
        if (got < 0)
            return report_read_error(rd, read_to);
        if ((size_t)got < want)
            return report_fail(rd, read_to + (uint64_t)got,
                               "the file ended early: it shrank while being read");
        read_to += (uint64_t)got;
        have += (size_t)got;
        size_t start = 0;
        for (;;) {
            const char *nl = (const char *)memchr(buf.data() + start, '\n', have - start);
            if (nl == nullptr)
                break;
            size_t len = (size_t)(nl - (buf.data() + start));
            if (len > REPORT_LINE_MAX)
                return report_fail(rd, offset + start, "line too long: not a TextFile of norvo");
            if (report_text_line(rd, offset + start, buf.data() + start, len) != 0)
                return 1;
            start += len + 1;
        }
        if (have - start > REPORT_LINE_MAX)
            return report_fail(rd, offset + start, "line too long: not a TextFile of norvo");
        if (read_to == limit) {
            if (have > start)
                return report_fail(rd, offset + start,
                                   "incomplete last line (no line feed): the file was cut");
            return 0;
        }
        memmove(buf.data(), buf.data() + start, have - start);
        have -= start;
        offset += start;
    }
}

int report_read_file(report_file *file, const report_options &options, int again, report_sink sink,
                     void *arg, std::string *error)
{
    report_reader rd = {file, &options, sink, arg, error};
    int fd = open(file->path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = file->path + ": " + strerror(errno);
        return 1;
    }
    struct stat st;
    const char *refused = nullptr;
    if (fstat(fd, &st) != 0)
        refused = strerror(errno);
    else if (S_ISDIR(st.st_mode))
        refused = strerror(EISDIR);
    else if (!S_ISREG(st.st_mode))
        refused = "not a regular file";
    if (refused != nullptr) {
        *error = file->path + ": " + refused;
        close(fd);
        return 1;
    }
    if (!again) {
        /* a running daemon may append while we read: the report covers the
         * file as it was at this moment */
        file->size = (uint64_t)st.st_size;
        unsigned char head[5];
        ssize_t got = report_read_some(fd, head, sizeof head);
        if (got < 0 || lseek(fd, 0, SEEK_SET) != 0) {
            int rc = report_read_error(&rd, 0);
            close(fd);
            return rc;
        }
        file->format = got == 5 && (memcmp(head, "== [ ", 5) == 0 || memcmp(head, "Cat: ", 5) == 0)
                           ? REPORT_TEXTFILE
                           : REPORT_BINFILE;
        if (file->format == REPORT_BINFILE && options.category != nullptr) {
            *error = file->path + ": a BinFile holds no category names: --cat applies to "
                                  "TextFile files only";
            close(fd);
            return 1;
        }
    } else if ((uint64_t)st.st_size < file->size) {
        *error = file->path + ": the file shrank between the two passes";
        close(fd);
        return 1;
    }
    file->records = 0;
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    int rc = file->format == REPORT_BINFILE ? report_read_bin(&rd, fd, file->size)
                                            : report_read_text(&rd, fd, file->size);
    close(fd);
    return rc;
}

/* ---- ranking ---- */

std::vector<uint32_t> report_rank(const report_totals &totals, size_t n)
{
    std::vector<uint32_t> order(totals.addrs.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = (uint32_t)i;
    auto before = [&](uint32_t a, uint32_t b) {
        const report_addr_sum &x = totals.addrs[a], &y = totals.addrs[b];
        uint64_t tx = x.input + x.output, ty = y.input + y.output;
        if (tx != ty)
            return tx > ty;
        return report_addr_compare(x.addr, y.addr) < 0;
    };
    if (n == 0 || n > order.size())
        n = order.size();
    std::partial_sort(order.begin(), order.begin() + (long)n, order.end(), before);
    order.resize(n);
    return order;
}

std::vector<uint32_t> report_period_order(const report_totals &totals)
{
    std::vector<uint32_t> order(totals.periods.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = (uint32_t)i;
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        return totals.periods[a].tag < totals.periods[b].tag;
    });
    return order;
}

/* ---- the two passes ---- */

int report_load(report *r, std::string *error)
{
    int64_t first, last;
    report_span(r->options, &first, &last);
    report_totals_init(&r->totals, first, last);
    r->files.clear();
    for (const char *path : r->options.files) {
        report_file file = {path, REPORT_BINFILE, 0, 0};
        if (report_read_file(&file, r->options, 0, report_totals_sink, &r->totals, error) != 0)
            return 1;
        r->files.push_back(file);
    }
    if (r->totals.overflow) {
        *error = "the sums exceed 2^64 - 1 bytes";
        return 1;
    }
    r->ranked = report_rank(r->totals, r->options.top);
    r->periods = report_period_order(r->totals);
    return 0;
}

#define REPORT_SPARK_POINTS 60 /* most points of a sparkline */

struct report_series {
    report *r;
    std::vector<int32_t> row_of;    /* address position -> row shown, or -1 */
    std::vector<uint32_t> group_of; /* period position -> point */
    uint32_t last_period = REPORT_NONE;
    int64_t last_tag = 0;
};

static void report_series_sink(void *arg, const report_addr &addr, uint64_t input, uint64_t output,
                               int64_t tag)
{
    report_series *s = (report_series *)arg;
    const report_totals &t = s->r->totals;
    if (tag < t.span_first || tag > t.span_last)
        return;
    long pos = report_totals_find_addr(t, addr);
    if (pos < 0 || s->row_of[(size_t)pos] < 0)
        return;
    if (s->last_period == REPORT_NONE || s->last_tag != tag) {
        long period = report_totals_find_period(t, tag);
        if (period < 0)
            return;
        s->last_period = (uint32_t)period;
        s->last_tag = tag;
    }
    /* the first pass checked that these sums fit */
    s->r->spark[(size_t)s->row_of[(size_t)pos] * s->r->spark_points +
                s->group_of[s->last_period]] += input + output;
}

int report_load_series(report *r, std::string *error)
{
    size_t periods = r->periods.size();
    r->spark_group = periods <= REPORT_SPARK_POINTS
                         ? 1
                         : (unsigned)((periods + REPORT_SPARK_POINTS - 1) / REPORT_SPARK_POINTS);
    r->spark_points = (unsigned)((periods + r->spark_group - 1) / r->spark_group);
    r->spark.assign(r->ranked.size() * r->spark_points, 0);
    if (r->ranked.empty())
        return 0;
    report_series s;
    s.r = r;
    s.row_of.assign(r->totals.addrs.size(), -1);
    for (size_t i = 0; i < r->ranked.size(); ++i)
        s.row_of[r->ranked[i]] = (int32_t)i;
    s.group_of.assign(periods, 0);
    for (size_t i = 0; i < periods; ++i)
        s.group_of[r->periods[i]] = (uint32_t)(i / r->spark_group);
    for (report_file &file : r->files) {
        uint64_t records = file.records;
        if (report_read_file(&file, r->options, 1, report_series_sink, &s, error) != 0)
            return 1;
        if (file.records != records) {
            *error = file.path + ": the file changed between the two passes";
            return 1;
        }
    }
    return 0;
}
