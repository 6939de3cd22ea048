/*
 * MySQL back-end: adds the scaled counters of a finished cycle to a table
 * whose rows are keyed by address and time tag, so that every dump within
 * one time tag adds to the same row.
 *
 * Lifecycle: one connection per dump, opened and closed here on the dump
 * thread that owns the category copy. The table walked belongs to that
 * thread; the connection parameters in `db` are shared with the live
 * category and only read. The client library is set up once, at start-up,
 * by dump_library_init, before any thread exists.
 */
#include <errno.h>
#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <time.h>

#include <errmsg.h>
#include <mysql.h>
#include <mysqld_error.h>

#include "core/addr.h"
#include "core/state.h"
#include "dump/backend.h"
#include "dump/dump.h"

#define DUMP_MYSQL_QUERY_SIZE 1024 /* bytes, statement buffer */
/* Update-then-insert rounds per row. Another round is needed only when a
 * concurrent dump of the same rows got in the way (see
 * dump_mysql_store_row); the bound keeps a row from looping forever. */
#define DUMP_MYSQL_ROW_ROUNDS 5

/* A server that accepts but never answers must not keep a dump thread, and
 * with it a stopping daemon, alive for ever. */
#define DUMP_MYSQL_CONNECT_TIMEOUT_S 10 /* s, connection and handshake */
#define DUMP_MYSQL_IO_TIMEOUT_S 60      /* s, one statement's read or write */

#define DUMP_MYSQL_ERROR_FORMAT "Error connecting to Mysql-Database in category %s:\n%d, %s\n"

int dump_library_init(void)
{
    int rc = mysql_library_init(0, NULL, NULL);
    if (rc != 0) {
        fprintf(stderr, "Norvo: MySQL client library could not be initialised: "
                        "mysql_library_init returned %d\n", rc);
        log_msg(LOG_ERR, "MySQL client library could not be initialised: "
                         "mysql_library_init returned %d", rc);
        return 1;
    }
    return 0;
}

/* Database errors go to standard error as well as to the system log: an
 * administrator starting the daemon by hand sees them at once. */
static void dump_mysql_report(const char *category, unsigned int number, const char *text)
{
    fprintf(stderr, DUMP_MYSQL_ERROR_FORMAT, category, (int)number, text);
    log_msg(LOG_ERR, DUMP_MYSQL_ERROR_FORMAT, category, (int)number, text);
}

/* A statement cut by the buffer would still be valid SQL in the worst case
 * (a shorter counter), so it must never be sent: 1 when it did not fit. */
