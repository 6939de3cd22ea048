/*
 * The MySQL back-end against a real server. The tests need a server and two
 * accounts, named by environment variables; tests/system/test_mysql.py starts
 * a private server in a network namespace and runs this program inside it.
 * Without those variables every test is skipped.
 *
 *   NORVO_TEST_MYSQL_HOST, _DB, _TABLE, _USER, _PASSWORD   what the daemon uses
 *   NORVO_TEST_MYSQL_CHECK_USER, _CHECK_PASSWORD           clears and reads tables
 *   NORVO_TEST_MYSQL_DEAD_HOST                             nothing listens there
 *   NORVO_TEST_MYSQL_SOCKET          the server's Unix socket
 *   NORVO_TEST_MYSQL_NOKEY_TABLE     like _TABLE with an index, but no unique key,
 *                                    on (ip, timetag)
 *   NORVO_TEST_MYSQL_CAPPED_TABLE    like _TABLE, refuses rows with input >= 1000000
 *
 * Spool files go to a private temporary directory per test.
 */
#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <mysql.h>

#include "accounting/iptable.h"
#include "accounting/iptable6.h"
#include "config/config.h"
#include "core/state.h"
#include "test_addr.h"
#include "dump/backend.h"
#include "dump/dump.h"
#include "dump/spool.h"

namespace {

const char *env_or(const char *name, const char *fallback)
{
    const char *value = getenv(name);
    return value != nullptr ? value : fallback;
}

struct server_env {
    std::string host, dead_host, db, table, nokey_table, user, password, check_user,
        check_password;
};

std::string dotted(uint32_t ip)
{
    return std::to_string(ip >> 24) + "." + std::to_string(ip >> 16 & 0xff) + "." +
           std::to_string(ip >> 8 & 0xff) + "." + std::to_string(ip & 0xff);
}

/* A category copy as the cycle hands it to a dump thread, with its table. */
struct test_cat {
    struct cat category;
    struct db_params params;
};

void test_cat_init(struct test_cat *tc, const server_env &env, const char *name,
                   int time_divider, int byte_divider)
{
    memset(tc, 0, sizeof *tc);
    snprintf(tc->category.name, sizeof tc->category.name, "%s", name);
    snprintf(tc->params.host, sizeof tc->params.host, "%s", env.host.c_str());
    snprintf(tc->params.db, sizeof tc->params.db, "%s", env.db.c_str());
    snprintf(tc->params.table, sizeof tc->params.table, "%s", env.table.c_str());
    snprintf(tc->params.login, sizeof tc->params.login, "%s", env.user.c_str());
    snprintf(tc->params.password, sizeof tc->params.password, "%s", env.password.c_str());
    tc->category.db = &tc->params;
    tc->category.dump_type = DUMP_MYSQL;
    tc->category.time_divider = time_divider;
    tc->category.byte_divider = byte_divider;
    tc->category.table = iptable_new();
}

void test_cat_add(struct test_cat *tc, uint32_t ip, uint64_t input, uint64_t output)
{
    struct ip_entry entry = {ip, input, output};
    ASSERT_EQ(iptable_insert(tc->category.table, ip, &entry), 1) << dotted(ip);
}

/* What the dump thread does: the back-end, then destroy the table. */
int test_cat_dump(struct test_cat *tc)
{
    int rc = dump_mysql(&tc->category);
    iptable_destroy(tc->category.table);
    tc->category.table = nullptr;
    iptable6_destroy(tc->category.table6);
    tc->category.table6 = nullptr;
    return rc;
}

/* A category with addresses 198.19.0.0 + i for i < count, input
 * 1000 + i + salt, output 3 * i + 1. Its time tag stays 0 for decades, so
 * dumps add up however long a test takes. */
void test_cat_fill(struct test_cat *tc, const server_env &env, const char *name,
                   const std::string &table, uint32_t count, uint64_t salt)
{
    test_cat_init(tc, env, name, INT32_MAX, 1);
    snprintf(tc->params.table, sizeof tc->params.table, "%s", table.c_str());
    for (uint32_t i = 0; i < count; i++)
        test_cat_add(tc, ip4(198, 19, 0, 0) + i, 1000 + i + salt, 3 * (uint64_t)i + 1);
}

/* Keeps a test clear of a time-tag change between its dumps: when the next
 * multiple of `divider` seconds is close, wait until it has passed. */
void wait_clear_of_tag_change(int divider)
{
    time_t left = divider - time(nullptr) % divider;
    if (left <= 5)
        sleep((unsigned)left + 1);
}

struct row {
    std::string ip, timetag, input, output;
};

struct report {
    int number;
    std::string text;
};

/* Splits standard error into the database error reports of `category`;
 * false when anything else was written. */
bool parse_reports(const std::string &err, const std::string &category,
                   std::vector<report> *reports)
{
    const std::string head = "Error connecting to Mysql-Database in category " + category + ":\n";
    size_t at = 0;
    while (at < err.size()) {
        if (err.compare(at, head.size(), head) != 0)
            return false;
        at += head.size();
        size_t comma = err.find(", ", at);
        size_t end = err.find('\n', at);
        if (comma == std::string::npos || end == std::string::npos || comma > end)
            return false;
        std::string number = err.substr(at, comma - at);
        if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
            return false;
        reports->push_back({atoi(number.c_str()), err.substr(comma + 2, end - comma - 2)});
        at = end + 1;
    }
    return true;
}

/* Exactly one report, with one of the expected error numbers and a text
 * that names the object. */
void expect_one_report(const std::string &err, const std::string &category,
                       std::vector<int> numbers, const std::string &text_part)
{
    std::vector<report> reports;
    ASSERT_TRUE(parse_reports(err, category, &reports)) << "standard error was: " << err;
    ASSERT_EQ(reports.size(), 1u) << "standard error was: " << err;
    EXPECT_NE(std::find(numbers.begin(), numbers.end(), reports[0].number), numbers.end())
        << reports[0].number << ", " << reports[0].text;
    EXPECT_NE(reports[0].text.find(text_part), std::string::npos) << reports[0].text;
}

/* A dump whose standard error is returned; its return code in *rc. */
std::string dump_stderr(struct test_cat *tc, int *rc)
{
    testing::internal::CaptureStderr();
    *rc = test_cat_dump(tc);
    return testing::internal::GetCapturedStderr();
}

class MysqlDump : public ::testing::Test {
  public:
    static void SetUpTestSuite() { ASSERT_EQ(dump_library_init(), 0); }

