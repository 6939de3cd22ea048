/*
 * Fuzz target: norvo-binread's reader on arbitrary file contents.
 *
 * Every whole 20-byte record must give exactly one CSV line, and a file
 * whose length is not a multiple of 20 must end in one complaint naming
 * the offset of the incomplete record, with status 1.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "binread/binread.h"
#include "dump/record.h"
#include "fuzz_file.h"

static void require(bool condition)
{
    if (!condition)
        abort();
}

/* Runs the reader with its output and messages in memory. */
static int read_file(const char *path, std::string &out, std::string &err)
{
    char *out_buf = nullptr, *err_buf = nullptr;
    size_t out_size = 0, err_size = 0;
    FILE *out_file = open_memstream(&out_buf, &out_size);
    FILE *err_file = open_memstream(&err_buf, &err_size);
    require(out_file != nullptr && err_file != nullptr);
    int status = binread_file(path, out_file, err_file);
    fclose(out_file);
    fclose(err_file);
    out.assign(out_buf, out_size);
    err.assign(err_buf, err_size);
    free(out_buf);
    free(err_buf);
    return status;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FuzzFile file;
    std::string out, err;
    int status = read_file(file.hold(data, size), out, err);

    size_t records = size / BINFILE_RECORD_SIZE;
    size_t rest = size % BINFILE_RECORD_SIZE;
    require((size_t)std::count(out.begin(), out.end(), '\n') == records);
    require(status == (rest != 0 ? 1 : 0));
    if (rest != 0) {
        char expected[128];
        snprintf(expected, sizeof expected, ": incomplete record at byte offset %zu (%zu of %d bytes)\n",
                 size - rest, rest, BINFILE_RECORD_SIZE);
        require(err.size() >= strlen(expected) &&
                err.compare(err.size() - strlen(expected), std::string::npos, expected) == 0);
    } else {
        require(err.empty());
    }
    return 0;
}
