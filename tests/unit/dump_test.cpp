/*
 * Dump threads, the rules every back-end shares, and the standard-output
 * and system-log back-ends.
 */
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>

#include <string>
#include <vector>

#include "dump/backend.h"
#include "dump/dump.h"
#include "dump_fixture.h"

namespace {

struct walk_row {
    uint32_t ip;
    uint64_t input;
    uint64_t output;
    int passes;
};

/* Runs a dump walk to its end (bounded, so a walk that restarts shows up
 * as too many rows rather than a hang). */
std::vector<walk_row> walk_all(struct cat *category, int limit = 1000)
{
    std::vector<walk_row> rows;
    struct dump_walk walk;
    dump_walk_start(&walk, category);
    struct ip_entry *entry;
    int passes = -1;
    while ((int)rows.size() < limit && (entry = dump_walk_next(&walk, &passes)) != nullptr)
        rows.push_back({entry->ip, entry->input, entry->output, passes});
    return rows;
}

std::string run_stdout(struct cat *category, int *result)
{
    struct test_capture capture;
    test_capture_begin(&capture, STDOUT_FILENO);
    *result = dump_stdout(category);
    return test_capture_end(&capture);
}

} // namespace

TEST(DumpRules, DivisorIsTheByteDividerFromTwoUpAndOneOtherwise)
{
    struct cat category = {};
    const struct {
        int byte_divider;
        uint64_t divisor;
    } cases[] = {{0, 1}, {1, 1}, {-1, 1}, {-1000, 1}, {2, 2}, {1000, 1000}, {2147483647, 2147483647}};
    for (const auto &c : cases) {
        category.byte_divider = c.byte_divider;
        EXPECT_EQ(dump_divisor(&category), c.divisor) << "byte_divider " << c.byte_divider;
    }
}

TEST(DumpRules, TimeTagIsTheTimeDividedAndNeverCutTo32Bits)
{
    struct cat category = {};
    const time_t past_2038 = (time_t)5000000000LL;
    const time_t in_2009 = (time_t)1236085509LL;

    category.time_divider = 3600;
    EXPECT_EQ(dump_time_tag(&category, in_2009), 1236085509LL / 3600);
    EXPECT_EQ(dump_time_tag(&category, past_2038), 5000000000LL / 3600);

    category.time_divider = 1;
    EXPECT_EQ(dump_time_tag(&category, in_2009), 1236085509LL);
    EXPECT_EQ(dump_time_tag(&category, past_2038), 5000000000LL);
    EXPECT_EQ(dump_time_tag(&category, (time_t)3000000000LL), 3000000000LL);  // after 2038
    EXPECT_EQ(dump_time_tag(&category, (time_t)2147483647LL), 2147483647LL);  // the last 32-bit tag

    for (int divider : {0, -1, -3600}) {
        category.time_divider = divider;
        EXPECT_EQ(dump_time_tag(&category, past_2038), 5000000000LL) << "divider " << divider;
        EXPECT_EQ(dump_time_tag(&category, in_2009), 1236085509LL) << "divider " << divider;
    }
}

TEST(DumpRules, WalkScalesInPlaceAndPassesRowsWhoseUnscaledCountReachesTheDivisor)
{
    struct cat *category = test_cat_new("scaled", DUMP_STDOUT, 1000, 1);
    ASSERT_NE(category, nullptr);
    test_add(category, ip4(10, 0, 0, 1), 999, 1500);
    test_add(category, ip4(10, 0, 0, 2), 999, 999);
    test_add(category, ip4(10, 0, 0, 3), 1000, 0);
    test_add(category, ip4(10, 0, 0, 4), 0, 0);
    test_add(category, ip4(10, 0, 0, 5), 5000000000000ULL, 1999);

    std::vector<walk_row> rows = walk_all(category);
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0].input, 0u);
    EXPECT_EQ(rows[0].output, 1u);
    EXPECT_EQ(rows[0].passes, 1);
    EXPECT_EQ(rows[1].input, 0u);
    EXPECT_EQ(rows[1].output, 0u);
    EXPECT_EQ(rows[1].passes, 0);
    EXPECT_EQ(rows[2].input, 1u);
    EXPECT_EQ(rows[2].passes, 1);
    EXPECT_EQ(rows[3].passes, 0);
    EXPECT_EQ(rows[4].input, 5000000000ULL);
    EXPECT_EQ(rows[4].output, 1u);
    EXPECT_EQ(rows[4].passes, 1);

    /* Stored back into the table, not only reported. */
    struct ip_entry *first = iptable_lookup(category->table, ip4(10, 0, 0, 1));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->input, 0u);
    EXPECT_EQ(first->output, 1u);
    test_cat_free(category);
}

