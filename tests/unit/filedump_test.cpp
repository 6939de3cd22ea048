/*
 * The file back-ends (text and binary), appends of several categories to one
 * file, and the reader of binary dump files.
 */
#include <pthread.h>
#include <time.h>

#include <map>
#include <string>
#include <vector>

#include "dump/backend.h"
#include "binread/binread.h"
#include "dump/dump.h"
#include "dump_fixture.h"

namespace {

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size())
        lines.push_back(text.substr(start)); /* an unterminated tail */
    return lines;
}

struct record {
    uint32_t ip;
    uint32_t input;
    uint32_t output;
    int64_t tag;
};

std::vector<record> decode(const std::string &bytes)
{
    std::vector<record> records;
    for (size_t at = 0; at + 20 <= bytes.size(); at += 20) {
        record r;
        memcpy(&r.ip, bytes.data() + at, 4);
        memcpy(&r.input, bytes.data() + at + 4, 4);
        memcpy(&r.output, bytes.data() + at + 8, 4);
        memcpy(&r.tag, bytes.data() + at + 12, 8);
        records.push_back(r);
    }
    return records;
}

std::string encode(uint32_t ip, uint32_t input, uint32_t output, int64_t tag)
{
    char bytes[20];
    memcpy(bytes, &ip, 4);
    memcpy(bytes + 4, &input, 4);
    memcpy(bytes + 8, &output, 4);
    memcpy(bytes + 12, &tag, 8);
    return std::string(bytes, sizeof bytes);
}

void write_file(const std::string &path, const std::string &bytes)
{
    FILE *file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path << ": " << strerror(errno);
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    ASSERT_EQ(fclose(file), 0);
}

/* Runs a back-end with the log echoed on standard error; returns the log. */
std::string run_logged(int (*backend)(struct cat *), struct cat *category, int *result)
{
    test_log_to_stderr();
    struct test_capture capture;
    test_capture_begin(&capture, STDERR_FILENO);
    *result = backend(category);
    return test_capture_end(&capture);
}

class FileDump : public ::testing::Test {
protected:
    test_dir dir;
    std::vector<char *> paths;

    char *path(const char *name)
    {
        char *file = dir.file(name);
        paths.push_back(file);
        return file;
    }
    void TearDown() override
    {
        for (char *file : paths)
            free(file);
    }
};

} // namespace

using TextFile = FileDump;
using BinFile = FileDump;
using SharedFile = FileDump;
using BinRead = FileDump;

TEST_F(TextFile, WritesTheHeaderThenScaledFilteredRowsExactly)
{
    char *file = path("lan.txt");
    struct cat *category = test_cat_new("lan", DUMP_TEXTFILE, 1000, 3600, file);
    ASSERT_NE(category, nullptr);
    test_add(category, ip4(10, 0, 0, 1), 999, 1500);
    test_add(category, ip4(10, 0, 0, 2), 999, 999);
    test_add(category, ip4(10, 0, 0, 3), 0, 0);
    test_add(category, ip4(192, 168, 1, 5), 3000000000000ULL, 7000);
    test_add(category, ip4(255, 255, 255, 255), 1000, 0);

    time_t before = time(nullptr);
    EXPECT_EQ(dump_textfile(category), 0);
    time_t after = time(nullptr);

    std::vector<std::string> lines = split_lines(test_read_file(file));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(test_is_header(lines[0], "lan")) << lines[0];
    long long tag = test_tag_of(lines[1]);
    EXPECT_TRUE(tag == before / 3600 || tag == after / 3600) << tag;
    char expected[3][128];
    snprintf(expected[0], sizeof expected[0],
             "Cat: lan IP: 010.000.000.001 input:        0 output:        1 timetag: %8lld", tag);
    snprintf(expected[1], sizeof expected[1],
             "Cat: lan IP: 192.168.001.005 input: 3000000000 output:        7 timetag: %8lld",
             tag);
    snprintf(expected[2], sizeof expected[2],
             "Cat: lan IP: 255.255.255.255 input:        1 output:        0 timetag: %8lld", tag);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(lines[1 + i], expected[i]);
    test_cat_free(category);
}

TEST_F(TextFile, RowsThatScaleToZeroAreNotWritten)
{
    char *file = path("zero.txt");
    struct cat *category = test_cat_new("zero", DUMP_TEXTFILE, 1000, 1, file);
    ASSERT_NE(category, nullptr);
    test_add(category, ip4(10, 0, 0, 1), 0, 0);
    test_add(category, ip4(10, 0, 0, 2), 999, 999);
    EXPECT_EQ(dump_textfile(category), 0);
    std::vector<std::string> lines = split_lines(test_read_file(file));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Starting dump sequence of category zero"), std::string::npos);
    test_cat_free(category);
}

