/*
 * Configuration reader: tokenizer, dotted quad, dump-type names, and the
 * reader driven through real files in a private temporary directory.
 * Fatal errors end the process, so they run as death tests; the fuzz test
 * forks one child per generated file.
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.h"

#if defined(__SANITIZE_ADDRESS__)
#define CONFIG_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define CONFIG_TEST_SANITIZED 1
#endif
#endif
#if !defined(CONFIG_TEST_SANITIZED) && defined(__SANITIZE_THREAD__)
#define CONFIG_TEST_SANITIZED 1
#endif
#ifdef CONFIG_TEST_SANITIZED
#include <sanitizer/common_interface_defs.h>
#endif

using namespace std::string_literals;

namespace {

/* ---- helpers ----------------------------------------------------------- */

std::vector<std::string> tokens_of(const char *text)
{
    std::vector<char> buffer(text, text + strlen(text) + 1);
    char *cursor = buffer.data();
    std::vector<std::string> tokens;
    for (int guard = 0; guard < 64; guard++) {
        char *token = config_next_token(&cursor);
        if (token == nullptr)
            break;
        tokens.emplace_back(token);
    }
    return tokens;
}

/* Escapes a literal message for the POSIX extended regex of death tests. */
std::string literal(const std::string &text)
{
    std::string pattern;
    for (char c : text) {
        if (strchr(".[]()*+?{}|^$\\", c) != nullptr)
            pattern += '\\';
        pattern += c;
    }
    return pattern;
}

void release_rules(struct rule *rule)
{
    while (rule != nullptr) {
        struct rule *next = rule->next;
        free(rule);
        rule = next;
    }
}

/* Settings read from a file; releases every record the reader made. */
struct loaded_settings {
    struct settings settings;
    loaded_settings() { memset(&settings, 0xA5, sizeof settings); }
    ~loaded_settings()
    {
        for (struct device *device = settings.devices; device != nullptr;) {
            struct device *next = device->next;
            free(device);
            device = next;
        }
        for (struct cat *category = settings.cats; category != nullptr;) {
            struct cat *next = category->next;
            release_rules(category->primary);
            release_rules(category->secondary);
            free(category->db);
            free(category->file);
            free(category);
            category = next;
        }
    }
    loaded_settings(const loaded_settings &) = delete;
    loaded_settings &operator=(const loaded_settings &) = delete;
};

/* Standard error of the calls between start and stop, through a file. */
struct stderr_capture {
    int saved = -1;
    FILE *sink = nullptr;

    void start()
    {
        fflush(stderr);
        sink = tmpfile();
        ASSERT_NE(sink, nullptr) << strerror(errno);
        saved = dup(STDERR_FILENO);
        ASSERT_GE(saved, 0) << strerror(errno);
        ASSERT_GE(dup2(fileno(sink), STDERR_FILENO), 0) << strerror(errno);
    }

    std::string stop()
    {
        fflush(stderr);
        dup2(saved, STDERR_FILENO);
        close(saved);
        std::string text;
        rewind(sink);
        int c;
        while ((c = getc(sink)) != EOF)
            text += (char)c;
        fclose(sink);
        return text;
    }
};

std::vector<struct rule *> rules_of(struct rule *rule)
{
    std::vector<struct rule *> rules;
    for (; rule != nullptr && rules.size() < 100; rule = rule->next)
        rules.push_back(rule);
    return rules;
}

std::vector<std::string> device_names(const struct settings &settings)
{
    std::vector<std::string> names;
    for (struct device *device = settings.devices; device != nullptr && names.size() < 100;
         device = device->next)
        names.emplace_back(device->name);
    return names;
}

std::vector<struct cat *> cats_of(const struct settings &settings)
{
    std::vector<struct cat *> cats;
    for (struct cat *category = settings.cats; category != nullptr && cats.size() < 100;
         category = category->next)
        cats.push_back(category);
    return cats;
}

/* Each test gets its own directory of configuration files. */
class ConfigReader : public ::testing::Test {
  protected:
    std::string dir;
    std::vector<std::string> files;

    void SetUp() override
    {
        char pattern[] = "/tmp/norvo-config-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr) << strerror(errno);
        dir = pattern;
    }

    void TearDown() override
    {
        for (const std::string &file : files)
            unlink(file.c_str());
        rmdir(dir.c_str());
    }

    std::string write_file(const std::string &content)
    {
        std::string path = dir + "/norvo" + std::to_string(files.size()) + ".conf";
        std::ofstream out(path, std::ios::binary);
        out.write(content.data(), (std::streamsize)content.size());
        out.close();
        EXPECT_TRUE(out.good()) << path;
        files.push_back(path);
        return path;
    }

    /* Reads `content` as a file; returns what the reader wrote to stderr
     * about its lines. The warnings about a file without devices or
     * categories and a category without rules, which most small files get,
     * are left out here; read_all keeps them. */
    std::string read(loaded_settings &loaded, const std::string &content)
    {
        std::string errors = read_all(loaded, content), kept;
        static const char *const structure[] = {"Norvo: Warning: No devices named,",
                                                "Norvo: Warning: No cat line,"};
        for (size_t at = 0, end; at < errors.size(); at = end + 1) {
            end = errors.find('\n', at);
            if (end == std::string::npos)
                end = errors.size();
            std::string line = errors.substr(at, end - at + 1);
            bool drop = line.find(", so it counts nothing, in file ") != std::string::npos &&
                        line.rfind("Norvo: Warning: Category ", 0) == 0;
            for (const char *start : structure)
                drop = drop || line.rfind(start, 0) == 0;
            if (!drop)
                kept += line;
        }
        return kept;
    }

    std::string read_all(loaded_settings &loaded, const std::string &content)
    {
        std::string path = write_file(content);
        last_path = path;
        stderr_capture capture;
        capture.start();
        struct settings *result = config_load(&loaded.settings, path.c_str());
        std::string errors = capture.stop();
        EXPECT_EQ(result, &loaded.settings);
        return errors;
    }

    std::string last_path;
};

using ConfigReaderDeathTest = ConfigReader;

/* Ends like the daemon's start-up would: reads and leaves with 0. */
void load_and_exit(const std::string &path)
{
    static struct settings settings;
    config_load(&settings, path.c_str());
    exit(0);
}

/* ---- tokenizer --------------------------------------------------------- */

TEST(ConfigTokenizer, EverySpellingOfKeyAndValueGivesTheSameTwoTokens)
{
    const std::vector<std::string> expected = {"key", "value"};
    for (const char *line : {"key value", "key=value", "key = value", "key =value", "key\tvalue",
                             "key  \t value", "key\t=\tvalue"})
        EXPECT_EQ(tokens_of(line), expected) << "line: " << line;
}

TEST(ConfigTokenizer, LineEndGivesOneEmptyTokenThenNothing)
{
    EXPECT_EQ(tokens_of("key value\n"), (std::vector<std::string>{"key", "value", ""}));
    EXPECT_EQ(tokens_of("key value\r\n"), (std::vector<std::string>{"key", "value", ""}));
    EXPECT_EQ(tokens_of("key value \n"), (std::vector<std::string>{"key", "value", ""}));
}

TEST(ConfigTokenizer, SeparatorAtCursorGivesAnEmptyToken)
{
    EXPECT_EQ(tokens_of(" key"), (std::vector<std::string>{"", "key"}));
    EXPECT_EQ(tokens_of("=key"), (std::vector<std::string>{"", "key"}));
    EXPECT_EQ(tokens_of(""), (std::vector<std::string>{""}));
}