TEST(DumpRules, WalkWithoutDivisionPassesEveryNonZeroRow)
{
    for (int divider : {0, 1, -7}) {
        struct cat *category = test_cat_new("plain", DUMP_STDOUT, divider, 1);
        ASSERT_NE(category, nullptr);
        test_add(category, ip4(10, 0, 0, 1), 1, 0);
        test_add(category, ip4(10, 0, 0, 2), 0, 0);
        test_add(category, ip4(10, 0, 0, 3), 7, 9);
        std::vector<walk_row> rows = walk_all(category);
        ASSERT_EQ(rows.size(), 3u) << "divider " << divider;
        EXPECT_EQ(rows[0].passes, 1);
        EXPECT_EQ(rows[0].input, 1u);
        EXPECT_EQ(rows[1].passes, 0);
        EXPECT_EQ(rows[2].passes, 1);
        EXPECT_EQ(rows[2].input, 7u);
        EXPECT_EQ(rows[2].output, 9u);
        test_cat_free(category);
    }
}

TEST(DumpRules, WalkYieldsAscendingAndEndsRightAfterTheLastAddress)
{
    struct cat *category = test_cat_new("broadcast", DUMP_STDOUT, 1, 1);
    ASSERT_NE(category, nullptr);
    test_add(category, ip4(255, 255, 255, 255), 5, 5);
    test_add(category, ip4(10, 0, 0, 1), 1, 1);
    test_add(category, ip4(9, 255, 255, 255), 2, 2);

    struct dump_walk walk;
    dump_walk_start(&walk, category);
    std::vector<uint32_t> order;
    struct ip_entry *entry;
    int passes;
    for (int step = 0; step < 10 && (entry = dump_walk_next(&walk, &passes)) != nullptr; ++step)
        order.push_back(entry->ip);
    ASSERT_EQ(order.size(), 3u) << "the walk went on past 255.255.255.255";
    EXPECT_EQ(order[0], ip4(9, 255, 255, 255));
    EXPECT_EQ(order[1], ip4(10, 0, 0, 1));
    EXPECT_EQ(order[2], ip4(255, 255, 255, 255));
    EXPECT_EQ(dump_walk_next(&walk, &passes), nullptr);
    EXPECT_EQ(iptable_walking(category->table), 0);

    /* The scaling happened once: a second walk sees divided values only if
     * it divides again, and the divisor is 1 here, so values are intact. */
    std::vector<walk_row> again = walk_all(category);
    ASSERT_EQ(again.size(), 3u);
    EXPECT_EQ(again[2].input, 5u);
    test_cat_free(category);
}

TEST(DumpRules, WalkOfAnEmptyTableEndsAtOnce)
{
    struct cat *category = test_cat_new("empty", DUMP_STDOUT, 1, 1);
    ASSERT_NE(category, nullptr);
    EXPECT_TRUE(walk_all(category).empty());
    EXPECT_EQ(iptable_walking(category->table), 0);
    test_cat_free(category);
}

