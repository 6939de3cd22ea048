/*
 * Fuzz target: norvo-binread's reader on arbitrary file contents.
 *
 * Every whole 20-byte record must give exactly one CSV line, and a file
 * whose length is not a multiple of 20 must end in one complaint naming
 * the offset of the incomplete record, with status 1. A file that starts
 * with the IPv6 magic is held to the same after its 16-byte header, with
 * 40-byte records, unless the header is refused: then nothing is printed.
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

    size_t start = 0, record_size = BINFILE_RECORD_SIZE;
    if (bin6_is_v6(data, size)) {
        unsigned char header[BINFILE6_HEADER_SIZE];
        bin6_header_pack(header);
        if (size < BINFILE6_HEADER_SIZE || memcmp(data, header, BINFILE6_HEADER_SIZE) != 0) {
            require(status == 1 && out.empty() && err.find("byte offset") != std::string::npos);
            return 0;
        }
        start = BINFILE6_HEADER_SIZE;
        record_size = BINFILE6_RECORD_SIZE;
    }
    size_t records = (size - start) / record_size;
    size_t rest = (size - start) % record_size;
    require((size_t)std::count(out.begin(), out.end(), '\n') == records);
    require(status == (rest != 0 ? 1 : 0));
    if (rest != 0) {
        char expected[128];
        snprintf(expected, sizeof expected, ": incomplete record at byte offset %zu (%zu of %zu bytes)\n",
                 size - rest, rest, record_size);
        require(err.size() >= strlen(expected) &&
                err.compare(err.size() - strlen(expected), std::string::npos, expected) == 0);
    } else {
        require(err.empty());
    }
    return 0;
}
