/*
 * IPv6 rules: how the reader takes them beside IPv4 rules, and how the
 * accounting matches them against IPv6 packets only.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "accounting/account.h"
#include "accounting/iptable.h"
#include "accounting/iptable6.h"
#include "config/config.h"
#include "core/status.h"
#include "test_addr.h"

namespace {

struct addr6 v6(const char *text)
{
    struct addr6 a = {0, 0};
    EXPECT_EQ(addr6_parse(text, &a), 0) << text;
    return a;
}

void release(struct settings *settings)
{
    for (struct device *d = settings->devices; d != nullptr;) {
        struct device *next = d->next;
        free(d);
        d = next;
    }
    for (struct cat *c = settings->cats; c != nullptr;) {
        for (struct rule *r = c->primary; r != nullptr;) {
            struct rule *next = r->next;
            free(r);
            r = next;
        }
        for (struct rule *r = c->secondary; r != nullptr;) {
            struct rule *next = r->next;
            free(r);
            r = next;
        }
        for (struct rule6 *lists : {c->primary6, c->secondary6}) {
            for (struct rule6 *r = lists; r != nullptr;) {
                struct rule6 *next = r->next;
                free(r);
                r = next;
            }
        }
        free(c->file);
        free(c->db);
        struct cat *next = c->next;
        free(c);
        c = next;
    }
}

class Rules6 : public ::testing::Test {
  protected:
    char path[64] = "/tmp/norvo-rules6-test-XXXXXX";
    struct settings settings;

    void SetUp() override
    {
        int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        close(fd);
        memset(&settings, 0, sizeof settings);
    }
    void TearDown() override
    {
        release(&settings);
        unlink(path);
    }

    void write(const std::string &text)
    {
        FILE *f = fopen(path, "w");
        ASSERT_NE(f, nullptr);
        fputs(text.c_str(), f);
        fclose(f);
    }

    /* Loads the file; returns standard error. */
    std::string load(const std::string &text)
    {
        write(text);
        testing::internal::CaptureStderr();
        config_load(&settings, path);
        return testing::internal::GetCapturedStderr();
    }
};

TEST_F(Rules6, BothFamiliesInOneCategoryKeepTheirOwnFileOrder)
{
    std::string err = load("devices eth0\n"
                           "cat dual\n"
                           "primary ignore 2001:db8:100:1::/64\n"
                           "primary account 198.18.0.0/15 80\n"
                           "primary account 2001:DB8:100::/48 443\n"
                           "secondary account ::/0\n"
                           "secondary account 0.0.0.0 0.0.0.0\n");
    EXPECT_EQ(err, "");
    struct cat *c = settings.cats;
    ASSERT_NE(c, nullptr);
    ASSERT_NE(c->primary, nullptr);
    EXPECT_EQ(c->primary->ip, ip4(198, 18, 0, 0));
    EXPECT_EQ(c->primary->port, 80u);
    EXPECT_EQ(c->primary->next, nullptr);

    struct rule6 *r = c->primary6;
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(addr6_equal(r->ip, v6("2001:db8:100:1::")));
    EXPECT_EQ(r->length, 64);
    EXPECT_EQ(r->policy, 0);
    ASSERT_NE(r->next, nullptr);
    r = r->next;
    EXPECT_TRUE(addr6_equal(r->ip, v6("2001:db8:100::")));
    EXPECT_TRUE(addr6_equal(r->mask, addr6_mask(48)));
    EXPECT_EQ(r->port, 443u);
    EXPECT_EQ(r->policy, 1);
    EXPECT_EQ(r->next, nullptr);
    ASSERT_NE(c->secondary6, nullptr);
    EXPECT_EQ(c->secondary6->length, 0);
    ASSERT_NE(c->secondary, nullptr);
}

TEST_F(Rules6, StatusReportShowsIpv6RulesInRfc5952FormAfterTheIpv4Rules)
{
    load("cat dual\n"
         "primary account 198.18.0.0 255.254.0.0\n"
         "primary ignore 2001:DB8:0:0:1::/80 22\n"
         "primary account 2001:db8::/32\n"
         "cat four\n"
         "primary account 198.18.0.0 255.254.0.0\n");
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    ASSERT_NE(out, nullptr);
    status_write(out, &settings, 0);
    fclose(out);
    std::string report(text, size);
    free(text);
    EXPECT_NE(report.find("Cat: dual\n Byte Divider: 1\n Time Divider: 1\n Dump Type: StdOut\n"
                          " Primary:\n"
                          " | IP: 198.018.000.000 MASK: 255.254.000.000 VALUE: 1 PORT:     0 PROT:   0\n"
                          " | IP: 000.000.000.000 MASK: 000.000.000.000 VALUE: 0\n"
                          " | IP6: 2001:db8:0:0:1::/80 VALUE: 0 PORT:    22\n"
                          " | IP6: 2001:db8::/32 VALUE: 1 PORT:     0\n"
                          " | IP6: ::/0 VALUE: 0\n"
                          " Secondary:\n"
                          " | IP: 000.000.000.000 MASK: 000.000.000.000 VALUE: 0\n"
                          " | IP6: ::/0 VALUE: 0\n"
                          "Cat: four\n"),
              std::string::npos)
        << report;
    /* a category without IPv6 rules reports as before */
    EXPECT_EQ(report.find("IP6", report.find("Cat: four")), std::string::npos) << report;
}