    void SetUp() override
    {
        const char *host = getenv("NORVO_TEST_MYSQL_HOST");
        if (host == nullptr)
            GTEST_SKIP() << "NORVO_TEST_MYSQL_HOST is not set; "
                            "tests/system/test_mysql.py runs these tests against a private server";
        env.host = host;
        env.dead_host = env_or("NORVO_TEST_MYSQL_DEAD_HOST", "127.0.0.2");
        env.db = env_or("NORVO_TEST_MYSQL_DB", "norvo");
        env.table = env_or("NORVO_TEST_MYSQL_TABLE", "traffic");
        env.nokey_table = env_or("NORVO_TEST_MYSQL_NOKEY_TABLE", "");
        env.user = env_or("NORVO_TEST_MYSQL_USER", "norvo");
        env.password = env_or("NORVO_TEST_MYSQL_PASSWORD", "");
        env.check_user = env_or("NORVO_TEST_MYSQL_CHECK_USER", "root");
        env.check_password = env_or("NORVO_TEST_MYSQL_CHECK_PASSWORD", "");

        char pattern[] = "/tmp/norvo-mysql-spool-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr) << strerror(errno);
        spool = pattern;
        memset(&settings, 0, sizeof settings);
        snprintf(settings.spool_dir, sizeof settings.spool_dir, "%s", spool.c_str());
        config = &settings;

        check = connect_check();
        ASSERT_NE(check, nullptr);
        execute("delete from " + env.table);
        if (!env.nokey_table.empty())
            execute("delete from " + env.nokey_table);
    }

    void TearDown() override
    {
        debug.store(0);
        dump_mysql_set_hook(nullptr, nullptr);
        config = nullptr;
        if (check != nullptr)
            mysql_close(check);
        if (!spool.empty()) {
            if (DIR *d = opendir(spool.c_str())) {
                while (struct dirent *e = readdir(d)) {
                    if (e->d_name[0] != '.')
                        unlink((spool + "/" + e->d_name).c_str());
                }
                closedir(d);
            }
            rmdir(spool.c_str());
        }
    }

    MYSQL *connect_check()
    {
        MYSQL *conn = mysql_init(nullptr);
        if (conn == nullptr)
            return nullptr;
        if (mysql_real_connect(conn, env.host.c_str(), env.check_user.c_str(),
                               env.check_password.c_str(), env.db.c_str(), 0, nullptr,
                               0) == nullptr) {
            ADD_FAILURE() << env.check_user << "@" << env.host << ": " << mysql_error(conn);
            mysql_close(conn);
            return nullptr;
        }
        return conn;
    }

    void execute(const std::string &sql)
    {
        ASSERT_EQ(mysql_query(check, sql.c_str()), 0) << sql << ": " << mysql_error(check);
    }

