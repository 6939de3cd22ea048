/*
 * Configuration file reader.
 *
 * One pass over the file, on the main thread, during start-up. The reader
 * creates every device, category, rule, db_params record and path buffer;
 * they are never released (config.h says which fields change later).
 *
 * The file is untrusted text: a line may hold at most 1023 characters
 * before its line feed, and parsing never looks past the first NUL of a
 * line. Every problem goes to standard error beginning "Norvo: " and naming
 * the file and line. A problem that would leave the settings unusable ends
 * the process with status 1 from inside the reader, so start-up never
 * continues with half-read settings; the rest are warnings and reading goes
 * on.
 *
 * The reader keeps its historic readings (atoi numbers, dotted quads whose
 * oversized octets carry, a later "dump" line replacing the earlier one),
 * since existing files rely on them; wherever such a reading differs from
 * what was written, config_warn says how the text was read.
 */
#include "config/config.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#define LINE_BUFFER_SIZE 1024 /* bytes; a longer line is fatal */
#define IPV4_RUN_DIGITS 3     /* digits per dotted-quad run */
#define IPV4_OCTET_MAX 255
#define IPV4_PREFIX_MAX 32    /* bits */
#define IPV4_TEXT_SIZE 16     /* bytes, "255.255.255.255" and NUL */

#define DEFAULT_PERIOD 600      /* seconds */
#define DEFAULT_BUFFER_SIZE 500 /* packet queue slots */
#define DEFAULT_TABLE_LIMIT 512 /* MiB per category table */
#define DEFAULT_CAPTURE_BUFFER 8 /* MiB */
#define MAX_CAPTURE_BUFFER 2047  /* MiB; libpcap takes the size in bytes as an int */

static const char *const dump_type_names[] = {
    "StdOut", "Syslog", "TextFile", "BinFile", "MySQL", "PgSQL", "--Error: Bad Option--",
};
#define DUMP_TYPE_COUNT ((int)(sizeof dump_type_names / sizeof dump_type_names[0]))

static const char config_separators[] = " \t\r\n=";
static const char config_blanks[] = " \t\r\n";

/* What the reader carries from line to line. */
struct config_reader {
    struct settings *config;
    const char *path;
    FILE *file;
    int line_number; /* of the line being read; 0 once the whole file was read */
    struct cat *current; /* null before the first "cat" line */
    int cat_line;        /* line of the current category's "cat" */
    int dump_line;       /* line of its "dump", 0 while it has none */
};

typedef void (*config_handler)(struct config_reader *reader, const char *keyword, char *value,
                               char **cursor);

struct config_keyword {
    const char *name;
    int needs_cat;
    config_handler handle;
};

const char *dump_type_name(int number)
{
    if (number < 0 || number >= DUMP_TYPE_COUNT)
        return dump_type_names[DUMP_BAD];
    return dump_type_names[number];
}

static void config_fatal(struct config_reader *reader, const char *format, ...)
    __attribute__((format(printf, 2, 3), noreturn));

static void config_fatal(struct config_reader *reader, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fclose(reader->file);
    exit(1);
}

/* The reader's first messages, each in its own wording; new ones use
 * config_warn. */
static void config_print(const char *format, ...) __attribute__((format(printf, 1, 2)));

static void config_print(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
}

/*
 * A warning: "Norvo: Warning: TEXT, in file PATH, line N." on standard
 * error, the line being the one read now; after the last line the warning
 * is about the whole file and ends "in file PATH.". The line is still
 * applied as it was read. One call writes the whole line.
 */