TEST_F(Rules6, HostBitsOutsideThePrefixAndHalfAFamilyWarn)
{
    std::string err = load("devices eth0\ncat c\nprimary account 2001:db8::1/32\n"
                           "primary account 198.18.0.0/15\nsecondary account 0.0.0.0/0\n");
    EXPECT_NE(err.find("Norvo: Warning: Address 2001:db8::1/32 has bits outside its prefix "
                       "length, so rule primary never matches, in file " +
                       std::string(path) + ", line 3.\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("Norvo: Warning: Category c has IPv6 primary rules but no IPv6 secondary "
                       "rules, so it counts no IPv6 traffic, in file " +
                       std::string(path) + ", line 2.\n"),
              std::string::npos)
        << err;
    ASSERT_NE(settings.cats->primary6, nullptr);
}

TEST_F(Rules6, ACategoryOfOnlyIpv6RulesCountsAndIsNotWarnedAbout)
{
    std::string err = load("devices eth0\ncat six\nprimary account 2001:db8::/32\n"
                           "secondary account ::/0\n");
    EXPECT_EQ(err, "");
    EXPECT_EQ(settings.cats->primary, nullptr);
    EXPECT_NE(settings.cats->secondary6, nullptr);
}

TEST_F(Rules6, BadTextAndLengthsAboveOneHundredTwentyEightAreFatal)
{
    const std::string where = std::string("in file ") + path + ", line 3\\.";
    write("cat c\nprimary account 2001:db8::/32\nsecondary account 2001:db8::/129\n");
    EXPECT_EXIT(config_load(&settings, path), testing::ExitedWithCode(1),
                "invalid IPv6 prefix 2001:db8::/129 \\(the length is not a number from 0 to "
                "128\\), in rule secondary, " + where);
    write("cat c\n\nprimary account 2001:db8:::1/64\n");
    EXPECT_EXIT(config_load(&settings, path), testing::ExitedWithCode(1),
                "invalid IPv6 prefix 2001:db8:::1/64 \\(not an IPv6 address followed by "
                "/LENGTH\\), in rule primary, " + where);
    write("cat c\n\nprimary account 2001:db8::\n");
    EXPECT_EXIT(config_load(&settings, path), testing::ExitedWithCode(1),
                "invalid IPv6 prefix 2001:db8:: \\(not an IPv6 address");
}

/* A category as the reader and the cycle leave it, rules given as text. */
struct Dual {
    struct cat record;
    std::vector<struct rule6> rules6;

    Dual(const std::vector<std::pair<const char *, int>> &primary,
         const std::vector<std::pair<const char *, int>> &secondary)
    {
        memset(&record, 0, sizeof record);
        strcpy(record.name, "dual");
        rules6.reserve(primary.size() + secondary.size());
        record.primary6 = link(primary);
        record.secondary6 = link(secondary);
        /* an IPv4 rule that fits every address: IPv6 packets must not */
        static struct rule every = {0, 0, 0, 0, 1, nullptr};
        record.primary = &every;
        record.secondary = &every;
        record.table = iptable_new();
        record.table6 = iptable6_new(0);
    }
    ~Dual()
    {
        iptable_destroy(record.table);
        iptable6_destroy(record.table6);
    }

    struct rule6 *link(const std::vector<std::pair<const char *, int>> &lines)
    {
        struct rule6 *head = nullptr;
        for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
            struct rule6 r = {};
            EXPECT_EQ(addr6_parse_prefix(it->first, &r.ip, &r.length), 0);
            r.mask = addr6_mask(r.length);
            r.policy = it->second;
            r.next = head;
            rules6.push_back(r);
            head = &rules6.back();
        }
        return head;
    }

    void packet6(const char *src, uint32_t sport, const char *dst, uint32_t dport, uint32_t len)
    {
        struct packet_info p;
        memset(&p, 0, sizeof p);
        p.family = PACKET_IPV6;
        p.src6 = v6(src);
        p.dst6 = v6(dst);
        p.sport = sport;
        p.dport = dport;
        p.len = len;
        account_packet(&record, &p);
    }

    std::vector<std::string> rows6()
    {
        std::vector<std::string> rows;
        for (struct ip6_entry *e; (e = iptable6_next(record.table6)) != nullptr;) {
            char text[ADDR6_TEXT_SIZE];
            rows.push_back(std::string(addr6_format(e->ip, text)) + " " +
                           std::to_string(e->input) + " " + std::to_string(e->output));
        }
        return rows;
    }
};

