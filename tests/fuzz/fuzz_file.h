/*
 * The readers under test take a path. Each input is written into one
 * memory file, created once, and handed over as /proc/self/fd/N: no disk,
 * and every open starts at offset 0 of the current input.
 */
#ifndef NORVO_FUZZ_FILE_H
#define NORVO_FUZZ_FILE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

class FuzzFile {
public:
    FuzzFile()
    {
        fd_ = memfd_create("norvo-fuzz-input", 0);
        if (fd_ < 0) {
            perror("memfd_create");
            abort();
        }
        snprintf(path_, sizeof path_, "/proc/self/fd/%d", fd_);
    }

    /* The path of a file holding exactly data[0..size). */
    const char *hold(const uint8_t *data, size_t size)
    {
        if (ftruncate(fd_, 0) != 0 || (size > 0 && pwrite(fd_, data, size, 0) != (ssize_t)size)) {
            perror("writing the memory file");
            abort();
        }
        return path_;
    }

private:
    int fd_;
    char path_[64];
};

#endif