    /* The first column of every row of a query. */
    std::vector<std::string> column(const std::string &sql)
    {
        std::vector<std::string> result;
        if (mysql_query(check, sql.c_str()) != 0) {
            ADD_FAILURE() << sql << ": " << mysql_error(check);
            return result;
        }
        MYSQL_RES *res = mysql_store_result(check);
        if (res == nullptr) {
            ADD_FAILURE() << sql << ": " << mysql_error(check);
            return result;
        }
        while (MYSQL_ROW r = mysql_fetch_row(res))
            result.push_back(r[0] ? r[0] : "NULL");
        mysql_free_result(res);
        return result;
    }

    std::vector<row> rows(const std::string &where, const std::string &table = "")
    {
        std::vector<row> result;
        std::string sql = "select ip, timetag, input, output from " +
                          (table.empty() ? env.table : table) + " where " + where +
                          " order by ip, timetag";
        if (mysql_query(check, sql.c_str()) != 0) {
            ADD_FAILURE() << sql << ": " << mysql_error(check);
            return result;
        }
        MYSQL_RES *res = mysql_store_result(check);
        if (res == nullptr) {
            ADD_FAILURE() << sql << ": " << mysql_error(check);
            return result;
        }
        while (MYSQL_ROW r = mysql_fetch_row(res))
            result.push_back({r[0], r[1], r[2], r[3]});
        mysql_free_result(res);
        return result;
    }

    std::vector<row> rows_of(uint32_t ip) { return rows("ip='" + dotted(ip) + "'"); }
    std::vector<row> all_rows() { return rows("1=1"); }

    /* Rows of test_cat_fill dumps whose counters are not `dumps` times
     * what one dump adds, as "count wrong rows,count rows". */
    std::string fill_check(const std::string &table, int dumps, uint64_t salt_sum)
    {
        std::vector<std::string> r = column(
            "select concat(coalesce(sum(input != " + std::to_string(dumps) +
            " * (1000 + (inet_aton(ip) - inet_aton('198.19.0.0'))) + " +
            std::to_string(salt_sum) + " or output != " + std::to_string(dumps) +
            " * (3 * (inet_aton(ip) - inet_aton('198.19.0.0')) + 1)), 0), ',', count(*)) from " +
            table);
        return r.empty() ? "" : r[0];
    }

    /* The category's spool as the next dump would read it. */
    size_t spooled_rows(const char *category)
    {
        struct spool_list list = {};
        EXPECT_EQ(spool_load(spool.c_str(), category, &list), 0);
        size_t rows = spool_list_rows(&list);
        spool_list_free(&list);
        return rows;
    }

    size_t names_in_spool()
    {
        size_t count = 0;
        if (DIR *d = opendir(spool.c_str())) {
            while (struct dirent *e = readdir(d))
                count += e->d_name[0] != '.';
            closedir(d);
        }
        return count;
    }

    server_env env;
    MYSQL *check = nullptr;
    std::string spool;
    struct settings settings;
};

/* ---- rows: insert, add, scale, filter ---------------------------------- */

using MysqlDumpRows = MysqlDump;

TEST_F(MysqlDumpRows, FirstDumpInAnHourInsertsOneRowPerAddressWithTheHourAsTag)
{
    wait_clear_of_tag_change(3600);
    struct test_cat tc;
    test_cat_init(&tc, env, "hourly", 3600, 1);
    test_cat_add(&tc, ip4(198, 18, 1, 1), 1500, 300);
    test_cat_add(&tc, ip4(198, 18, 1, 2), 0, 64);
    time_t before = time(nullptr);
    ASSERT_EQ(test_cat_dump(&tc), 0);
    std::string hour = std::to_string(before / 3600);

    std::vector<row> all = all_rows();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].ip, "198.18.1.1");
    EXPECT_EQ(all[0].timetag, hour);
    EXPECT_EQ(all[0].input, "1500");
    EXPECT_EQ(all[0].output, "300");
    EXPECT_EQ(all[1].ip, "198.18.1.2");
    EXPECT_EQ(all[1].timetag, hour);
    EXPECT_EQ(all[1].input, "0");
    EXPECT_EQ(all[1].output, "64");
}

/* IPv6 rows go to TABLE6 with the address as its 16 bytes, after the IPv4
 * rows went to TABLE; a second dump in the same hour adds to them. */
