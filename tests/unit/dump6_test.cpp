/*
 * IPv6 rows in the dumps: after the IPv4 rows in the text back-ends, in the
 * ".v6" BinFile with its header, and norvo-binread on that file.
 */
#include <sys/stat.h>

#include <string>
#include <vector>

#include "accounting/iptable6.h"
#include "binread/binread.h"
#include "dump/backend.h"
#include "dump/record.h"
#include "dump_fixture.h"

namespace {

struct addr6 v6(const char *text)
{
    struct addr6 a = {0, 0};
    EXPECT_EQ(addr6_parse(text, &a), 0) << text;
    return a;
}

void add6(struct cat *category, const char *ip, uint64_t input, uint64_t output)
{
    if (category->table6 == nullptr)
        category->table6 = iptable6_new(0);
    struct ip6_entry *e = iptable6_add(category->table6, v6(ip));
    ASSERT_NE(e, nullptr);
    e->input = input;
    e->output = output;
}

void free_cat(struct cat *category)
{
    iptable6_destroy(category->table6);
    test_cat_free(category);
}

/* A mixed table: two IPv4 rows, three IPv6 rows added out of order, one
 * of which scales to 0 with a divider of 10. */
struct cat *mixed(const char *name, int type, int divider, char *file = nullptr)
{
    struct cat *c = test_cat_new(name, type, divider, 1, file);
    test_add(c, ip4(198, 18, 0, 20), 120, 3400);
    test_add(c, ip4(198, 18, 0, 1), 50, 60);
    add6(c, "2001:db8:100::5", 1200, 340);
    add6(c, "2001:2::1", 9, 0);
    add6(c, "2001:db8::ffff:1", 0, 77777);
    return c;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

TEST(Dump6Text, Ipv6RowsFollowTheIpv4RowsInAscendingOrderWithTheSameFields)
{
    struct cat *c = mixed("six", DUMP_TEXTFILE, 10);
    FILE *out = tmpfile();
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(dump_write_text(out, c, 1), 0);
    rewind(out);
    std::string text;
    for (int ch; (ch = getc(out)) != EOF;)
        text += (char)ch;
    fclose(out);
    auto lines = lines_of(text);
    ASSERT_EQ(lines.size(), 5u) << text;
    EXPECT_TRUE(test_is_header(lines[0], "six")) << lines[0];
    std::string tag = std::to_string(test_tag_of(text));
    EXPECT_EQ(lines[1], "Cat: six IP: 198.018.000.001 input:        5 output:        6 timetag: " + tag);
    EXPECT_EQ(lines[2], "Cat: six IP: 198.018.000.020 input:       12 output:      340 timetag: " + tag);
    EXPECT_EQ(lines[3], "Cat: six IP: 2001:db8::ffff:1 input:        0 output:     7777 timetag: " + tag);
    EXPECT_EQ(lines[4], "Cat: six IP: 2001:db8:100::5 input:      120 output:       34 timetag: " + tag);
    free_cat(c);
}

class Bin6 : public ::testing::Test {
  protected:
    test_dir dir;
    std::vector<char *> buffers;
    void TearDown() override
    {
        for (char *b : buffers)
            free(b);
    }
    char *path(const char *name)
    {
        buffers.push_back(dir.file(name));
        return buffers.back();
    }
    std::string v6_path(const char *file) { return std::string(file) + ".v6"; }

