/*
 * Configuration file reader.
 *
 * One pass over the file, on the main thread, during start-up. The reader
 * creates every device, category, rule, db_params record and path buffer;
 * they are never released (config.h says which two fields change later).
 *
 * The file is untrusted text: it is read in pieces of at most 1023 bytes,
 * each piece parsed as a line of its own, and parsing never looks past the
 * first NUL of a piece. Every problem goes to standard error beginning
 * "Norvo: " and naming the file and line. A problem that would leave the
 * settings unusable ends the process with status 1 from inside the reader,
 * so start-up never continues with half-read settings; the rest are
 * warnings and reading goes on.
 */
#include "config/config.h"

#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#define LINE_BUFFER_SIZE 1024 /* bytes; a longer line is read in pieces */
#define IPV4_RUN_DIGITS 3     /* digits per dotted-quad run */

#define DEFAULT_PERIOD 600      /* seconds */
#define DEFAULT_BUFFER_SIZE 500 /* packet queue slots */

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
    int line_number; /* of the physical line the current piece belongs to */
    struct cat *current; /* null before the first "cat" line */
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

static void config_warn(const char *format, ...) __attribute__((format(printf, 1, 2)));

static void config_warn(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
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
 * one. *too_long is set when a run that was read is followed by a fourth
 * digit.
 */
uint32_t config_parse_ipv4(const char *text, int *too_long)
{
    int ignored;
    if (too_long == nullptr)
        too_long = &ignored;
    uint32_t runs[4] = {0, 0, 0, 0};
    *too_long = 0;
    if (text == nullptr)
        return 0;
    const char *p = text;
    for (int i = 0; i < 4; i++) {
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
        if (digits == 0)
            break;
        runs[i] = value;
        if (*p >= '0' && *p <= '9') {
            *too_long = 1;
            break;
        }
    }
    return (runs[0] << 24) + (runs[1] << 16) + (runs[2] << 8) + runs[3];
}

static void config_read_devices(struct config_reader *reader, const char *keyword, char *value,
                                char **cursor)
{
    (void)keyword;
    struct settings *config = reader->config;
    if (config->devices != nullptr) {
        config_warn("Norvo: Option Devices already declared earlier. Ignoring this one.\n");
        return;
    }
    for (char *name = value; name != nullptr && name[0] != '\0' && name[0] != '#' && name[0] != '\n';
         name = config_next_token(cursor)) {
        struct device *device =
            (struct device *)config_allocate(reader, sizeof *device, "a device record");
        if (config_copy_cut(device->name, sizeof device->name, name))
            config_warn("Norvo: Device name %s is longer than %d characters, cut to %s, in file %s, "
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
    int number = atoi(value);
    if (number <= 0)
        config_fatal(reader, "Norvo: Reading invalid %s %s, in file %s, line %d.\n", name, value,
                     reader->path, reader->line_number);
    return number;
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
}

/* The address or the mask of a rule; a missing one or one with a number of
 * more than three digits ends the reader. */
static uint32_t config_rule_quad(struct config_reader *reader, const char *keyword,
                                 const char *article, const char *noun, const char *text)
{
    if (text == nullptr || text[0] == '\0')
        config_fatal(reader, "Norvo: Reading rule %s without %s %s, in file %s, line %d.\n",
                     keyword, article, noun, reader->path, reader->line_number);
    int too_long;
    uint32_t value = config_parse_ipv4(text, &too_long);
    if (too_long)
        config_fatal(reader,
                     "Norvo: Reading invalid %s %s (a number of more than %d digits), in rule %s, "
                     "in file %s, line %d.\n",
                     noun, text, IPV4_RUN_DIGITS, keyword, reader->path, reader->line_number);
    return value;
}

/* Everything is checked before the rule is allocated and linked, so a fatal
 * error never leaves a record that nothing reaches. */
static void config_read_rule(struct config_reader *reader, const char *keyword, char *value,
                             char **cursor, struct rule **list)
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
    uint32_t ip = config_rule_quad(reader, keyword, "an", "address", address);
    char *mask = config_next_token(cursor);
    uint32_t netmask = config_rule_quad(reader, keyword, "a", "mask", mask);

    /* Behind a rule without a port this may be a comment's first word: atoi gives 0. */
    char *port = config_next_token(cursor);

    /* Matching compares the masked packet address with ip, so bits outside
     * the mask make the rule dead; kept as written, the administrator is told. */
    if ((ip & ~netmask) != 0)
        config_warn("Norvo: Address %s has bits outside mask %s, so rule %s never matches, in file "
                    "%s, line %d.\n",
                    address, mask, keyword, reader->path, reader->line_number);

    struct rule *rule = (struct rule *)config_allocate(reader, sizeof *rule, "a rule record");
    rule->ip = ip;
    rule->mask = netmask;
    rule->port = port != nullptr ? (uint32_t)atoi(port) : 0;
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
    config_read_rule(reader, keyword, value, cursor, &reader->current->primary);
}

static void config_read_secondary(struct config_reader *reader, const char *keyword, char *value,
                                  char **cursor)
{
    config_read_rule(reader, keyword, value, cursor, &reader->current->secondary);
}

static void config_read_time_divider(struct config_reader *reader, const char *keyword,
                                     char *value, char **cursor)
{
    (void)keyword;
    (void)cursor;
    reader->current->time_divider = atoi(value);
}

static void config_read_byte_divider(struct config_reader *reader, const char *keyword,
                                     char *value, char **cursor)
{
    (void)keyword;
    (void)cursor;
    reader->current->byte_divider = atoi(value);
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
        char *fields[] = {db->host, db->db, db->table, db->login, db->password};
        for (char *field : fields) {
            char *token = config_next_token(cursor);
            if (token == nullptr)
                break;
            config_copy_cut(field, DB_FIELD_SIZE, token);
        }
        config_split_port(reader, db);
    }
}

static const struct config_keyword config_keywords[] = {
    {"devices", 0, config_read_devices},
    {"period", 0, config_read_period},
    {"buffersize", 0, config_read_buffer_size},
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
        config_warn("Norvo: Bad Option (%s) in configuration file %s, line %d\n", keyword,
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
 * The next piece of a line into `buffer` (LINE_BUFFER_SIZE bytes): up to
 * 1023 bytes, or fewer when a line feed comes first, which is kept. The
 * piece may hold NUL bytes; parsing stops at the first. Returns the number
 * of bytes read, 0 at the end of the file; *line_ended is 1 when the piece
 * finished its line.
 */
static size_t config_read_piece(struct config_reader *reader, char *buffer, int *line_ended)
{
    size_t length = 0;
    *line_ended = 0;
    while (length < LINE_BUFFER_SIZE - 1) {
        int c = getc(reader->file);
        if (c == EOF) {
            if (ferror(reader->file))
                config_fatal(reader,
                             "Norvo: Error reading configuration file %s, line %d.\nError: %s\n",
                             reader->path, reader->line_number, strerror(errno));
            *line_ended = 1;
            break;
        }
        buffer[length++] = (char)c;
        if (c == '\n') {
            *line_ended = 1;
            break;
        }
    }
    buffer[length] = '\0';
    return length;
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
    reader.file = fopen(path, "r");
    if (reader.file == nullptr) {
        fprintf(stderr, "Norvo: Error opening configuration file %s.\nError: %s\n", path,
                strerror(errno));
        exit(1);
    }

    char line[LINE_BUFFER_SIZE];
    int previous_ended = 1;
    for (;;) {
        int line_ended;
        /* Pieces of one long line share its number in messages. */
        if (previous_ended)
            reader.line_number++;
        size_t length = config_read_piece(&reader, line, &line_ended);
        if (length == 0)
            break;
        previous_ended = line_ended;
        config_read_line(&reader, line);
    }

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
    config->devices = nullptr;
    config->cats = nullptr;
    config->spool_dir[0] = '\0';
    config->spool_limit_mib = 0;
    config_read_config_file(config, path);
    return config;
}