TEST_F(MysqlDumpRows, Ipv6RowsGoToTheTableNamedWithSixAndAddUp)
{
    wait_clear_of_tag_change(3600);
    const std::string table6 = env.table + "6";
    execute("delete from " + table6);
    time_t before = time(nullptr);
    for (int dump = 0; dump < 2; dump++) {
        struct test_cat tc;
        test_cat_init(&tc, env, "dual", 3600, 1);
        test_cat_add(&tc, ip4(198, 18, 1, 1), 1500, 300);
        tc.category.table6 = iptable6_new(0);
        struct addr6 a = {0x20010db800010000ULL, 5}, b = {0x2001000200000000ULL, ~0ULL};
        struct ip6_entry *e = iptable6_add(tc.category.table6, a);
        ASSERT_NE(e, nullptr);
        e->input = 4294967296ULL + 7;
        e = iptable6_add(tc.category.table6, b);
        ASSERT_NE(e, nullptr);
        e->output = 64;
        ASSERT_EQ(test_cat_dump(&tc), 0);
    }
    std::string hour = std::to_string(before / 3600);
    ASSERT_EQ(all_rows().size(), 1u);
    EXPECT_EQ(all_rows()[0].input, "3000");

    std::string sql = "select hex(ip), timetag, input, output from " + table6 + " order by ip";
    ASSERT_EQ(mysql_query(check, sql.c_str()), 0) << mysql_error(check);
    MYSQL_RES *res = mysql_store_result(check);
    ASSERT_NE(res, nullptr);
    std::vector<row> six;
    while (MYSQL_ROW r = mysql_fetch_row(res))
        six.push_back({r[0], r[1], r[2], r[3]});
    mysql_free_result(res);
    ASSERT_EQ(six.size(), 2u);
    EXPECT_EQ(six[0].ip, "2001000200000000FFFFFFFFFFFFFFFF");
    EXPECT_EQ(six[0].timetag, hour);
    EXPECT_EQ(six[0].input, "0");
    EXPECT_EQ(six[0].output, "128");
    EXPECT_EQ(six[1].ip, "20010DB8000100000000000000000005");
    EXPECT_EQ(six[1].input, std::to_string(2 * (4294967296ULL + 7)));
    EXPECT_EQ(six[1].output, "0");
}

TEST_F(MysqlDumpRows, SecondDumpInTheSameHourAddsToTheRowsAndInsertsNewAddresses)
{
    wait_clear_of_tag_change(3600);
    struct test_cat first, second;
    test_cat_init(&first, env, "hourly", 3600, 1);
    test_cat_add(&first, ip4(198, 18, 1, 1), 1000, 10);
    ASSERT_EQ(test_cat_dump(&first), 0);
    test_cat_init(&second, env, "hourly", 3600, 1);
    test_cat_add(&second, ip4(198, 18, 1, 1), 234, 5);
    test_cat_add(&second, ip4(198, 18, 1, 9), 7, 8);
    ASSERT_EQ(test_cat_dump(&second), 0);

    std::vector<row> added = rows_of(ip4(198, 18, 1, 1));
    ASSERT_EQ(added.size(), 1u) << "the second dump made a row of its own";
    EXPECT_EQ(added[0].input, "1234");
    EXPECT_EQ(added[0].output, "15");
    std::vector<row> fresh = rows_of(ip4(198, 18, 1, 9));
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_EQ(fresh[0].input, "7");
    EXPECT_EQ(fresh[0].output, "8");
    EXPECT_EQ(fresh[0].timetag, added[0].timetag);
}

TEST_F(MysqlDumpRows, CountersAreScaledAndRowsBelowTheDivisorAreNotWritten)
{
    wait_clear_of_tag_change(3600);
    struct test_cat tc;
    test_cat_init(&tc, env, "kilo", 3600, 1000);
    test_cat_add(&tc, ip4(198, 18, 2, 1), 999, 1500);  /* 0 and 1 */
    test_cat_add(&tc, ip4(198, 18, 2, 2), 999, 999);   /* both scale to 0 */
    test_cat_add(&tc, ip4(198, 18, 2, 3), 0, 0);
    test_cat_add(&tc, ip4(198, 18, 2, 4), 2999999, 1000);
    ASSERT_EQ(test_cat_dump(&tc), 0);

    std::vector<row> all = all_rows();
    ASSERT_EQ(all.size(), 2u) << "a row whose scaled counters are 0 was written";
    EXPECT_EQ(all[0].ip, "198.18.2.1");
    EXPECT_EQ(all[0].input, "0");
    EXPECT_EQ(all[0].output, "1");
    EXPECT_EQ(all[1].ip, "198.18.2.4");
    EXPECT_EQ(all[1].input, "2999");
    EXPECT_EQ(all[1].output, "1");
}

TEST_F(MysqlDumpRows, CountersBeyondThirtyTwoBitsAndFullTimeTagsArriveWhole)
{
    struct test_cat tc;
    test_cat_init(&tc, env, "big", 0, 1);
    test_cat_add(&tc, ip4(198, 18, 3, 1), 5000000123ull, 9223372036854775815ull);
    test_cat_add(&tc, ip4(198, 18, 3, 2), 2147483648ull, 4294967295ull);
    time_t before = time(nullptr);
    ASSERT_EQ(test_cat_dump(&tc), 0);
    time_t after = time(nullptr);

    std::vector<row> all = all_rows();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].input, "5000000123");
    EXPECT_EQ(all[0].output, "9223372036854775815");
    EXPECT_EQ(all[1].input, "2147483648");
    EXPECT_EQ(all[1].output, "4294967295");
    long long tag = atoll(all[0].timetag.c_str());
    EXPECT_GE(tag, (long long)before);
    EXPECT_LE(tag, (long long)after);
    EXPECT_EQ(all[1].timetag, all[0].timetag);
}

