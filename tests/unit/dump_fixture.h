/*
 * Helpers shared by the dump tests: category copies as the cycle makes them,
 * capture of a file descriptor (standard output, or standard error where
 * the log is echoed), temporary directories and the heap in use.
 */
#ifndef NORVO_TESTS_DUMP_FIXTURE_H
#define NORVO_TESTS_DUMP_FIXTURE_H

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "accounting/iptable.h"
#include "config/config.h"
#include "core/state.h"
#include "test_addr.h"
#include "test_file.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DUMP_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define DUMP_TEST_SANITIZED 1
#endif
#endif
#ifdef DUMP_TEST_SANITIZED
/* Provided by the ASan and TSan run-times; gcc ships no header for it. */
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

/* A category copy as the cycle hands it over: malloc'd, with a fresh table. */
static inline struct cat *test_cat_new(const char *name, int type, int byte_divider,
                                       int time_divider, char *file = nullptr)
{
    struct cat *category = (struct cat *)calloc(1, sizeof(struct cat));
    if (category == nullptr)
        return nullptr;
    snprintf(category->name, sizeof category->name, "%s", name);
    category->dump_type = type;
    category->byte_divider = byte_divider;
    category->time_divider = time_divider;
    category->file = file;
    category->table = iptable_new();
    return category;
}

static inline void test_cat_free(struct cat *category)
{
    iptable_destroy(category->table);
    free(category);
}

static inline void test_add(struct cat *category, uint32_t ip, uint64_t input, uint64_t output)
{
    struct ip_entry entry = {ip, input, output};
    ASSERT_EQ(iptable_insert(category->table, ip, &entry), 1);
}

/* Redirects a descriptor into a temporary file until test_capture_end. */
struct test_capture {
    int fd;
    int saved;
    FILE *sink;
};

static inline void test_capture_begin(struct test_capture *capture, int fd)
{
    fflush(nullptr);
    capture->fd = fd;
    capture->sink = tmpfile();
    ASSERT_NE(capture->sink, nullptr) << strerror(errno);
    capture->saved = dup(fd);
    ASSERT_GE(capture->saved, 0) << strerror(errno);
    ASSERT_GE(dup2(fileno(capture->sink), fd), 0) << strerror(errno);
}

static inline std::string test_capture_end(struct test_capture *capture)
{
    fflush(nullptr);
    dup2(capture->saved, capture->fd);
    close(capture->saved);
    std::string text;
    rewind(capture->sink);
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, capture->sink)) > 0)
        text.append(chunk, got);
    fclose(capture->sink);
    return text;
}

/* Log lines are echoed on standard error as well, so tests can read them. */
static inline void test_log_to_stderr(void)
{
    openlog("norvo-test", LOG_PID | LOG_PERROR, LOG_DAEMON);
}


static inline size_t test_count(const std::string &text, const std::string &needle)
{
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

/* "Tue, 03 Mar 2009 14:05:09 +0100": English names, fixed widths. */
static inline bool test_is_stamp(const std::string &stamp)
{
    if (stamp.size() != 31)
        return false;
    struct tm parsed = {};
    const char *rest = strptime(stamp.c_str(), "%a, %d %b %Y %H:%M:%S ", &parsed);
    static const char *const days = "Sun Mon Tue Wed Thu Fri Sat ";
    static const char *const months = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec ";
    return rest == stamp.c_str() + 26 && (rest[0] == '+' || rest[0] == '-') &&
           strspn(rest + 1, "0123456789") == 4 &&
           strstr(days, (stamp.substr(0, 3) + " ").c_str()) != nullptr &&
           strstr(months, (stamp.substr(8, 3) + " ").c_str()) != nullptr && stamp[3] == ',';
}

/* The header line of a dump (without its line feed) for category `name`. */
static inline bool test_is_header(const std::string &line, const std::string &name)
{
    const std::string head = "== [ ";
    const std::string tail = " ] Starting dump sequence of category " + name + " ==";
    return line.size() == head.size() + 31 + tail.size() && line.compare(0, head.size(), head) == 0 &&
           test_is_stamp(line.substr(head.size(), 31)) &&
           line.compare(head.size() + 31, std::string::npos, tail) == 0;
}

/* The number after the first "timetag:" in `text`; -1 when there is none. */
static inline long long test_tag_of(const std::string &text)
{
    size_t at = text.find("timetag:");
    if (at == std::string::npos)
        return -1;
    return strtoll(text.c_str() + at + 8, nullptr, 10);
}

/* A fresh directory under /tmp, removed with everything in it at the end. */
struct test_dir {
    std::string path;
    test_dir()
    {
        char name[] = "/tmp/norvo-dump-XXXXXX";
        if (mkdtemp(name) != nullptr)
            path = name;
    }
    ~test_dir()
    {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
    /* A FILE_PATH_SIZE buffer, as the reader stores cat.file; the caller
     * frees it. */
    char *file(const char *name) const
    {
        char *buffer = (char *)calloc(1, FILE_PATH_SIZE);
        if (buffer != nullptr)
            snprintf(buffer, FILE_PATH_SIZE, "%s/%s", path.c_str(), name);
        return buffer;
    }
};

/* Bytes of heap in use by the whole process, and of its address tables,
 * which map their memory themselves. */
static inline size_t test_heap_in_use(void)
{
#ifdef DUMP_TEST_SANITIZED
    return __sanitizer_get_current_allocated_bytes() + iptable_mapped_bytes();
#else
    return mallinfo2().uordblks + iptable_mapped_bytes();
#endif
}

#endif
