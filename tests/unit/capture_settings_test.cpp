/*
 * The capture's two settings, `vlan` and `capturebuffer`: read from a file,
 * their defaults, the values that end the reader, and the status report,
 * which shows them only when the file set them.
 */
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "config/config.h"
#include "core/status.h"

namespace {

class CaptureSettings : public ::testing::Test {
protected:
    std::string path;
    struct settings settings;

    void SetUp() override
    {
        char pattern[] = "/tmp/norvo-capture-settings-XXXXXX";
        int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0) << strerror(errno);
        close(fd);
        path = pattern;
        memset(&settings, 0, sizeof settings);
    }
    void TearDown() override { unlink(path.c_str()); }

    void write(const std::string &text)
    {
        FILE *f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(text.c_str(), f);
        fclose(f);
    }
    struct settings *load(const std::string &text)
    {
        write(text);
        return config_load(&settings, path.c_str());
    }
    std::string report()
    {
        char *buf = nullptr;
        size_t size = 0;
        FILE *out = open_memstream(&buf, &size);
        status_write(out, &settings, settings.buffer_size);
        fclose(out);
        std::string text(buf, size);
        free(buf);
        return text;
    }
};

TEST_F(CaptureSettings, DefaultsAreNoTagsAnd8MibAndTheReportDoesNotShowThem)
{
    ASSERT_NE(load("period 300\n"), nullptr);
    EXPECT_EQ(settings.vlan, 0);
    EXPECT_EQ(settings.capture_buffer, 8);
    std::string text = report();
    EXPECT_EQ(text, "Compiled with MySQL support\nBuffer_size: 500\nQueue 0% full\n"
                    "Cycletime: 300\nDevicecount: 0\nDevices:\n");
}

TEST_F(CaptureSettings, FileValuesAreReadAndShownAfterTheCycleTime)
{
    ASSERT_NE(load("VLAN on\ncapturebuffer = 64\nperiod 60\n"), nullptr);
    EXPECT_EQ(settings.vlan, 1);
    EXPECT_EQ(settings.capture_buffer, 64);
    EXPECT_NE(report().find("Cycletime: 60\nVlan: on\nCapturebuffer: 64 MiB\nDevicecount: 0\n"),
              std::string::npos)
        << report();

    memset(&settings, 0, sizeof settings);
    ASSERT_NE(load("vlan on\nvlan Off\n"), nullptr);
    EXPECT_EQ(settings.vlan, 0) << "the last line wins";
    std::string text = report();
    EXPECT_NE(text.find("Vlan: off\n"), std::string::npos) << "an explicit off is shown";
    EXPECT_EQ(text.find("Capturebuffer"), std::string::npos);
}

void load_and_exit(const std::string &path)
{
    static struct settings settings;
    config_load(&settings, path.c_str());
    exit(0);
}

using CaptureSettingsDeathTest = CaptureSettings;

TEST_F(CaptureSettingsDeathTest, OtherVlanValuesAndBufferSizesOutOfRangeEndTheReader)
{
    write("vlan yes\n");
    EXPECT_EXIT(load_and_exit(path), ::testing::ExitedWithCode(1),
                "Norvo: Reading invalid vlan yes \\(on or off\\), in file .*, line 1\\.");
    for (const char *value : {"0", "-8", "big", "2048"}) {
        write("period 60\ncapturebuffer " + std::string(value) + "\n");
        EXPECT_EXIT(load_and_exit(path), ::testing::ExitedWithCode(1),
                    "Norvo: Reading invalid capturebuffer " + std::string(value) + ".*line 2\\.")
            << value;
    }
    write("capturebuffer 2047\n");
    EXPECT_EXIT(load_and_exit(path), ::testing::ExitedWithCode(0), "");
}

} // namespace
