// The status report: its exact text for typical settings, and the queue
// fill line at its bounds.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "core/status.h"

namespace {

std::string report(const settings &s, int free_slots)
{
    char *buf = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&buf, &size);
    status_write(out, &s, free_slots);
    fclose(out);
    std::string text(buf, size);
    free(buf);
    return text;
}

const char CLOSING[] = " | IP: 000.000.000.000 MASK: 000.000.000.000 VALUE: 0\n";

}  // namespace

TEST(Status, ReportOfTheOfficeExampleShowsEveryRuleZeroPadded)
{
    rule sec2 = {0, 0, 0, 0, 1, nullptr};
    rule sec1 = {0xC0A80000, 0xFFFF0000, 0, 0, 0, &sec2};
    rule prim = {0xC0A80100, 0xFFFFFF00, 80, 0, 1, nullptr};
    cat office = {};
    snprintf(office.name, sizeof office.name, "office");
    office.primary = &prim;
    office.secondary = &sec1;
    office.time_divider = 3600;
    office.byte_divider = 1;
    office.dump_type = DUMP_MYSQL;
    device em0 = {nullptr, {}, "em0", nullptr};
    device em1 = {nullptr, {}, "em1", &em0};
    settings s = {300, 2, 2000, &em1, &office, 0, 0, 0, 0, 0, 0, "", 0};

    EXPECT_EQ(report(s, 2000),
              "Compiled with MySQL support\n"
              "Buffer_size: 2000\n"
              "Queue 0% full\n"
              "Cycletime: 300\n"
              "Devicecount: 2\n"
              "Devices:\n"
              "| Device: em1\n"
              "| Device: em0\n"
              "Cat: office\n"
              " Byte Divider: 1\n"
              " Time Divider: 3600\n"
              " Dump Type: MySQL\n"
              " Primary:\n"
              " | IP: 192.168.001.000 MASK: 255.255.255.000 VALUE: 1 PORT:    80 PROT:   0\n" +
                  std::string(CLOSING) +
                  " Secondary:\n"
                  " | IP: 192.168.000.000 MASK: 255.255.000.000 VALUE: 0 PORT:     0 PROT:   0\n"
                  " | IP: 000.000.000.000 MASK: 000.000.000.000 VALUE: 1 PORT:     0 PROT:   0\n" +
                  CLOSING);
}

TEST(Status, NoDevicesAndACategoryWithoutRules)
{
    cat bare = {};
    snprintf(bare.name, sizeof bare.name, "bare");
    bare.time_divider = 1;
    bare.byte_divider = 1;
    bare.dump_type = DUMP_BAD;
    settings s = {600, 0, 500, nullptr, &bare, 0, 0, 0, 0, 0, 0, "", 0};
    EXPECT_EQ(report(s, 500), std::string("Compiled with MySQL support\nBuffer_size: 500\n"
                                          "Queue 0% full\nCycletime: 600\nDevicecount: 0\n"
                                          "Devices:\nCat: bare\n Byte Divider: 1\n"
                                          " Time Divider: 1\n Dump Type: --Error: Bad Option--\n"
                                          " Primary:\n") +
                                  CLOSING + " Secondary:\n" + CLOSING);
}

TEST(Status, QueueFillIsWholePercentOfSlotsInUse)
{
    settings s = {600, 0, 500, nullptr, nullptr, 0, 0, 0, 0, 0, 0, "", 0};
    EXPECT_NE(report(s, 500).find("Queue 0% full\n"), std::string::npos);
    EXPECT_NE(report(s, 250).find("Queue 50% full\n"), std::string::npos);
    EXPECT_NE(report(s, 0).find("Queue 100% full\n"), std::string::npos);
    EXPECT_NE(report(s, 1).find("Queue 99% full\n"), std::string::npos);  // truncated, not rounded
}

TEST(Status, TableLimitHasALineOfItsOwnOnlyWhenTheFileSetsIt)
{
    settings s = {600, 0, 500, nullptr, nullptr, 512, 0, 0, 0, 0, 0, "", 0};
    std::string unset = report(s, 500);
    EXPECT_EQ(unset.find("Tablelimit"), std::string::npos);
    s.table_limit = 64;
    s.table_limit_set = 1;
    std::string set = report(s, 500);
    EXPECT_NE(set.find("Cycletime: 600\nTablelimit: 64 MiB\nDevicecount: 0\n"), std::string::npos)
        << set;
    EXPECT_EQ(set.size(), unset.size() + strlen("Tablelimit: 64 MiB\n"));
    s.table_limit = 0;
    EXPECT_NE(report(s, 500).find("\nTablelimit: 0 MiB (no limit)\n"), std::string::npos);
}

TEST(Status, SpoolSettingsAreShownWhenTheFileSetsThem)
{
    settings s = {600, 0, 500, nullptr, nullptr, 0, 0, 0, 0, 0, 0, "/srv/norvo/spool", 0};
    const std::string head = "Compiled with MySQL support\nBuffer_size: 500\nQueue 0% full\n"
                             "Cycletime: 600\n";
    const std::string tail = "Devicecount: 0\nDevices:\n";
    EXPECT_EQ(report(s, 500), head + "Spooldir: /srv/norvo/spool\n" + tail);
    s.spool_limit_mib = 64;
    EXPECT_EQ(report(s, 500), head + "Spooldir: /srv/norvo/spool\nSpoollimit: 64 MiB\n" + tail);
    s.spool_dir[0] = '\0';
    EXPECT_EQ(report(s, 500), head + "Spoollimit: 64 MiB\n" + tail);
}
