/*
 * The spool files in a private temporary directory: what is saved comes
 * back the same, a file damaged anywhere is moved aside and none of it read,
 * and the limit drops the oldest batches first.
 */
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dump/spool.h"

namespace {

class Spool : public ::testing::Test {
  protected:
    std::string top, dir;

    void SetUp() override
    {
        char pattern[] = "/tmp/norvo-spool-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr) << strerror(errno);
        top = pattern;
        dir = top + "/lib/spool"; /* missing: the first save creates it */
    }

    void TearDown() override
    {
        for (const std::string &d : {dir, top + "/lib", top}) {
            for (const std::string &name : names(d))
                unlink((d + "/" + name).c_str());
            rmdir(d.c_str());
        }
    }

    std::vector<std::string> names(const std::string &d)
    {
        std::vector<std::string> found;
        if (DIR *handle = opendir(d.c_str())) {
            while (struct dirent *e = readdir(handle)) {
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, ".."))
                    found.push_back(e->d_name);
            }
            closedir(handle);
        }
        return found;
    }

    /* `batches` batches of `rows` rows each, tags 100, 101, ... */
    void fill(struct spool_list *list, const char *category, int batches, int rows)
    {
        for (int b = 0; b < batches; b++) {
            struct spool_batch batch;
            ASSERT_EQ(spool_batch_init(&batch, category, 100 + b), 0);
            for (int r = 0; r < rows; r++)
                ASSERT_EQ(spool_batch_add(&batch, 0xC6120000u + (uint32_t)r,
                                          (uint64_t)b << 40 | (uint64_t)r, 7u * (uint64_t)r + 1),
                          0);
            ASSERT_EQ(spool_list_push(list, &batch), 0);
        }
    }

    std::string path(const char *category)
    {
        char name[256];
        spool_file_name(category, name, sizeof name);
        return dir + "/" + name;
    }
};

void expect_same(const struct spool_list &a, const struct spool_list &b)
{
    ASSERT_EQ(a.count, b.count);
    for (size_t i = 0; i < a.count; i++) {
        EXPECT_STREQ(a.batches[i].id, b.batches[i].id);
        EXPECT_EQ(a.batches[i].tag, b.batches[i].tag);
        int v6 = a.batches[i].family == SPOOL_IPV6;
        EXPECT_EQ(v6, b.batches[i].family == SPOOL_IPV6);
        ASSERT_EQ(a.batches[i].count, b.batches[i].count);
        for (size_t r = 0; r < a.batches[i].count; r++) {
            const struct spool_row &x = a.batches[i].rows[r], &y = b.batches[i].rows[r];
            int same_address = v6 ? addr6_equal(x.ip6, y.ip6) : x.ip == y.ip;
            ASSERT_TRUE(same_address && x.input == y.input && x.output == y.output)
                << "batch " << i << " row " << r;
        }
    }
}

/* IPv6 batches between IPv4 ones come back with their family and
 * addresses; the file is version 2 only while it holds one. */