TEST(DumpFormatTime, StampIsTheLocalTimeInTheFixedEnglishFormat)
{
    const char *saved = getenv("TZ");
    std::string old = saved ? saved : "";
    char buf[64];

    setenv("TZ", "CET-1", 1);
    tzset();
    dump_format_time((time_t)1236085509, buf, sizeof buf);
    EXPECT_STREQ(buf, "Tue, 03 Mar 2009 14:05:09 +0100");

    setenv("TZ", "UTC0", 1);
    tzset();
    dump_format_time((time_t)1236085509, buf, sizeof buf);
    EXPECT_STREQ(buf, "Tue, 03 Mar 2009 13:05:09 +0000");
    EXPECT_EQ(strlen(buf), 31u);

    /* Too small a buffer gives an empty stamp, never a cut one. */
    char small[10];
    dump_format_time((time_t)1236085509, small, sizeof small);
    EXPECT_STREQ(small, "");

    if (saved)
        setenv("TZ", old.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(DumpStdout, EmptyTablePrintsTheHeaderAndNoRow)
{
    struct cat *category = test_cat_new("quiet", DUMP_STDOUT, 1, 1);
    ASSERT_NE(category, nullptr);
    int result = -1;
    std::string out = run_stdout(category, &result);
    EXPECT_EQ(result, 0);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n');
    EXPECT_TRUE(test_is_header(out.substr(0, out.size() - 1), "quiet")) << out;
    test_cat_free(category);
}

TEST(DumpStdout, RowsAreScaledFilteredAndFormattedWithTheTimeTag)
{
    struct cat *category = test_cat_new("lan", DUMP_STDOUT, 1000, 3600);
    ASSERT_NE(category, nullptr);
    test_add(category, ip4(10, 0, 0, 1), 999, 1500);
    test_add(category, ip4(10, 0, 0, 2), 999, 999);
    test_add(category, ip4(192, 168, 1, 5), 3000000000000ULL, 5000000000000000ULL);
    test_add(category, ip4(255, 255, 255, 255), 2000, 0);

    time_t before = time(nullptr);
    int result = -1;
    std::string out = run_stdout(category, &result);
    time_t after = time(nullptr);
    EXPECT_EQ(result, 0);

    size_t end_of_header = out.find('\n');
    ASSERT_NE(end_of_header, std::string::npos);
    std::string rows = out.substr(end_of_header + 1);
    /* The tag of the dump is one of the hours the dump ran in. */
    std::string expected;
    bool matched = false;
    for (long long tag : {(long long)before / 3600, (long long)after / 3600}) {
        char text[512];
        snprintf(text, sizeof text,
                 "IP: 010.000.000.001 input:        0 output:        1 timetag: %8lld\n"
                 "IP: 192.168.001.005 input: 3000000000 output: 5000000000000 timetag: %8lld\n"
                 "IP: 255.255.255.255 input:        2 output:        0 timetag: %8lld\n",
                 tag, tag, tag);
        expected = text;
        matched = matched || rows == expected;
    }
    EXPECT_TRUE(matched) << "got:\n" << rows << "expected like:\n" << expected;
    test_cat_free(category);
}

TEST(DumpStdout, WithoutTimeDividerTheTagIsTheFullTime)
{
    struct cat *category = test_cat_new("seconds", DUMP_STDOUT, 1, 0);
    ASSERT_NE(category, nullptr);
    test_add(category, ip4(198, 18, 0, 1), 1, 2);
    time_t before = time(nullptr);
    int result = -1;
    std::string out = run_stdout(category, &result);
    time_t after = time(nullptr);
    size_t row = out.find('\n') + 1;
    long long tag = test_tag_of(out);
    char expected[128];
    snprintf(expected, sizeof expected,
             "IP: 198.018.000.001 input:        1 output:        2 timetag: %8lld\n", tag);
    EXPECT_EQ(out.substr(row), expected);
    EXPECT_GE(tag, (long long)before);
    EXPECT_LE(tag, (long long)after);
    test_cat_free(category);
}

TEST(DumpSyslog, EveryEntryIsLoggedAlsoZeroRowsAndNoHeader)
{
    test_log_to_stderr();
    struct cat *category = test_cat_new("logged", DUMP_SYSLOG, 1000, 3600);
    ASSERT_NE(category, nullptr);
    test_add(category, ip4(10, 0, 0, 1), 999, 1500);
    test_add(category, ip4(10, 0, 0, 2), 999, 999);
    test_add(category, ip4(10, 0, 0, 3), 0, 0);
    test_add(category, ip4(10, 0, 1, 0), 4294967296000000ULL, 0);

    time_t before = time(nullptr);
    struct test_capture capture;
    test_capture_begin(&capture, STDERR_FILENO);
    int result = dump_syslog(category);
    std::string log = test_capture_end(&capture);
    time_t after = time(nullptr);
    EXPECT_EQ(result, 0);

    long long tag = test_tag_of(log);
    EXPECT_TRUE(tag == before / 3600 || tag == after / 3600) << tag;
    char expected[1024];
    snprintf(expected, sizeof expected,
             "Cat: logged IP: 010.000.000.001 input:        0 output:        1 timetag: %8lld\n"
             "Cat: logged IP: 010.000.000.002 input:        0 output:        0 timetag: %8lld\n"
             "Cat: logged IP: 010.000.000.003 input:        0 output:        0 timetag: %8lld\n"
             "Cat: logged IP: 010.000.001.000 input: 4294967296000 output:        0 timetag: %8lld\n",
             tag, tag, tag, tag);
    /* Each echoed line starts with the log identity; strip it. */
    std::string lines;
    char identity[64];
    snprintf(identity, sizeof identity, "norvo-test[%d]: ", (int)getpid());
    for (size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1) {
        ASSERT_EQ(log.compare(at, strlen(identity), identity), 0) << log;
        lines += log.substr(at + strlen(identity), end + 1 - at - strlen(identity));
    }
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(test_count(log, "Starting dump"), 0u);
    test_cat_free(category);
}

static const size_t LARGE_ENTRIES = 3000;       /* one leaf each */
static const size_t HEAP_SLACK = 512 * 1024;    /* bytes; stdio and time-zone buffers */

class DumpThread : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        /* dump_start creates its threads as the daemon does: detached */
        ASSERT_EQ(pthread_attr_init(&thread_attr), 0);
        ASSERT_EQ(pthread_attr_setdetachstate(&thread_attr, PTHREAD_CREATE_DETACHED), 0);
        test_log_to_stderr();
    }

    /* Waits (bounded) until the category has no dump running. */
    static bool dumps_end(const struct cat *category)
    {
        struct timespec now, deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += 10;
        for (;;) {
            unsigned long seen = dump_finished();
            if (dump_running(category) == 0)
                return true;
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_sec > deadline.tv_sec)
                return false;
            dump_wait(seen, 1000);
        }
    }

    /* A table big enough (one leaf per /24) that releasing it shows
     * clearly in the heap. */
    static void fill_large(struct cat *category, int count)
    {
        for (int i = 0; i < count; ++i)
            test_add(category, ip4(10, i >> 8 & 0xff, i & 0xff, 1), 5, 5);
    }

    static void run_joined(struct cat *category)
    {
        pthread_t thread;
        ASSERT_EQ(pthread_create(&thread, nullptr, dump_thread, category), 0);
        ASSERT_EQ(pthread_join(thread, nullptr), 0);
    }

    /* A large table of the given type, dumped on a joined thread with
     * standard output and the log (standard error) captured; *baseline is
     * the heap in use before the table was built. */
    static void run_large_captured(const char *name, int type, size_t *baseline,
                                   std::string *printed, std::string *log)
    {
        *baseline = test_heap_in_use();
        struct cat *category = test_cat_new(name, type, 1, 1);
        ASSERT_NE(category, nullptr);
        fill_large(category, LARGE_ENTRIES);
        ASSERT_GT(test_heap_in_use(), *baseline + HEAP_SLACK);

        struct test_capture out, err;
        test_capture_begin(&out, STDOUT_FILENO);
        test_capture_begin(&err, STDERR_FILENO);
        run_joined(category);
        *log = test_capture_end(&err);
        *printed = test_capture_end(&out);
    }

    /* Waits (bounded) until the heap is back near `baseline`. */
    static bool heap_returns_to(size_t baseline, size_t slack)
    {
        for (int i = 0; i < 5000; ++i) {
            if (test_heap_in_use() <= baseline + slack)
                return true;
            usleep(1000);
        }
        return false;
    }
};