TEST_F(TextFile, EveryDumpAppendsItsOwnHeaderAndRows)
{
    char *file = path("twice.txt");
    write_file(file, "kept\n");
    for (int round = 0; round < 2; ++round) {
        struct cat *category = test_cat_new("twice", DUMP_TEXTFILE, 1, 0, file);
        ASSERT_NE(category, nullptr);
        test_add(category, ip4(10, 0, 0, 1), 10 + round, 1);
        test_add(category, ip4(10, 0, 0, 2), 20 + round, 1);
        EXPECT_EQ(dump_textfile(category), 0);
        test_cat_free(category);
    }
    std::vector<std::string> lines = split_lines(test_read_file(file));
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "kept");
    for (int round = 0; round < 2; ++round) {
        EXPECT_NE(lines[1 + 3 * round].find("Starting dump sequence of category twice =="),
                  std::string::npos);
        EXPECT_NE(lines[2 + 3 * round].find("IP: 010.000.000.001 input: " +
                                            std::string(6, ' ') + std::to_string(10 + round)),
                  std::string::npos)
            << lines[2 + 3 * round];
        EXPECT_NE(lines[3 + 3 * round].find("IP: 010.000.000.002"), std::string::npos);
    }
}

// Both file back-ends open, write and close through one path; each failure
// loses only that dump and is logged with the category, the path and the
// system's reason. The open failure says "textfile" for both.
TEST_F(FileDump, OpenAndWriteFailuresNameCategoryPathAndReasonAndCreateNothing)
{
    const struct {
        int type;
        int (*backend)(struct cat *);
    } backends[] = {{DUMP_TEXTFILE, dump_textfile}, {DUMP_BINFILE, dump_binfile}};
    for (const auto &b : backends) {
        SCOPED_TRACE(dump_type_name(b.type));
        char *file = path("no/such/dir/lost");
        struct cat *category = test_cat_new("lost", b.type, 1, 1, file);
        ASSERT_NE(category, nullptr);
        test_add(category, ip4(10, 0, 0, 1), 5, 5);
        int result = -1;
        std::string log = run_logged(b.backend, category, &result);
        EXPECT_EQ(result, 1);
        EXPECT_NE(log.find(std::string("ERROR: Error while category lost dumping into textfile ") +
                           file + ": No such file or directory"),
                  std::string::npos)
            << log;
        EXPECT_FALSE(std::filesystem::exists(dir.path + "/no"));
        test_cat_free(category);

        char full[FILE_PATH_SIZE] = "/dev/full";
        struct cat *disk = test_cat_new("disk", b.type, 1, 1, full);
        ASSERT_NE(disk, nullptr);
        test_add(disk, ip4(10, 0, 0, 1), 5, 5);
        log = run_logged(b.backend, disk, &result);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(test_count(log, "category disk"), 1u) << log;
        EXPECT_NE(log.find("/dev/full: No space left on device"), std::string::npos) << log;
        test_cat_free(disk);
    }
}

TEST_F(BinFile, AddressIsStoredInMachineOrderFollowedByCountersAndTag)
{
    char *file = path("host.bin");
    struct cat *category = test_cat_new("host", DUMP_BINFILE, 1, 0, file);
    ASSERT_NE(category, nullptr);
    test_add(category, ip4(192, 168, 1, 5), 0x01020304, 0x0a0b0c0d);
    time_t before = time(nullptr);
    EXPECT_EQ(dump_binfile(category), 0);
    time_t after = time(nullptr);

    std::string bytes = test_read_file(file);
    ASSERT_EQ(bytes.size(), 20u);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    const unsigned char address[4] = {0x05, 0x01, 0xA8, 0xC0};
    const unsigned char input[4] = {0x04, 0x03, 0x02, 0x01};
#else
    const unsigned char address[4] = {0xC0, 0xA8, 0x01, 0x05};
    const unsigned char input[4] = {0x01, 0x02, 0x03, 0x04};
#endif
    EXPECT_EQ(memcmp(bytes.data(), address, 4), 0);
    EXPECT_EQ(memcmp(bytes.data() + 4, input, 4), 0);
    record r = decode(bytes)[0];
    EXPECT_EQ(r.ip, 0xC0A80105u);
    EXPECT_EQ(r.output, 0x0a0b0c0du);
    EXPECT_GE(r.tag, (int64_t)before);
    EXPECT_LE(r.tag, (int64_t)after);
    test_cat_free(category);
}