static void config_warn(struct config_reader *reader, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

static void config_warn(struct config_reader *reader, const char *format, ...)
{
    char text[LINE_BUFFER_SIZE + 256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (reader->line_number > 0)
        fprintf(stderr, "Norvo: Warning: %s, in file %s, line %d.\n", text, reader->path,
                reader->line_number);
    else
        fprintf(stderr, "Norvo: Warning: %s, in file %s.\n", text, reader->path);
}

/* Zero-filled record of `size` bytes; the process ends if there is none. */
static void *config_allocate(struct config_reader *reader, size_t size, const char *what)
{
    void *record = calloc(1, size);
    if (record == nullptr)
        config_fatal(reader, "Norvo: Cannot allocate %s, in file %s, line %d.\nError: %s\n", what,
                     reader->path, reader->line_number, strerror(errno));
    return record;
}

/* Copies at most size - 1 bytes and terminates; returns 1 if text was cut. */
static int config_copy_cut(char *dest, size_t size, const char *text)
{
    size_t length = strnlen(text, size);
    int cut = length == size;
    if (cut)
        length = size - 1;
    memcpy(dest, text, length);
    dest[length] = '\0';
    return cut;
}

char *config_next_token(char **cursor)
{
    if (cursor == nullptr || *cursor == nullptr)
        return nullptr;
    char *token = *cursor;
    char *separator = strpbrk(token, config_separators);
    if (separator == nullptr) {
        *cursor = nullptr;
        return token;
    }
    char found = *separator;
    *separator = '\0';
    char *next = separator + 1;
    next += strspn(next, config_blanks);
    /* "key = value": the blank ended the key, the "=" still stands between. */
    if (found != '=' && *next == '=') {
        next++;
        next += strspn(next, config_blanks);
    }
    *cursor = next;
    return token;
}

/*
 * Up to four runs of at most three digits joined by dots. Reading stops at
 * the first run or dot that is missing, and the runs not read count as 0.
 * Runs are added, not OR-ed, so an oversized octet carries into the next
 * one. too_long is set when a run that was read is followed by a fourth
 * digit.
 */
void config_read_ipv4(const char *text, struct ipv4_reading *out)
{
    uint32_t runs[4] = {0, 0, 0, 0};
    out->value = 0;
    out->runs = 0;
    out->too_long = 0;
    out->octet_over = 0;
    out->end = text;
    if (text == nullptr)
        return;
    const char *p = text;
    for (int i = 0; i < 4; i++) {
        const char *before = p;
        if (i > 0) {
            if (*p != '.')
                break;
            p++;
        }
        int digits = 0;
        uint32_t value = 0;
        while (digits < IPV4_RUN_DIGITS && *p >= '0' && *p <= '9') {
            value = value * 10 + (uint32_t)(*p - '0');
            p++;
            digits++;
        }
        if (digits == 0) {
            p = before; /* a dot without digits was not read */
            break;
        }
        runs[i] = value;
        out->runs = i + 1;
        if (value > IPV4_OCTET_MAX)
            out->octet_over = 1;
        if (*p >= '0' && *p <= '9') {
            out->too_long = 1;
            break;
        }
    }
    out->end = p;
    out->value = (runs[0] << 24) + (runs[1] << 16) + (runs[2] << 8) + runs[3];
}

uint32_t config_parse_ipv4(const char *text, int *too_long)
{
    struct ipv4_reading reading;
    config_read_ipv4(text, &reading);
    if (too_long != nullptr)
        *too_long = reading.too_long;
    return reading.value;
}

static void config_format_ipv4(uint32_t address, char text[IPV4_TEXT_SIZE])
{
    snprintf(text, IPV4_TEXT_SIZE, "%u.%u.%u.%u", address >> 24, address >> 16 & 0xff,
             address >> 8 & 0xff, address & 0xff);
}

/* A whole number as atoi reads it, in `value`; `whole` is 0 when the text
 * holds more than the number (or no number at all). */
struct config_number {
    int value;
    int whole;
};

/*
 * Reads `text` like atoi does, except that a number beyond an int ends the
 * reader instead of wrapping. An empty text and a comment ("#...") are 0
 * as ever and count as whole: that is how a missing value reads.
 */
static struct config_number config_read_number(struct config_reader *reader, const char *name,
                                               const char *text)
{
    errno = 0;
    char *end;
    long value = strtol(text, &end, 10);
    if (errno == ERANGE || value > INT_MAX || value < INT_MIN)
        config_fatal(reader,
                     "Norvo: Reading invalid %s %s (a number that does not fit in an int), in "
                     "file %s, line %d.\n",
                     name, text, reader->path, reader->line_number);
    struct config_number number = {(int)value, 1};
    if (*end != '\0' && !(end == text && text[0] == '#'))
        number.whole = 0;
    return number;
}

static void config_warn_number(struct config_reader *reader, const char *name, const char *text,
                               struct config_number number)
{
    if (!number.whole)
        config_warn(reader, "Number %s of %s is read as %d", text, name, number.value);
}

/* A number that any int may be; says how it was read when that differs. */
static int config_int(struct config_reader *reader, const char *name, const char *text)
{
    struct config_number number = config_read_number(reader, name, text);
    config_warn_number(reader, name, text, number);
    return number.value;
}

static void config_read_devices(struct config_reader *reader, const char *keyword, char *value,
                                char **cursor)
{
    (void)keyword;
    struct settings *config = reader->config;
    if (config->devices != nullptr) {
        config_print("Norvo: Option Devices already declared earlier. Ignoring this one.\n");
        return;
    }
    for (char *name = value; name != nullptr && name[0] != '\0' && name[0] != '#' && name[0] != '\n';
         name = config_next_token(cursor)) {
        struct device *device =
            (struct device *)config_allocate(reader, sizeof *device, "a device record");
        if (config_copy_cut(device->name, sizeof device->name, name))
            config_print("Norvo: Device name %s is longer than %d characters, cut to %s, in file %s, "
                        "line %d.\n",
                        name, DEVICE_NAME_SIZE - 1, device->name, reader->path,
                        reader->line_number);
        device->handle = nullptr;
        /* Head insertion: capture threads start in the reverse of file order. */
        device->next = config->devices;
        config->devices = device;
        config->device_count++;
    }
}

/* The value of "period" or "buffersize": none of 0 or less makes sense. A
 * period would end before taking a packet, and so would every next one; a
 * queue without slots could never take a packet. */
static int config_positive(struct config_reader *reader, const char *name, const char *value)
{
    struct config_number number = config_read_number(reader, name, value);
    if (number.value <= 0)
        config_fatal(reader, "Norvo: Reading invalid %s %s, in file %s, line %d.\n", name, value,
                     reader->path, reader->line_number);
    config_warn_number(reader, name, value, number);
    return number.value;
}

static void config_read_period(struct config_reader *reader, const char *, char *value, char **)
{
    reader->config->period = config_positive(reader, "period", value);
}

static void config_read_buffer_size(struct config_reader *reader, const char *, char *value,
                                    char **)
{
    reader->config->buffer_size = config_positive(reader, "buffersize", value);
}

/* A category that lacks either rule list of a family accepts no packet of
 * that family. Called when the next category starts and at the end of the
 * file, so the warning names the category's own line. */
static void config_check_cat(struct config_reader *reader)
{
    const struct cat *category = reader->current;
    if (category == nullptr)
        return;
    int v4 = category->primary != nullptr && category->secondary != nullptr;
    int v6 = category->primary6 != nullptr && category->secondary6 != nullptr;
    int half4 = !v4 && (category->primary != nullptr || category->secondary != nullptr);
    int half6 = !v6 && (category->primary6 != nullptr || category->secondary6 != nullptr);
    if ((v4 || !half4) && (v6 || !half6) && (v4 || v6))
        return;
    int line = reader->line_number;
    reader->line_number = reader->cat_line;
    if (!v4 && !v6 && !half6) {
        const char *missing = category->primary != nullptr ? "secondary rules"
                              : category->secondary != nullptr ? "primary rules"
                                                               : "rules";
        config_warn(reader, "Category %s has no %s, so it counts nothing", category->name,
                    missing);
    } else if (!v4 && !v6) {
        config_warn(reader, "Category %s has no primary and secondary rules of one family, so "
                    "it counts nothing", category->name);
    } else {
        /* one family is whole, the other has rules on one side only */
        const char *family = v4 ? "IPv6" : "IPv4";
        int has_primary = v4 ? category->primary6 != nullptr : category->primary != nullptr;
        config_warn(reader, "Category %s has %s %s rules but no %s %s rules, so it counts no "
                    "%s traffic", category->name, family, has_primary ? "primary" : "secondary",
                    family, has_primary ? "secondary" : "primary", family);
    }
    reader->line_number = line;
}

/* 0 lifts the bound, so a value that is no number must not read as 0. */
static void config_read_table_limit(struct config_reader *reader, const char *, char *value,
                                    char **)
{
    if (value[0] < '0' || value[0] > '9')
        config_fatal(reader, "Norvo: Reading invalid tablelimit %s, in file %s, line %d.\n", value,
                     reader->path, reader->line_number);
    reader->config->table_limit = config_int(reader, "tablelimit", value);
    reader->config->table_limit_set = 1;
}

static void config_read_vlan(struct config_reader *reader, const char *, char *value, char **)
{
    if (strcasecmp(value, "on") == 0)
        reader->config->vlan = 1;
    else if (strcasecmp(value, "off") == 0)
        reader->config->vlan = 0;
    else
        config_fatal(reader, "Norvo: Reading invalid vlan %s (on or off), in file %s, line %d.\n",
                     value, reader->path, reader->line_number);
    reader->config->vlan_set = 1;
}

static void config_read_capture_buffer(struct config_reader *reader, const char *, char *value,
                                       char **)
{
    int mib = config_positive(reader, "capturebuffer", value);
    if (mib > MAX_CAPTURE_BUFFER)
        config_fatal(reader, "Norvo: Reading invalid capturebuffer %s (at most %d MiB), in file %s, "
                     "line %d.\n", value, MAX_CAPTURE_BUFFER, reader->path, reader->line_number);
    reader->config->capture_buffer = mib;
    reader->config->capture_buffer_set = 1;
}

static void config_read_spool_dir(struct config_reader *reader, const char *, char *value,
                                  char **)
{
    if (value[0] == '\0')
        config_fatal(reader, "Norvo: Reading option spooldir without a value, in file %s, line %d.\n",
                     reader->path, reader->line_number);
    if (config_copy_cut(reader->config->spool_dir, sizeof reader->config->spool_dir, value))
        config_fatal(reader, "Norvo: Spool directory is longer than %d characters, in file %s, "
                     "line %d.\n", FILE_PATH_SIZE - 1, reader->path, reader->line_number);
}

static void config_read_spool_limit(struct config_reader *reader, const char *, char *value,
                                    char **)
{
    reader->config->spool_limit_mib = config_positive(reader, "spoollimit", value);
}

/* "host:port" names a TCP port; a host starting with '/' is a socket path
 * and keeps its colons. */
static void config_split_port(struct config_reader *reader, struct db_params *db)
{
    char *colon = strrchr(db->host, ':');
    if (db->host[0] == '/' || colon == nullptr)
        return;
    char *end = nullptr;
    long port = strtol(colon + 1, &end, 10);
    if (colon == db->host || end == colon + 1 || *end != '\0' || port < 1 || port > 65535)
        config_fatal(reader, "Norvo: Reading invalid database host %s (HOST or HOST:PORT with a "
                     "port from 1 to 65535), in file %s, line %d.\n", db->host, reader->path,
                     reader->line_number);
    *colon = '\0';
    db->port = (unsigned int)port;
}

static void config_read_cat(struct config_reader *reader, const char *keyword, char *value,
                            char **cursor)
{
    (void)keyword;
    (void)cursor;
    config_check_cat(reader);
    struct cat *category = (struct cat *)config_allocate(reader, sizeof *category, "a cat record");
    config_copy_cut(category->name, sizeof category->name, value);
    category->time_divider = 1;
    category->byte_divider = 1;
    category->dump_type = DUMP_STDOUT;

    struct cat **tail = &reader->config->cats;
    while (*tail != nullptr)
        tail = &(*tail)->next;
    *tail = category;
    reader->current = category;
    reader->cat_line = reader->line_number;
    reader->dump_line = 0;
}

/*
 * The address (end not null: it may be followed by "/" and a prefix length,
 * and *end is set to where reading stopped) or the mask of a rule. A missing
 * one or one with a number of more than three digits ends the reader; one
 * that is not a plain dotted quad, or has an octet that carries, is read as
 * ever and the warning says as what.
 */
static uint32_t config_rule_quad(struct config_reader *reader, const char *keyword,
                                 const char *article, const char *noun, const char *text,
                                 const char **end)
{
    if (text == nullptr || text[0] == '\0')
        config_fatal(reader, "Norvo: Reading rule %s without %s %s, in file %s, line %d.\n",
                     keyword, article, noun, reader->path, reader->line_number);
    struct ipv4_reading reading;
    config_read_ipv4(text, &reading);
    if (reading.too_long)
        config_fatal(reader,
                     "Norvo: Reading invalid %s %s (a number of more than %d digits), in rule %s, "
                     "in file %s, line %d.\n",
                     noun, text, IPV4_RUN_DIGITS, keyword, reader->path, reader->line_number);
    char shown[IPV4_TEXT_SIZE];
    config_format_ipv4(reading.value, shown);
    int stops = reading.end[0] == '\0' || (end != nullptr && reading.end[0] == '/');
    /* Capitalised for the start of the message. */
    const char *name = noun[0] == 'a' ? "Address" : "Mask";
    if (reading.runs != 4 || !stops)
        config_warn(reader, "%s %s is not a dotted quad and is read as %s", name, text, shown);
    else if (reading.octet_over)
        config_warn(reader, "%s %s has a number above %d and is read as %s", name, text,
                    IPV4_OCTET_MAX, shown);
    if (end != nullptr)
        *end = reading.end;
    return reading.value;
}

/* The mask of a prefix length ("/24" behind an address); beyond 32 bits,
 * or no number at all, ends the reader. */
static uint32_t config_rule_prefix(struct config_reader *reader, const char *keyword,
                                   const char *text)
{
    struct config_number length = config_read_number(reader, "prefix length", text);
    if (text[0] < '0' || text[0] > '9' || length.value < 0 || length.value > IPV4_PREFIX_MAX)
        config_fatal(reader,
                     "Norvo: Reading invalid prefix length %s (0 to %d), in rule %s, in file %s, "
                     "line %d.\n",
                     text, IPV4_PREFIX_MAX, keyword, reader->path, reader->line_number);
    config_warn_number(reader, "prefix length", text, length);
    if (length.value == 0)
        return 0;
    return UINT32_MAX << (IPV4_PREFIX_MAX - length.value);
}

/* An IPv6 rule: ADDRESS/LENGTH and an optional port. Checked whole before
 * it is allocated, as for IPv4. */
static void config_read_rule6(struct config_reader *reader, const char *keyword, int policy,
                              const char *prefix, char **cursor, struct rule6 **list)
{
    struct addr6 ip;
    int length = 0;
    int result = addr6_parse_prefix(prefix, &ip, &length);
    if (result == ADDR6_PREFIX_BAD_TEXT)
        config_fatal(reader,
                     "Norvo: Reading invalid IPv6 prefix %s (not an IPv6 address followed by "
                     "/LENGTH), in rule %s, in file %s, line %d.\n",
                     prefix, keyword, reader->path, reader->line_number);
    if (result == ADDR6_PREFIX_BAD_LENGTH)
        config_fatal(reader,
                     "Norvo: Reading invalid IPv6 prefix %s (the length is not a number from 0 "
                     "to 128), in rule %s, in file %s, line %d.\n",
                     prefix, keyword, reader->path, reader->line_number);
    /* Behind a rule without a port this may be a comment's first word: 0. */
    char *port = config_next_token(cursor);
    uint32_t port_number = port != nullptr ? (uint32_t)config_int(reader, "port", port) : 0;

    struct addr6 mask = addr6_mask(length);
    if ((ip.hi & ~mask.hi) != 0 || (ip.lo & ~mask.lo) != 0)
        config_warn(reader, "Address %s has bits outside its prefix length, so rule %s never "
                    "matches", prefix, keyword);

    struct rule6 *rule = (struct rule6 *)config_allocate(reader, sizeof *rule, "a rule record");
    rule->ip = ip;
    rule->mask = mask;
    rule->length = length;
    rule->port = port_number;
    rule->policy = policy;
    rule->next = nullptr;

    struct rule6 **tail = list;
    while (*tail != nullptr)
        tail = &(*tail)->next;
    *tail = rule;
}

/* Everything is checked before the rule is allocated and linked, so a fatal
 * error never leaves a record that nothing reaches. */
static void config_read_rule(struct config_reader *reader, const char *keyword, char *value,
                             char **cursor, struct rule **list, struct rule6 **list6)
{
    int policy;
    if (strcasecmp(value, "account") == 0)
        policy = 1;
    else if (strcasecmp(value, "ignore") == 0)
        policy = 0;
    else
        config_fatal(reader, "Norvo: Reading invalid policy %s, in rule %s, in file %s, line %d.\n",
                     value, keyword, reader->path, reader->line_number);

    char *address = config_next_token(cursor);
    /* No IPv4 rule has a colon, every IPv6 address has one. */
    if (address != nullptr && strchr(address, ':') != nullptr) {
        config_read_rule6(reader, keyword, policy, address, cursor, list6);
        return;
    }
    const char *address_end;
    uint32_t ip = config_rule_quad(reader, keyword, "an", "address", address, &address_end);
    /* "198.18.0.0/24" gives the address and its mask in one token. */
    char cidr_mask[IPV4_TEXT_SIZE];
    char *mask;
    uint32_t netmask;
    if (address_end[0] == '/') {
        netmask = config_rule_prefix(reader, keyword, address_end + 1);
        config_format_ipv4(netmask, cidr_mask);
        mask = cidr_mask;
    } else {
        mask = config_next_token(cursor);
        netmask = config_rule_quad(reader, keyword, "a", "mask", mask, nullptr);
    }

    /* Behind a rule without a port this may be a comment's first word: 0. */
    char *port = config_next_token(cursor);
    uint32_t port_number = port != nullptr ? (uint32_t)config_int(reader, "port", port) : 0;

    /* A mask with holes matches scattered addresses; rarely what was meant. */
    uint32_t host_bits = ~netmask;
    if ((host_bits & (host_bits + 1)) != 0)
        config_warn(reader, "Mask %s has bits that are not contiguous", mask);
    /* Matching compares the masked packet address with ip, so bits outside
     * the mask make the rule dead; kept as written, the administrator is told. */
    if ((ip & ~netmask) != 0)
        config_print("Norvo: Address %s has bits outside mask %s, so rule %s never matches, in file "
                    "%s, line %d.\n",
                    address, mask, keyword, reader->path, reader->line_number);

    struct rule *rule = (struct rule *)config_allocate(reader, sizeof *rule, "a rule record");
    rule->ip = ip;
    rule->mask = netmask;
    rule->port = port_number;
    rule->proto = 0;
    rule->policy = policy;
    rule->next = nullptr;

    struct rule **tail = list;
    while (*tail != nullptr)
        tail = &(*tail)->next;
    *tail = rule;
}

static void config_read_primary(struct config_reader *reader, const char *keyword, char *value,
                                char **cursor)
{
    config_read_rule(reader, keyword, value, cursor, &reader->current->primary,
                     &reader->current->primary6);
}

static void config_read_secondary(struct config_reader *reader, const char *keyword, char *value,
                                  char **cursor)
{
    config_read_rule(reader, keyword, value, cursor, &reader->current->secondary,
                     &reader->current->secondary6);
}

static void config_read_time_divider(struct config_reader *reader, const char *keyword,
                                     char *value, char **cursor)
{
    (void)keyword;
    (void)cursor;
    reader->current->time_divider = config_int(reader, "timedivider", value);
}

static void config_read_byte_divider(struct config_reader *reader, const char *keyword,
                                     char *value, char **cursor)
{
    (void)keyword;
    (void)cursor;
    reader->current->byte_divider = config_int(reader, "bytedivider", value);
}

/* The table name goes into every statement, quoted with backquotes: only
 * letters, digits, "_" and "$" may appear, so that no name can end the
 * quote or change the statement. */
static void config_check_table(struct config_reader *reader, const char *table)
{
    int plain = table[0] != '\0';
    for (const char *c = table; *c != '\0'; c++) {
        if (!((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
              *c == '_' || *c == '$'))
            plain = 0;
    }
    if (!plain)
        config_fatal(reader,
                     "Norvo: Reading invalid MySQL table %s (letters, digits, _ and $ only), in "
                     "file %s, line %d.\n",
                     table, reader->path, reader->line_number);
}

static void config_read_dump(struct config_reader *reader, const char *keyword, char *value,
                             char **cursor)
{
    (void)keyword;
    struct cat *category = reader->current;
    int type = DUMP_BAD;
    for (int number = 0; number < DUMP_TYPE_COUNT; number++) {
        if (strcasecmp(value, dump_type_names[number]) == 0) {
            type = number;
            break;
        }
    }

    if (type == DUMP_BAD)
        config_warn(reader, "Dump type %s of category %s is unknown, so nothing will be stored "
                    "for it", value, category->name);
    if (reader->dump_line != 0)
        config_warn(reader, "Second dump line in category %s replaces the one on line %d",
                    category->name, reader->dump_line);
    reader->dump_line = reader->line_number;

    /* A later dump line replaces the earlier one entirely. No other thread
     * exists yet, so nothing else can hold the old parameters. */
    free(category->db);
    category->db = nullptr;
    free(category->file);
    category->file = nullptr;
    category->dump_type = type;

    if (type == DUMP_TEXTFILE || type == DUMP_BINFILE) {
        category->file = (char *)config_allocate(reader, FILE_PATH_SIZE, "a path buffer");
        char *path = config_next_token(cursor);
        if (path != nullptr)
            config_copy_cut(category->file, FILE_PATH_SIZE, path);
    } else if (type == DUMP_MYSQL || type == DUMP_PGSQL) {
        struct db_params *db =
            (struct db_params *)config_allocate(reader, sizeof *db, "a db_params record");
        category->db = db;
        struct {
            char *field;
            const char *name;
        } fields[] = {{db->host, "host"},   {db->db, "database"},    {db->table, "table"},
                      {db->login, "login"}, {db->password, nullptr}};
        for (const auto &field : fields) {
            char *token = config_next_token(cursor);
            if (token == nullptr)
                break;
            if (!config_copy_cut(field.field, DB_FIELD_SIZE, token))
                continue;
            if (field.name != nullptr)
                config_warn(reader, "Database %s %s is longer than %d characters, cut to %s",
                            field.name, token, DB_FIELD_SIZE - 1, field.field);
            else /* not shown: the file is private, the terminal may not be */
                config_warn(reader, "Database password is longer than %d characters and is cut",
                            DB_FIELD_SIZE - 1);
        }
        config_split_port(reader, db);
        if (type == DUMP_MYSQL)
            config_check_table(reader, db->table);
    }
}

static const struct config_keyword config_keywords[] = {
    {"devices", 0, config_read_devices},
    {"period", 0, config_read_period},
    {"buffersize", 0, config_read_buffer_size},
    {"tablelimit", 0, config_read_table_limit},
    {"vlan", 0, config_read_vlan},
    {"capturebuffer", 0, config_read_capture_buffer},
    {"spooldir", 0, config_read_spool_dir},
    {"spoollimit", 0, config_read_spool_limit},
    {"cat", 0, config_read_cat},
    {"primary", 1, config_read_primary},
    {"secondary", 1, config_read_secondary},
    {"timedivider", 1, config_read_time_divider},
    {"bytedivider", 1, config_read_byte_divider},
    {"dump", 1, config_read_dump},
};

static void config_read_line(struct config_reader *reader, char *line)
{
    char *cursor = line;
    char *keyword = config_next_token(&cursor);
    if (keyword != nullptr && keyword[0] == '\0')
        keyword = config_next_token(&cursor);
    if (keyword == nullptr || keyword[0] == '\0' || keyword[0] == '\n' || keyword[0] == '#')
        return;

    const struct config_keyword *entry = nullptr;
    for (const struct config_keyword &candidate : config_keywords) {
        if (strcasecmp(keyword, candidate.name) == 0) {
            entry = &candidate;
            break;
        }
    }
    if (entry == nullptr) {
        config_print("Norvo: Bad Option (%s) in configuration file %s, line %d\n", keyword,
                    reader->path, reader->line_number);
        return;
    }

    char *value = config_next_token(&cursor);
    /* Only a keyword at the very end of a file without a final line feed
     * gets here; with the line feed the value is an empty token instead. */
    if (value == nullptr)
        config_fatal(reader, "Norvo: Reading option %s without a value, in file %s, line %d.\n",
                     keyword, reader->path, reader->line_number);
    if (entry->needs_cat && reader->current == nullptr)
        config_fatal(reader, "Norvo: Reading Cat-option %s outside a Cat, in file %s, line %d.\n",
                     keyword, reader->path, reader->line_number);
    entry->handle(reader, keyword, value, &cursor);
}

/*
 * The next line into `buffer` (LINE_BUFFER_SIZE bytes), its line feed
 * kept. A line may hold NUL bytes; parsing stops at the first. Returns the
 * number of bytes read, 0 at the end of the file. A line of more than 1023
 * characters before its line feed ends the reader: cut into pieces, its
 * tail would be read as a directive of its own.
 */
static size_t config_read_text_line(struct config_reader *reader, char *buffer)
{
    size_t length = 0;
    for (;;) {
        int c = getc(reader->file);
        if (c == EOF) {
            if (ferror(reader->file))
                config_fatal(reader,
                             "Norvo: Error reading configuration file %s, line %d.\nError: %s\n",
                             reader->path, reader->line_number, strerror(errno));
            break;
        }
        if (length == LINE_BUFFER_SIZE - 1) {
            if (c == '\n')
                break; /* 1023 characters and the line feed, which is not needed */
            config_fatal(reader,
                         "Norvo: Reading a line of more than %d characters, in file %s, line "
                         "%d.\n",
                         LINE_BUFFER_SIZE - 1, reader->path, reader->line_number);
        }
        buffer[length++] = (char)c;
        if (c == '\n')
            break;
    }
    buffer[length] = '\0';
    return length;
}

/* Warnings about the file as a whole, once it has been read. */
static void config_check_file(struct config_reader *reader)
{
    config_check_cat(reader);
    reader->line_number = 0;
    if (reader->config->device_count == 0)
        config_warn(reader, "No devices named, so nothing is captured");
    if (reader->config->cats == nullptr)
        config_warn(reader, "No cat line, so nothing is counted");
}

int config_read_config_file(struct settings *config, const char *path)
{
    if (config == nullptr) {
        fprintf(stderr, "Norvo: No settings record to read configuration file %s into.\n",
                path != nullptr ? path : "(none)");
        return 1;
    }
    if (path == nullptr) {
        fprintf(stderr, "Norvo: No configuration file named.\n");
        return 1;
    }

    struct config_reader reader;
    reader.config = config;
    reader.path = path;
    reader.line_number = 0;
    reader.current = nullptr;
    reader.cat_line = 0;
    reader.dump_line = 0;
    reader.file = fopen(path, "r");
    if (reader.file == nullptr) {
        fprintf(stderr, "Norvo: Error opening configuration file %s.\nError: %s\n", path,
                strerror(errno));
        exit(1);
    }

    char line[LINE_BUFFER_SIZE];
    for (;;) {
        reader.line_number++;
        if (config_read_text_line(&reader, line) == 0)
            break;
        config_read_line(&reader, line);
    }
    config_check_file(&reader);

    if (fclose(reader.file) != 0)
        fprintf(stderr, "Norvo: Error closing configuration file %s.\nError: %s\n", path,
                strerror(errno));
    return 0;
}

struct settings *config_load(struct settings *config, const char *path)
{
    if (config == nullptr) {
        config_read_config_file(config, path);
        return nullptr;
    }
    config->period = DEFAULT_PERIOD;
    config->device_count = 0;
    config->buffer_size = DEFAULT_BUFFER_SIZE;
    config->table_limit = DEFAULT_TABLE_LIMIT;
    config->table_limit_set = 0;
    config->devices = nullptr;
    config->cats = nullptr;
    config->vlan = 0;
    config->capture_buffer = DEFAULT_CAPTURE_BUFFER;
    config->vlan_set = 0;
    config->capture_buffer_set = 0;
    config->spool_dir[0] = '\0';
    config->spool_limit_mib = 0;
    config_read_config_file(config, path);
    return config;
}