TEST_F(Spool, Ipv6BatchesComeBackBesideIpv4OnesAndOnlyTheyChangeTheVersion)
{
    struct spool_list saved = {};
    fill(&saved, "dual", 1, 3);
    struct spool_batch six;
    ASSERT_EQ(spool_batch_init(&six, "dual", 200), 0);
    six.family = SPOOL_IPV6;
    for (uint64_t r = 0; r < 4; r++)
        ASSERT_EQ(spool_batch_add6(&six, {0x20010db800000000ULL | r, ~r}, r + 1, 2 * r), 0);
    ASSERT_EQ(spool_list_push(&saved, &six), 0);
    fill(&saved, "dual", 1, 2);
    ASSERT_EQ(spool_save(dir.c_str(), 1 << 20, "dual", &saved), 0);
    std::ifstream in(path("dual"), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 12u);
    EXPECT_EQ(bytes[8], 2);

    struct spool_list loaded = {};
    ASSERT_EQ(spool_load(dir.c_str(), "dual", &loaded), 0);
    expect_same(saved, loaded);
    EXPECT_EQ(loaded.batches[1].rows[3].ip6.hi, 0x20010db800000003ULL);

    /* without the IPv6 batch the file is as it was before IPv6 */
    spool_list_drop_front(&loaded, 2);
    ASSERT_EQ(spool_save(dir.c_str(), 1 << 20, "dual", &loaded), 0);
    std::ifstream again(path("dual"), std::ios::binary);
    std::string v1((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>());
    EXPECT_EQ(v1[8], 1);
    EXPECT_EQ(v1.size(), 32u + 18u + strlen(loaded.batches[0].id) + 2u * 20u);
    spool_list_free(&saved);
    spool_list_free(&loaded);
}

TEST_F(Spool, SavedBatchesComeBackInOrderAndAnEmptyListRemovesTheFile)
{
    const char *category = "we/b 1%";
    struct spool_list saved = {};
    fill(&saved, category, 3, 50);
    EXPECT_NE(strstr(saved.batches[0].id, ":we/b 1%:100:"), nullptr) << saved.batches[0].id;
    EXPECT_STRNE(saved.batches[0].id, saved.batches[1].id);
    ASSERT_EQ(spool_save(dir.c_str(), 1u << 20, category, &saved), 0);

    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(names(dir), std::vector<std::string>{"we%2Fb%201%25.spool"});

    struct spool_list loaded = {};
    ASSERT_EQ(spool_load(dir.c_str(), category, &loaded), 0);
    expect_same(saved, loaded);

    spool_list_drop_front(&loaded, loaded.count);
    ASSERT_EQ(spool_save(dir.c_str(), 1u << 20, category, &loaded), 0);
    EXPECT_TRUE(names(dir).empty());
    ASSERT_EQ(spool_load(dir.c_str(), category, &loaded), 0);
    EXPECT_EQ(loaded.count, 0u);
    spool_list_free(&saved);
    spool_list_free(&loaded);
}

TEST_F(Spool, AFileCutOrChangedAnywhereIsMovedAsideAndNothingOfItIsRead)
{
    struct spool_list saved = {};
    fill(&saved, "cut", 2, 3);
    ASSERT_EQ(spool_save(dir.c_str(), 1u << 20, "cut", &saved), 0);
    std::ifstream in(path("cut"), std::ios::binary);
    const std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(whole.size(), 32u);

    std::vector<std::string> damaged;
    for (size_t length = 0; length < whole.size(); length++)
        damaged.push_back(whole.substr(0, length));
    for (size_t at = 0; at < whole.size(); at++) {
        damaged.push_back(whole);
        damaged.back()[at] ^= 0x10;
    }
    damaged.push_back(whole + "x");
    for (size_t i = 0; i < damaged.size(); i++) {
        std::ofstream(path("cut"), std::ios::binary | std::ios::trunc) << damaged[i];
        struct spool_list loaded = {};
        ASSERT_EQ(spool_load(dir.c_str(), "cut", &loaded), 0) << "case " << i;
        EXPECT_EQ(loaded.count, 0u) << "case " << i;
        std::vector<std::string> left = names(dir);
        ASSERT_EQ(left.size(), 1u) << "case " << i;
        EXPECT_EQ(left[0].rfind("cut.spool.corrupt-", 0), 0u) << left[0];
        unlink((dir + "/" + left[0]).c_str());
        spool_list_free(&loaded);
    }
    spool_list_free(&saved);
}

TEST_F(Spool, OverTheLimitTheOldestBatchesGoFirstCountingOtherCategories)
{
    /* A batch of 1,000 rows takes about 20 KB; the other category 60 KB. */
    struct spool_list other = {};
    fill(&other, "other", 3, 1000);
    ASSERT_EQ(spool_save(dir.c_str(), 1u << 20, "other", &other), 0);

    struct spool_list list = {};
    fill(&list, "mine", 5, 1000);
    const std::string newest = list.batches[4].id;
    const std::string second_newest = list.batches[3].id;
    ASSERT_EQ(spool_save(dir.c_str(), 110000, "mine", &list), 0);
    ASSERT_EQ(list.count, 2u);
    EXPECT_EQ(list.batches[0].id, second_newest);
    EXPECT_EQ(list.batches[1].id, newest);

    struct spool_list loaded = {};
    ASSERT_EQ(spool_load(dir.c_str(), "mine", &loaded), 0);
    expect_same(list, loaded);
    spool_list_free(&loaded);
    spool_list_free(&list);
    spool_list_free(&other);
}

} // namespace