TEST_F(BinFile, ThreePassingRowsAppendExactlySixtyBytesAndZeroRowsNothing)
{
    char *file = path("three.bin");
    std::string earlier = encode(ip4(1, 2, 3, 4), 1, 2, 3);
    write_file(file, earlier);
    struct cat *category = test_cat_new("three", DUMP_BINFILE, 10, 3600, file);
    ASSERT_NE(category, nullptr);
    test_add(category, ip4(10, 0, 0, 1), 10, 0);
    test_add(category, ip4(10, 0, 0, 2), 9, 9); /* scales to 0/0 */
    test_add(category, ip4(10, 0, 0, 3), 0, 0);
    test_add(category, ip4(10, 0, 1, 0), 0, 25);
    test_add(category, ip4(10, 1, 0, 0), 99, 100);
    time_t before = time(nullptr);
    EXPECT_EQ(dump_binfile(category), 0);
    time_t after = time(nullptr);

    std::string bytes = test_read_file(file);
    ASSERT_EQ(bytes.size(), earlier.size() + 60);
    EXPECT_EQ(bytes.substr(0, 20), earlier);
    std::vector<record> records = decode(bytes.substr(20));
    ASSERT_EQ(records.size(), 3u);
    const record expected[3] = {{ip4(10, 0, 0, 1), 1, 0, 0},
                                {ip4(10, 0, 1, 0), 0, 2, 0},
                                {ip4(10, 1, 0, 0), 9, 10, 0}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(records[i].ip, expected[i].ip) << i;
        EXPECT_EQ(records[i].input, expected[i].input) << i;
        EXPECT_EQ(records[i].output, expected[i].output) << i;
        EXPECT_TRUE(records[i].tag == before / 3600 || records[i].tag == after / 3600) << i;
    }
    test_cat_free(category);

    struct cat *idle = test_cat_new("idle", DUMP_BINFILE, 1, 1, file);
    ASSERT_NE(idle, nullptr);
    test_add(idle, ip4(10, 0, 0, 9), 0, 0);
    EXPECT_EQ(dump_binfile(idle), 0);
    EXPECT_EQ(test_read_file(file).size(), 80u);
    test_cat_free(idle);
}

TEST_F(BinFile, CountersBeyond32BitsSaturateAndTheDumpSaysSoOnce)
{
    char *file = path("big.bin");
    struct cat *category = test_cat_new("big", DUMP_BINFILE, 1, 1, file);
    ASSERT_NE(category, nullptr);
    test_add(category, ip4(10, 0, 0, 1), 5000000000ULL, 4294967295ULL);
    test_add(category, ip4(10, 0, 0, 2), 4294967296ULL, 18446744073709551615ULL);
    test_add(category, ip4(10, 0, 0, 3), 7, 8);
    int result = -1;
    std::string log = run_logged(dump_binfile, category, &result);
    EXPECT_EQ(result, 0);
    std::vector<record> records = decode(test_read_file(file));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].input, 4294967295u);
    EXPECT_EQ(records[0].output, 4294967295u);
    EXPECT_EQ(records[1].input, 4294967295u);
    EXPECT_EQ(records[1].output, 4294967295u);
    EXPECT_EQ(records[2].input, 7u);
    EXPECT_EQ(records[2].output, 8u);
    EXPECT_EQ(test_count(log, "\n"), 1u) << log;
    EXPECT_NE(log.find("big"), std::string::npos) << log;
    EXPECT_NE(log.find("bytedivider"), std::string::npos) << log;
    test_cat_free(category);

    /* A divider that brings the counts back in range: no saturation. */
    struct cat *scaled = test_cat_new("scaled", DUMP_BINFILE, 2, 1, file);
    ASSERT_NE(scaled, nullptr);
    test_add(scaled, ip4(10, 0, 0, 1), 5000000000ULL, 8589934590ULL);
    log = run_logged(dump_binfile, scaled, &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(log, "");
    records = decode(test_read_file(file));
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[3].input, 2500000000u);
    EXPECT_EQ(records[3].output, 4294967295u);
    test_cat_free(scaled);
}


namespace {

const int SHARED_CATEGORIES = 4;
const int SHARED_ENTRIES = 20000;

uint64_t shared_input(int k, int i)
{
    return (uint64_t)(k + 1) * 1000000 + (uint64_t)i;
}

} // namespace

