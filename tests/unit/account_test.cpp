#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include <algorithm>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "accounting/account.h"
#include "accounting/iptable.h"
#include "test_addr.h"

namespace {

constexpr int ACCOUNT = 1;
constexpr int IGNORE = 0;

struct RuleLine {
    uint32_t ip;
    uint32_t mask;
    uint32_t port;
    int policy;
};

/* A category with its own rule records and table, as the reader and the
 * cycle would leave it. */
struct Category {
    struct cat record;
    std::deque<struct rule> rules; /* stable addresses for the links */

    Category(const std::vector<RuleLine> &primary, const std::vector<RuleLine> &secondary)
    {
        memset(&record, 0, sizeof record);
        strcpy(record.name, "test");
        record.primary = link(primary);
        record.secondary = link(secondary);
        record.table = iptable_new();
    }
    ~Category() { iptable_destroy(record.table); }

    struct rule *link(const std::vector<RuleLine> &lines)
    {
        struct rule *head = nullptr;
        for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
            rules.push_back(rule{it->ip, it->mask, it->port, 0, it->policy, head});
            head = &rules.back();
        }
        return head;
    }

    void packet(uint32_t src, uint32_t sport, uint32_t dst, uint32_t dport, uint32_t len)
    {
        struct packet_info info = {src, dst, sport, dport, len, 6};
        account_packet(&record, &info);
    }

    const struct ip_entry *entry(uint32_t address) { return iptable_lookup(record.table, address); }

    std::vector<uint32_t> addresses()
    {
        std::vector<uint32_t> seen;
        struct ip_entry *e;
        while ((e = iptable_next(record.table)) != nullptr && seen.size() < (1u << 20)) {
            seen.push_back(e->ip);
            if (e->ip == UINT32_MAX)
                break;
        }
        return seen;
    }
};

const RuleLine office = {ip4(192, 168, 1, 0), ip4(255, 255, 255, 0), 0, ACCOUNT};
const RuleLine anyone = {0, 0, 0, ACCOUNT};

}  // namespace

TEST(RuleMatch, FirstFittingRuleDecides)
{
    Category c({{ip4(10, 1, 0, 0), ip4(255, 255, 0, 0), 0, IGNORE},
                {ip4(10, 0, 0, 0), ip4(255, 0, 0, 0), 0, ACCOUNT}},
               {});
    EXPECT_EQ(rule_match(c.record.primary, ip4(10, 1, 9, 9), 0), IGNORE);
    EXPECT_EQ(rule_match(c.record.primary, ip4(10, 2, 9, 9), 0), ACCOUNT);
    EXPECT_EQ(rule_match(c.record.primary, ip4(11, 1, 9, 9), 0), 0); /* nothing covers it */
    EXPECT_EQ(rule_match(nullptr, ip4(10, 2, 9, 9), 0), 0);          /* empty list */
}

TEST(RuleMatch, PortZeroFitsEveryPortOtherwiseOnlyItsOwn)
{
    Category c({{ip4(10, 0, 0, 0), ip4(255, 0, 0, 0), 80, ACCOUNT}}, {});
    EXPECT_EQ(rule_match(c.record.primary, ip4(10, 0, 0, 1), 80), ACCOUNT);
    EXPECT_EQ(rule_match(c.record.primary, ip4(10, 0, 0, 1), 81), 0);
    EXPECT_EQ(rule_match(c.record.primary, ip4(10, 0, 0, 1), 0), 0);
    Category any({{ip4(10, 0, 0, 0), ip4(255, 0, 0, 0), 0, ACCOUNT}}, {});
    EXPECT_EQ(rule_match(any.record.primary, ip4(10, 0, 0, 1), 65535), ACCOUNT);
}

TEST(RuleMatch, RuleWithAddressBitsOutsideItsMaskNeverFits)
{
    Category c({{ip4(10, 1, 2, 3), ip4(255, 0, 0, 0), 0, ACCOUNT}}, {});
    for (uint32_t address : {ip4(10, 1, 2, 3), ip4(10, 0, 0, 0), ip4(10, 255, 255, 255)})
        EXPECT_EQ(rule_match(c.record.primary, address, 0), 0) << std::hex << address;
}