TEST_F(DumpThread, PgSqlLogsItsErrorWritesNothingElseAndDestroysTheTable)
{
    /* Warm up one-time buffers (stdout, time zone) before measuring. */
    struct cat *warm = test_cat_new("warm", DUMP_STDOUT, 1, 1);
    ASSERT_NE(warm, nullptr);
    struct test_capture quiet;
    test_capture_begin(&quiet, STDOUT_FILENO);
    run_joined(warm);
    test_capture_end(&quiet);

    size_t baseline;
    std::string printed, log;
    run_large_captured("pg", DUMP_PGSQL, &baseline, &printed, &log);

    EXPECT_EQ(printed, "");
    EXPECT_EQ(test_count(log, "Error while dumping category pg: Norvo was not compiled with "
                              "PgSQL support"),
              1u)
        << log;
    EXPECT_EQ(test_count(log, "\n"), 1u) << log;
    EXPECT_TRUE(heap_returns_to(baseline, HEAP_SLACK));
}

TEST_F(DumpThread, UnknownTypeWritesNothingAnywhereAndDestroysTheTable)
{
    size_t baseline;
    std::string printed, log;
    run_large_captured("misspelt", DUMP_BAD, &baseline, &printed, &log);

    EXPECT_EQ(printed, "");
    EXPECT_EQ(log, "");
    EXPECT_TRUE(heap_returns_to(baseline, HEAP_SLACK));

    /* Types beyond the table behave the same. */
    struct cat *odd = test_cat_new("odd", 42, 1, 1);
    ASSERT_NE(odd, nullptr);
    test_add(odd, ip4(10, 0, 0, 1), 100, 100);
    struct test_capture out;
    test_capture_begin(&out, STDOUT_FILENO);
    run_joined(odd);
    EXPECT_EQ(test_capture_end(&out), "");
}