    /* norvo-binread on one file: status, standard output, standard error */
    int binread(const std::string &file, std::string *out, std::string *err)
    {
        FILE *o = tmpfile(), *e = tmpfile();
        int status = binread_file(file.c_str(), o, e);
        for (auto [stream, text] : {std::pair{o, out}, std::pair{e, err}}) {
            rewind(stream);
            text->clear();
            for (int ch; (ch = getc(stream)) != EOF;)
                *text += (char)ch;
            fclose(stream);
        }
        return status;
    }
};

std::string le(uint64_t value, int bytes)
{
    std::string s;
    for (int i = 0; i < bytes; i++, value >>= 8)
        s += (char)(value & 0xff);
    return s;
}

TEST_F(Bin6, SecondFileHasOneHeaderThenFortyByteRecordsAndTheIpv4FileIsUnchanged)
{
    char *file = path("mixed.bin");
    for (int dump = 0; dump < 2; dump++) {
        struct cat *c = mixed("bin", DUMP_BINFILE, 10, file);
        ASSERT_EQ(dump_binfile(c), 0);
        c->file = nullptr;
        free_cat(c);
    }
    std::string v4 = test_read_file(file);
    ASSERT_EQ(v4.size(), 4u * BINFILE_RECORD_SIZE);
    struct bin_record first;
    bin_record_unpack((const unsigned char *)v4.data(), &first);
    EXPECT_EQ(first.ip, ip4(198, 18, 0, 1));

    std::string bytes = test_read_file(v6_path(file));
    ASSERT_EQ(bytes.size(), 16u + 4u * 40u);
    EXPECT_EQ(bytes.substr(0, 16), std::string("NORVOIP6") + le(1, 4) + le(40, 4));
    const int64_t tag = first.time_tag;
    std::string record = std::string("\x20\x01\x0d\xb8\0\0\0\0\0\0\0\0\xff\xff\0\x01", 16) +
                         le(0, 8) + le(7777, 8) + le((uint64_t)tag, 8);
    EXPECT_EQ(bytes.substr(16, 40), record);
    EXPECT_EQ(bytes.substr(16 + 80, 40), record);

    std::string out, err;
    ASSERT_EQ(binread(v6_path(file), &out, &err), 0) << err;
    std::string t = std::to_string(tag);
    EXPECT_EQ(out, "2001:db8::ffff:1,0,7777," + t + "\n2001:db8:100::5,120,34," + t + "\n" +
                       "2001:db8::ffff:1,0,7777," + t + "\n2001:db8:100::5,120,34," + t + "\n");
}

TEST_F(Bin6, NoIpv6RowsNoSecondFile)
{
    char *file = path("v4only.bin");
    struct cat *c = test_cat_new("bin", DUMP_BINFILE, 10, 1, file);
    test_add(c, ip4(198, 18, 0, 1), 50, 60);
    add6(c, "2001:2::1", 9, 9); /* scales to 0 */
    ASSERT_EQ(dump_binfile(c), 0);
    c->file = nullptr;
    free_cat(c);
    struct stat st;
    EXPECT_EQ(stat(file, &st), 0);
    EXPECT_NE(stat(v6_path(file).c_str(), &st), 0);
}

TEST_F(Bin6, BinreadRefusesAWrongHeaderNamingTheOffsetAndReportsACutRecord)
{
    std::string header = std::string("NORVOIP6") + le(1, 4) + le(40, 4);
    std::string record = std::string(15, '\0') + "\x01" + le(5, 8) + le(6, 8) + le(1700000000, 8);
    char *file = path("x.bin.v6");
    struct Case {
        std::string bytes;
        int status;
        const char *out, *err;
    } cases[] = {
        {header + record, 0, "::1,5,6,1700000000\n", ""},
        {header, 0, "", ""},
        {header + record + record.substr(0, 39), 1, "::1,5,6,1700000000\n",
         "incomplete record at byte offset 56 (39 of 40 bytes)"},
        {header.substr(0, 15), 1, "", "incomplete IPv6 header at byte offset 0 (15 of 16 bytes)"},
        {std::string("NORVOIP6") + le(2, 4) + le(40, 4) + record, 1, "",
         "IPv6 format version 2 at byte offset 8"},
        {std::string("NORVOIP6") + le(1, 4) + le(20, 4) + record, 1, "",
         "IPv6 record size 20 at byte offset 12, expected 40"},
    };
    for (const Case &k : cases) {
        FILE *f = fopen(file, "wb");
        fwrite(k.bytes.data(), 1, k.bytes.size(), f);
        fclose(f);
        std::string out, err;
        EXPECT_EQ(binread(file, &out, &err), k.status) << err;
        EXPECT_EQ(out, k.out);
        if (k.err[0] == '\0')
            EXPECT_EQ(err, "");
        else
            EXPECT_NE(err.find(std::string(file) + ": " + k.err), std::string::npos) << err;
    }
}

} // namespace