TEST(AccountPacket, OwnNetAgainstEveryPeerCountsBothDirectionsOfOwnAddressOnly)
{
    Category c({office}, {anyone});
    c.packet(ip4(192, 168, 1, 5), 40000, ip4(8, 8, 8, 8), 53, 1000);
    ASSERT_NE(c.entry(ip4(192, 168, 1, 5)), nullptr);
    EXPECT_EQ(c.entry(ip4(192, 168, 1, 5))->output, 1000u);
    EXPECT_EQ(c.entry(ip4(192, 168, 1, 5))->input, 0u);
    EXPECT_EQ(c.entry(ip4(192, 168, 1, 5))->ip, ip4(192, 168, 1, 5));

    c.packet(ip4(8, 8, 8, 8), 53, ip4(192, 168, 1, 5), 40000, 300);
    EXPECT_EQ(c.entry(ip4(192, 168, 1, 5))->output, 1000u);
    EXPECT_EQ(c.entry(ip4(192, 168, 1, 5))->input, 300u);
    EXPECT_EQ(c.entry(ip4(8, 8, 8, 8)), nullptr);
    EXPECT_EQ(c.addresses(), std::vector<uint32_t>{ip4(192, 168, 1, 5)});
}

TEST(AccountPacket, TrafficBetweenTwoOwnAddressesCountsOnBoth)
{
    Category c({office}, {anyone});
    c.packet(ip4(192, 168, 1, 5), 1, ip4(192, 168, 1, 6), 2, 700);
    EXPECT_EQ(c.entry(ip4(192, 168, 1, 5))->output, 700u);
    EXPECT_EQ(c.entry(ip4(192, 168, 1, 5))->input, 0u);
    EXPECT_EQ(c.entry(ip4(192, 168, 1, 6))->input, 700u);
    EXPECT_EQ(c.entry(ip4(192, 168, 1, 6))->output, 0u);
}

TEST(AccountPacket, PacketToItselfAddsToBothCountersOfOneEntry)
{
    Category c({office}, {anyone});
    c.packet(ip4(192, 168, 1, 7), 9, ip4(192, 168, 1, 7), 9, 64);
    EXPECT_EQ(c.entry(ip4(192, 168, 1, 7))->output, 64u);
    EXPECT_EQ(c.entry(ip4(192, 168, 1, 7))->input, 64u);
    EXPECT_EQ(c.addresses().size(), 1u);
}

TEST(AccountPacket, EmptySecondaryListCountsNothing)
{
    Category c({office}, {});
    c.packet(ip4(192, 168, 1, 5), 1, ip4(8, 8, 8, 8), 2, 1000);
    c.packet(ip4(8, 8, 8, 8), 2, ip4(192, 168, 1, 5), 1, 1000);
    c.packet(ip4(192, 168, 1, 5), 1, ip4(192, 168, 1, 6), 2, 1000);
    EXPECT_TRUE(c.addresses().empty());
}

TEST(AccountPacket, PortRuleComparesTheOwnSidePort)
{
    Category c({{ip4(192, 168, 1, 0), ip4(255, 255, 255, 0), 80, ACCOUNT}}, {anyone});
    uint32_t server = ip4(192, 168, 1, 10), client = ip4(8, 8, 4, 4);
    c.packet(server, 80, client, 50000, 1500);   /* sent from own port 80 */
    c.packet(client, 50000, server, 80, 100);    /* received on own port 80 */
    c.packet(server, 50000, client, 80, 7);      /* peer's port 80: not ours */
    c.packet(client, 80, server, 50000, 11);     /* peer's port 80: not ours */
    ASSERT_NE(c.entry(server), nullptr);
    EXPECT_EQ(c.entry(server)->output, 1500u);
    EXPECT_EQ(c.entry(server)->input, 100u);
    EXPECT_EQ(c.entry(client), nullptr);
}

TEST(AccountPacket, IgnoreBeforeWiderAccountCarvesOutTheNarrowerNet)
{
    Category c({{ip4(10, 1, 0, 0), ip4(255, 255, 0, 0), 0, IGNORE},
                {ip4(10, 0, 0, 0), ip4(255, 0, 0, 0), 0, ACCOUNT}},
               {anyone});
    c.packet(ip4(10, 1, 0, 5), 1, ip4(8, 8, 8, 8), 2, 100);
    c.packet(ip4(8, 8, 8, 8), 2, ip4(10, 1, 0, 5), 1, 100);
    c.packet(ip4(10, 2, 0, 5), 1, ip4(8, 8, 8, 8), 2, 100);
    EXPECT_EQ(c.entry(ip4(10, 1, 0, 5)), nullptr);
    EXPECT_EQ(c.entry(ip4(10, 2, 0, 5))->output, 100u);
}

TEST(AccountPacket, SecondaryIgnoreKeepsOfficeTrafficOut)
{
    /* The office example: the own net, no traffic with the wider site. */
    Category c({office}, {{ip4(192, 168, 0, 0), ip4(255, 255, 0, 0), 0, IGNORE}, anyone});
    c.packet(ip4(192, 168, 1, 5), 1, ip4(192, 168, 7, 1), 2, 100);
    c.packet(ip4(192, 168, 1, 5), 1, ip4(192, 168, 1, 6), 2, 100);
    EXPECT_TRUE(c.addresses().empty());
    c.packet(ip4(192, 168, 1, 5), 1, ip4(1, 1, 1, 1), 2, 100);
    EXPECT_EQ(c.entry(ip4(192, 168, 1, 5))->output, 100u);
}