TEST_F(DumpThread, EachCategoryCountsItsOwnDumpFromBeforeTheThreadExists)
{
    test_dir dir;
    ASSERT_FALSE(dir.path.empty());
    char *fifo = dir.file("slow-reader");
    ASSERT_EQ(mkfifo(fifo, 0600), 0) << strerror(errno);

    /* Live categories, as the reader makes them, each with its count.
     * Opening a FIFO with no reader blocks, which holds the dump of
     * `blocked` inside its back-end for as long as the test wants. */
    struct cat *blocked = test_cat_new("blocked", DUMP_TEXTFILE, 1, 1, fifo);
    struct cat *quick = test_cat_new("quick", DUMP_BAD, 1, 1);
    ASSERT_NE(blocked, nullptr);
    ASSERT_NE(quick, nullptr);
    blocked->next = quick;
    ASSERT_EQ(dump_track(blocked), 0);
    blocked->next = nullptr;
    test_add(blocked, ip4(198, 18, 0, 7), 70, 7);

    ASSERT_EQ(dump_start(blocked), 0);
    /* counted at once, not when the thread gets to run */
    EXPECT_EQ(dump_running(blocked), 1);
    EXPECT_EQ(blocked->table, nullptr) << "the copy owns the table";

    /* Another category's dump is not held up and does not count as one of
     * blocked's; a held dump counts until it is released. */
    dump_hold(quick);
    EXPECT_EQ(dump_running(quick), 1);
    unsigned long before = dump_finished();
    dump_release(quick);
    EXPECT_EQ(dump_running(quick), 0);
    EXPECT_EQ(dump_finished(), before + 1);
    ASSERT_EQ(dump_start(quick), 0);
    EXPECT_TRUE(dumps_end(quick)) << "a dump waited for another category's back-end";
    EXPECT_EQ(dump_running(blocked), 1);

    int reader = open(fifo, O_RDONLY);
    ASSERT_GE(reader, 0) << strerror(errno);
    std::string text;
    char chunk[512];
    ssize_t got;
    while ((got = read(reader, chunk, sizeof chunk)) > 0)
        text.append(chunk, (size_t)got);
    close(reader);
    EXPECT_TRUE(dumps_end(blocked));

    EXPECT_EQ(test_count(text, "Starting dump sequence of category blocked =="), 1u) << text;
    EXPECT_EQ(test_count(text, "Cat: blocked IP: 198.018.000.007 input:       70 output:        7"),
              1u)
        << text;
    for (struct cat *category : {blocked, quick}) {
        dump_untrack(category);
        test_cat_free(category);
    }
    free(fifo);
}