TEST_F(SharedFile, ConcurrentDumpsIntoOneFileKeepLinesAndRecordsWhole)
{
    char *text = path("shared.txt");
    char *binary = path("shared.bin");
    std::vector<pthread_t> threads;
    for (int kind = 0; kind < 2; ++kind) {
        for (int k = 0; k < SHARED_CATEGORIES; ++k) {
            char name[CAT_NAME_SIZE];
            snprintf(name, sizeof name, "%s%d", kind ? "bin" : "txt", k);
            struct cat *category = test_cat_new(name, kind ? DUMP_BINFILE : DUMP_TEXTFILE, 1,
                                                3600, kind ? binary : text);
            ASSERT_NE(category, nullptr);
            for (int i = 0; i < SHARED_ENTRIES; ++i)
                test_add(category, ip4(198, 18, i >> 8, i & 0xff), shared_input(k, i), 1);
            pthread_t thread;
            ASSERT_EQ(pthread_create(&thread, nullptr, dump_thread, category), 0);
            threads.push_back(thread);
        }
    }
    for (pthread_t thread : threads)
        ASSERT_EQ(pthread_join(thread, nullptr), 0);

    /* Text: each dump is one header followed by all its rows, in order. */
    std::vector<std::string> lines = split_lines(test_read_file(text));
    ASSERT_EQ(lines.size(), (size_t)SHARED_CATEGORIES * (SHARED_ENTRIES + 1));
    std::map<int, int> seen;
    size_t at = 0;
    for (int dump = 0; dump < SHARED_CATEGORIES; ++dump) {
        ASSERT_GT(lines[at].size(), 6u);
        /* The category is the digit before the closing " ==". */
        int k = lines[at][lines[at].size() - 4] - '0';
        ASSERT_TRUE(k >= 0 && k < SHARED_CATEGORIES) << "line " << at << ": " << lines[at];
        ASSERT_TRUE(test_is_header(lines[at], "txt" + std::to_string(k)))
            << "line " << at << ": " << lines[at];
        ++seen[k];
        ++at;
        long long tag = test_tag_of(lines[at]);
        for (int i = 0; i < SHARED_ENTRIES; ++i, ++at) {
            char expected[160];
            snprintf(expected, sizeof expected,
                     "Cat: txt%d IP: 198.018.%03d.%03d input: %8llu output:        1 timetag: "
                     "%8lld",
                     k, i >> 8, i & 0xff, (unsigned long long)shared_input(k, i), tag);
            ASSERT_EQ(lines[at], expected) << "line " << at;
        }
    }
    EXPECT_EQ(seen.size(), (size_t)SHARED_CATEGORIES);

    /* Binary: whole records, each dump in one run. */
    std::string bytes = test_read_file(binary);
    ASSERT_EQ(bytes.size(), (size_t)SHARED_CATEGORIES * SHARED_ENTRIES * 20);
    std::vector<record> records = decode(bytes);
    std::map<int, int> runs;
    for (int dump = 0; dump < SHARED_CATEGORIES; ++dump) {
        const record *run = &records[(size_t)dump * SHARED_ENTRIES];
        int k = (int)(run[0].input / 1000000) - 1;
        ASSERT_GE(k, 0);
        ASSERT_LT(k, SHARED_CATEGORIES);
        ++runs[k];
        for (int i = 0; i < SHARED_ENTRIES; ++i) {
            ASSERT_EQ(run[i].ip, ip4(198, 18, i >> 8, i & 0xff)) << dump << " " << i;
            ASSERT_EQ(run[i].input, shared_input(k, i)) << dump << " " << i;
            ASSERT_EQ(run[i].output, 1u);
            ASSERT_EQ(run[i].tag, run[0].tag);
        }
    }
    EXPECT_EQ(runs.size(), (size_t)SHARED_CATEGORIES);
}