TEST(AccountPacket, CountersGoBeyondFourGibibytesWithoutWrapping)
{
    Category c({office}, {anyone});
    for (int i = 0; i < 3; i++) {
        c.packet(ip4(192, 168, 1, 5), 1, ip4(8, 8, 8, 8), 2, UINT32_MAX);
        c.packet(ip4(8, 8, 8, 8), 2, ip4(192, 168, 1, 5), 1, 0x80000000u);
    }
    EXPECT_EQ(c.entry(ip4(192, 168, 1, 5))->output, 3ull * UINT32_MAX);
    EXPECT_EQ(c.entry(ip4(192, 168, 1, 5))->input, 3ull * 0x80000000u);
}

TEST(AccountPacket, EachCategoryCountsIndependently)
{
    Category a({office}, {anyone});
    Category b({{ip4(8, 0, 0, 0), ip4(255, 0, 0, 0), 0, ACCOUNT}}, {anyone});
    struct packet_info info = {ip4(192, 168, 1, 5), ip4(8, 8, 8, 8), 1, 2, 500, 17};
    account_packet(&a.record, &info);
    account_packet(&b.record, &info);
    EXPECT_EQ(a.entry(ip4(192, 168, 1, 5))->output, 500u);
    EXPECT_EQ(a.entry(ip4(8, 8, 8, 8)), nullptr);
    EXPECT_EQ(b.entry(ip4(8, 8, 8, 8))->input, 500u);
    EXPECT_EQ(b.entry(ip4(192, 168, 1, 5)), nullptr);
}

TEST(AccountPacket, CategoryWithoutTableLosesThePacketAndCarriesOn)
{
    Category c({office}, {anyone});
    iptable_destroy(c.record.table);
    c.record.table = nullptr; /* the cycle could not allocate one */
    c.packet(ip4(192, 168, 1, 5), 1, ip4(8, 8, 8, 8), 2, 100);
    c.packet(ip4(8, 8, 8, 8), 2, ip4(192, 168, 1, 5), 1, 100);
    EXPECT_EQ(c.entry(ip4(192, 168, 1, 5)), nullptr);
}

namespace {

/* Reference reading of the rules: the policy of the first rule, in list
 * order, whose network holds the address and whose port fits. */
int reference_match(const std::vector<RuleLine> &rules, uint32_t address, uint32_t port)
{
    auto fits = [&](const RuleLine &r) {
        return (address & r.mask) == r.ip && (r.port == 0 || r.port == port);
    };
    auto first = std::find_if(rules.begin(), rules.end(), fits);
    return first == rules.end() ? 0 : first->policy;
}

uint32_t prefix_mask(unsigned bits)
{
    return bits == 0 ? 0 : ~0u << (32 - bits);
}

}  // namespace

TEST(AccountRandom, AgreesWithAReferenceModelOnEveryCounterAndTheWalkOrder)
{
    for (unsigned seed : {3u, 17u, 99u, 1234u, 65537u}) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        /* A small pool of addresses and ports makes rules and packets meet. */
        std::vector<uint32_t> pool;
        for (int i = 0; i < 40; i++)
            pool.push_back(ip4(198, 18 + rng() % 2, rng() % 4, rng() % 8));
        pool.push_back(0);
        pool.push_back(UINT32_MAX);
        const uint32_t ports[] = {0, 22, 53, 80, 443};
        auto random_rules = [&]() {
            std::vector<RuleLine> rules;
            int count = rng() % 5;
            for (int i = 0; i < count; i++) {
                uint32_t mask = prefix_mask(rng() % 33);
                uint32_t ip = pool[rng() % pool.size()];
                if (rng() % 8 != 0)
                    ip &= mask; /* now and then a rule that cannot fit */
                uint32_t port = rng() % 3 == 0 ? ports[1 + rng() % 4] : 0;
                rules.push_back({ip, mask, port, rng() % 3 != 0 ? ACCOUNT : IGNORE});
            }
            return rules;
        };

        size_t counted = 0; /* guards against a generator that never matches */
        for (int round = 0; round < 20; round++) {
            std::vector<RuleLine> primary = random_rules(), secondary = random_rules();
            Category c(primary, secondary);
            std::map<uint32_t, std::pair<uint64_t, uint64_t>> model; /* address -> input, output */
            for (int n = 0; n < 500; n++) {
                uint32_t src = pool[rng() % pool.size()], dst = pool[rng() % pool.size()];
                uint32_t sport = ports[rng() % 5], dport = ports[rng() % 5];
                uint32_t len = rng() % 4 == 0 ? UINT32_MAX - rng() % 100 : 60 + rng() % 1440;
                c.packet(src, sport, dst, dport, len);
                if (reference_match(primary, src, sport) == 1 &&
                    reference_match(secondary, dst, dport) == 1)
                    model[src].second += len;
                if (reference_match(primary, dst, dport) == 1 &&
                    reference_match(secondary, src, sport) == 1)
                    model[dst].first += len;
            }
            std::vector<uint32_t> expected_order;
            for (const auto &kv : model) {
                expected_order.push_back(kv.first);
                const struct ip_entry *e = c.entry(kv.first);
                ASSERT_NE(e, nullptr) << std::hex << kv.first;
                EXPECT_EQ(e->ip, kv.first);
                EXPECT_EQ(e->input, kv.second.first) << std::hex << kv.first;
                EXPECT_EQ(e->output, kv.second.second) << std::hex << kv.first;
            }
            ASSERT_EQ(c.addresses(), expected_order) << "round " << round;
            counted += model.size();
        }
        EXPECT_GT(counted, 20u);
    }
}