TEST_F(DumpThread, ConcurrentJoinableDumpsAllFinishAndReleaseEverything)
{
    test_dir dir;
    ASSERT_FALSE(dir.path.empty());
    const int types[] = {DUMP_STDOUT, DUMP_TEXTFILE, DUMP_BINFILE, DUMP_PGSQL, DUMP_BAD,
                         DUMP_STDOUT, DUMP_TEXTFILE, DUMP_BINFILE};
    const int count = sizeof types / sizeof types[0];
    std::vector<char *> files;

    size_t baseline = test_heap_in_use();
    struct test_capture out, err;
    test_capture_begin(&out, STDOUT_FILENO);
    test_capture_begin(&err, STDERR_FILENO);
    pthread_t threads[count];
    for (int k = 0; k < count; ++k) {
        char name[CAT_NAME_SIZE];
        snprintf(name, sizeof name, "c%d", k);
        char *file = dir.file(name);
        files.push_back(file);
        struct cat *category = test_cat_new(name, types[k], 1, 1, file);
        ASSERT_NE(category, nullptr);
        /* One leaf per entry, so that the tables weigh on the heap. */
        for (int i = 0; i < 500; ++i)
            test_add(category, ip4(20 + k, i >> 8, i & 0xff, 1), (uint64_t)i + 1, 1);
        ASSERT_EQ(pthread_create(&threads[k], nullptr, dump_thread, category), 0);
    }
    for (int k = 0; k < count; ++k)
        ASSERT_EQ(pthread_join(threads[k], nullptr), 0);
    std::string log = test_capture_end(&err);
    std::string printed = test_capture_end(&out);

    EXPECT_TRUE(heap_returns_to(baseline, HEAP_SLACK + 8 * FILE_PATH_SIZE));
    EXPECT_EQ(test_count(printed, "Starting dump sequence of category c0 =="), 1u);
    EXPECT_EQ(test_count(printed, "Starting dump sequence of category c5 =="), 1u);
    EXPECT_EQ(test_count(printed, "\nIP: "), 1000u);
    EXPECT_EQ(test_count(log, "category c3: Norvo was not compiled with PgSQL support"), 1u);
    for (int k : {1, 6})
        EXPECT_EQ(test_count(test_read_file(files[k]), "\nCat: c"), 500u) << k;
    for (int k : {2, 7})
        EXPECT_EQ(test_read_file(files[k]).size(), 500u * 20) << k;
    for (char *file : files)
        free(file);
}

TEST_F(DumpThread, ConcurrentDetachedDumpsAllFinishAndReleaseEverything)
{
    test_dir dir;
    ASSERT_FALSE(dir.path.empty());
    char *file = dir.file("shared.txt");
    pthread_attr_t detached;
    ASSERT_EQ(pthread_attr_init(&detached), 0);
    ASSERT_EQ(pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED), 0);

    size_t baseline = test_heap_in_use();
    const int count = 6;
    struct cat *categories[count];
    for (int k = 0; k < count; ++k) {
        char name[CAT_NAME_SIZE];
        snprintf(name, sizeof name, "d%d", k);
        categories[k] = test_cat_new(name, k % 2 ? DUMP_TEXTFILE : DUMP_BAD, 1, 1, file);
        ASSERT_NE(categories[k], nullptr);
        for (int i = 0; i < 1000; ++i)
            test_add(categories[k], ip4(20 + k, i >> 8, i & 0xff, 1), 1, 1);
    }
    ASSERT_GT(test_heap_in_use(), baseline + count * HEAP_SLACK);
    for (int k = 0; k < count; ++k) {
        pthread_t thread;
        ASSERT_EQ(pthread_create(&thread, &detached, dump_thread, categories[k]), 0);
    }
    pthread_attr_destroy(&detached);

    /* Detached threads cannot be joined: the heap going back shows that
     * every table and copy was released. */
    EXPECT_TRUE(heap_returns_to(baseline, HEAP_SLACK));
    std::string text = test_read_file(file);
    EXPECT_EQ(test_count(text, "Starting dump sequence"), 3u);
    EXPECT_EQ(test_count(text, "\nCat: d"), 3000u);
    free(file);
}