TEST_F(MysqlDumpRows, AddressesAreWrittenWithoutLeadingZerosUpToTheLastAddress)
{
    wait_clear_of_tag_change(3600);
    struct test_cat tc;
    test_cat_init(&tc, env, "edges", 3600, 1);
    test_cat_add(&tc, ip4(0, 0, 0, 0), 1, 0);
    test_cat_add(&tc, ip4(10, 0, 0, 1), 2, 0);
    test_cat_add(&tc, ip4(255, 255, 255, 255), 3, 0);
    ASSERT_EQ(test_cat_dump(&tc), 0);

    std::vector<row> all = all_rows();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].ip, "0.0.0.0");
    EXPECT_EQ(all[1].ip, "10.0.0.1");
    EXPECT_EQ(all[2].ip, "255.255.255.255");
    EXPECT_EQ(all[2].input, "3");
}

TEST_F(MysqlDumpRows, HostTakesAPortOrTheServersSocketPath)
{
    const char *socket = getenv("NORVO_TEST_MYSQL_SOCKET");
    if (socket == nullptr)
        GTEST_SKIP() << "NORVO_TEST_MYSQL_SOCKET is not set";
    /* A host field holds 31 characters: reach the socket through a short link. */
    char dir[] = "/tmp/norvo-sock-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr) << strerror(errno);
    std::string link = std::string(dir) + "/s";
    ASSERT_EQ(symlink(socket, link.c_str()), 0) << strerror(errno);

    struct test_cat tc;
    test_cat_init(&tc, env, "port", INT32_MAX, 1);
    tc.params.port = 3306;
    test_cat_add(&tc, ip4(198, 18, 9, 1), 1, 2);
    EXPECT_EQ(test_cat_dump(&tc), 0);
    test_cat_init(&tc, env, "port", INT32_MAX, 1);
    tc.params.port = 3307; /* nothing listens there */
    test_cat_add(&tc, ip4(198, 18, 9, 1), 5, 5);
    int rc;
    std::string err = dump_stderr(&tc, &rc);
    EXPECT_EQ(rc, 1);
    expect_one_report(err, "port", {2002, 2003}, env.host);

    test_cat_init(&tc, env, "socket", INT32_MAX, 1);
    snprintf(tc.params.host, sizeof tc.params.host, "%s", link.c_str());
    test_cat_add(&tc, ip4(198, 18, 9, 2), 3, 4);
    EXPECT_EQ(test_cat_dump(&tc), 0);
    unlink(link.c_str());
    rmdir(dir);

    std::vector<row> all = rows("ip like '198.18.9.%'");
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].input + "," + all[0].output, "1,2");
    EXPECT_EQ(all[1].input + "," + all[1].output, "3,4");
}

/* A whole /16, first into an empty table and then added to, through both
 * ways of storing: upserts with the key, UPDATE then INSERT without. */
TEST_F(MysqlDumpRows, AFullSlash16IsStoredExactlyWithAndWithoutTheKey)
{
    if (env.nokey_table.empty())
        GTEST_SKIP() << "NORVO_TEST_MYSQL_NOKEY_TABLE is not set";
    for (const std::string &table : {env.table, env.nokey_table}) {
        SCOPED_TRACE(table);
        for (int dump = 1; dump <= 2; dump++) {
            struct test_cat tc;
            test_cat_fill(&tc, env, "slash16", table, 65536, dump == 1 ? 0 : 7);
            ASSERT_EQ(test_cat_dump(&tc), 0);
        }
        EXPECT_EQ(fill_check(table, 2, 7), "0,65536");
    }
}

/* ---- what the dump says ----------------------------------------------- */

using MysqlDumpOutput = MysqlDump;

