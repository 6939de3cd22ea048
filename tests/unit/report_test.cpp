/*
 * norvo-report: summing per address and period, ranking, spans, units, the
 * checks on foreign and cut files, and the outputs written whole or not at
 * all.
 */
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dump/record.h"
#include "report/report.h"
#include "test_file.h"

namespace
{

const uint32_t A = 0xc6120205; /* 198.18.2.5 */
const uint32_t B = 0xc6120206; /* 198.18.2.6 */
const uint32_t C = 0xc6120207; /* 198.18.2.7 */

std::string record(uint32_t ip, uint32_t input, uint32_t output, int64_t tag)
{
    struct bin_record r = {ip, input, output, tag};
    unsigned char bytes[BINFILE_RECORD_SIZE];
    bin_record_pack(&r, bytes);
    return std::string((const char *)bytes, sizeof bytes);
}

class Report : public ::testing::Test
{
  protected:
    std::string dir;

    void SetUp() override
    {
        /* dates in the tests are UTC */
        setenv("TZ", "UTC", 1);
        tzset();
        char name[] = "/tmp/norvo-report-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }

    void TearDown() override
    {
        for (const std::string &f : entries())
            unlink((dir + "/" + f).c_str());
        rmdir(dir.c_str());
    }

    std::vector<std::string> entries()
    {
        std::vector<std::string> names;
        DIR *d = opendir(dir.c_str());
        if (d == nullptr)
            return names;
        while (struct dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        closedir(d);
        return names;
    }

    std::string file(const std::string &name, const std::string &bytes)
    {
        std::string path = dir + "/" + name;
        FILE *f = fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
        return path;
    }


    /* The first pass over paths; returns the error, empty when none. */
    static std::string load(report *r, std::vector<std::string> paths)
    {
        static std::vector<std::string> keep;
        keep = paths;
        r->options.files.clear();
        for (const std::string &p : keep)
            r->options.files.push_back(p.c_str());
        std::string error;
        if (report_load(r, &error) == 0)
            EXPECT_EQ(error, "");
        else
            EXPECT_NE(error, "");
        return error;
    }

    struct ran {
        int status;
        std::string out, err;
    };

    static ran run(std::vector<std::string> args)
    {
        args.insert(args.begin(), "norvo-report");
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        char *out_buf = nullptr, *err_buf = nullptr;
        size_t out_len = 0, err_len = 0;
        FILE *out = open_memstream(&out_buf, &out_len);
        FILE *err = open_memstream(&err_buf, &err_len);
        int status = report_run((int)args.size(), argv.data(), out, err);
        fclose(out);
        fclose(err);
        ran r = {status, std::string(out_buf, out_len), std::string(err_buf, err_len)};
        free(out_buf);
        free(err_buf);
        return r;
    }
};

const char TEXT[] =
    "== [ Mon, 01 Jul 2024 00:10:00 +0000 ] Starting dump sequence of category office ==\n"
    "Cat: office IP: 198.018.002.005 input:     1000 output:       10 timetag: 1719792600\n"
    "Cat: office IP: 198.018.002.007 input:        5 output:        0 timetag: 1719792600\n"
    "== [ Mon, 01 Jul 2024 00:10:00 +0000 ] Starting dump sequence of category lab ==\n"
    "Cat: lab IP: 198.018.002.005 input:        1 output:        2 timetag: 1719792600\n"
    "== [ Mon, 01 Jul 2024 00:20:00 +0000 ] Starting dump sequence of category office ==\n";

TEST_F(Report, SumsBinaryAndTextFilesPerAddressAndPeriod)
{
    std::string bin = file("a.bin", record(A, 100, 200, 1719792000) + record(B, 7, 0, 1719792000) +
                                        record(A, 1, 2, 1719792600));
    std::string text = file("b.txt", TEXT);
    report r;
    ASSERT_EQ(load(&r, {bin, text}), "");
    ASSERT_EQ(r.files.size(), 2u);
    EXPECT_EQ(r.files[0].format, REPORT_BINFILE);
    EXPECT_EQ(r.files[0].records, 3u);
    EXPECT_EQ(r.files[1].format, REPORT_TEXTFILE);
    EXPECT_EQ(r.files[1].records, 3u);

    const report_totals &t = r.totals;
    ASSERT_EQ(t.addrs.size(), 3u);
    const report_addr_sum &a = t.addrs[(size_t)report_totals_find_addr(t, report_addr_v4(A))];
    EXPECT_EQ(a.input, 100u + 1 + 1000 + 1);
    EXPECT_EQ(a.output, 200u + 2 + 10 + 2);
    ASSERT_EQ(r.periods.size(), 2u);
    const report_period &late = t.periods[r.periods[1]];
    EXPECT_EQ(late.tag, 1719792600);
    EXPECT_EQ(late.input, 1u + 1000 + 5 + 1);
    EXPECT_EQ(late.output, 2u + 10 + 0 + 2);

    /* one category of a shared text file, counters multiplied back */
    report only;
    only.options.category = "lab";
    only.options.byte_divider = 1024;
    ASSERT_EQ(load(&only, {text}), "");
    ASSERT_EQ(only.totals.addrs.size(), 1u);
    EXPECT_EQ(only.totals.addrs[0].input, 1024u);
    EXPECT_EQ(only.totals.addrs[0].output, 2048u);
    EXPECT_EQ(only.files[0].records, 3u) << "rows of other categories are read, not summed";
    /* a BinFile has no categories to choose from */
    EXPECT_NE(load(&only, {bin}).find("--cat applies to TextFile files only"), std::string::npos);
}

TEST_F(Report, RanksByTotalThenAddressAndOrdersPeriodsByTime)
{
    report_totals t;
    report_totals_init(&t, 0, INT64_MAX);
    report_totals_add(&t, report_addr_v4(C), 10, 0, 30);
    report_totals_add(&t, report_addr_v4(B), 4, 6, 10);
    report_totals_add(&t, report_addr_v4(A), 0, 3, 20);
    report_totals_add(&t, report_addr_v4(A), 7, 0, 10);
    report_addr v6 = {0x20010db800000000ULL, 1};
    report_totals_add(&t, v6, 9, 1, 20);

    std::vector<std::string> order;
    for (uint32_t pos : report_rank(t, 0))
        order.push_back(report_addr_text(t.addrs[pos].addr));
    /* four totals of 10: IPv4 by address, then IPv6; 198.18.2.7 has 10 too */
    EXPECT_EQ(order,
              (std::vector<std::string>{"198.18.2.5", "198.18.2.6", "198.18.2.7", "2001:db8::1"}));
    EXPECT_EQ(report_rank(t, 2).size(), 2u);
    EXPECT_EQ(t.addrs[report_rank(t, 1)[0]].addr.lo, report_addr_v4(A).lo);

    std::vector<int64_t> tags;
    for (uint32_t pos : report_period_order(t))
        tags.push_back(t.periods[pos].tag);
    EXPECT_EQ(tags, (std::vector<int64_t>{10, 20, 30}));

    /* the index keeps finding every key while it grows */
    report_totals many;
    report_totals_init(&many, 0, INT64_MAX);
    for (uint32_t i = 0; i < 5000; ++i)
        report_totals_add(&many, report_addr_v4(0xc6120000 + i * 7), i + 1, 0, i % 3);
    ASSERT_EQ(many.addrs.size(), 5000u);
    for (uint32_t i = 0; i < 5000; i += 499) {
        long pos = report_totals_find_addr(many, report_addr_v4(0xc6120000 + i * 7));
        ASSERT_GE(pos, 0);
        EXPECT_EQ(many.addrs[(size_t)pos].input, i + 1);
    }
    EXPECT_EQ(report_totals_find_addr(many, report_addr_v4(0xc6120001)), -1);
}

TEST_F(Report, SpansTakeTagsAndLocalDates)
{
    report_when w;
    std::string error;
    ASSERT_EQ(report_parse_when("478105", 0, &w, &error), 0);
    EXPECT_TRUE(w.is_tag);
    EXPECT_EQ(w.value, 478105);
    ASSERT_EQ(report_parse_when("2024-07-01", 0, &w, &error), 0);
    EXPECT_FALSE(w.is_tag);
    EXPECT_EQ(w.value, 1719792000);
    ASSERT_EQ(report_parse_when("2024-07-01", 1, &w, &error), 0);
    EXPECT_EQ(w.value, 1719792000 + 86399) << "--to a day includes all of it";
    ASSERT_EQ(report_parse_when("2024-07-01T10:20", 1, &w, &error), 0);
    EXPECT_EQ(w.value, 1719792000 + 10 * 3600 + 20 * 60 + 59);
    ASSERT_EQ(report_parse_when("2024-07-01 10:20:30", 0, &w, &error), 0);
    EXPECT_EQ(w.value, 1719792000 + 10 * 3600 + 20 * 60 + 30);
    for (const char *bad : {"2024-02-30", "2024-7-1", "2024-07-01 25:00", "yesterday", "",
                            "2024-07-01x10:00", "99999999999999999999"}) {
        error.clear();
        EXPECT_EQ(report_parse_when(bad, 0, &w, &error), 1) << bad;
        EXPECT_NE(error, "") << bad;
    }

    /* with hourly tags a date keeps the hours that start inside it */
    report_options o;
    o.time_divider = 3600;
    report_parse_when("2024-07-01 09:30", 0, &o.from, &error);
    report_parse_when("2024-07-01 11:59", 1, &o.to, &error);
    int64_t first, last;
    report_span(o, &first, &last);
    EXPECT_EQ(first, 1719792000 / 3600 + 10);
    EXPECT_EQ(last, 1719792000 / 3600 + 11);

    std::string bin = file("a.bin", record(A, 1, 0, 477719) + record(A, 2, 0, 477720) +
                                        record(A, 4, 0, 477722) + record(A, 8, 0, 477723));
    report r;
    r.options.time_divider = 3600;
    r.options.from = {1, 1, 477720};
    r.options.to = {1, 1, 477722};
    ASSERT_EQ(load(&r, {bin}), "");
    EXPECT_EQ(r.totals.addrs[0].input, 6u);
    EXPECT_EQ(r.periods.size(), 2u);
    EXPECT_EQ(report_time(477720, 3600), "2024-07-01 00:00");
    EXPECT_EQ(report_time(1719792630, 1), "2024-07-01 00:10:30");
}

TEST_F(Report, BytesInBinaryUnits)
{
    EXPECT_EQ(report_bytes(0, 0), "0 B");
    EXPECT_EQ(report_bytes(1023, 0), "1023 B");
    EXPECT_EQ(report_bytes(1024, 0), "1.0 KiB");
    EXPECT_EQ(report_bytes(1536, 0), "1.5 KiB");
    EXPECT_EQ(report_bytes(1048575, 0), "1.0 MiB") << "no 1024.0 KiB";
    EXPECT_EQ(report_bytes(5ULL << 30, 0), "5.0 GiB");
    EXPECT_EQ(report_bytes(3ULL << 40, 0), "3.0 TiB");
    EXPECT_EQ(report_bytes(UINT64_MAX, 0), "16.0 EiB");
    EXPECT_EQ(report_bytes(1048575, 1), "1048575");
}

TEST_F(Report, ForeignAndCutFilesAreNamedWithTheirOffset)
{
    struct {
        std::string name, bytes, expect;
    } cases[] = {
        {"cut.bin", record(A, 1, 1, 1719792000) + record(B, 1, 1, 1719792000).substr(0, 7),
         "cut.bin: byte offset 20: incomplete record (7 of 20 bytes)"},
        {"text.bin", "This is a letter, not a dump of norvo at all.\n",
         "text.bin: byte offset 0: time tag"},
        {"zeros.bin", record(A, 1, 1, 1719792000) + std::string(40, '\0'),
         "zeros.bin: byte offset 20: record with no traffic"},
        {"negative.bin", record(A, 1, 1, -5), "negative.bin: byte offset 0: time tag -5 is not"},
        {"row.txt",
         std::string(TEXT).substr(0, 84) +
             "Cat: office IP: 198.018.002.005 input:     1000 output: ten timetag: 1\n",
         "row.txt: byte offset 84: expected \" output: \" and a number"},
        {"octet.txt", "Cat: x IP: 198.018.256.005 input: 1 output: 1 timetag: 1719792000\n",
         "octet.txt: byte offset 0: expected an address"},
        {"open.txt", std::string(TEXT, 200), "open.txt: byte offset 169: incomplete last line"},
        {"header.txt", "== [ Mon ] Starting dump of everything ==\n",
         "header.txt: byte offset 0: malformed dump header"},
    };
    for (const auto &c : cases) {
        report r;
        std::string error = load(&r, {file(c.name, c.bytes)});
        EXPECT_NE(error.find(dir + "/" + c.expect), std::string::npos) << error;
    }
    /* tags of another unit than the divider given */
    report r;
    r.options.time_divider = 3600;
    std::string error = load(&r, {file("seconds.bin", record(A, 1, 1, 1719792000))});
    EXPECT_NE(error.find("is --timedivider right?"), std::string::npos) << error;
    EXPECT_NE(load(&r, {dir + "/missing.bin"}).find("No such file or directory"),
              std::string::npos);
}

TEST_F(Report, OutputsAreWholeOrNotWrittenAtAll)
{
    std::string bin = file("a.bin", record(A, 3000, 100, 1719792000) + record(B, 5, 0, 1719792000) +
                                        record(C, 5, 0, 1719792600));
    ran table = run({"--bytes", bin});
    ASSERT_EQ(table.status, 0) << table.err;
    EXPECT_NE(table.out.find("   1  198.18.2.5   3000     100   3100\n"), std::string::npos)
        << table.out;
    EXPECT_NE(table.out.find("   2  198.18.2.6      5       0      5\n"), std::string::npos)
        << table.out;
    EXPECT_NE(table.out.find("1719792600  2024-07-01 00:10:00      5       0      5\n"),
              std::string::npos)
        << table.out;
    EXPECT_NE(table.out.find("\nall                               3010     100   3110\n"),
              std::string::npos)
        << table.out;

    ran csv = run({"--csv", bin});
    ASSERT_EQ(csv.status, 0) << csv.err;
    EXPECT_EQ(csv.out, "address,input,output,total\n198.18.2.5,3000,100,3100\n"
                       "198.18.2.6,5,0,5\n198.18.2.7,5,0,5\n");
    EXPECT_EQ(run({"--csv", "-n", "1", bin}).out,
              "address,input,output,total\n198.18.2.5,3000,100,3100\n");

    std::string page = dir + "/page.html";
    ran html = run({"--html", page, "-n", "2", bin});
    ASSERT_EQ(html.status, 0) << html.err;
    EXPECT_EQ(html.out, "");
    std::string text = test_read_file(page);
    EXPECT_NE(text.find("<tr data-addr=\"198.18.2.5\">"), std::string::npos);
    EXPECT_NE(text.find("<tr data-addr=\"198.18.2.6\">"), std::string::npos);
    EXPECT_EQ(text.find("data-addr=\"198.18.2.7\""), std::string::npos);
    EXPECT_EQ(text.find("src="), std::string::npos) << "nothing is loaded from elsewhere";
    EXPECT_NE(text.find("</html>\n"), std::string::npos);
    struct stat st;
    ASSERT_EQ(stat(page.c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0044, 0u) << "readable like any new file, not 0600";

    /* a cut input keeps the old page and leaves no temporary file */
    std::string cut = file("cut.bin", record(A, 1, 1, 1719792000).substr(0, 19));
    ran bad = run({"--html", page, bin, cut});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("cut.bin: byte offset 0: incomplete record"), std::string::npos);
    EXPECT_EQ(test_read_file(page), text);
    ran bad_table = run({bin, cut});
    EXPECT_EQ(bad_table.status, 1);
    EXPECT_EQ(bad_table.out, "");

    /* an unwritable place: the reason, no leftovers */
    ran nowhere = run({"--html", dir + "/no/such/dir/page.html", bin});
    EXPECT_EQ(nowhere.status, 1);
    EXPECT_NE(nowhere.err.find("cannot create a temporary file beside it"), std::string::npos);
    std::vector<std::string> left = entries();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"a.bin", "cut.bin", "page.html"}));
}

TEST_F(Report, HtmlSparklinesFollowTheTopAddresses)
{
    /* 120 periods: sparklines sum pairs of them, A grows, B is flat */
    std::string bytes;
    for (int p = 0; p < 120; ++p) {
        bytes += record(A, (uint32_t)(p + 1) * 100, 0, 1719792000 + p * 600);
        bytes += record(B, 50, 0, 1719792000 + p * 600);
    }
    report r;
    r.options.html = "unused";
    ASSERT_EQ(load(&r, {file("a.bin", bytes)}), "");
    std::string error;
    ASSERT_EQ(report_load_series(&r, &error), 0) << error;
    ASSERT_EQ(r.spark_group, 2u);
    ASSERT_EQ(r.spark_points, 60u);
    ASSERT_EQ(r.ranked.size(), 2u);
    EXPECT_EQ(r.spark[0], 100u + 200);
    EXPECT_EQ(r.spark[59], 11900u + 12000);
    EXPECT_EQ(r.spark[60 + 17], 100u);
}

} // namespace