TEST(ConfigTokenizer, OnlyOneEqualsSignIsSwallowedBetweenTwoTokens)
{
    EXPECT_EQ(tokens_of("a==b"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(tokens_of("a = = b"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(tokens_of("a == b"), (std::vector<std::string>{"a", "", "b"}));
}

TEST(ConfigTokenizer, NullCursorGivesNullAndStaysNull)
{
    EXPECT_EQ(config_next_token(nullptr), nullptr);
    char *cursor = nullptr;
    EXPECT_EQ(config_next_token(&cursor), nullptr);
    EXPECT_EQ(cursor, nullptr);

    char text[] = "last";
    cursor = text;
    EXPECT_STREQ(config_next_token(&cursor), "last");
    EXPECT_EQ(cursor, nullptr);
    EXPECT_EQ(config_next_token(&cursor), nullptr);
}

TEST(ConfigTokenizer, TokensPointIntoTheLineAndCursorStopsAtTheNextToken)
{
    char text[] = "period = 300 # five";
    char *cursor = text;
    char *key = config_next_token(&cursor);
    EXPECT_EQ(key, text);
    EXPECT_STREQ(cursor, "300 # five");
    char *value = config_next_token(&cursor);
    EXPECT_EQ(value, text + 9);
    EXPECT_STREQ(value, "300");
    EXPECT_STREQ(cursor, "# five");
}

/* ---- dotted quad ------------------------------------------------------- */

TEST(ConfigParseIpv4, ReadsFourOctetsMostSignificantFirst)
{
    EXPECT_EQ(config_parse_ipv4("192.168.1.0", nullptr), 0xC0A80100u);
    EXPECT_EQ(config_parse_ipv4("255.255.255.255", nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(config_parse_ipv4("0.0.0.0", nullptr), 0u);
    EXPECT_EQ(config_parse_ipv4("198.18.0.1", nullptr), 0xC6120001u);
    EXPECT_EQ(config_parse_ipv4("010.001.002.003", nullptr), 0x0A010203u);
}

TEST(ConfigParseIpv4, MissingRunsCountAsZeroAndEndTheReading)
{
    EXPECT_EQ(config_parse_ipv4("10", nullptr), 0x0A000000u);
    EXPECT_EQ(config_parse_ipv4("10.1", nullptr), 0x0A010000u);
    EXPECT_EQ(config_parse_ipv4("10.1.2", nullptr), 0x0A010200u);
    EXPECT_EQ(config_parse_ipv4("10..1.1", nullptr), 0x0A000000u);
    EXPECT_EQ(config_parse_ipv4("", nullptr), 0u);
    EXPECT_EQ(config_parse_ipv4("host", nullptr), 0u);
    EXPECT_EQ(config_parse_ipv4("#", nullptr), 0u);
    EXPECT_EQ(config_parse_ipv4(nullptr, nullptr), 0u);
    EXPECT_EQ(config_parse_ipv4("10.0.0.1/8", nullptr), 0x0A000001u);
}

TEST(ConfigParseIpv4, RunsLongerThanThreeDigitsAreReadOnlyToTheThirdDigit)
{
    EXPECT_EQ(config_parse_ipv4("1234.5.6.7", nullptr), 123u << 24);
    EXPECT_EQ(config_parse_ipv4("10.0.0.1234", nullptr), 0x0A00007Bu);
    EXPECT_EQ(config_parse_ipv4("10.2550.0.1", nullptr), 0x0AFF0000u);
}

TEST(ConfigParseIpv4, OversizedOctetsCarryIntoTheNextOne)
{
    EXPECT_EQ(config_parse_ipv4("10.0.0.256", nullptr), config_parse_ipv4("10.0.1.0", nullptr));
    EXPECT_EQ(config_parse_ipv4("10.0.1.256", nullptr), config_parse_ipv4("10.0.2.0", nullptr));
    EXPECT_EQ(config_parse_ipv4("10.0.999.0", nullptr), 0x0A03E700u);
    EXPECT_EQ(config_parse_ipv4("999.0.0.0", nullptr), 231u << 24); /* 32-bit arithmetic */
}

/* ---- dump-type names --------------------------------------------------- */

TEST(ConfigDumpTypeName, NamesEveryTypeAndRejectsOtherNumbers)
{
    EXPECT_STREQ(dump_type_name(DUMP_STDOUT), "StdOut");
    EXPECT_STREQ(dump_type_name(DUMP_SYSLOG), "Syslog");
    EXPECT_STREQ(dump_type_name(DUMP_TEXTFILE), "TextFile");
    EXPECT_STREQ(dump_type_name(DUMP_BINFILE), "BinFile");
    EXPECT_STREQ(dump_type_name(DUMP_MYSQL), "MySQL");
    EXPECT_STREQ(dump_type_name(DUMP_PGSQL), "PgSQL");
    EXPECT_STREQ(dump_type_name(DUMP_BAD), "--Error: Bad Option--");
    EXPECT_STREQ(dump_type_name(-1), "--Error: Bad Option--");
    EXPECT_STREQ(dump_type_name(7), "--Error: Bad Option--");
    EXPECT_STREQ(dump_type_name(1 << 30), "--Error: Bad Option--");
}

/* ---- the reader: whole files ------------------------------------------- */

TEST_F(ConfigReader, ReadsTheOfficeExample)
{
    loaded_settings loaded;
    std::string errors = read(loaded,
                              "# accounting of the office net\n"
                              "devices em0 em1\n"
                              "period = 300\n"
                              "buffersize 2000\n"
                              "cat office\n"
                              "primary account 192.168.1.0 255.255.255.0\n"
                              "secondary ignore 192.168.0.0 255.255.0.0\n"
                              "secondary account 0.0.0.0 0.0.0.0\n"
                              "timedivider 3600\n"
                              "dump MySQL dbhost acct counters acctuser\n");
    EXPECT_EQ(errors, "");
    const struct settings &s = loaded.settings;
    EXPECT_EQ(s.period, 300);
    EXPECT_EQ(s.buffer_size, 2000);
    EXPECT_EQ(s.device_count, 2);
    EXPECT_EQ(device_names(s), (std::vector<std::string>{"em1", "em0"}));
    for (struct device *device = s.devices; device != nullptr; device = device->next)
        EXPECT_EQ(device->handle, nullptr);

    std::vector<struct cat *> cats = cats_of(s);
    ASSERT_EQ(cats.size(), 1u);
    struct cat *office = cats[0];
    EXPECT_STREQ(office->name, "office");
    EXPECT_EQ(office->time_divider, 3600);
    EXPECT_EQ(office->byte_divider, 1);
    EXPECT_EQ(office->table, nullptr);

    std::vector<struct rule *> primary = rules_of(office->primary);
    ASSERT_EQ(primary.size(), 1u);
    EXPECT_EQ(primary[0]->ip, 0xC0A80100u);
    EXPECT_EQ(primary[0]->mask, 0xFFFFFF00u);
    EXPECT_EQ(primary[0]->port, 0u);
    EXPECT_EQ(primary[0]->proto, 0);
    EXPECT_EQ(primary[0]->policy, 1);

    std::vector<struct rule *> secondary = rules_of(office->secondary);
    ASSERT_EQ(secondary.size(), 2u);
    EXPECT_EQ(secondary[0]->ip, 0xC0A80000u);
    EXPECT_EQ(secondary[0]->mask, 0xFFFF0000u);
    EXPECT_EQ(secondary[0]->policy, 0);
    EXPECT_EQ(secondary[1]->ip, 0u);
    EXPECT_EQ(secondary[1]->mask, 0u);
    EXPECT_EQ(secondary[1]->policy, 1);

    EXPECT_EQ(office->dump_type, DUMP_MYSQL);
    EXPECT_EQ(office->file, nullptr);
    ASSERT_NE(office->db, nullptr);
    EXPECT_STREQ(office->db->host, "dbhost");
    EXPECT_STREQ(office->db->db, "acct");
    EXPECT_STREQ(office->db->table, "counters");
    EXPECT_STREQ(office->db->login, "acctuser");
    EXPECT_STREQ(office->db->password, "");
}

TEST_F(ConfigReader, EmptyFileLeavesTheDefaults)
{
    loaded_settings loaded;
    EXPECT_EQ(read(loaded, ""), "");
    EXPECT_EQ(loaded.settings.period, 600);
    EXPECT_EQ(loaded.settings.buffer_size, 500);
    EXPECT_EQ(loaded.settings.table_limit, 512);
    EXPECT_EQ(loaded.settings.table_limit_set, 0);
    EXPECT_EQ(loaded.settings.device_count, 0);
    EXPECT_EQ(loaded.settings.devices, nullptr);
    EXPECT_EQ(loaded.settings.cats, nullptr);
}

TEST_F(ConfigReader, NoSettingsRecordIsRefusedWithoutOpeningTheFile)
{
    stderr_capture capture;
    capture.start();
    int status = config_read_config_file(nullptr, "/nonexistent/norvo.conf");
    struct settings *result = config_load(nullptr, "/nonexistent/norvo.conf");
    std::string errors = capture.stop();
    EXPECT_EQ(status, 1);
    EXPECT_EQ(result, nullptr);
    EXPECT_NE(errors.find("Norvo: "), std::string::npos);
    EXPECT_EQ(errors.find("Error opening"), std::string::npos);
}

TEST_F(ConfigReader, CategoryWithoutDumpLineHasTheDefaults)
{
    loaded_settings loaded;
    EXPECT_EQ(read(loaded, "cat plain\n"), "");
    std::vector<struct cat *> cats = cats_of(loaded.settings);
    ASSERT_EQ(cats.size(), 1u);
    EXPECT_STREQ(cats[0]->name, "plain");
    EXPECT_EQ(cats[0]->primary, nullptr);
    EXPECT_EQ(cats[0]->secondary, nullptr);
    EXPECT_EQ(cats[0]->table, nullptr);
    EXPECT_EQ(cats[0]->time_divider, 1);
    EXPECT_EQ(cats[0]->byte_divider, 1);
    EXPECT_EQ(cats[0]->dump_type, DUMP_STDOUT);
    EXPECT_EQ(cats[0]->db, nullptr);
    EXPECT_EQ(cats[0]->file, nullptr);
}

/* ---- keywords and syntax ----------------------------------------------- */

TEST_F(ConfigReader, KeywordSpellingsAndIndentationGiveTheSameSetting)
{
    for (const char *line : {"Period=450\n", "PERIOD 450\n", "  period = 450\n", "\tperiod\t450\n",
                             "period 450\r\n", "=period 450\n",
                             "period 450 # seven and a half minutes\n", "period 450"}) {
        loaded_settings loaded;
        EXPECT_EQ(read(loaded, line), "") << "line: " << line;
        EXPECT_EQ(loaded.settings.period, 450) << "line: " << line;
    }
}

TEST_F(ConfigReader, TableLimitIsReadInMibAndMarkedAsSet)
{
    for (const char *line : {"tablelimit 64\n", "TableLimit = 64 # MiB\n"}) {
        loaded_settings loaded;
        EXPECT_EQ(read(loaded, line), "") << "line: " << line;
        EXPECT_EQ(loaded.settings.table_limit, 64) << "line: " << line;
        EXPECT_EQ(loaded.settings.table_limit_set, 1) << "line: " << line;
    }
    loaded_settings suffixed;
    EXPECT_NE(read(suffixed, "tablelimit 64MiB\n").find("Number 64MiB of tablelimit is read as 64"),
              std::string::npos);
    EXPECT_EQ(suffixed.settings.table_limit, 64);
    loaded_settings unbounded;
    EXPECT_EQ(read(unbounded, "tablelimit 0\n"), "");
    EXPECT_EQ(unbounded.settings.table_limit, 0);
    EXPECT_EQ(unbounded.settings.table_limit_set, 1);
}

TEST_F(ConfigReader, BlankAndCommentLinesAreSkipped)
{
    loaded_settings loaded;
    EXPECT_EQ(read(loaded, "\n"
                           "   \n"
                           "\t\r\n"
                           "# period 1\n"
                           "   # period 2\n"
                           "#period 3\n"
                           "buffersize 70\n"),
              "");
    EXPECT_EQ(loaded.settings.period, 600);
    EXPECT_EQ(loaded.settings.buffer_size, 70);
}

TEST_F(ConfigReader, NumbersAreReadLikeAtoiAndTrailingCharactersAreNamed)
{
    loaded_settings loaded;
    std::string errors = read(loaded, "buffersize +2000x\n"
                                      "cat c\n"
                                      "timedivider 36oo\n"
                                      "bytedivider -1024\n"
                                      "primary account 10.0.0.0 255.0.0.0 http\n"
                                      "period 10m\n");
    EXPECT_EQ(errors,
              "Norvo: Warning: Number +2000x of buffersize is read as 2000, in file " + last_path +
                  ", line 1.\nNorvo: Warning: Number 36oo of timedivider is read as 36, in file " +
                  last_path + ", line 3.\nNorvo: Warning: Number http of port is read as 0, in "
                  "file " + last_path + ", line 5.\nNorvo: Warning: Number 10m of period is read "
                  "as 10, in file " + last_path + ", line 6.\n");
    EXPECT_EQ(loaded.settings.period, 10);
    EXPECT_EQ(loaded.settings.buffer_size, 2000);
    std::vector<struct cat *> cats = cats_of(loaded.settings);
    ASSERT_EQ(cats.size(), 1u);
    EXPECT_EQ(cats[0]->time_divider, 36);
    EXPECT_EQ(cats[0]->byte_divider, -1024);
}

TEST_F(ConfigReader, DividerWithEmptyValueIsZeroWithoutMessage)
{
    loaded_settings loaded;
    EXPECT_EQ(read(loaded, "cat c\ntimedivider\nbytedivider =\n"), "");
    std::vector<struct cat *> cats = cats_of(loaded.settings);
    ASSERT_EQ(cats.size(), 1u);
    EXPECT_EQ(cats[0]->time_divider, 0);
    EXPECT_EQ(cats[0]->byte_divider, 0);
}

TEST_F(ConfigReader, UnknownKeywordIsReportedAndTheLineSkipped)
{
    loaded_settings loaded;
    std::string errors = read(loaded, "cat c\n"
                                      "timedevider 3600\n"
                                      "bytedivider 8\n");
    EXPECT_EQ(errors, "Norvo: Bad Option (timedevider) in configuration file " + last_path +
                          ", line 2\n");
    std::vector<struct cat *> cats = cats_of(loaded.settings);
    ASSERT_EQ(cats.size(), 1u);
    EXPECT_EQ(cats[0]->time_divider, 1);
    EXPECT_EQ(cats[0]->byte_divider, 8);
}

TEST_F(ConfigReader, TokensBehindTheValueAreIgnored)
{
    loaded_settings loaded;
    EXPECT_EQ(read(loaded, "period 300 400\ncat first second\n"), "");
    EXPECT_EQ(loaded.settings.period, 300);
    std::vector<struct cat *> cats = cats_of(loaded.settings);
    ASSERT_EQ(cats.size(), 1u);
    EXPECT_STREQ(cats[0]->name, "first");
}

TEST_F(ConfigReader, EmptyValueMakesACategoryWithAnEmptyName)
{
    loaded_settings loaded;
    EXPECT_EQ(read(loaded, "cat\n"), "");
    std::vector<struct cat *> cats = cats_of(loaded.settings);
    ASSERT_EQ(cats.size(), 1u);
    EXPECT_STREQ(cats[0]->name, "");
}

/* ---- devices ----------------------------------------------------------- */

TEST_F(ConfigReader, DevicesAreListedInReverseFileOrder)
{
    loaded_settings loaded;
    EXPECT_EQ(read(loaded, "devices veth0 veth1 = veth2\n"), "");
    EXPECT_EQ(loaded.settings.device_count, 3);
    EXPECT_EQ(device_names(loaded.settings), (std::vector<std::string>{"veth2", "veth1", "veth0"}));
}

TEST_F(ConfigReader, DeviceListStopsAtACommentOrAnEmptyToken)
{
    struct {
        const char *line;
        std::vector<std::string> names;
    } cases[] = {
        {"devices em0 #em1 em2\n", {"em0"}},
        {"devices em0 # em1\n", {"em0"}},
        {"devices em0 em1 == em2\n", {"em1", "em0"}},
        {"devices em0 em1", {"em1", "em0"}},
        {"devices\n", {}},
    };
    for (const auto &c : cases) {
        loaded_settings loaded;
        EXPECT_EQ(read(loaded, c.line), "") << "line: " << c.line;
        EXPECT_EQ(device_names(loaded.settings), c.names) << "line: " << c.line;
        EXPECT_EQ(loaded.settings.device_count, (int)c.names.size()) << "line: " << c.line;
    }
}

TEST_F(ConfigReader, SecondDevicesLineIsIgnoredWithAWarning)
{
    loaded_settings loaded;
    std::string errors = read(loaded, "devices em0\ndevices em0 em1\n");
    EXPECT_EQ(errors, "Norvo: Option Devices already declared earlier. Ignoring this one.\n");
    EXPECT_EQ(device_names(loaded.settings), (std::vector<std::string>{"em0"}));
    EXPECT_EQ(loaded.settings.device_count, 1);
}

TEST_F(ConfigReader, DevicesLineWithoutNamesDoesNotBlockALaterOne)
{
    loaded_settings loaded;
    EXPECT_EQ(read(loaded, "devices # none yet\ndevices em3\n"), "");
    EXPECT_EQ(device_names(loaded.settings), (std::vector<std::string>{"em3"}));
}

TEST_F(ConfigReader, DeviceNameLongerThan35CharactersIsCutWithAWarning)
{
    const std::string fits(35, 'd');
    const std::string too_long = std::string(35, 'e') + "XYZ";
    loaded_settings loaded;
    std::string errors = read(loaded, "\ndevices " + fits + " " + too_long + "\n");
    EXPECT_EQ(errors, "Norvo: Device name " + too_long + " is longer than 35 characters, cut to " +
                          std::string(35, 'e') + ", in file " + last_path + ", line 2.\n");
    EXPECT_EQ(device_names(loaded.settings),
              (std::vector<std::string>{std::string(35, 'e'), fits}));
    EXPECT_EQ(loaded.settings.device_count, 2);
}

/* ---- categories and rules ---------------------------------------------- */

TEST_F(ConfigReader, CategoriesAndTheirRulesKeepFileOrder)
{
    loaded_settings loaded;
    EXPECT_EQ(read(loaded, "cat one\n"
                           "primary account 198.18.1.0 255.255.255.0\n"
                           "primary ignore 198.18.2.0 255.255.255.0 22\n"
                           "cat two\n"
                           "secondary account 198.19.0.0 255.255.0.0\n"
                           "primary account 198.18.3.0 255.255.255.0\n"
                           "secondary ignore 198.19.1.0 255.255.255.0\n"
                           "cat three\n"),
              "");
    std::vector<struct cat *> cats = cats_of(loaded.settings);
    ASSERT_EQ(cats.size(), 3u);
    EXPECT_STREQ(cats[0]->name, "one");
    EXPECT_STREQ(cats[1]->name, "two");
    EXPECT_STREQ(cats[2]->name, "three");

    std::vector<struct rule *> one = rules_of(cats[0]->primary);
    ASSERT_EQ(one.size(), 2u);
    EXPECT_EQ(one[0]->ip, 0xC6120100u);
    EXPECT_EQ(one[0]->policy, 1);
    EXPECT_EQ(one[0]->port, 0u);
    EXPECT_EQ(one[1]->ip, 0xC6120200u);
    EXPECT_EQ(one[1]->policy, 0);
    EXPECT_EQ(one[1]->port, 22u);
    EXPECT_EQ(cats[0]->secondary, nullptr);

    std::vector<struct rule *> two_primary = rules_of(cats[1]->primary);
    ASSERT_EQ(two_primary.size(), 1u);
    EXPECT_EQ(two_primary[0]->ip, 0xC6120300u);
    std::vector<struct rule *> two_secondary = rules_of(cats[1]->secondary);
    ASSERT_EQ(two_secondary.size(), 2u);
    EXPECT_EQ(two_secondary[0]->ip, 0xC6130000u);
    EXPECT_EQ(two_secondary[0]->mask, 0xFFFF0000u);
    EXPECT_EQ(two_secondary[1]->ip, 0xC6130100u);
    EXPECT_EQ(two_secondary[1]->policy, 0);

    EXPECT_EQ(cats[2]->primary, nullptr);
    EXPECT_EQ(cats[2]->secondary, nullptr);
}

TEST_F(ConfigReader, PolicyAndRuleKeywordsIgnoreCase)
{
    loaded_settings loaded;
    EXPECT_EQ(read(loaded, "CAT c\nPrimary ACCOUNT 10.0.0.0 255.0.0.0\nSECONDARY Ignore 0.0.0.0 "
                           "0.0.0.0\n"),
              "");
    std::vector<struct cat *> cats = cats_of(loaded.settings);
    ASSERT_EQ(cats.size(), 1u);
    ASSERT_NE(cats[0]->primary, nullptr);
    EXPECT_EQ(cats[0]->primary->policy, 1);
    ASSERT_NE(cats[0]->secondary, nullptr);
    EXPECT_EQ(cats[0]->secondary->policy, 0);
}

TEST_F(ConfigReader, RulePortIsOptionalAndACommentBehindItReadsAsZero)
{
    loaded_settings loaded;
    EXPECT_EQ(read(loaded, "cat c\n"
                           "primary account 10.0.0.0 255.0.0.0\n"
                           "primary account 10.0.0.0 255.0.0.0 # the whole net\n"
                           "primary account 10.0.0.0 255.0.0.0 80 # web\n"
                           "primary account 10.0.0.0 255.0.0.0 443"),
              "");
    std::vector<struct cat *> cats = cats_of(loaded.settings);
    ASSERT_EQ(cats.size(), 1u);
    std::vector<struct rule *> rules = rules_of(cats[0]->primary);
    ASSERT_EQ(rules.size(), 4u);
    EXPECT_EQ(rules[0]->port, 0u);
    EXPECT_EQ(rules[1]->port, 0u);
    EXPECT_EQ(rules[2]->port, 80u);
    EXPECT_EQ(rules[3]->port, 443u);
    for (struct rule *rule : rules) {
        EXPECT_EQ(rule->ip, 0x0A000000u);
        EXPECT_EQ(rule->mask, 0xFF000000u);
        EXPECT_EQ(rule->proto, 0);
    }
}

TEST_F(ConfigReader, RuleWithAddressBitsOutsideItsMaskIsKeptWithAWarning)
{
    loaded_settings loaded;
    std::string errors = read(loaded, "cat c\nprimary account 10.1.2.3 255.0.0.0\n"
                                      "primary account 10.0.0.0 255.0.0.0\n");
    EXPECT_EQ(errors, "Norvo: Address 10.1.2.3 has bits outside mask 255.0.0.0, so rule primary "
                      "never matches, in file " +
                          last_path + ", line 2.\n");
    std::vector<struct cat *> cats = cats_of(loaded.settings);
    ASSERT_EQ(cats.size(), 1u);
    std::vector<struct rule *> rules = rules_of(cats[0]->primary);
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0]->ip, 0x0A010203u);
    EXPECT_EQ(rules[0]->mask, 0xFF000000u);
}

TEST_F(ConfigReader, CategoryNameIsCutTo31Characters)
{
    const std::string name = "abcdefghijklmnopqrstuvwxyz0123456789ABCD"; /* 40 characters */
    loaded_settings loaded;
    EXPECT_EQ(read(loaded, "cat " + name + "\ncat " + name.substr(0, 31) + "\n"), "");
    std::vector<struct cat *> cats = cats_of(loaded.settings);
    ASSERT_EQ(cats.size(), 2u);
    EXPECT_EQ(std::string(cats[0]->name), name.substr(0, 31));
    EXPECT_EQ(std::string(cats[1]->name), name.substr(0, 31));
}

/* ---- dump lines -------------------------------------------------------- */

TEST_F(ConfigReader, DumpTypesMatchIgnoringCase)
{
    struct {
        const char *type;
        int number;
    } cases[] = {
        {"stdout", DUMP_STDOUT}, {"SYSLOG", DUMP_SYSLOG}, {"textfile", DUMP_TEXTFILE},
        {"BinFile", DUMP_BINFILE}, {"mysql h d t", DUMP_MYSQL}, {"pgsql", DUMP_PGSQL},
    };
    for (const auto &c : cases) {
        loaded_settings loaded;
        EXPECT_EQ(read(loaded, "cat c\ndump " + std::string(c.type) + "\n"), "")
            << "type: " << c.type;
        std::vector<struct cat *> cats = cats_of(loaded.settings);
        ASSERT_EQ(cats.size(), 1u);
        EXPECT_EQ(cats[0]->dump_type, c.number) << "type: " << c.type;
    }
}

TEST_F(ConfigReader, UnknownDumpTypeGetsNoParametersAndAWarning)
{
    for (const char *type : {"Sylog", ""}) {
        loaded_settings loaded;
        std::string errors = read(loaded, "cat c\ndump " + std::string(type) + "\n");
        EXPECT_EQ(errors, "Norvo: Warning: Dump type " + std::string(type) +
                              " of category c is unknown, so nothing will be stored for it, in "
                              "file " + last_path + ", line 2.\n");
        std::vector<struct cat *> cats = cats_of(loaded.settings);
        ASSERT_EQ(cats.size(), 1u);
        EXPECT_EQ(cats[0]->dump_type, DUMP_BAD);
    }
    loaded_settings loaded;
    read(loaded, "cat c\ndump Sylog /var/log/norvo.log\n");
    std::vector<struct cat *> cats = cats_of(loaded.settings);
    ASSERT_EQ(cats.size(), 1u);
    EXPECT_EQ(cats[0]->dump_type, DUMP_BAD);
    EXPECT_EQ(cats[0]->file, nullptr);
    EXPECT_EQ(cats[0]->db, nullptr);
}

TEST_F(ConfigReader, FileDumpsTakeThePathAndLeaveItEmptyWhenMissing)
{
    loaded_settings loaded;
    EXPECT_EQ(read(loaded, "cat text\ndump TextFile /var/log/norvo.txt # daily\n"
                           "cat bin\ndump binfile=/var/db/norvo.bin\n"
                           "cat nopath\ndump TextFile\n"
                           "cat last\ndump BinFile"),
              "");
    std::vector<struct cat *> cats = cats_of(loaded.settings);
    ASSERT_EQ(cats.size(), 4u);
    EXPECT_EQ(cats[0]->dump_type, DUMP_TEXTFILE);
    ASSERT_NE(cats[0]->file, nullptr);
    EXPECT_STREQ(cats[0]->file, "/var/log/norvo.txt");
    EXPECT_EQ(cats[0]->db, nullptr);
    EXPECT_EQ(cats[1]->dump_type, DUMP_BINFILE);
    ASSERT_NE(cats[1]->file, nullptr);
    EXPECT_STREQ(cats[1]->file, "/var/db/norvo.bin");
    EXPECT_EQ(cats[2]->dump_type, DUMP_TEXTFILE);
    ASSERT_NE(cats[2]->file, nullptr);
    EXPECT_STREQ(cats[2]->file, "");
    EXPECT_EQ(cats[3]->dump_type, DUMP_BINFILE);
    ASSERT_NE(cats[3]->file, nullptr);
    EXPECT_STREQ(cats[3]->file, "");
}

TEST_F(ConfigReader, LongestPathOfALineIsKeptWhole)
{
    const std::string path = "/" + std::string(1000, 'p');
    loaded_settings loaded;
    EXPECT_EQ(read(loaded, "cat c\ndump TextFile " + path + "\n"), "");
    std::vector<struct cat *> cats = cats_of(loaded.settings);
    ASSERT_EQ(cats.size(), 1u);
    ASSERT_NE(cats[0]->file, nullptr);
    EXPECT_EQ(std::string(cats[0]->file), path);
}

TEST_F(ConfigReader, DatabaseDumpReadsFiveFieldsCutTo31Characters)
{
    const std::string long_field = std::string(31, 'h') + "overflow";
    loaded_settings loaded;
    std::string errors = read(loaded, "cat c\ndump PgSQL " + long_field +
                                          " acct counters acctuser s3cret" + long_field + "\n");
    /* The password is not repeated on the terminal. */
    EXPECT_EQ(errors, "Norvo: Warning: Database host " + long_field +
                          " is longer than 31 characters, cut to " + std::string(31, 'h') +
                          ", in file " + last_path +
                          ", line 2.\nNorvo: Warning: Database password is longer than 31 "
                          "characters and is cut, in file " + last_path + ", line 2.\n");
    std::vector<struct cat *> cats = cats_of(loaded.settings);
    ASSERT_EQ(cats.size(), 1u);
    EXPECT_EQ(cats[0]->dump_type, DUMP_PGSQL);
    EXPECT_EQ(cats[0]->file, nullptr);
    ASSERT_NE(cats[0]->db, nullptr);
    EXPECT_EQ(std::string(cats[0]->db->host), std::string(31, 'h'));
    EXPECT_STREQ(cats[0]->db->db, "acct");
    EXPECT_STREQ(cats[0]->db->table, "counters");
    EXPECT_STREQ(cats[0]->db->login, "acctuser");
    EXPECT_EQ(std::string(cats[0]->db->password), ("s3cret" + long_field).substr(0, 31));
}

TEST_F(ConfigReader, DatabaseDumpLeavesMissingFieldsEmptyAndReadsCommentsAsFields)
{
    loaded_settings loaded;
    /* PgSQL reads the fields as MySQL does, without its check of the table. */
    EXPECT_EQ(read(loaded, "cat four\ndump mysql dbhost acct counters acctuser\n"
                           "cat comment\ndump PgSQL dbhost acct # remote\n"
                           "cat last\ndump PgSQL dbhost"),
              "");
    std::vector<struct cat *> cats = cats_of(loaded.settings);
    ASSERT_EQ(cats.size(), 3u);
    EXPECT_EQ(cats[0]->dump_type, DUMP_MYSQL);
    for (struct cat *category : cats) {
        ASSERT_NE(category->db, nullptr) << category->name;
        EXPECT_STREQ(category->db->host, "dbhost") << category->name;
    }
    EXPECT_STREQ(cats[0]->db->login, "acctuser");
    EXPECT_STREQ(cats[0]->db->password, "");

    EXPECT_STREQ(cats[1]->db->table, "#");
    EXPECT_STREQ(cats[1]->db->login, "remote");
    EXPECT_STREQ(cats[1]->db->password, "");

    EXPECT_STREQ(cats[2]->db->db, "");
    EXPECT_STREQ(cats[2]->db->password, "");
    /* Zero-filled: nothing behind the terminator either. */
    const char *bytes = (const char *)cats[2]->db;
    for (size_t i = strlen("dbhost"); i < sizeof(struct db_params); i++)
        ASSERT_EQ(bytes[i], '\0') << "byte " << i;
}

TEST_F(ConfigReader, DatabaseHostTakesAPortOrASocketPath)
{
    loaded_settings loaded;
    /* the categories have no rules, which is warned about, not the hosts */
    std::string errors = read(loaded, "cat tcp\ndump MySQL 198.18.0.7:3307 acct t u\n"
                                      "cat plain\ndump MySQL db.example acct t u\n"
                                      "cat sock\ndump MySQL /run/my:sql/db.sock acct t u\n");
    EXPECT_EQ(errors.find("host"), std::string::npos) << errors;
    std::vector<struct cat *> cats = cats_of(loaded.settings);
    ASSERT_EQ(cats.size(), 3u);
    EXPECT_STREQ(cats[0]->db->host, "198.18.0.7");
    EXPECT_EQ(cats[0]->db->port, 3307u);
    EXPECT_STREQ(cats[1]->db->host, "db.example");
    EXPECT_EQ(cats[1]->db->port, 0u);
    EXPECT_STREQ(cats[2]->db->host, "/run/my:sql/db.sock");
    EXPECT_EQ(cats[2]->db->port, 0u);
}

TEST_F(ConfigReader, SpoolKeywordsAreReadAndStayUnsetWithoutThem)
{
    loaded_settings plain;
    EXPECT_EQ(read(plain, "period 60\n"), "");
    EXPECT_STREQ(plain.settings.spool_dir, "");
    EXPECT_EQ(plain.settings.spool_limit_mib, 0);

    loaded_settings set;
    EXPECT_EQ(read(set, "SpoolDir = /srv/norvo/spool\nspoollimit 64\n"), "");
    EXPECT_STREQ(set.settings.spool_dir, "/srv/norvo/spool");
    EXPECT_EQ(set.settings.spool_limit_mib, 64);
}

TEST_F(ConfigReader, SecondDumpLineReplacesTypeAndParametersWithAWarning)
{
    loaded_settings loaded;
    std::string errors = read(loaded, "cat a\ndump MySQL h d t u p\ndump TextFile /var/log/a\n"
                                      "cat b\ndump TextFile /var/log/b\n\ndump syslog\n"
                                      "cat c\ndump BinFile /var/db/c\ndump BinFile /var/db/c2\n"
                                      "dump BinFile /var/db/c3\n");
    std::string expected;
    for (auto [name, earlier, line] : {std::tuple{"a", 2, 3}, {"b", 5, 7}, {"c", 9, 10}, {"c", 10, 11}})
        expected += "Norvo: Warning: Second dump line in category "s + name +
                    " replaces the one on line " + std::to_string(earlier) + ", in file " +
                    last_path + ", line " + std::to_string(line) + ".\n";
    EXPECT_EQ(errors, expected);
    std::vector<struct cat *> cats = cats_of(loaded.settings);
    ASSERT_EQ(cats.size(), 3u);
    EXPECT_EQ(cats[0]->dump_type, DUMP_TEXTFILE);
    EXPECT_EQ(cats[0]->db, nullptr);
    ASSERT_NE(cats[0]->file, nullptr);
    EXPECT_STREQ(cats[0]->file, "/var/log/a");
    EXPECT_EQ(cats[1]->dump_type, DUMP_SYSLOG);
    EXPECT_EQ(cats[1]->file, nullptr);
    EXPECT_EQ(cats[1]->db, nullptr);
    EXPECT_EQ(cats[2]->dump_type, DUMP_BINFILE);
    ASSERT_NE(cats[2]->file, nullptr);
    EXPECT_STREQ(cats[2]->file, "/var/db/c3");
}

/* ---- misreadings named ------------------------------------------------- */

TEST_F(ConfigReader, AddressesAndMasksThatAreNoPlainDottedQuadAreReadAsEverAndNamed)
{
    struct {
        const char *quads; /* address and mask */
        uint32_t ip, mask;
        const char *warning; /* null: none */
    } cases[] = {
        {"010.000.000.001 255.255.255.255", 0x0A000001u, 0xFFFFFFFFu, nullptr},
        {"10.0.0.300 255.255.255.255", 0x0A00012Cu, 0xFFFFFFFFu,
         "Address 10.0.0.300 has a number above 255 and is read as 10.0.1.44"},
        {"office 0.0.0.0", 0u, 0u, "Address office is not a dotted quad and is read as 0.0.0.0"},
        {"10.0.0.1.5 255.255.255.255", 0x0A000001u, 0xFFFFFFFFu,
         "Address 10.0.0.1.5 is not a dotted quad and is read as 10.0.0.1"},
        {"10.0.0.0 255.255.255", 0x0A000000u, 0xFFFFFF00u,
         "Mask 255.255.255 is not a dotted quad and is read as 255.255.255.0"},
        {"10.0.0.0 255.0.255.0", 0x0A000000u, 0xFF00FF00u,
         "Mask 255.0.255.0 has bits that are not contiguous"},
    };
    for (const auto &c : cases) {
        loaded_settings loaded;
        std::string errors = read(loaded, "cat c\nsecondary ignore " + std::string(c.quads) + "\n");
        EXPECT_EQ(errors, c.warning == nullptr ? ""
                          : "Norvo: Warning: "s + c.warning + ", in file " + last_path +
                                ", line 2.\n")
            << c.quads;
        std::vector<struct cat *> cats = cats_of(loaded.settings);
        ASSERT_EQ(cats.size(), 1u);
        ASSERT_NE(cats[0]->secondary, nullptr);
        EXPECT_EQ(cats[0]->secondary->ip, c.ip) << c.quads;
        EXPECT_EQ(cats[0]->secondary->mask, c.mask) << c.quads;
    }
}

TEST_F(ConfigReader, PrefixLengthGivesTheMaskAndTheNextTokenIsThePort)
{
    loaded_settings loaded;
    std::string errors = read(loaded, "cat c\n"
                                      "primary account 198.18.0.0/24 80\n"
                                      "primary account 198.18.7.1/32\n"
                                      "secondary account 0.0.0.0/0 # everyone\n"
                                      "secondary ignore 198.18.0.1/16\n");
    EXPECT_EQ(errors, "Norvo: Address 198.18.0.1/16 has bits outside mask 255.255.0.0, so rule "
                      "secondary never matches, in file " + last_path + ", line 5.\n");
    std::vector<struct cat *> cats = cats_of(loaded.settings);
    ASSERT_EQ(cats.size(), 1u);
    std::vector<struct rule *> rules = rules_of(cats[0]->primary);
    for (struct rule *rule : rules_of(cats[0]->secondary))
        rules.push_back(rule);
    ASSERT_EQ(rules.size(), 4u);
    const uint32_t expected[][3] = {{0xC6120000u, 0xFFFFFF00u, 80},
                                    {0xC6120701u, 0xFFFFFFFFu, 0},
                                    {0u, 0u, 0},
                                    {0xC6120001u, 0xFFFF0000u, 0}};
    for (size_t i = 0; i < rules.size(); i++) {
        EXPECT_EQ(rules[i]->ip, expected[i][0]) << i;
        EXPECT_EQ(rules[i]->mask, expected[i][1]) << i;
        EXPECT_EQ(rules[i]->port, expected[i][2]) << i;
    }
}

TEST_F(ConfigReaderDeathTest, PrefixLengthBeyond32BitsOrMissingEndsTheProcess)
{
    for (const char *prefix : {"33", "-1", "", "x"}) {
        std::string path = write_file("cat c\nprimary account 198.18.0.0/" + std::string(prefix) +
                                      "\n");
        EXPECT_EXIT(load_and_exit(path), ::testing::ExitedWithCode(1),
                    literal("Norvo: Reading invalid prefix length " + std::string(prefix) +
                            " (0 to 32), in rule primary, in file " + path + ", line 2.\n"))
            << prefix;
    }
}

TEST_F(ConfigReader, FileAndCategoriesThatCountNothingAreNamed)
{
    loaded_settings loaded;
    std::string errors = read_all(loaded, "cat none\n"
                                          "cat own\nprimary account 198.18.0.0/16\n"
                                          "cat peers\nsecondary account 0.0.0.0/0\n"
                                          "cat both\nprimary account 198.18.0.0/16\n"
                                          "secondary account 0.0.0.0/0\n"
                                          "devices # later\n");
    std::string expected;
    for (auto [what, line] : {std::pair{"none has no rules", 1},
                              {"own has no secondary rules", 2},
                              {"peers has no primary rules", 4}})
        expected += "Norvo: Warning: Category "s + what + ", so it counts nothing, in file " +
                    last_path + ", line " + std::to_string(line) + ".\n";
    EXPECT_EQ(errors, expected + "Norvo: Warning: No devices named, so nothing is captured, in "
                                 "file " + last_path + ".\n");

    loaded_settings empty;
    errors = read_all(empty, "devices em0\n");
    EXPECT_EQ(errors,
              "Norvo: Warning: No cat line, so nothing is counted, in file " + last_path + ".\n");
}

/* ---- untrusted bytes --------------------------------------------------- */

TEST_F(ConfigReader, LineOf1023BytesThenLineFeedCountsAsOneLine)
{
    const std::string line = "cat " + std::string(1019, 'n');
    loaded_settings loaded;
    std::string errors = read(loaded, line + "\nbogus\n");
    EXPECT_EQ(errors, "Norvo: Bad Option (bogus) in configuration file " + last_path +
                          ", line 2\n");
    EXPECT_EQ(cats_of(loaded.settings).size(), 1u);
}

TEST_F(ConfigReader, NulByteEndsWhatIsParsedOfALine)
{
    loaded_settings loaded;
    std::string errors = read(loaded, "period 450\0buffersize 9\n"s
                                      "\0period 1\n"s
                                      "bad\0option\n"s
                                      "buffersize 80\n"s);
    EXPECT_EQ(loaded.settings.period, 450);
    EXPECT_EQ(loaded.settings.buffer_size, 80);
    EXPECT_EQ(errors, "Norvo: Bad Option (bad) in configuration file " + last_path + ", line 3\n");
}

TEST_F(ConfigReader, LastLineWithoutLineFeedIsRead)
{
    loaded_settings loaded;
    EXPECT_EQ(read(loaded, "devices em0 em1\ncat last"), "");
    EXPECT_EQ(device_names(loaded.settings), (std::vector<std::string>{"em1", "em0"}));
    std::vector<struct cat *> cats = cats_of(loaded.settings);
    ASSERT_EQ(cats.size(), 1u);
    EXPECT_STREQ(cats[0]->name, "last");
}

/* ---- fatal errors ------------------------------------------------------ */

TEST_F(ConfigReaderDeathTest, MissingFileEndsTheProcess)
{
    const std::string path = dir + "/absent.conf";
    EXPECT_EXIT(load_and_exit(path), ::testing::ExitedWithCode(1),
                literal("Norvo: Error opening configuration file " + path +
                        ".\nError: No such file or directory\n"));
}

TEST_F(ConfigReaderDeathTest, UnreadableFileEndsTheProcess)
{
    EXPECT_EXIT(load_and_exit(dir), ::testing::ExitedWithCode(1),
                literal("Norvo: Error reading configuration file " + dir +
                        ", line 1.\nError: Is a directory\n"));
}

TEST_F(ConfigReaderDeathTest, CategoryKeywordBeforeAnyCatEndsTheProcess)
{
    for (const char *keyword : {"timedivider", "bytedivider", "dump", "primary", "secondary",
                                "TimeDivider"}) {
        std::string path = write_file("period 300\n" + std::string(keyword) + " 3600\ncat c\n");
        EXPECT_EXIT(load_and_exit(path), ::testing::ExitedWithCode(1),
                    literal("Norvo: Reading Cat-option " + std::string(keyword) +
                            " outside a Cat, in file " + path + ", line 2.\n"));
    }
}

TEST_F(ConfigReaderDeathTest, PolicyOtherThanAccountOrIgnoreEndsTheProcess)
{
    std::string path = write_file("cat c\n\nsecondary count 10.0.0.0 255.0.0.0\n");
    EXPECT_EXIT(load_and_exit(path), ::testing::ExitedWithCode(1),
                literal("Norvo: Reading invalid policy count, in rule secondary, in file " + path +
                        ", line 3.\n"));
    path = write_file("cat c\nprimary\n");
    EXPECT_EXIT(load_and_exit(path), ::testing::ExitedWithCode(1),
                literal("Norvo: Reading invalid policy , in rule primary, in file " + path +
                        ", line 2.\n"));
}

TEST_F(ConfigReaderDeathTest, PeriodOfZeroOrLessEndsTheProcess)
{
    for (const char *value : {"0", "-600", "never", "= "}) {
        std::string path = write_file("# cycle\nperiod " + std::string(value) + "\n");
        std::string shown = value[0] == '=' ? "" : value;
        EXPECT_EXIT(load_and_exit(path), ::testing::ExitedWithCode(1),
                    literal("Norvo: Reading invalid period " + shown + ", in file " + path +
                            ", line 2.\n"));
    }
}

TEST_F(ConfigReaderDeathTest, BufferSizeOfZeroOrLessEndsTheProcess)
{
    for (const char *value : {"0", "-1", "lots"}) {
        std::string path = write_file("buffersize " + std::string(value) + "\n");
        EXPECT_EXIT(load_and_exit(path), ::testing::ExitedWithCode(1),
                    literal("Norvo: Reading invalid buffersize " + std::string(value) +
                            ", in file " + path + ", line 1.\n"));
    }
}

TEST_F(ConfigReaderDeathTest, BadSpoolLimitOrDatabasePortEndsTheProcess)
{
    for (const char *value : {"0", "-5", "much"}) {
        std::string path = write_file("spoollimit " + std::string(value) + "\n");
        EXPECT_EXIT(load_and_exit(path), ::testing::ExitedWithCode(1),
                    literal("Norvo: Reading invalid spoollimit " + std::string(value) +
                            ", in file " + path + ", line 1.\n"));
    }
    for (const char *host : {"db:0", "db:65536", "db:", ":3306", "db:33x"}) {
        std::string path = write_file("cat c\ndump MySQL " + std::string(host) + " d t u\n");
        EXPECT_EXIT(load_and_exit(path), ::testing::ExitedWithCode(1),
                    literal("Norvo: Reading invalid database host " + std::string(host) +
                            " (HOST or HOST:PORT with a port from 1 to 65535), in file " + path +
                            ", line 2.\n"));
    }
}

TEST_F(ConfigReaderDeathTest, TableLimitThatIsNoNumberOrNegativeEndsTheProcess)
{
    /* Read as 0 these would lift the bound. */
    for (const char *value : {"-1", "lots", "+64"}) {
        std::string path = write_file("period 60\ntablelimit " + std::string(value) + "\n");
        EXPECT_EXIT(load_and_exit(path), ::testing::ExitedWithCode(1),
                    literal("Norvo: Reading invalid tablelimit " + std::string(value) +
                            ", in file " + path + ", line 2.\n"));
    }
}

TEST_F(ConfigReaderDeathTest, RuleWithoutAddressOrMaskEndsTheProcess)
{
    struct {
        const char *line;
        const char *missing;
    } cases[] = {
        {"primary account\n", "an address"},
        {"primary account", "an address"},
        {"primary account = = 255.0.0.0\n", "an address"},
        {"primary account 10.0.0.0\n", "a mask"},
        {"primary account 10.0.0.0", "a mask"},
    };
    for (const auto &c : cases) {
        std::string path = write_file("cat c\n" + std::string(c.line));
        EXPECT_EXIT(load_and_exit(path), ::testing::ExitedWithCode(1),
                    literal("Norvo: Reading rule primary without " + std::string(c.missing) +
                            ", in file " + path + ", line 2.\n"))
            << "line: " << c.line;
    }
}

TEST_F(ConfigReaderDeathTest, DigitRunLongerThanThreeDigitsEndsTheProcess)
{
    std::string path = write_file("cat c\nsecondary ignore 10.0.0.1000 255.255.255.255\n");
    EXPECT_EXIT(load_and_exit(path), ::testing::ExitedWithCode(1),
                literal("Norvo: Reading invalid address 10.0.0.1000 (a number of more than 3 "
                        "digits), in rule secondary, in file " +
                        path + ", line 2.\n"));
    path = write_file("cat c\nprimary account 10.0.0.0 0255.0.0.0\n");
    EXPECT_EXIT(load_and_exit(path), ::testing::ExitedWithCode(1),
                literal("Norvo: Reading invalid mask 0255.0.0.0 (a number of more than 3 digits), "
                        "in rule primary, in file " +
                        path + ", line 2.\n"));
}

TEST_F(ConfigReaderDeathTest, LineOfMoreThan1023CharactersEndsTheProcess)
{
    /* Read in pieces, the tail of the comment would set the period. */
    const std::string comment = "# " + std::string(1021, 'x');
    std::string path = write_file("cat c\n" + comment + "period 1\nperiod 450\n");
    EXPECT_EXIT(load_and_exit(path), ::testing::ExitedWithCode(1),
                literal("Norvo: Reading a line of more than 1023 characters, in file " + path +
                        ", line 2.\n"));
    /* The last line too, without a line feed. */
    path = write_file("cat " + std::string(1020, 'n'));
    EXPECT_EXIT(load_and_exit(path), ::testing::ExitedWithCode(1),
                literal("Norvo: Reading a line of more than 1023 characters, in file " + path +
                        ", line 1.\n"));
}

TEST_F(ConfigReaderDeathTest, NumberBeyondAnIntEndsTheProcess)
{
    /* atoi would wrap 4294967297 to 1. */
    for (auto [line, name, value] :
         {std::tuple{"period 4294967297", "period", "4294967297"},
          {"buffersize -2147483649", "buffersize", "-2147483649"},
          {"cat c\ntimedivider 99999999999999999999", "timedivider", "99999999999999999999"},
          {"cat c\nprimary account 10.0.0.0 255.0.0.0 2147483648", "port", "2147483648"}}) {
        std::string path = write_file(std::string(line) + "\n");
        int number = strchr(line, '\n') != nullptr ? 2 : 1;
        EXPECT_EXIT(load_and_exit(path), ::testing::ExitedWithCode(1),
                    literal("Norvo: Reading invalid "s + name + " " + value +
                            " (a number that does not fit in an int), in file " + path +
                            ", line " + std::to_string(number) + ".\n"))
            << line;
    }
}

TEST_F(ConfigReaderDeathTest, MysqlTableThatIsNoPlainIdentifierEndsTheProcess)
{
    for (const char *table : {"t;drop", "acct.counters", "`t`", "#", ""}) {
        std::string path = write_file("cat c\n\ndump MySQL h d " + std::string(table) + "\n");
        EXPECT_EXIT(load_and_exit(path), ::testing::ExitedWithCode(1),
                    literal("Norvo: Reading invalid MySQL table " + std::string(table) +
                            " (letters, digits, _ and $ only), in file " + path + ", line 3.\n"))
            << table;
    }
}

TEST_F(ConfigReaderDeathTest, KeywordEndingTheFileWithoutValueEndsTheProcess)
{
    for (const char *keyword : {"period", "buffersize", "cat", "devices", "DUMP"}) {
        std::string path = write_file("cat c\n  " + std::string(keyword));
        EXPECT_EXIT(load_and_exit(path), ::testing::ExitedWithCode(1),
                    literal("Norvo: Reading option " + std::string(keyword) +
                            " without a value, in file " + path + ", line 2.\n"));
    }
}

/* ---- fuzz -------------------------------------------------------------- */

#ifdef CONFIG_TEST_SANITIZED
/* A sanitizer report would otherwise end the child with status 1 too. */
void sanitizer_died()
{
    _exit(99);
}
#endif

std::string random_line(std::mt19937 &random)
{
    static const char *const words[] = {
        "devices", "period",  "buffersize", "cat",      "primary", "secondary", "timedivider",
        "bytedivider", "dump", "account",   "ignore",   "TextFile", "BinFile",  "MySQL",
        "PgSQL",   "Syslog",  "StdOut",     "10.0.0.0", "255.0.0.0", "1.2.3.4.5", "1000.1.1.1",
        "0",       "-1",      "80",         "#",        "=",        "",         "9999999999999",
    };
    static const char noise[] = " \t\r\n=#.0123456789aZ";
    std::string line;
    std::uniform_int_distribution<int> kind(0, 9);
    int shape = kind(random);
    if (shape < 6) {
        /* Mostly well-formed words so lines get past the keyword lookup. */
        int count = std::uniform_int_distribution<int>(1, 7)(random);
        for (int i = 0; i < count; i++) {
            if (i > 0 && std::uniform_int_distribution<int>(0, 5)(random) == 0) {
                /* A name, path or field far longer than its record. */
                int length = std::uniform_int_distribution<int>(20, 1100)(random);
                for (int j = 0; j < length; j++)
                    line += (char)std::uniform_int_distribution<int>('a', 'z')(random);
            } else {
                line += words[std::uniform_int_distribution<size_t>(0, std::size(words) - 1)(random)];
            }
            line += noise[std::uniform_int_distribution<int>(0, 5)(random)];
        }
    } else if (shape < 8) {
        int length = std::uniform_int_distribution<int>(0, 80)(random);
        for (int i = 0; i < length; i++)
            line += noise[std::uniform_int_distribution<size_t>(0, sizeof noise - 2)(random)];
    } else if (shape < 9) {
        int length = std::uniform_int_distribution<int>(0, 200)(random);
        for (int i = 0; i < length; i++)
            line += (char)std::uniform_int_distribution<int>(0, 255)(random);
    } else {
        /* Long enough to be read in two or three pieces. */
        int length = std::uniform_int_distribution<int>(1000, 2600)(random);
        line = std::string(words[std::uniform_int_distribution<size_t>(0, 8)(random)]) + " ";
        for (int i = (int)line.size(); i < length; i++)
            line += noise[std::uniform_int_distribution<size_t>(0, sizeof noise - 2)(random)];
    }
    if (std::uniform_int_distribution<int>(0, 7)(random) != 0)
        line += '\n';
    return line;
}

TEST_F(ConfigReader, RandomLinesNeverCrashTheReader)
{
    /* A fork per file under the sanitizers is slow; the libFuzzer target of
     * the reader goes much further, this keeps a quick check in every build. */
    const int files_per_seed = 24;
    const int lines_per_file = 12;
    int exited_ok = 0, exited_fatal = 0;
    for (unsigned seed : {1u, 7u, 42u, 1009u, 65537u}) {
        std::mt19937 random(seed);
        for (int f = 0; f < files_per_seed; f++) {
            /* The file header makes category keywords legal most of the time. */
            std::string content = (f % 3 != 0) ? "cat fuzz\n" : "";
            for (int l = 0; l < lines_per_file; l++)
                content += random_line(random);
            std::string path = write_file(content);

            pid_t child = fork();
            ASSERT_GE(child, 0) << strerror(errno);
            if (child == 0) {
#ifdef CONFIG_TEST_SANITIZED
                __sanitizer_set_death_callback(sanitizer_died);
#endif
                int null_fd = open("/dev/null", O_WRONLY);
                if (null_fd >= 0)
                    dup2(null_fd, STDERR_FILENO);
                load_and_exit(path);
            }
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child) << strerror(errno);
            ASSERT_TRUE(WIFEXITED(status))
                << "seed " << seed << " file " << f << " killed by signal " << WTERMSIG(status);
            int code = WEXITSTATUS(status);
            ASSERT_TRUE(code == 0 || code == 1)
                << "seed " << seed << " file " << f << " exit status " << code;
            (code == 0 ? exited_ok : exited_fatal)++;
            unlink(path.c_str());
        }
    }
    /* Both outcomes must occur, or the generator no longer reaches the reader's paths. */
    EXPECT_GT(exited_ok, 0);
    EXPECT_GT(exited_fatal, 0);
}

} // namespace
