/* A whole file read into a string, for tests; empty when it cannot be read. */
#ifndef NORVO_TESTS_TEST_FILE_H
#define NORVO_TESTS_TEST_FILE_H

#include <stdio.h>

#include <string>

static inline std::string test_read_file(const std::string &path)
{
    std::string text;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return text;
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, got);
    fclose(file);
    return text;
}

#endif