TEST_F(MysqlDumpOutput, DebugModeNarratesEveryStepWithStatementsAndPassword)
{
    wait_clear_of_tag_change(3600);
    std::string tag = std::to_string(time(nullptr) / 3600);
    struct test_cat tc;
    test_cat_init(&tc, env, "narrated", 3600, 1);
    test_cat_add(&tc, ip4(198, 18, 4, 1), 5, 6);
    test_cat_add(&tc, ip4(198, 18, 4, 2), 7, 8);
    debug.store(1);
    testing::internal::CaptureStdout();
    int rc = test_cat_dump(&tc);
    std::string out = testing::internal::GetCapturedStdout();
    debug.store(0);
    ASSERT_EQ(rc, 0);

    const std::string &t = env.table;
    const std::vector<std::string> steps = {
        "Dumping cat narrated using mysql\n",
        "Initializing Mysql\n",
        "Connecting to host " + env.host + ", port 0, db " + env.db + ", table " + t +
            " using login " + env.user + ", password " + env.password + "\n",
        "Table " + t + ": key on (ip, timetag), batch ids recorded",
        "Storing batch ",
        ":narrated:" + tag + ":",
        ": 2 rows, time tag " + tag + "\n",
        "Query: START TRANSACTION\n",
        "Query: INSERT INTO norvo_batches (id) VALUES ('",
        "Query: INSERT INTO `" + t + "` (ip,timetag,input,output) VALUES (\"198.18.4.1\"," +
            tag + ",5,6),(\"198.18.4.2\"," + tag + ",7,8) ON DUPLICATE KEY UPDATE "
            "input=input+VALUES(input),output=output+VALUES(output)\n",
        "Query: COMMIT\n",
        "Stored 1 batches, 0 of them from the spool\n",
        "Done Dumping\n",
    };
    size_t at = 0;
    for (const std::string &step : steps) {
        size_t found = out.find(step, at);
        ASSERT_NE(found, std::string::npos) << "missing in order: " << step << "\nin:\n" << out;
        at = found + step.size();
    }
    EXPECT_EQ(rows_of(ip4(198, 18, 4, 2)).size(), 1u);
}

TEST_F(MysqlDumpOutput, WithoutDebugASuccessfulDumpWritesNothing)
{
    struct test_cat tc;
    test_cat_init(&tc, env, "quiet", 3600, 1);
    test_cat_add(&tc, ip4(198, 18, 4, 3), 5, 6);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int rc = test_cat_dump(&tc);
    std::string err = testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    EXPECT_EQ(rows_of(ip4(198, 18, 4, 3)).size(), 1u);
}

/* ---- failures: reported once, rows kept ------------------------------------ */

using MysqlDumpFailure = MysqlDump;

/* A dump that must fail, with one row added to those of `tc`; returns its
 * standard error and checks that its rows went to the spool. */