namespace {

/* What account_report_refused sends to the log, taken from standard error. */
std::string report_refused(struct cat *category)
{
    openlog("account_test", LOG_PERROR, LOG_USER);
    testing::internal::CaptureStderr();
    account_report_refused(category);
    std::string text = testing::internal::GetCapturedStderr();
    closelog();
    return text;
}

}  // namespace

TEST(AccountLimit, RefusedCountsAndTheCycleEndLineAreExact)
{
    Category c({anyone}, {anyone});
    iptable_destroy(c.record.table);
    c.record.table = iptable_new_limited(1u << 20);
    std::mt19937 rng(31337);
    std::map<uint32_t, std::pair<uint64_t, uint64_t>> model; /* address -> input, output */
    uint64_t addresses = 0, packets = 0, bytes = 0;
    std::vector<uint32_t> stored;
    const uint32_t server = ip4(198, 18, 0, 1);

    /* Scattered new sources until the table is well past its limit, mixed
     * with packets between two new addresses, packets to themselves and
     * packets from addresses stored earlier, which must keep counting. */
    for (int n = 0; n < 40000 && addresses < 3000; n++) {
        uint32_t src = rng(), dst = server;
        int kind = rng() % 10;
        if (kind == 0)
            dst = rng();
        else if (kind == 1)
            dst = src;
        else if (kind == 2 && !stored.empty())
            src = stored[rng() % stored.size()];
        uint32_t len = 60 + rng() % 1440;
        c.packet(src, 1, dst, 2, len);

        int refused_src = c.entry(src) == nullptr, refused_dst = c.entry(dst) == nullptr;
        if (!refused_src) {
            model[src].second += len;
            stored.push_back(src);
        }
        if (!refused_dst)
            model[dst].first += len;
        if (refused_src || refused_dst) {
            packets++;
            bytes += (uint64_t)len * (refused_src + refused_dst);
            addresses += refused_src + (refused_dst && dst != src);
        }
    }
    ASSERT_GE(addresses, 3000u) << "the limit was never reached";
    EXPECT_LE(iptable_bytes(c.record.table), 1u << 20);
    EXPECT_EQ(c.record.refused.addresses, addresses);
    EXPECT_EQ(c.record.refused.packets, packets);
    EXPECT_EQ(c.record.refused.bytes, bytes);
    std::vector<uint32_t> order;
    for (const auto &kv : model) {
        order.push_back(kv.first);
        const struct ip_entry *e = c.entry(kv.first);
        ASSERT_NE(e, nullptr) << std::hex << kv.first;
        ASSERT_EQ(e->input, kv.second.first) << std::hex << kv.first;
        ASSERT_EQ(e->output, kv.second.second) << std::hex << kv.first;
    }
    EXPECT_EQ(c.addresses(), order);

    std::string line = "Category test: address table limit of 1 MiB reached: " +
                       std::to_string(addresses) + " new addresses, " + std::to_string(packets) +
                       " packets and " + std::to_string(bytes) +
                       " bytes not counted in this period\n";
    std::string logged = report_refused(&c.record);
    EXPECT_EQ(logged.substr(logged.find(": ") + 2), line) << logged;
    /* The counts start again for the next period: nothing more to say. */
    EXPECT_EQ(c.record.refused.packets, 0u);
    EXPECT_EQ(report_refused(&c.record), "");
}
