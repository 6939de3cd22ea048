/*
 * The spool: rows a database dump could not store, kept on disk until a
 * later dump of the same category stores them.
 *
 * One file per category, NAME.spool under the spool directory, replaced
 * whole on every change (temporary name, fsync, rename, fsync of the
 * directory), so a crash leaves the old file or the new one, never half of
 * either. Layout, in the machine's byte order (the spool never leaves the
 * machine that wrote it):
 *
 *   header, 32 bytes
 *     0  "NORVOSPL"   8  u32 version (1)   12 u32 batches
 *     16 u64 payload bytes   24 u32 CRC-32 of the payload
 *     28 u32 CRC-32 of bytes 0..27
 *   payload, the batches oldest first, each
 *     u16 id length, the id, i64 time tag, u64 rows,
 *     rows of 20 bytes: u32 address, u64 input, u64 output
 *
 * A file that holds an IPv6 batch has version 2 instead: each batch has a
 * u8 family (4 or 6) after its row count, and the rows of an IPv6 batch are
 * 32 bytes: the address (16 bytes, network order), u64 input, u64 output.
 * Files of IPv4 batches only are written as version 1, byte for byte as
 * before IPv6.
 *
 * A file that does not match its header and checksums in every byte is
 * moved aside whole (NAME.spool.corrupt-SECONDS) and reported; none of it is
 * replayed.
 *
 * Only the dump of its category touches a file, and a category has one
 * dump at a time, so files need no lock between threads. Two daemons must
 * not share a spool directory.
 */
#ifndef NORVO_DUMP_SPOOL_H
#define NORVO_DUMP_SPOOL_H

#include <stddef.h>
#include <stdint.h>

#include "config/config.h"
#include "core/addr6.h"

#define SPOOL_DEFAULT_DIR "/var/lib/norvo/spool"
#define SPOOL_DEFAULT_LIMIT_MIB 1024
#define SPOOL_ID_SIZE 128 /* bytes, an id and its NUL */

struct spool_row {
    union {
        uint32_t ip;      /* IPv4 batches */
        struct addr6 ip6; /* IPv6 batches */
    };
    uint64_t input;  /* already divided by the category's byte divider */
    uint64_t output;
};

#define SPOOL_IPV4 4
#define SPOOL_IPV6 6

/* The rows of one dump, stored in one transaction under one id. */
struct spool_batch {
    char id[SPOOL_ID_SIZE];
    int64_t tag;
    int family; /* SPOOL_IPV4 (also 0) or SPOOL_IPV6: which table the rows go to */
    size_t count;
    size_t capacity;
    struct spool_row *rows; /* malloc'd */
};

/* Batches oldest first. */
struct spool_list {
    struct spool_batch *batches; /* malloc'd */
    size_t count;
    size_t capacity;
};

/* An id unique across daemons, categories and restarts: this machine's
 * name, the category, the time tag and 64 random bits. 0, or 1 when the
 * random bits cannot be had (logged). */
int spool_batch_init(struct spool_batch *batch, const char *category, int64_t tag);
/* 0, or 1 when memory ran out. */
int spool_batch_add(struct spool_batch *batch, uint32_t ip, uint64_t input, uint64_t output);
/* The same for a batch of family SPOOL_IPV6. */
int spool_batch_add6(struct spool_batch *batch, struct addr6 ip, uint64_t input,
                     uint64_t output);
void spool_batch_free(struct spool_batch *batch);

/* Moves `batch` to the end of the list (the batch is emptied). 0 or 1. */
int spool_list_push(struct spool_list *list, struct spool_batch *batch);
/* Releases the first `n` batches. */
void spool_list_drop_front(struct spool_list *list, size_t n);
void spool_list_free(struct spool_list *list);
size_t spool_list_rows(const struct spool_list *list);

/* The spool directory and limit of the running settings (the defaults when
 * there are none). */
const char *spool_dir(void);
uint64_t spool_limit_bytes(void);

/* The category's file into `list` (appended). No file is an empty list. A
 * file that is not whole is moved aside, logged at err, and read as empty.
 * 0, or 1 when the file exists but cannot be read: it is left where it is,
 * and must not be overwritten. */
int spool_load(const char *dir, const char *category, struct spool_list *list);
/* Replaces the category's file by `list`; no batch removes the file. When
 * the spool would pass `limit` bytes (together with the other categories'
 * files), the oldest batches are dropped from `list` first and that is
 * logged at err. Creates the directory (0700) when missing. 0, or 1 on
 * failure (logged with the path and the reason). */
int spool_save(const char *dir, uint64_t limit, const char *category, struct spool_list *list);

/* The file name of a category's spool inside the directory: the name with
 * every byte other than letters, digits, '_' and '-' written %XX. */
void spool_file_name(const char *category, char *buf, size_t size);

#endif