std::string failed_dump(MysqlDump *t, struct test_cat *tc, size_t rows = 1)
{
    test_cat_add(tc, ip4(198, 18, 5, 1), 100, 100);
    int rc;
    std::string err = dump_stderr(tc, &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(t->spooled_rows(tc->category.name), rows);
    return err;
}

TEST_F(MysqlDumpFailure, EveryKindOfFailureIsReportedOnceAndTheRowsAreSpooled)
{
    struct test_cat tc;
    test_cat_init(&tc, env, "nowhere", 3600, 1);
    snprintf(tc.params.host, sizeof tc.params.host, "%s", env.dead_host.c_str());
    expect_one_report(failed_dump(this, &tc), "nowhere", {2002, 2003}, env.dead_host);

    test_cat_init(&tc, env, "badpass", 3600, 1);
    snprintf(tc.params.password, sizeof tc.params.password, "%s", "not-the-password");
    expect_one_report(failed_dump(this, &tc), "badpass", {1045}, env.user);

    /* Without rights on it the server answers "access denied" (1044) rather
     * than "unknown database" (1049); either names the database. */
    test_cat_init(&tc, env, "nodb", 3600, 1);
    snprintf(tc.params.db, sizeof tc.params.db, "%s", "norvo_absent");
    expect_one_report(failed_dump(this, &tc), "nodb", {1044, 1049}, "norvo_absent");

    /* Many rows, one report: "command denied" (1142) or "doesn't exist" (1146). */
    test_cat_init(&tc, env, "notable", 3600, 1);
    snprintf(tc.params.table, sizeof tc.params.table, "%s", "absent_table");
    test_cat_add(&tc, ip4(198, 18, 6, 1), 1, 2);
    test_cat_add(&tc, ip4(198, 18, 6, 3), 3, 4);
    std::string err = failed_dump(this, &tc, 3);
    expect_one_report(err, "notable", {1142, 1146}, "absent_table");
    EXPECT_TRUE(all_rows().empty());
}

TEST_F(MysqlDumpFailure, ARefusedRowRollsTheWholeDumpBackIntoTheSpool)
{
    const char *capped = getenv("NORVO_TEST_MYSQL_CAPPED_TABLE");
    if (capped == nullptr)
        GTEST_SKIP() << "NORVO_TEST_MYSQL_CAPPED_TABLE is not set";
    execute(std::string("delete from ") + capped);
    struct test_cat tc;
    test_cat_init(&tc, env, "capped", 3600, 1);
    snprintf(tc.params.table, sizeof tc.params.table, "%s", capped);
    test_cat_add(&tc, ip4(198, 18, 7, 1), 10, 20);
    test_cat_add(&tc, ip4(198, 18, 7, 2), 5000000, 1); /* refused by the table */
    int rc;
    std::string err = dump_stderr(&tc, &rc);
    EXPECT_EQ(rc, 1);
    expect_one_report(err, "capped", {4025}, "input_cap");
    EXPECT_EQ(spooled_rows("capped"), 2u);
    EXPECT_EQ(column(std::string("select count(*) from ") + capped),
              std::vector<std::string>{"0"});
}

/* ---- the spool is replayed, each count once --------------------------------- */

using MysqlDumpReplay = MysqlDump;

TEST_F(MysqlDumpReplay, SpooledDumpsAreStoredOldestFirstWithTheirOwnTimeTags)
{
    /* Three dumps a second apart fail; the fourth reaches the server. */
    std::vector<std::string> tags;
    for (int dump = 0; dump < 3; dump++) {
        time_t now = time(nullptr);
        while (time(nullptr) == now)
            usleep(10000);
        tags.push_back(std::to_string(time(nullptr)));
        struct test_cat tc;
        test_cat_init(&tc, env, "replay", 1, 1);
        snprintf(tc.params.host, sizeof tc.params.host, "%s", env.dead_host.c_str());
        test_cat_add(&tc, ip4(198, 18, 8, 1), 100 + dump, 1);
        int rc;
        dump_stderr(&tc, &rc);
        ASSERT_EQ(rc, 1);
        EXPECT_EQ(spooled_rows("replay"), (size_t)dump + 1);
    }
    struct test_cat tc;
    test_cat_init(&tc, env, "replay", 1, 1);
    test_cat_add(&tc, ip4(198, 18, 8, 2), 7, 7);
    ASSERT_EQ(test_cat_dump(&tc), 0);

    std::vector<row> replayed = rows_of(ip4(198, 18, 8, 1));
    ASSERT_EQ(replayed.size(), 3u);
    for (size_t i = 0; i < 3; i++) {
        /* the tag of a dump that ran in the second after it began */
        EXPECT_TRUE(replayed[i].timetag == tags[i] ||
                    replayed[i].timetag == std::to_string(atoll(tags[i].c_str()) + 1))
            << replayed[i].timetag << " for " << tags[i];
        EXPECT_EQ(replayed[i].input, std::to_string(100 + i));
    }
    EXPECT_EQ(rows_of(ip4(198, 18, 8, 2)).size(), 1u);
    EXPECT_EQ(spooled_rows("replay"), 0u);
    EXPECT_EQ(names_in_spool(), 0u);
}

/* A dump that cannot reach the server keeps its IPv6 batch in the spool
 * beside the IPv4 one; the next dump stores each into its own table once. */
TEST_F(MysqlDumpReplay, SpooledIpv6RowsReachTheirTableOnce)
{
    execute("delete from " + env.table + "6");
    struct test_cat tc;
    test_cat_init(&tc, env, "replay6", INT32_MAX, 1);
    snprintf(tc.params.host, sizeof tc.params.host, "%s", env.dead_host.c_str());
    test_cat_add(&tc, ip4(198, 18, 8, 1), 100, 1);
    tc.category.table6 = iptable6_new(0);
    struct ip6_entry *e = iptable6_add(tc.category.table6, {0x20010db8000000ffULL, 1});
    ASSERT_NE(e, nullptr);
    e->output = 4242;
    int rc;
    dump_stderr(&tc, &rc);
    ASSERT_EQ(rc, 1);
    EXPECT_EQ(spooled_rows("replay6"), 2u);

    for (int dump = 0; dump < 2; dump++) {
        struct test_cat again;
        test_cat_init(&again, env, "replay6", INT32_MAX, 1);
        ASSERT_EQ(test_cat_dump(&again), 0);
    }
    EXPECT_EQ(column("select concat_ws(',', hex(ip), input, output) from " + env.table + "6"),
              std::vector<std::string>{"20010DB8000000FF0000000000000001,0,4242"});
    EXPECT_EQ(rows_of(ip4(198, 18, 8, 1)).size(), 1u);
    EXPECT_EQ(names_in_spool(), 0u);
}

/* What a hook needs to kill the dump's connection from a second session. */
struct killer {
    MysqlDump *test;
    const char *point; /* "rows" or "commit" */
    int after;         /* calls at `point` to let pass first */
    int calls;
    int killed;
    std::string batches_before;
};

/* Kills the dump's connection with KILL CONNECTION from the check session.
 * At "commit" it first waits until the server has committed the batch (its
 * id is visible), and then also drops whatever answer is already on its way
 * to the client, standing for a network that lost it. */
void kill_hook(const char *point, void *conn, void *arg)
{
    struct killer *k = (struct killer *)arg;
    if (k->killed || strcmp(point, k->point) != 0 || k->calls++ < k->after)
        return;
    MYSQL *dump_conn = (MYSQL *)conn;
    if (strcmp(point, "commit") == 0) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (k->test->column("select count(*) from norvo_batches")[0] == k->batches_before) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the commit never showed";
            usleep(1000);
        }
    }
    k->test->execute("KILL CONNECTION " + std::to_string(mysql_thread_id(dump_conn)));
    if (strcmp(point, "commit") == 0) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        close(pair[1]);
        ASSERT_GE(dup2(pair[0], mysql_get_socket(dump_conn)), 0);
        close(pair[0]);
    }
    k->killed = 1;
}

