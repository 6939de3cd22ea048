/*
 * Rows per second of each back-end dumping one 65,536-entry table (a full
 * /16). The divisor is 1, so the in-place scaling leaves the table as it
 * was and one table serves every iteration.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "accounting/iptable.h"
#include "config/config.h"
#include "dump/backend.h"

namespace {

const int BENCH_ENTRIES = 65536;

/* The daemon runs with a line-buffered standard output; so do we, from
 * before the first byte is written. */
const int stdout_line_buffered = setvbuf(stdout, nullptr, _IOLBF, 0);

struct cat *bench_cat(int type, const char *file)
{
    static char path[FILE_PATH_SIZE];
    struct cat *category = (struct cat *)calloc(1, sizeof(struct cat));
    if (category == nullptr)
        abort();
    snprintf(category->name, sizeof category->name, "bench");
    snprintf(path, sizeof path, "%s", file ? file : "");
    category->file = path;
    category->dump_type = type;
    category->byte_divider = 1;
    category->time_divider = 3600;
    category->table = iptable_new();
    for (int i = 0; i < BENCH_ENTRIES; ++i) {
        uint32_t ip = 198u << 24 | 18u << 16 | (uint32_t)i;
        struct ip_entry entry = {ip, 1000 + (uint64_t)i * 7919, 1 + (uint64_t)i};
        if (!iptable_insert(category->table, ip, &entry))
            abort();
    }
    return category;
}

void bench_cat_free(struct cat *category)
{
    iptable_destroy(category->table);
    free(category);
}

struct bench_dir {
    std::string path;
    bench_dir()
    {
        char name[] = "/tmp/norvo-bench-XXXXXX";
        if (mkdtemp(name) == nullptr)
            abort();
        path = name;
    }
    ~bench_dir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

void bench_file_backend(benchmark::State &state, int type, int (*backend)(struct cat *))
{
    bench_dir dir;
    std::string file = dir.path + "/dump";
    struct cat *category = bench_cat(type, file.c_str());
    for (auto _ : state) {
        state.PauseTiming();
        /* Start each dump on an empty file so the directory stays small. */
        if (truncate(file.c_str(), 0) != 0 && errno != ENOENT)
            state.SkipWithError("cannot truncate the dump file");
        state.ResumeTiming();
        if (backend(category) != 0)
            state.SkipWithError("the dump failed");
    }
    state.SetItemsProcessed(state.iterations() * BENCH_ENTRIES);
    bench_cat_free(category);
}

} // namespace

static void BM_DumpWalk(benchmark::State &state)
{
    struct cat *category = bench_cat(DUMP_STDOUT, nullptr);
    for (auto _ : state) {
        struct dump_walk walk;
        dump_walk_start(&walk, category);
        struct ip_entry *entry;
        int passes;
        int64_t rows = 0;
        while ((entry = dump_walk_next(&walk, &passes)) != nullptr)
            rows += passes;
        benchmark::DoNotOptimize(rows);
    }
    state.SetItemsProcessed(state.iterations() * BENCH_ENTRIES);
    bench_cat_free(category);
}
BENCHMARK(BM_DumpWalk)->Unit(benchmark::kMillisecond);

static void BM_DumpStdout(benchmark::State &state)
{
    benchmark::DoNotOptimize(stdout_line_buffered);
    struct cat *category = bench_cat(DUMP_STDOUT, nullptr);
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    if (saved < 0 || null < 0 || dup2(null, STDOUT_FILENO) < 0) {
        state.SkipWithError("cannot send standard output to /dev/null");
    } else {
        for (auto _ : state)
            dump_stdout(category);
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
    }
    if (null >= 0)
        close(null);
    if (saved >= 0)
        close(saved);
    state.SetItemsProcessed(state.iterations() * BENCH_ENTRIES);
    bench_cat_free(category);
}
BENCHMARK(BM_DumpStdout)->Unit(benchmark::kMillisecond);

static void BM_DumpSyslog(benchmark::State &state)
{
    openlog("norvo-bench", LOG_PID, LOG_DAEMON);
    struct cat *category = bench_cat(DUMP_SYSLOG, nullptr);
    for (auto _ : state)
        dump_syslog(category);
    state.SetItemsProcessed(state.iterations() * BENCH_ENTRIES);
    bench_cat_free(category);
    closelog();
}
BENCHMARK(BM_DumpSyslog)->Unit(benchmark::kMillisecond);

static void BM_DumpTextfile(benchmark::State &state)
{
    bench_file_backend(state, DUMP_TEXTFILE, dump_textfile);
}
BENCHMARK(BM_DumpTextfile)->Unit(benchmark::kMillisecond);

static void BM_DumpBinfile(benchmark::State &state)
{
    bench_file_backend(state, DUMP_BINFILE, dump_binfile);
}
BENCHMARK(BM_DumpBinfile)->Unit(benchmark::kMillisecond);