TEST_F(BinRead, PrintsTheHeaderAndOneLinePerRecordOfEveryFile)
{
    char *first = path("first.bin");
    struct cat *category = test_cat_new("read", DUMP_BINFILE, 1, 1, first);
    ASSERT_NE(category, nullptr);
    test_add(category, ip4(192, 168, 1, 5), 4294967295ULL, 0);
    test_add(category, ip4(10, 0, 0, 1), 1, 2);
    ASSERT_EQ(dump_binfile(category), 0);
    test_cat_free(category);
    std::vector<record> stored = decode(test_read_file(first));
    ASSERT_EQ(stored.size(), 2u);

    char *second = path("second.bin");
    write_file(second, encode(ip4(255, 255, 255, 255), 7, 2147483648u, -5));

    char program[] = "norvo-binread";
    char *argv[] = {program, first, second};
    struct test_capture out, err;
    test_capture_begin(&out, STDOUT_FILENO);
    test_capture_begin(&err, STDERR_FILENO);
    int status = binread_run(3, argv, stdout, stderr);
    std::string problems = test_capture_end(&err);
    std::string csv = test_capture_end(&out);

    EXPECT_EQ(status, 0);
    EXPECT_EQ(problems, "");
    EXPECT_EQ(csv, "ip,input,output,timetag\n"
                   "10.0.0.1,1,2," + std::to_string(stored[0].tag) + "\n"
                   "192.168.1.5,4294967295,0," + std::to_string(stored[1].tag) + "\n"
                   "255.255.255.255,7,2147483648,-5\n");
}

TEST_F(BinRead, TruncatedFilePrintsItsWholeRecordsThenNamesTheOffset)
{
    char *file = path("cut.bin");
    std::string bytes = encode(ip4(10, 0, 0, 1), 1, 1, 100) +
                        encode(ip4(10, 0, 0, 2), 2, 2, 100) + std::string(7, '\x01');
    write_file(file, bytes);

    FILE *out = tmpfile();
    FILE *err = tmpfile();
    ASSERT_NE(out, nullptr);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(binread_file(file, out, err), 1);
    char buf[1024] = {0};
    rewind(out);
    EXPECT_EQ(fread(buf, 1, sizeof buf - 1, out), 34u);
    EXPECT_STREQ(buf, "10.0.0.1,1,1,100\n10.0.0.2,2,2,100\n");
    memset(buf, 0, sizeof buf);
    rewind(err);
    EXPECT_GT(fread(buf, 1, sizeof buf - 1, err), 0u);
    std::string complaint = buf;
    EXPECT_NE(complaint.find(file), std::string::npos) << complaint;
    EXPECT_NE(complaint.find("byte offset 40"), std::string::npos) << complaint;
    fclose(out);
    fclose(err);

    /* Every length that is not a whole number of records is caught. */
    for (size_t length : {1, 19, 21, 39}) {
        write_file(file, bytes.substr(0, length));
        FILE *sink = tmpfile();
        ASSERT_NE(sink, nullptr);
        EXPECT_EQ(binread_file(file, sink, sink), 1) << length;
        fclose(sink);
    }
    write_file(file, "");
    FILE *sink = tmpfile();
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(binread_file(file, sink, sink), 0);
    fclose(sink);
}

TEST_F(BinRead, UnreadableFilesAndMissingArgumentsFail)
{
    char *missing = path("absent.bin");
    char *good = path("good.bin");
    write_file(good, encode(ip4(10, 0, 0, 1), 3, 4, 5));

    char program[] = "norvo-binread";
    char *argv[] = {program, missing, good};
    FILE *out = tmpfile();
    FILE *err = tmpfile();
    ASSERT_NE(out, nullptr);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(binread_run(3, argv, out, err), 1);
    char buf[1024] = {0};
    rewind(out);
    EXPECT_GT(fread(buf, 1, sizeof buf - 1, out), 0u);
    EXPECT_STREQ(buf, "ip,input,output,timetag\n10.0.0.1,3,4,5\n");
    memset(buf, 0, sizeof buf);
    rewind(err);
    EXPECT_GT(fread(buf, 1, sizeof buf - 1, err), 0u);
    EXPECT_NE(std::string(buf).find(std::string(missing) + ": No such file or directory"),
              std::string::npos)
        << buf;
    fclose(out);
    fclose(err);

    FILE *sink = tmpfile();
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(binread_run(1, argv, sink, sink), 1);
    memset(buf, 0, sizeof buf);
    rewind(sink);
    EXPECT_GT(fread(buf, 1, sizeof buf - 1, sink), 0u);
    EXPECT_NE(std::string(buf).find("usage: norvo-binread FILE"), std::string::npos) << buf;
    fclose(sink);

    /* Output that cannot be written is a failure too. */
    FILE *full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    FILE *quiet = tmpfile();
    ASSERT_NE(quiet, nullptr);
    char *only_good[] = {program, good};
    EXPECT_EQ(binread_run(2, only_good, full, quiet), 1);
    fclose(full);
    fclose(quiet);
}