TEST_F(MysqlDumpReplay, AConnectionKilledMidDumpOrAfterCommitCountsEveryRowOnce)
{
    if (env.nokey_table.empty())
        GTEST_SKIP() << "NORVO_TEST_MYSQL_NOKEY_TABLE is not set";
    struct {
        const char *point;
        int after;
        std::string table;
    } cases[] = {
        {"rows", 1, env.table},       /* between two upserts */
        {"rows", 3, env.nokey_table}, /* between UPDATEs and INSERTs */
        {"commit", 0, env.table},
        {"commit", 0, env.nokey_table},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.point) + " " + c.table);
        execute("delete from " + c.table);
        struct killer k = {this, c.point, c.after, 0, 0,
                           column("select count(*) from norvo_batches")[0]};
        dump_mysql_set_hook(kill_hook, &k);
        struct test_cat tc;
        test_cat_fill(&tc, env, "killed", c.table, 65536, 0);
        int rc;
        std::string err = dump_stderr(&tc, &rc);
        dump_mysql_set_hook(nullptr, nullptr);
        ASSERT_TRUE(k.killed);
        EXPECT_EQ(rc, 1);
        expect_one_report(err, "killed", {1927, 2006, 2013}, "");
        EXPECT_EQ(spooled_rows("killed"), 65536u);
        EXPECT_EQ(fill_check(c.table, 1, 0),
                  strcmp(c.point, "commit") == 0 ? "0,65536" : "0,0");

        /* The next dump replays the batch: after COMMIT its id is found. */
        test_cat_fill(&tc, env, "killed", c.table, 65536, 5);
        ASSERT_EQ(test_cat_dump(&tc), 0);
        EXPECT_EQ(fill_check(c.table, 2, 5), "0,65536");
        EXPECT_EQ(spooled_rows("killed"), 0u);
    }
}

/* ---- concurrent dumps ------------------------------------------------------- */

using MysqlDumpConcurrency = MysqlDump;

/* Two categories of one cycle dumping the same addresses into one table
 * race between update and insert; every count must still land once. */
TEST_F(MysqlDumpConcurrency, TwoDumpsOfTheSameAddressesAddUpInOneRowEach)
{
    const int addresses = 300;
    const int rounds = 4;
    for (int round = 0; round < rounds; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        wait_clear_of_tag_change(3600);
        execute("delete from " + env.table);
        struct test_cat left, right;
        test_cat_init(&left, env, "left", 3600, 1);
        test_cat_init(&right, env, "right", 3600, 1);
        for (int i = 0; i < addresses; i++) {
            uint32_t ip = ip4(198, 19, (unsigned)i >> 8, (unsigned)i & 0xff);
            test_cat_add(&left, ip, (uint64_t)i + 1, 1);
            test_cat_add(&right, ip, 1000, (uint64_t)i + 2);
        }
        std::atomic<int> waiting{2};
        int rc_left = -1, rc_right = -1;
        auto run = [&waiting](struct test_cat *tc, int *rc) {
            /* Start both dumps together; give up waiting after 10 s. */
            waiting.fetch_sub(1);
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (waiting.load() > 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
            *rc = test_cat_dump(tc);
        };
        testing::internal::CaptureStderr();
        std::thread a(run, &left, &rc_left);
        std::thread b(run, &right, &rc_right);
        a.join();
        b.join();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc_left, 0);
        EXPECT_EQ(rc_right, 0);
        EXPECT_EQ(err, "");

        std::vector<row> all = all_rows();
        ASSERT_EQ(all.size(), (size_t)addresses) << "rows lost or duplicated";
        int wrong = 0;
        for (const row &r : all) {
            unsigned c = 0, d = 0;
            ASSERT_EQ(sscanf(r.ip.c_str(), "198.19.%u.%u", &c, &d), 2) << r.ip;
            int i = (int)(c << 8 | d);
            if (r.input != std::to_string(i + 1 + 1000) || r.output != std::to_string(i + 3)) {
                ADD_FAILURE() << r.ip << ": input " << r.input << ", output " << r.output;
                if (++wrong == 5)
                    break;
            }
        }
    }
}

} // namespace