static int dump_mysql_build(char *query, const char *category, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

static int dump_mysql_build(char *query, const char *category, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int length = vsnprintf(query, DUMP_MYSQL_QUERY_SIZE, format, args);
    va_end(args);
    if (length < 0 || length >= DUMP_MYSQL_QUERY_SIZE) {
        log_both(LOG_ERR, "Error while dumping category %s: statement does not fit in "
                          "%d bytes, row skipped: %s", category, DUMP_MYSQL_QUERY_SIZE, query);
        return 1;
    }
    return 0;
}

/*
 * Adds one scaled entry to its row, creating the row when the update found
 * none. Dumps of several categories may write the same table, address and
 * time tag at once, and then both updates can find no row: the later insert
 * hits the primary key (ER_DUP_ENTRY) and the next round adds to the row the
 * other dump created. The server may also pick one of two such statements as
 * a deadlock victim (ER_LOCK_DEADLOCK); it has been rolled back, so running
 * the round again cannot count twice. Other failures are reported and lose
 * only this row.
 */
static void dump_mysql_store_row(MYSQL *conn, const struct cat *old_cat, const char *table,
                                 const char *ip, unsigned long long input,
                                 unsigned long long output, int64_t tag, char *query)
{
    for (int round = 1; round <= DUMP_MYSQL_ROW_ROUNDS; round++) {
        int last = round == DUMP_MYSQL_ROW_ROUNDS;
        if (dump_mysql_build(query, old_cat->name,
                             "update `%s` set input=input+%llu,output=output+%llu "
                             "where ip=%s and timetag=%lld",
                             table, input, output, ip, (long long)tag) != 0)
            return;
        debug_printf("Query: %s\n", query);
        int failed = mysql_query(conn, query);
        int retry = failed && !last && mysql_errno(conn) == ER_LOCK_DEADLOCK;
        if (failed && !retry)
            dump_mysql_report(old_cat->name, mysql_errno(conn), mysql_error(conn));
        /* After a failed statement the count is all bits set, so no insert
         * follows a failed update. */
        my_ulonglong affected = mysql_affected_rows(conn);
        debug_printf("Error: %s, Affected Rows: %d\n", mysql_error(conn), (int)affected);
        if (retry)
            continue;
        if (affected != 0)
            return;

        if (dump_mysql_build(query, old_cat->name,
                             "insert into `%s` (ip,timetag,input,output) "
                             "values (%s,%lld,%llu,%llu)",
                             table, ip, (long long)tag, input, output) != 0)
            return;
        debug_printf("First entry: using query:  %s\n", query);
        failed = mysql_query(conn, query);
        debug_printf("%s\n", mysql_error(conn));
        if (!failed)
            return;
        unsigned int number = mysql_errno(conn);
        if (!last && (number == ER_DUP_ENTRY || number == ER_LOCK_DEADLOCK))
            continue;
        dump_mysql_report(old_cat->name, number, mysql_error(conn));
        return;
    }
}

int dump_mysql(struct cat *old_cat)
{
    debug_printf("Dumping cat %s using mysql\n", old_cat->name);
    const struct db_params *db = old_cat->db;
    if (db == NULL) {
        log_both(LOG_ERR, "Error while dumping category %s: no database parameters",
                 old_cat->name);
        return 1;
    }

    struct dump_walk walk;
    dump_walk_start(&walk, old_cat);
    int64_t tag = dump_time_tag(old_cat, time(NULL));
    char query[DUMP_MYSQL_QUERY_SIZE];
    memset(query, 0, sizeof query);

    /* The library keeps per-thread state; every dump runs on a fresh thread. */
    if (mysql_thread_init() != 0) {
        log_both(LOG_ERR, "Error while dumping category %s: mysql_thread_init failed",
                 old_cat->name);
        return 1;
    }

    debug_printf("%s\n", "Initializing Mysql");
    MYSQL *conn = mysql_init(NULL);
    if (conn == NULL) {
        dump_mysql_report(old_cat->name, CR_OUT_OF_MEMORY, strerror(ENOMEM));
        mysql_thread_end();
        return 1;
    }
    unsigned int connect_timeout = DUMP_MYSQL_CONNECT_TIMEOUT_S;
    unsigned int io_timeout = DUMP_MYSQL_IO_TIMEOUT_S;
    mysql_options(conn, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
    mysql_options(conn, MYSQL_OPT_READ_TIMEOUT, &io_timeout);
    mysql_options(conn, MYSQL_OPT_WRITE_TIMEOUT, &io_timeout);

    debug_printf("Connecting to host %s, db %s, table %s using login %s, password %s\n",
                 db->host, db->db, db->table, db->login, db->password);
    MYSQL *connected = mysql_real_connect(conn, db->host, db->login, db->password, db->db,
                                          0, NULL, 0);
    if (connected == NULL || mysql_errno(conn) != 0 || mysql_select_db(conn, db->db) != 0) {
        /* The cycle's counts are lost; the caller still destroys the table. */
        dump_mysql_report(old_cat->name, mysql_errno(conn), mysql_error(conn));
        mysql_close(conn);
        mysql_thread_end();
        return 1;
    }

    debug_printf("%s\n", "Starting dump of each line");
    int passes = 0;
    struct ip_entry *entry;
    /* A plain identifier, checked by the reader, so the backquotes hold. */
    const char *table = old_cat->db->table;
    while ((entry = dump_walk_next(&walk, &passes)) != NULL) {
        if (!passes)
            continue;
        struct addr_octets ip = addr_split(entry->ip);
        debug_printf("Dumping ip %u.%u.%u.%u\n", ip.a, ip.b, ip.c, ip.d);
        char text[20];
        snprintf(text, sizeof text, "\"%u.%u.%u.%u\"", ip.a, ip.b, ip.c, ip.d);
        dump_mysql_store_row(conn, old_cat, table, text, entry->input, entry->output, tag, query);
    }
    /* IPv6 rows go to the table named with "6" appended, the address as
     * its 16 bytes (VARBINARY(16)). */
    char table6[DB_FIELD_SIZE + 2];
    snprintf(table6, sizeof table6, "%s6", table);
    struct dump_walk6 walk6;
    dump_walk6_start(&walk6, old_cat);
    struct ip6_entry *entry6;
    while ((entry6 = dump_walk6_next(&walk6, &passes)) != NULL) {
        if (!passes)
            continue;
        char text[ADDR6_TEXT_SIZE];
        debug_printf("Dumping ip %s\n", addr6_format(entry6->ip, text));
        char literal[40];
        snprintf(literal, sizeof literal, "X'%016" PRIx64 "%016" PRIx64 "'", entry6->ip.hi,
                 entry6->ip.lo);
        dump_mysql_store_row(conn, old_cat, table6, literal, entry6->input, entry6->output, tag,
                             query);
    }

    debug_printf("%s\n", "Done Dumping");
    mysql_close(conn);
    mysql_thread_end();
    return 0;
}
