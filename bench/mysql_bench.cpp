/*
 * Rows per second of the MySQL back-end: a full table of 65,536 addresses
 * dumped into a local server, once into an empty table (every row new) and
 * once into a table that already holds every row (every row added to).
 * Each runs against the documented table, whose key on (ip, timetag) lets
 * the rows go as upserts (/key), and against one with only an index there
 * (/nokey), where every row is an UPDATE and, when that found nothing, an
 * INSERT. The dump of one cycle must end before the next cycle ends, so
 * these figures bound the shortest usable period.
 *
 * Needs the server named by NORVO_TEST_MYSQL_HOST, _DB, _TABLE,
 * _NOKEY_TABLE, _USER, _PASSWORD, _CHECK_USER, _CHECK_PASSWORD;
 * bench/mysql_bench.sh starts a private one and sets them. Without them the
 * benchmarks are skipped.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>

#include <benchmark/benchmark.h>
#include <mysql.h>

#include "accounting/iptable.h"
#include "config/config.h"
#include "dump/backend.h"
#include "core/state.h"
#include "dump/dump.h"


namespace {

const int bench_addresses = 65536; /* 198.18.0.0/16, every address */

const char *env_or(const char *name, const char *fallback)
{
    const char *value = getenv(name);
    return value != nullptr ? value : fallback;
}

struct bench_server {
    struct db_params params;
    MYSQL *check; /* clears the table between dumps */
};

/* Spooled rows would be a failure here; keep them out of the system's
 * spool all the same. */
struct settings bench_settings;

/* 0 when the server is named and answers; otherwise the reason in `why`.
 * `nokey` picks the table without a unique key. */
int bench_server_open(struct bench_server *server, int nokey, std::string *why)
{
    memset(server, 0, sizeof *server);
    const char *host = getenv("NORVO_TEST_MYSQL_HOST");
    if (host == nullptr) {
        *why = "NORVO_TEST_MYSQL_HOST is not set; bench/mysql_bench.sh starts a private server";
        return 1;
    }
    snprintf(server->params.host, sizeof server->params.host, "%s", host);
    snprintf(server->params.db, sizeof server->params.db, "%s",
             env_or("NORVO_TEST_MYSQL_DB", "norvo"));
    snprintf(server->params.table, sizeof server->params.table, "%s",
             nokey ? env_or("NORVO_TEST_MYSQL_NOKEY_TABLE", "nokey")
                   : env_or("NORVO_TEST_MYSQL_TABLE", "traffic"));
    snprintf(bench_settings.spool_dir, sizeof bench_settings.spool_dir, "%s",
             "/tmp/norvo-bench-spool");
    config = &bench_settings;
    snprintf(server->params.login, sizeof server->params.login, "%s",
             env_or("NORVO_TEST_MYSQL_USER", "norvo"));
    snprintf(server->params.password, sizeof server->params.password, "%s",
             env_or("NORVO_TEST_MYSQL_PASSWORD", ""));
    if (dump_library_init() != 0) {
        *why = "dump_library_init failed";
        return 1;
    }
    server->check = mysql_init(nullptr);
    if (server->check == nullptr ||
        mysql_real_connect(server->check, host, env_or("NORVO_TEST_MYSQL_CHECK_USER", "root"),
                           env_or("NORVO_TEST_MYSQL_CHECK_PASSWORD", ""), server->params.db, 0,
                           nullptr, 0) == nullptr) {
        *why = std::string(host) + ": " +
               (server->check != nullptr ? mysql_error(server->check) : "out of memory");
        if (server->check != nullptr)
            mysql_close(server->check);
        return 1;
    }
    return 0;
}

int bench_clear_table(struct bench_server *server, std::string *why)
{
    std::string sql = std::string("delete from ") + server->params.table;
    if (mysql_query(server->check, sql.c_str()) != 0) {
        *why = sql + ": " + mysql_error(server->check);
        return 1;
    }
    return 0;
}

/* A category holding a full cycle's table; every row passes the filter.
 * The time divider keeps the tag constant, so a second dump updates. */
void bench_cat_fill(struct cat *category, struct db_params *params)
{
    memset(category, 0, sizeof *category);
    snprintf(category->name, sizeof category->name, "%s", "bench");
    category->dump_type = DUMP_MYSQL;
    category->db = params;
    category->time_divider = INT32_MAX;
    category->byte_divider = 1;
    category->table = iptable_new();
    for (uint32_t i = 0; i < (uint32_t)bench_addresses; i++) {
        uint32_t ip = (198u << 24 | 18u << 16) + i;
        struct ip_entry entry = {ip, 1500u + i, 40u + i};
        if (!iptable_insert(category->table, ip, &entry))
            abort();
    }
}

/* One dump, timed alone; 0 on success. */
int bench_dump(struct bench_server *server, benchmark::State &state, int timed)
{
    struct cat category;
    bench_cat_fill(&category, &server->params);
    auto start = std::chrono::steady_clock::now();
    int rc = dump_mysql(&category);
    auto end = std::chrono::steady_clock::now();
    if (timed)
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    iptable_destroy(category.table);
    return rc;
}

void BM_MysqlFirstDump(benchmark::State &state)
{
    struct bench_server server;
    std::string why;
    if (bench_server_open(&server, (int)state.range(0), &why) != 0) {
        state.SkipWithError(why.c_str());
        return;
    }
    for (auto _ : state) {
        if (bench_clear_table(&server, &why) != 0) {
            state.SkipWithError(why.c_str());
            break;
        }
        if (bench_dump(&server, state, 1) != 0) {
            state.SkipWithError("dump_mysql returned 1");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * bench_addresses);
    mysql_close(server.check);
}
BENCHMARK(BM_MysqlFirstDump)->ArgName("nokey")->Arg(0)->Arg(1)->UseManualTime()
    ->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_MysqlAddingDump(benchmark::State &state)
{
    struct bench_server server;
    std::string why;
    if (bench_server_open(&server, (int)state.range(0), &why) != 0) {
        state.SkipWithError(why.c_str());
        return;
    }
    if (bench_clear_table(&server, &why) != 0 || bench_dump(&server, state, 0) != 0) {
        state.SkipWithError(why.empty() ? "first dump_mysql returned 1" : why.c_str());
        mysql_close(server.check);
        return;
    }
    for (auto _ : state) {
        if (bench_dump(&server, state, 1) != 0) {
            state.SkipWithError("dump_mysql returned 1");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * bench_addresses);
    mysql_close(server.check);
}
BENCHMARK(BM_MysqlAddingDump)->ArgName("nokey")->Arg(0)->Arg(1)->UseManualTime()
    ->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