TEST(Account6, FirstFittingRuleDecidesAndBothDirectionsCount)
{
    Dual c({{"2001:db8:100:1::/64", 0}, {"2001:db8:100::/48", 1}},
           {{"2001:db8:200::/48", 0}, {"::/0", 1}});
    c.packet6("2001:db8:100:2::5", 1000, "2001:2::9", 80, 100);     /* sent */
    c.packet6("2001:2::9", 80, "2001:db8:100:2::5", 1000, 40);      /* received */
    c.packet6("2001:db8:100:1::7", 1000, "2001:2::9", 80, 1000);    /* ignored own side */
    c.packet6("2001:db8:100:2::5", 1000, "2001:db8:200::1", 80, 7); /* ignored peer */
    c.packet6("2001:db8:100:3::1", 5, "2001:db8:100:2::5", 6, 3);   /* own to own */
    EXPECT_EQ(c.rows6(), (std::vector<std::string>{"2001:db8:100:2::5 43 100",
                                                   "2001:db8:100:3::1 0 3"}));
    /* nothing went to the IPv4 table, whose rules fit every IPv4 address */
    EXPECT_EQ(iptable_next(c.record.table), nullptr);
}

TEST(Account6, Ipv4PacketsNeverFitIpv6Rules)
{
    Dual c({{"::/0", 1}}, {{"::/0", 1}});
    c.record.primary = nullptr;
    c.record.secondary = nullptr;
    struct packet_info p;
    memset(&p, 0, sizeof p);
    p.src = ip4(198, 18, 0, 1);
    p.dst = ip4(198, 18, 0, 2);
    p.len = 60;
    account_packet(&c.record, &p);
    EXPECT_EQ(iptable_next(c.record.table), nullptr);
    EXPECT_EQ(iptable6_next(c.record.table6), nullptr);
}

/* Both tables of a category fill one bound: a flood of new addresses of
 * both families never takes them together past the limit, and each family
 * is refused once the other has taken the room. */
TEST(Account6, BothTablesShareTheCategoryLimit)
{
    const size_t limit = 1 << 20;
    Dual c({{"2001:db8::/32", 1}}, {{"::/0", 1}});
    static struct rule own4 = {ip4(198, 18, 0, 0), 0xfffe0000u, 0, 0, 1, nullptr};
    static struct rule every4 = {0, 0, 0, 0, 1, nullptr};
    c.record.primary = &own4;
    c.record.secondary = &every4;
    iptable_destroy(c.record.table);
    iptable6_destroy(c.record.table6);
    c.record.table = iptable_new_limited(limit);
    c.record.table6 = iptable6_new(limit);
    uint64_t refused_before = 0;
    int refused4 = 0, refused6 = 0;
    for (uint32_t i = 0; i < 200000 && !(refused4 && refused6); i++) {
        struct packet_info p;
        memset(&p, 0, sizeof p);
        p.len = 100;
        if (i % 2 == 0) {
            p.src = ip4(198, 18, 0, 0) + i / 2 * 7919 % 131072;
            p.dst = ip4(203, 0, 113, 1);
        } else {
            p.family = PACKET_IPV6;
            p.src6 = {0x20010db800000000ULL | i, i * 0x9e3779b97f4a7c15ULL};
            p.dst6 = v6("2001:2::1");
        }
        account_packet(&c.record, &p);
        ASSERT_LE(iptable_bytes(c.record.table) + iptable6_bytes(c.record.table6), limit) << i;
        if (c.record.refused.packets > refused_before) {
            (i % 2 == 0 ? refused4 : refused6) = 1;
            refused_before = c.record.refused.packets;
        }
    }
    EXPECT_TRUE(refused4);
    EXPECT_TRUE(refused6);
    EXPECT_GT(iptable6_count(c.record.table6), 1000u);
}

TEST(Account6, PortOfTheRuleIsTheOwnSidePort)
{
    Dual c({{"2001:db8::/32", 1}}, {{"::/0", 1}});
    c.record.primary6->port = 443;
    c.packet6("2001:db8::1", 443, "2001:2::1", 5000, 10); /* sent from 443 */
    c.packet6("2001:db8::1", 444, "2001:2::1", 443, 20);  /* own port 444 */
    c.packet6("2001:2::1", 5000, "2001:db8::2", 443, 30); /* received on 443 */
    EXPECT_EQ(c.rows6(), (std::vector<std::string>{"2001:db8::1 0 10", "2001:db8::2 30 0"}));
}

} // namespace
