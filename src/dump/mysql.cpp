/*
 * MySQL back-end: adds the scaled counters of a finished cycle to a table
 * whose rows are keyed by address and time tag, so that every dump within
 * one time tag adds to the same row.
 *
 * A dump is a batch: its rows, its time tag and an id (dump/spool.h). Each
 * batch is stored in one transaction that also records its id in
 * norvo_batches; a batch whose id is already there was committed before
 * (the connection died after COMMIT, before the answer came) and is skipped.
 * A batch that cannot be stored is rolled back and kept in the category's
 * spool; every later dump first stores the spooled batches, oldest first,
 * then its own. So each count reaches the table once, whatever fails when.
 *
 * With a primary or unique key on exactly (ip, timetag) the rows go as
 * multi-row INSERT ... ON DUPLICATE KEY UPDATE statements. Without one, each
 * row gets an UPDATE and, when that found no row, an INSERT; the UPDATE is
 * one prepared statement the server runs for thousands of rows per round
 * trip, and the INSERTs go as one statement.
 *
 * The table name is a plain identifier (the reader checks it at start-up),
 * so backquotes are all it needs in a statement.
 *
 * IPv6 rows are a batch of their own, stored in the same way into the table
 * named with "6" appended (ip VARBINARY(16)), which must have the key: the
 * UPDATE-then-INSERT path is for tables of IPv4 rows made before the key
 * was asked for.
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
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>

#include <atomic>
#include <initializer_list>

#include <errmsg.h>
#include <mysql.h>
#include <mysqld_error.h>

#include "core/addr.h"
#include "core/state.h"
#include "dump/backend.h"
#include "dump/dump.h"
#include "dump/spool.h"

/* A deadlock victim (or, on a Galera cluster, a commit that lost
 * certification) has been rolled back whole, so storing the batch again
 * cannot count twice; the bound keeps a batch from looping forever. */
#define DUMP_MYSQL_BATCH_ROUNDS 5

/* Statements stay well under the server's max_allowed_packet: a quarter of
 * it, at most 1 MiB (larger ones are no faster), at least 16 KiB. */
#define DUMP_MYSQL_STATEMENT_MAX (1u << 20)   /* bytes */
#define DUMP_MYSQL_STATEMENT_MIN (16u << 10)  /* bytes */
#define DUMP_MYSQL_ROW_TEXT_MAX 128           /* bytes, one row's text at most */
/* Rows per bulk UPDATE when the table has no key for upserts; the SELECT
 * and INSERT that follow it stay within the statement size too. */
#define DUMP_MYSQL_BULK_ROWS 4096

/* Ids of stored batches are kept this long; a batch spooled after its
 * commit's answer was lost must be replayed within it. */
#define DUMP_MYSQL_BATCH_KEEP_DAYS 30
#define DUMP_MYSQL_BATCH_CLEANUP_ROWS 10000 /* ids removed per dump at most */

/* A server that accepts but never answers must not keep a dump thread, and
 * with it a stopping daemon, alive for ever. */
#define DUMP_MYSQL_CONNECT_TIMEOUT_S 10 /* s, connection and handshake */
#define DUMP_MYSQL_IO_TIMEOUT_S 60      /* s, one statement's read or write */

#define DUMP_MYSQL_ERROR_FORMAT "Error connecting to Mysql-Database in category %s:\n%d, %s\n"

#define DUMP_MYSQL_BATCH_TABLE "norvo_batches"
#define DUMP_MYSQL_BATCH_TABLE_SQL                                                          \
    "CREATE TABLE IF NOT EXISTS " DUMP_MYSQL_BATCH_TABLE " (id VARCHAR(128) NOT NULL PRIMARY " \
    "KEY, stored_at TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP, KEY (stored_at))"

static dump_mysql_hook_fn dump_mysql_hook = nullptr;
static void *dump_mysql_hook_arg = nullptr;

/* Said once per process: the daemon's account may not create the table of
 * batch ids, or may not remove old ids. */
static std::atomic<int> dump_mysql_told_no_batches{0};
static std::atomic<int> dump_mysql_told_no_cleanup{0};

void dump_mysql_set_hook(dump_mysql_hook_fn hook, void *arg)
{
    dump_mysql_hook = hook;
    dump_mysql_hook_arg = arg;
}

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

/* ---- statement text ------------------------------------------------------- */

struct dump_mysql_text {
    char *data;
    size_t length;
    size_t capacity;
};

