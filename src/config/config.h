/*
 * Configuration model and file reader.
 *
 * The reader builds every record here once, on the main thread, before any
 * other thread exists. Afterwards the records are read-only and live until
 * the process ends, with these exceptions: each category's `table`, which
 * the accounting cycle replaces every cycle, and its `refused` counts; its
 * `dumps` count, which the dump module sets once at start-up; and each
 * device's `handle`, which its capture thread sets once.
 */
#ifndef NORVO_CONFIG_CONFIG_H
#define NORVO_CONFIG_CONFIG_H

#include <pcap/pcap.h>
#include <pthread.h>
#include <stdint.h>

#include "core/addr6.h"

struct iptable;
struct iptable6;
struct dump_count;

#define DEVICE_NAME_SIZE 36  /* bytes, 35 characters and NUL */
#define CAT_NAME_SIZE 32     /* bytes, 31 characters and NUL */
#define DB_FIELD_SIZE 32     /* bytes, 31 characters and NUL */
#define FILE_PATH_SIZE 1024  /* bytes, 1023 characters and NUL */

enum dump_types {
    DUMP_STDOUT = 0,
    DUMP_SYSLOG = 1,
    DUMP_TEXTFILE = 2,
    DUMP_BINFILE = 3,
    DUMP_MYSQL = 4,
    DUMP_PGSQL = 5,
    DUMP_BAD = 6, /* every unrecognised type name */
};

struct rule {
    uint32_t ip;   /* network address, a.b.c.d as a<<24|b<<16|c<<8|d */
    uint32_t mask; /* same representation */
    uint32_t port; /* 0 matches every port */
    uint8_t proto; /* never set by the file; shown by the status report */
    int policy;    /* 1 account, 0 ignore */
    struct rule *next;
};

/* An IPv6 rule. The two families keep lists of their own: a rule never
 * fits a packet of the other family, so first-match order within each list
 * is the order of the file, and IPv4 matching never looks at IPv6 rules. */
struct rule6 {
    struct addr6 ip;   /* network address, bits outside the prefix as written */
    struct addr6 mask; /* of `length` */
    int length;        /* prefix length, 0..128 */
    uint32_t port;     /* 0 matches every port */
    int policy;        /* 1 account, 0 ignore */
    struct rule6 *next;
};

struct db_params {
    char host[DB_FIELD_SIZE];
    char db[DB_FIELD_SIZE];
    char table[DB_FIELD_SIZE];
    char login[DB_FIELD_SIZE];
    char password[DB_FIELD_SIZE];
    unsigned int port; /* from "host:port"; 0 is the client library's default */
};

/* Counts the address table turned away in the running cycle for want of
 * room; the main thread adds to them and reports them at the cycle end. */
struct refusals {
    uint64_t addresses; /* new addresses, once per packet */
    uint64_t packets;
    uint64_t bytes;     /* per address a packet was not counted for */
    int reason;         /* errno of the last refusal */
};

struct device {
    pcap_t *handle; /* null until the capture thread opened the interface */
    pthread_t thread;
    char name[DEVICE_NAME_SIZE];
    struct device *next;
};

struct cat {
    char name[CAT_NAME_SIZE];
    struct rule *primary;   /* own side, file order */
    struct rule *secondary; /* peers, file order */
    struct iptable *table;  /* counters of the running cycle */
    int time_divider;
    int byte_divider;
    struct cat *next;
    int dump_type;          /* enum dump_types */
    struct db_params *db;   /* MySQL and PgSQL only */
    char *file;             /* FILE_PATH_SIZE buffer; TextFile and BinFile only */
    struct rule6 *primary6;   /* IPv6 own side, file order */
    struct rule6 *secondary6; /* IPv6 peers, file order */
    struct iptable6 *table6;  /* IPv6 counters of the running cycle; only with primary6 */
    struct dump_count *dumps; /* running dumps, shared with the copies; dump/dump.h */
    struct refusals refused; /* in the running cycle */
};

struct settings {
    int period;      /* seconds */
    int device_count;
    int buffer_size; /* packet queue slots */
    struct device *devices; /* reverse file order */
    struct cat *cats;       /* file order */
    int table_limit;        /* MiB per category table; 0 no bound */
    int table_limit_set;    /* the file names it, so the status report shows it */
    int vlan;               /* 1: Ethernet frames may carry up to two VLAN tags */
    int capture_buffer;     /* MiB of kernel capture buffer per device */
    int vlan_set;           /* the file set vlan; the status report shows it only then */
    int capture_buffer_set; /* likewise for capturebuffer */
    /* Empty and 0 until the file sets them; the spool uses its defaults then. */
    char spool_dir[FILE_PATH_SIZE];
    int spool_limit_mib;
};

/* Name of a dump type 0..6; "--Error: Bad Option--" for anything else. */
const char *dump_type_name(int number);

/* Defaults, then the file. Fatal errors end the process with status 1. */
struct settings *config_load(struct settings *config, const char *path);
int config_read_config_file(struct settings *config, const char *path);

char *config_next_token(char **cursor);

/* How a dotted quad was read, and what in it differs from a plain one. */
struct ipv4_reading {
    uint32_t value;
    int runs;        /* runs of digits read, 0 to 4 */
    int too_long;    /* a run has more than three digits */
    int octet_over;  /* a run above 255 carried into the one before */
    const char *end; /* first character not read */
};
/* A dotted quad read as the reader always has (see config.cpp). */
void config_read_ipv4(const char *text, struct ipv4_reading *out);
/* Its value alone; *too_long (may be null) as in struct ipv4_reading. */
uint32_t config_parse_ipv4(const char *text, int *too_long);

#endif