static int dump_mysql_append(struct dump_mysql_text *text, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

/* 0, or 1 when memory ran out (the text is unchanged then). */
static int dump_mysql_append(struct dump_mysql_text *text, const char *format, ...)
{
    for (;;) {
        size_t room = text->capacity - text->length;
        va_list args;
        va_start(args, format);
        int n = vsnprintf(text->data ? text->data + text->length : nullptr, room, format, args);
        va_end(args);
        if (n < 0)
            return 1;
        if ((size_t)n < room) {
            text->length += (size_t)n;
            return 0;
        }
        size_t capacity = text->capacity ? text->capacity : 4096;
        while (capacity - text->length <= (size_t)n)
            capacity *= 2;
        char *data = (char *)realloc(text->data, capacity);
        if (data == nullptr)
            return 1;
        text->data = data;
        text->capacity = capacity;
        if (text->length == 0)
            text->data[0] = '\0';
    }
}

/* ---- one connection --------------------------------------------------------- */

struct dump_mysql_session {
    MYSQL *conn;
    const struct cat *old_cat;
    int upsert;           /* the table has a key on exactly (ip, timetag) */
    int upsert6;          /* so has the IPv6 table (TABLE6) */
    int batch_ids;        /* norvo_batches can be written */
    size_t statement_max; /* bytes */
    int deadlock;         /* the last statement was a deadlock victim */
    unsigned int error;   /* the first failure of the dump, for its report */
    char error_text[MYSQL_ERRMSG_SIZE];
    struct dump_mysql_text sql;
};

/* Keeps the first failure: the rollback after it must not replace it. */
static void dump_mysql_fail(struct dump_mysql_session *s, unsigned int number, const char *text)
{
    if (s->error != 0)
        return;
    s->error = number ? number : CR_UNKNOWN_ERROR;
    snprintf(s->error_text, sizeof s->error_text, "%s", text);
}

static void dump_mysql_fail_conn(struct dump_mysql_session *s)
{
    dump_mysql_fail(s, mysql_errno(s->conn), mysql_error(s->conn));
}

static int dump_mysql_query(struct dump_mysql_session *s, const char *sql, size_t length)
{
    debug_printf("Query: %.*s\n", (int)length, sql);
    if (mysql_real_query(s->conn, sql, (unsigned long)length) != 0)
        return 1;
    return 0;
}

static void dump_mysql_hook_call(struct dump_mysql_session *s, const char *point)
{
    if (dump_mysql_hook != nullptr)
        dump_mysql_hook(point, s->conn, dump_mysql_hook_arg);
}

/*
 * What the table offers, in one round trip: the packet limit, whether a
 * primary or unique key covers exactly ip and timetag (whole columns, not
 * prefixes, or it would not make them unique), and whether the
 * table of batch ids is there. Creates that table when it is missing; an
 * account that may not gets told once what to run, and its batches are
 * stored without ids. 0, or 1 when the server failed.
 */
static int dump_mysql_inspect(struct dump_mysql_session *s)
{
    const struct db_params *db = s->old_cat->db;
    char table[2 * DB_FIELD_SIZE + 1];
    mysql_real_escape_string(s->conn, table, db->table, (unsigned long)strlen(db->table));
    s->sql.length = 0;
    if (dump_mysql_append(&s->sql,
                          "SELECT @@max_allowed_packet, EXISTS(SELECT 1 FROM "
                          "information_schema.statistics WHERE table_schema=DATABASE() AND "
                          "table_name='%s' AND non_unique=0 GROUP BY index_name HAVING COUNT(*)=2 "
                          "AND SUM(column_name IN ('ip','timetag') AND sub_part IS NULL)=2), "
                          "EXISTS(SELECT 1 FROM "
                          "information_schema.tables WHERE table_schema=DATABASE() AND "
                          "table_name='" DUMP_MYSQL_BATCH_TABLE "'), "
                          "EXISTS(SELECT 1 FROM "
                          "information_schema.statistics WHERE table_schema=DATABASE() AND "
                          "table_name='%s6' AND non_unique=0 GROUP BY index_name HAVING COUNT(*)=2 "
                          "AND SUM(column_name IN ('ip','timetag') AND sub_part IS NULL)=2)",
                          table, table) != 0) {
        dump_mysql_fail(s, CR_OUT_OF_MEMORY, strerror(ENOMEM));
        return 1;
    }
    if (dump_mysql_query(s, s->sql.data, s->sql.length) != 0) {
        dump_mysql_fail_conn(s);
        return 1;
    }
    MYSQL_RES *result = mysql_store_result(s->conn);
    MYSQL_ROW row = result ? mysql_fetch_row(result) : nullptr;
    if (row == nullptr || row[0] == nullptr || row[1] == nullptr || row[2] == nullptr ||
        row[3] == nullptr) {
        dump_mysql_fail_conn(s);
        if (result)
            mysql_free_result(result);
        return 1;
    }
    unsigned long long packet = strtoull(row[0], nullptr, 10);
    s->upsert = atoi(row[1]) != 0;
    s->batch_ids = atoi(row[2]) != 0;
    s->upsert6 = atoi(row[3]) != 0;
    mysql_free_result(result);
    s->statement_max = packet / 4 < DUMP_MYSQL_STATEMENT_MAX ? (size_t)(packet / 4)
                                                             : DUMP_MYSQL_STATEMENT_MAX;
    if (s->statement_max < DUMP_MYSQL_STATEMENT_MIN)
        s->statement_max = DUMP_MYSQL_STATEMENT_MIN;
    debug_printf("Table %s: %s, batch ids %s, statements up to %zu bytes\n", db->table,
                 s->upsert ? "key on (ip, timetag)" : "no key on (ip, timetag)",
                 s->batch_ids ? "recorded" : "missing", s->statement_max);

    if (s->batch_ids)
        return 0;
    if (dump_mysql_query(s, DUMP_MYSQL_BATCH_TABLE_SQL, strlen(DUMP_MYSQL_BATCH_TABLE_SQL)) == 0) {
        s->batch_ids = 1;
        return 0;
    }
    unsigned int number = mysql_errno(s->conn);
    if (number == CR_SERVER_LOST || number == CR_SERVER_GONE_ERROR) {
        dump_mysql_fail_conn(s);
        return 1;
    }
    if (dump_mysql_told_no_batches.exchange(1) == 0)
        log_msg(LOG_ERR,
                "Category %s: table " DUMP_MYSQL_BATCH_TABLE " is missing in database %s on "
                "host %s and user %s may not create it (%u, %s); until it exists a batch whose "
                "commit was not acknowledged may be stored twice. Run as administrator: "
                "USE %s; " DUMP_MYSQL_BATCH_TABLE_SQL "; GRANT SELECT, INSERT, DELETE ON "
                "%s." DUMP_MYSQL_BATCH_TABLE " TO '%s'@'%%';",
                s->old_cat->name, db->db, db->host, db->login, number, mysql_error(s->conn),
                db->db, db->db, db->login);
    return 0;
}

struct dump_mysql_keyed_row {
    char ip[40]; /* the SQL literal: "dotted" as the key holds it, or X'32 hex digits' */
    const struct spool_row *row;
};

/* The table a batch goes to: TABLE, or TABLE6 for IPv6 rows. */
static void dump_mysql_table(const struct dump_mysql_session *s, const struct spool_batch *batch,
                             char *out, size_t size)
{
    snprintf(out, size, "%s%s", s->old_cat->db->table, batch->family == SPOOL_IPV6 ? "6" : "");
}

static int dump_mysql_keyed_compare(const void *a, const void *b)
{
    return strcmp(((const struct dump_mysql_keyed_row *)a)->ip,
                  ((const struct dump_mysql_keyed_row *)b)->ip);
}

/* Rows as multi-row upserts; 0, or 1 when a statement failed. They go in
 * the key's order, which for dotted text is not the numeric one: the table
 * then grows at its end instead of splitting pages all over. */
static int dump_mysql_upsert(struct dump_mysql_session *s, const struct spool_batch *batch)
{
    char table[DB_FIELD_SIZE + 2];
    dump_mysql_table(s, batch, table, sizeof table);
    struct dump_mysql_keyed_row *keyed =
        (struct dump_mysql_keyed_row *)malloc((batch->count ? batch->count : 1) * sizeof *keyed);
    if (keyed == nullptr)
        goto nomem;
    for (size_t i = 0; i < batch->count; i++) {
        if (batch->family == SPOOL_IPV6) {
            /* fixed-width hex: its text order is the numeric one */
            snprintf(keyed[i].ip, sizeof keyed[i].ip, "X'%016" PRIx64 "%016" PRIx64 "'",
                     batch->rows[i].ip6.hi, batch->rows[i].ip6.lo);
        } else {
            struct addr_octets ip = addr_split(batch->rows[i].ip);
            snprintf(keyed[i].ip, sizeof keyed[i].ip, "\"%u.%u.%u.%u\"", ip.a, ip.b, ip.c, ip.d);
        }
        keyed[i].row = &batch->rows[i];
    }
    qsort(keyed, batch->count, sizeof *keyed, dump_mysql_keyed_compare);
    for (size_t next = 0; next < batch->count;) {
        s->sql.length = 0;
        if (dump_mysql_append(&s->sql, "INSERT INTO `%s` (ip,timetag,input,output) VALUES ",
                              table) != 0)
            goto nomem;
        for (size_t in_statement = 0; next < batch->count; next++, in_statement++) {
            if (in_statement > 0 && s->sql.length + DUMP_MYSQL_ROW_TEXT_MAX > s->statement_max)
                break;
            const struct spool_row *r = keyed[next].row;
            if (dump_mysql_append(&s->sql, "%s(%s,%" PRId64 ",%" PRIu64 ",%" PRIu64 ")",
                                  in_statement ? "," : "", keyed[next].ip, batch->tag, r->input,
                                  r->output) != 0)
                goto nomem;
        }
        if (dump_mysql_append(&s->sql, " ON DUPLICATE KEY UPDATE input=input+VALUES(input),"
                                       "output=output+VALUES(output)") != 0)
            goto nomem;
        if (dump_mysql_query(s, s->sql.data, s->sql.length) != 0) {
            free(keyed);
            return 1;
        }
        dump_mysql_hook_call(s, "rows");
    }
    free(keyed);
    return 0;
nomem:
    free(keyed);
    dump_mysql_fail(s, CR_OUT_OF_MEMORY, strerror(ENOMEM));
    return 1;
}

/* The index of `ip` among the ascending rows [first, end), or end. */
static size_t dump_mysql_find(const struct spool_batch *batch, size_t first, size_t end,
                              uint32_t ip)
{
    size_t low = first, high = end;
    while (low < high) {
        size_t mid = low + (high - low) / 2;
        if (batch->rows[mid].ip < ip)
            low = mid + 1;
        else
            high = mid;
    }
    return low < end && batch->rows[low].ip == ip ? low : end;
}

struct dump_mysql_bulk {
    MYSQL_STMT *stmt;
    uint64_t *input, *output;
    int64_t *tag;
    char (*ip)[16];
    char **ip_text;
    unsigned long *ip_length;
    unsigned char *found;
};

static void dump_mysql_bulk_free(struct dump_mysql_bulk *bulk)
{
    if (bulk->stmt != nullptr)
        mysql_stmt_close(bulk->stmt);
    free(bulk->input);
    free(bulk->output);
    free(bulk->tag);
    free(bulk->ip);
    free(bulk->ip_text);
    free(bulk->ip_length);
    free(bulk->found);
}

/* MariaDB 10.2 and later run one prepared statement for many rows. */
static int dump_mysql_bulk_supported(MYSQL *conn)
{
    unsigned long capabilities = 0, extended = 0;
    if (mariadb_get_infov(conn, MARIADB_CONNECTION_SERVER_CAPABILITIES, &capabilities) != 0 ||
        mariadb_get_infov(conn, MARIADB_CONNECTION_EXTENDED_SERVER_CAPABILITIES, &extended) != 0)
        return 0;
    return !(capabilities & CLIENT_MYSQL) && (extended & (MARIADB_CLIENT_STMT_BULK_OPERATIONS >> 32));
}

/* A failed prepared statement: a deadlock is left to the caller's retry. */
static void dump_mysql_bulk_fail(struct dump_mysql_session *s, MYSQL_STMT *stmt)
{
    unsigned int number = mysql_stmt_errno(stmt);
    if (number == ER_LOCK_DEADLOCK)
        s->deadlock = 1;
    else
        dump_mysql_fail(s, number, mysql_stmt_error(stmt));
}

/*
 * Rows as UPDATE, then INSERT for those the UPDATE did not find; 0, or 1
 * when a statement failed. The UPDATE is one prepared statement that the
 * server runs for every row of a chunk in one round trip (bulk execution);
 * a locking SELECT then names the rows of the chunk that exist, which are
 * the ones the UPDATE found, and one INSERT adds the others. The locks the
 * UPDATE took on the missing rows' index gaps keep a concurrent dump from
 * inserting them before this one commits.
 */
static int dump_mysql_update_insert(struct dump_mysql_session *s, const struct spool_batch *batch)
{
    const char *table = s->old_cat->db->table;
    size_t chunk = s->statement_max / DUMP_MYSQL_ROW_TEXT_MAX;
    if (chunk > DUMP_MYSQL_BULK_ROWS)
        chunk = DUMP_MYSQL_BULK_ROWS;
    struct dump_mysql_bulk bulk = {};
    bulk.input = (uint64_t *)malloc(chunk * sizeof *bulk.input);
    bulk.output = (uint64_t *)malloc(chunk * sizeof *bulk.output);
    bulk.tag = (int64_t *)malloc(chunk * sizeof *bulk.tag);
    bulk.ip = (char(*)[16])malloc(chunk * sizeof *bulk.ip);
    bulk.ip_text = (char **)malloc(chunk * sizeof *bulk.ip_text);
    bulk.ip_length = (unsigned long *)malloc(chunk * sizeof *bulk.ip_length);
    bulk.found = (unsigned char *)malloc(chunk);
    if (!bulk.input || !bulk.output || !bulk.tag || !bulk.ip || !bulk.ip_text ||
        !bulk.ip_length || !bulk.found)
        goto nomem;
    s->sql.length = 0;
    if (dump_mysql_append(&s->sql, "UPDATE `%s` SET input=input+?,output=output+? WHERE ip=? "
                                   "AND timetag=?", table) != 0)
        goto nomem;
    debug_printf("Prepare: %s\n", s->sql.data);
    bulk.stmt = mysql_stmt_init(s->conn);
    if (bulk.stmt == nullptr)
        goto nomem;
    if (mysql_stmt_prepare(bulk.stmt, s->sql.data, (unsigned long)s->sql.length) != 0) {
        dump_mysql_bulk_fail(s, bulk.stmt);
        goto failed;
    }
    if (!dump_mysql_bulk_supported(s->conn)) {
        char text[200];
        snprintf(text, sizeof text, "the server cannot run one statement for many rows (MariaDB "
                 "10.2 and later can); give table %s a primary key on (ip, timetag)", table);
        dump_mysql_fail(s, CR_NOT_IMPLEMENTED, text);
        goto failed;
    }

    for (size_t first = 0; first < batch->count; first += chunk) {
        size_t end = first + chunk < batch->count ? first + chunk : batch->count;
        unsigned int rows = (unsigned int)(end - first);
        for (size_t i = first; i < end; i++) {
            size_t k = i - first;
            struct addr_octets ip = addr_split(batch->rows[i].ip);
            bulk.input[k] = batch->rows[i].input;
            bulk.output[k] = batch->rows[i].output;
            bulk.tag[k] = batch->tag;
            bulk.ip_length[k] = (unsigned long)snprintf(bulk.ip[k], sizeof bulk.ip[k],
                                                        "%u.%u.%u.%u", ip.a, ip.b, ip.c, ip.d);
            bulk.ip_text[k] = bulk.ip[k];
            bulk.found[k] = 0;
        }
        MYSQL_BIND bind[4];
        memset(bind, 0, sizeof bind);
        bind[0].buffer_type = MYSQL_TYPE_LONGLONG;
        bind[0].buffer = bulk.input;
        bind[0].is_unsigned = 1;
        bind[1].buffer_type = MYSQL_TYPE_LONGLONG;
        bind[1].buffer = bulk.output;
        bind[1].is_unsigned = 1;
        bind[2].buffer_type = MYSQL_TYPE_STRING;
        bind[2].buffer = bulk.ip_text;
        bind[2].length = bulk.ip_length;
        bind[3].buffer_type = MYSQL_TYPE_LONGLONG;
        bind[3].buffer = bulk.tag;
        debug_printf("Execute for %u rows from %s\n", rows, bulk.ip[0]);
        if (mysql_stmt_attr_set(bulk.stmt, STMT_ATTR_ARRAY_SIZE, &rows) != 0 ||
            mysql_stmt_bind_param(bulk.stmt, bind) != 0 || mysql_stmt_execute(bulk.stmt) != 0) {
            dump_mysql_bulk_fail(s, bulk.stmt);
            goto failed;
        }
        dump_mysql_hook_call(s, "rows");

        s->sql.length = 0;
        if (dump_mysql_append(&s->sql, "SELECT ip FROM `%s` WHERE timetag=%" PRId64 " AND ip IN (",
                              table, batch->tag) != 0)
            goto nomem;
        for (size_t k = 0; k < rows; k++) {
            if (dump_mysql_append(&s->sql, "%s\"%s\"", k ? "," : "", bulk.ip[k]) != 0)
                goto nomem;
        }
        if (dump_mysql_append(&s->sql, ") FOR UPDATE") != 0)
            goto nomem;
        if (dump_mysql_query(s, s->sql.data, s->sql.length) != 0)
            goto failed;
        MYSQL_RES *result = mysql_store_result(s->conn);
        if (result == nullptr)
            goto failed;
        size_t missing = rows;
        while (MYSQL_ROW row = mysql_fetch_row(result)) {
            size_t at = dump_mysql_find(batch, first, end, config_parse_ipv4(row[0], nullptr));
            if (at < end && !bulk.found[at - first]) {
                bulk.found[at - first] = 1;
                missing--;
            }
        }
        mysql_free_result(result);
        if (missing == 0)
            continue;

        s->sql.length = 0;
        if (dump_mysql_append(&s->sql, "INSERT INTO `%s` (ip,timetag,input,output) VALUES ",
                              table) != 0)
            goto nomem;
        for (size_t k = 0, written = 0; k < rows; k++) {
            if (bulk.found[k])
                continue;
            if (dump_mysql_append(&s->sql, "%s(\"%s\",%" PRId64 ",%" PRIu64 ",%" PRIu64 ")",
                                  written++ ? "," : "", bulk.ip[k], batch->tag, bulk.input[k],
                                  bulk.output[k]) != 0)
                goto nomem;
        }
        if (dump_mysql_query(s, s->sql.data, s->sql.length) != 0)
            goto failed;
        dump_mysql_hook_call(s, "rows");
    }
    dump_mysql_bulk_free(&bulk);
    return 0;
nomem:
    dump_mysql_fail(s, CR_OUT_OF_MEMORY, strerror(ENOMEM));
failed:
    dump_mysql_bulk_free(&bulk);
    return 1;
}

enum dump_mysql_outcome {
    DUMP_MYSQL_STORED,
    DUMP_MYSQL_ALREADY, /* its id was recorded: stored by an earlier try */
    DUMP_MYSQL_FAILED,
};

static int dump_mysql_retryable(unsigned int number)
{
    return number == ER_LOCK_DEADLOCK;
}

/* One try at a batch in one transaction. A failure is rolled back; its
 * number is returned in *number (0 for a success). */
static enum dump_mysql_outcome dump_mysql_try_batch(struct dump_mysql_session *s,
                                                    const struct spool_batch *batch,
                                                    unsigned int *number)
{
    *number = 0;
    s->deadlock = 0;
    if (dump_mysql_query(s, "START TRANSACTION", 17) != 0)
        goto failed;
    if (s->batch_ids) {
        char id[2 * SPOOL_ID_SIZE + 1];
        mysql_real_escape_string(s->conn, id, batch->id, (unsigned long)strlen(batch->id));
        s->sql.length = 0;
        if (dump_mysql_append(&s->sql, "INSERT INTO " DUMP_MYSQL_BATCH_TABLE " (id) VALUES ('%s')",
                              id) != 0) {
            dump_mysql_fail(s, CR_OUT_OF_MEMORY, strerror(ENOMEM));
            mysql_rollback(s->conn);
            return DUMP_MYSQL_FAILED;
        }
        if (dump_mysql_query(s, s->sql.data, s->sql.length) != 0) {
            if (mysql_errno(s->conn) == ER_DUP_ENTRY) {
                debug_printf("Batch %s was stored before\n", batch->id);
                mysql_rollback(s->conn);
                return DUMP_MYSQL_ALREADY;
            }
            goto failed;
        }
    }
    if (batch->family == SPOOL_IPV6 && !s->upsert6) {
        char text[200];
        snprintf(text, sizeof text, "table %s6 has no primary key on (ip, timetag); create it "
                 "as doc/norvo.sql does", s->old_cat->db->table);
        dump_mysql_fail(s, ER_NO_SUCH_TABLE, text);
        mysql_rollback(s->conn);
        return DUMP_MYSQL_FAILED;
    }
    if (batch->family == SPOOL_IPV6 || s->upsert) {
        if (dump_mysql_upsert(s, batch) != 0)
            goto failed;
    } else if (dump_mysql_update_insert(s, batch) != 0) {
        goto failed;
    }
    /* Sent and answered apart, so that a test can lose the answer. */
    debug_printf("Query: COMMIT\n");
    if (mysql_send_query(s->conn, "COMMIT", 6) != 0)
        goto failed;
    dump_mysql_hook_call(s, "commit");
    if (mysql_read_query_result(s->conn) != 0)
        goto failed;
    return DUMP_MYSQL_STORED;
failed:
    *number = s->deadlock ? ER_LOCK_DEADLOCK : mysql_errno(s->conn);
    if (!dump_mysql_retryable(*number))
        dump_mysql_fail_conn(s);
    mysql_rollback(s->conn);
    return DUMP_MYSQL_FAILED;
}

static enum dump_mysql_outcome dump_mysql_store_batch(struct dump_mysql_session *s,
                                                      const struct spool_batch *batch)
{
    debug_printf("Storing batch %s: %zu rows, time tag %" PRId64 "\n", batch->id, batch->count,
                 batch->tag);
    for (int round = 1;; round++) {
        unsigned int number;
        enum dump_mysql_outcome outcome = dump_mysql_try_batch(s, batch, &number);
        if (outcome != DUMP_MYSQL_FAILED || s->error != 0)
            return outcome;
        if (round == DUMP_MYSQL_BATCH_ROUNDS) {
            dump_mysql_fail(s, number, "deadlocked in every try");
            return DUMP_MYSQL_FAILED;
        }
        debug_printf("Batch %s: deadlock, trying again\n", batch->id);
    }
}

/* Ids old enough that no spooled batch can still need them. */
static void dump_mysql_cleanup(struct dump_mysql_session *s)
{
    char sql[256];
    snprintf(sql, sizeof sql,
             "DELETE FROM " DUMP_MYSQL_BATCH_TABLE " WHERE stored_at < NOW() - INTERVAL %d DAY "
             "LIMIT %d",
             DUMP_MYSQL_BATCH_KEEP_DAYS, DUMP_MYSQL_BATCH_CLEANUP_ROWS);
    if (dump_mysql_query(s, sql, strlen(sql)) == 0)
        return;
    if (dump_mysql_told_no_cleanup.exchange(1) == 0)
        log_msg(LOG_ERR, "Category %s: cannot remove batch ids older than %d days from %s."
                DUMP_MYSQL_BATCH_TABLE " on host %s: %u, %s; grant DELETE on it to %s",
                s->old_cat->name, DUMP_MYSQL_BATCH_KEEP_DAYS, s->old_cat->db->db,
                s->old_cat->db->host, mysql_errno(s->conn), mysql_error(s->conn),
                s->old_cat->db->login);
}

/* Connects and stores the batches of `pending` in order until one fails;
 * returns how many are done (stored now or before). */
static size_t dump_mysql_store_all(struct dump_mysql_session *s, const struct spool_list *pending)
{
    const struct db_params *db = s->old_cat->db;
    debug_printf("%s\n", "Initializing Mysql");
    s->conn = mysql_init(NULL);
    if (s->conn == NULL) {
        dump_mysql_fail(s, CR_OUT_OF_MEMORY, strerror(ENOMEM));
        return 0;
    }
    unsigned int connect_timeout = DUMP_MYSQL_CONNECT_TIMEOUT_S;
    unsigned int io_timeout = DUMP_MYSQL_IO_TIMEOUT_S;
    my_bool no = 0;
    mysql_options(s->conn, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
    mysql_options(s->conn, MYSQL_OPT_READ_TIMEOUT, &io_timeout);
    mysql_options(s->conn, MYSQL_OPT_WRITE_TIMEOUT, &io_timeout);
    /* A silent reconnect would drop the open transaction. */
    mysql_options(s->conn, MYSQL_OPT_RECONNECT, &no);

    /* "localhost" is the client library's default socket, a path another one. */
    const char *host = db->host;
    const char *socket = nullptr;
    if (host[0] == '/') {
        socket = host;
        host = "localhost";
    }
    debug_printf("Connecting to host %s, port %u, db %s, table %s using login %s, password %s\n",
                 db->host, db->port, db->db, db->table, db->login, db->password);
    if (mysql_real_connect(s->conn, host, db->login, db->password, db->db, db->port, socket,
                           0) == NULL ||
        mysql_errno(s->conn) != 0 || dump_mysql_inspect(s) != 0) {
        dump_mysql_fail_conn(s);
        return 0;
    }

    size_t done = 0;
    while (done < pending->count &&
           dump_mysql_store_batch(s, &pending->batches[done]) != DUMP_MYSQL_FAILED)
        done++;
    if (done == pending->count && s->batch_ids)
        dump_mysql_cleanup(s);
    return done;
}

/* The rows of this dump that pass the filter, IPv4 into `batch` and IPv6
 * into `batch6`; the walks run to their end in any case. 0, or 1 when
 * memory ran out. */
static int dump_mysql_collect(struct cat *old_cat, struct spool_batch *batch,
                              struct spool_batch *batch6)
{
    struct dump_walk walk;
    dump_walk_start(&walk, old_cat);
    int passes = 0, failed = 0;
    struct ip_entry *entry;
    while ((entry = dump_walk_next(&walk, &passes)) != NULL) {
        if (passes && !failed)
            failed = spool_batch_add(batch, entry->ip, entry->input, entry->output);
    }
    struct dump_walk6 walk6;
    dump_walk6_start(&walk6, old_cat);
    struct ip6_entry *entry6;
    while ((entry6 = dump_walk6_next(&walk6, &passes)) != NULL) {
        if (passes && !failed)
            failed = spool_batch_add6(batch6, entry6->ip, entry6->input, entry6->output);
    }
    return failed;
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

    /* IPv6 rows go to the other table: a batch, and an id, of their own. */
    struct spool_batch current, current6;
    int64_t tag = dump_time_tag(old_cat, time(NULL));
    int no_id = spool_batch_init(&current, old_cat->name, tag);
    no_id |= spool_batch_init(&current6, old_cat->name, tag);
    current6.family = SPOOL_IPV6;
    int no_memory = dump_mysql_collect(old_cat, &current, &current6);
    if (no_id || no_memory) {
        log_both(LOG_ERR, "Error while dumping category %s: %s; this cycle's counts are lost",
                 old_cat->name, no_id ? "no batch id" : "out of memory for its rows");
        spool_batch_free(&current);
        spool_batch_free(&current6);
        return 1;
    }

    const char *dir = spool_dir();
    struct spool_list pending = {};
    int spool_readable = spool_load(dir, old_cat->name, &pending) == 0;
    size_t spooled = pending.count;
    for (struct spool_batch *b : {&current, &current6}) {
        if (b->count > 0 && spool_list_push(&pending, b) != 0) {
            log_both(LOG_ERR, "Error while dumping category %s: out of memory; "
                              "this cycle's counts are lost", old_cat->name);
        }
        spool_batch_free(b);
    }
    if (pending.count == 0) {
        debug_printf("Nothing to store\nDone Dumping\n");
        spool_list_free(&pending);
        return 0;
    }

    /* The library keeps per-thread state; every dump runs on a fresh thread. */
    if (mysql_thread_init() != 0) {
        log_both(LOG_ERR, "Error while dumping category %s: mysql_thread_init failed",
                 old_cat->name);
        spool_list_free(&pending);
        return 1;
    }
    struct dump_mysql_session session = {};
    session.old_cat = old_cat;
    size_t done = dump_mysql_store_all(&session, &pending);
    if (session.conn != NULL)
        mysql_close(session.conn);
    free(session.sql.data);
    mysql_thread_end();
    if (done > 0)
        debug_printf("Stored %zu batches, %zu of them from the spool\n", done,
                     done < spooled ? done : spooled);

    if (session.error != 0)
        dump_mysql_report(old_cat->name, session.error, session.error_text);
    spool_list_drop_front(&pending, done);
    int failed = pending.count > 0;
    char host[DB_FIELD_SIZE + 8];
    snprintf(host, sizeof host, db->port ? "%s:%u" : "%s", db->host, db->port);
    if ((done > 0 || pending.count > spooled) && spool_readable) {
        size_t rows = spool_list_rows(&pending);
        size_t batches = pending.count;
        int saved = spool_save(dir, spool_limit_bytes(), old_cat->name, &pending) == 0;
        if (failed)
            log_msg(LOG_ERR, "Category %s: host %s, database %s, table %s: %zu rows in %zu "
                    "batches %s", old_cat->name, host, db->db, db->table, rows, batches,
                    saved ? "kept in the spool" : "could not be kept in the spool and are lost");
    } else if (failed) {
        log_msg(LOG_ERR, "Category %s: host %s, database %s, table %s: %zu rows in %zu batches "
                "%s", old_cat->name, host, db->db, db->table, spool_list_rows(&pending),
                pending.count,
                spool_readable ? "kept in the spool" : "lost: the spool file cannot be read");
    }
    spool_list_free(&pending);
    debug_printf("%s\n", "Done Dumping");
    return failed;
}
