/*
 * The spool files (layout in spool.h). A file is built whole in memory and
 * written under a temporary name before it replaces the old one; reading
 * checks the header, both checksums and every length before anything of it
 * is used.
 */
#include "dump/spool.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "core/state.h"

#define SPOOL_MAGIC "NORVOSPL"
#define SPOOL_VERSION 1
#define SPOOL_VERSION_IPV6 2   /* a batch family byte, 32-byte IPv6 rows */
#define SPOOL_HEADER_SIZE 32   /* bytes */
#define SPOOL_ROW_SIZE 20      /* bytes on disk */
#define SPOOL_ROW6_SIZE 32     /* bytes on disk, an IPv6 row */
#define SPOOL_BATCH_FIXED 18   /* bytes: id length, time tag, row count */
#define SPOOL_SUFFIX ".spool"
#define SPOOL_HOST_CHARS 40    /* of the machine's name in an id */
#define SPOOL_NAME_SIZE 256    /* bytes, an encoded category name and suffixes */

/* ---- CRC-32 (IEEE 802.3, reflected) ---------------------------------------- */

static uint32_t spool_crc_table[256];
static pthread_once_t spool_crc_once = PTHREAD_ONCE_INIT;

static void spool_crc_init(void)
{
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++)
            c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        spool_crc_table[n] = c;
    }
}

static uint32_t spool_crc(const unsigned char *data, size_t length)
{
    pthread_once(&spool_crc_once, spool_crc_init);
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; i++)
        c = spool_crc_table[(c ^ data[i]) & 0xff] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

/* ---- batches and lists ------------------------------------------------------- */

int spool_batch_init(struct spool_batch *batch, const char *category, int64_t tag)
{
    memset(batch, 0, sizeof *batch);
    batch->tag = tag;
    char host[256] = "";
    if (gethostname(host, sizeof host) != 0)
        snprintf(host, sizeof host, "%s", "unknown");
    host[SPOOL_HOST_CHARS] = '\0';
    uint64_t random;
    if (getrandom(&random, sizeof random, 0) != (ssize_t)sizeof random) {
        log_msg(LOG_ERR, "Category %s: no random bits for a batch id: %s", category,
                strerror(errno));
        return 1;
    }
    snprintf(batch->id, sizeof batch->id, "%s:%s:%" PRId64 ":%016" PRIx64, host, category, tag,
             random);
    return 0;
}

static int spool_batch_grow(struct spool_batch *batch)
{
    if (batch->count == batch->capacity) {
        size_t capacity = batch->capacity ? 2 * batch->capacity : 256;
        void *rows = realloc(batch->rows, capacity * sizeof *batch->rows);
        if (rows == nullptr)
            return 1;
        batch->rows = (struct spool_row *)rows;
        batch->capacity = capacity;
    }
    return 0;
}

int spool_batch_add(struct spool_batch *batch, uint32_t ip, uint64_t input, uint64_t output)
{
    if (spool_batch_grow(batch) != 0)
        return 1;
    struct spool_row *row = &batch->rows[batch->count++];
    memset(row, 0, sizeof *row);
    row->ip = ip;
    row->input = input;
    row->output = output;
    return 0;
}

int spool_batch_add6(struct spool_batch *batch, struct addr6 ip, uint64_t input,
                     uint64_t output)
{
    if (spool_batch_grow(batch) != 0)
        return 1;
    struct spool_row *row = &batch->rows[batch->count++];
    row->ip6 = ip;
    row->input = input;
    row->output = output;
    return 0;
}

void spool_batch_free(struct spool_batch *batch)
{
    free(batch->rows);
    batch->rows = nullptr;
    batch->count = batch->capacity = 0;
}

int spool_list_push(struct spool_list *list, struct spool_batch *batch)
{
    if (list->count == list->capacity) {
        size_t capacity = list->capacity ? 2 * list->capacity : 8;
        void *batches = realloc(list->batches, capacity * sizeof *list->batches);
        if (batches == nullptr)
            return 1;
        list->batches = (struct spool_batch *)batches;
        list->capacity = capacity;
    }
    list->batches[list->count++] = *batch;
    batch->rows = nullptr;
    batch->count = batch->capacity = 0;
    return 0;
}

void spool_list_drop_front(struct spool_list *list, size_t n)
{
    if (n > list->count)
        n = list->count;
    for (size_t i = 0; i < n; i++)
        spool_batch_free(&list->batches[i]);
    if (n == 0)
        return;
    memmove(list->batches, list->batches + n, (list->count - n) * sizeof *list->batches);
    list->count -= n;
}

void spool_list_free(struct spool_list *list)
{
    spool_list_drop_front(list, list->count);
    free(list->batches);
    list->batches = nullptr;
    list->capacity = 0;
}

size_t spool_list_rows(const struct spool_list *list)
{
    size_t rows = 0;
    for (size_t i = 0; i < list->count; i++)
        rows += list->batches[i].count;
    return rows;
}

/* ---- settings and names -------------------------------------------------------- */

const char *spool_dir(void)
{
    if (config != nullptr && config->spool_dir[0] != '\0')
        return config->spool_dir;
    return SPOOL_DEFAULT_DIR;
}

uint64_t spool_limit_bytes(void)
{
    uint64_t mib = config != nullptr && config->spool_limit_mib > 0
                       ? (uint64_t)config->spool_limit_mib
                       : SPOOL_DEFAULT_LIMIT_MIB;
    return mib << 20;
}

void spool_file_name(const char *category, char *buf, size_t size)
{
    static const char hex[] = "0123456789ABCDEF";
    size_t at = 0;
    for (const unsigned char *p = (const unsigned char *)category; *p && at + 4 < size; p++) {
        if ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') ||
            *p == '_' || *p == '-') {
            buf[at++] = (char)*p;
        } else {
            buf[at++] = '%';
            buf[at++] = hex[*p >> 4];
            buf[at++] = hex[*p & 15];
        }
    }
    snprintf(buf + at, size - at, "%s", SPOOL_SUFFIX);
}

static void spool_path(const char *dir, const char *category, const char *extra, char *buf,
                       size_t size)
{
    char name[SPOOL_NAME_SIZE];
    spool_file_name(category, name, sizeof name);
    snprintf(buf, size, "%s/%s%s", dir, name, extra);
}

/* ---- encoding ---------------------------------------------------------------------- */

static int spool_is_v6(const struct spool_batch *batch)
{
    return batch->family == SPOOL_IPV6;
}

/* Bytes of the batch in a file of `version`. */
static size_t spool_batch_bytes(const struct spool_batch *batch, uint32_t version)
{
    if (version == SPOOL_VERSION)
        return SPOOL_BATCH_FIXED + strlen(batch->id) + batch->count * SPOOL_ROW_SIZE;
    return SPOOL_BATCH_FIXED + 1 + strlen(batch->id) +
           batch->count * (spool_is_v6(batch) ? SPOOL_ROW6_SIZE : SPOOL_ROW_SIZE);
}

/* Version 1 unless an IPv6 batch needs version 2. */
static uint32_t spool_version(const struct spool_list *list, size_t first)
{
    for (size_t i = first; i < list->count; i++) {
        if (spool_is_v6(&list->batches[i]))
            return SPOOL_VERSION_IPV6;
    }
    return SPOOL_VERSION;
}

static unsigned char *spool_put(unsigned char *at, const void *value, size_t size)
{
    memcpy(at, value, size);
    return at + size;
}

/* The whole file for the batches [first, count) of `list`; null when
 * memory ran out. */
static unsigned char *spool_encode(const struct spool_list *list, size_t first, size_t *length)
{
    uint32_t version = spool_version(list, first);
    uint64_t payload = 0;
    for (size_t i = first; i < list->count; i++)
        payload += spool_batch_bytes(&list->batches[i], version);
    unsigned char *file = (unsigned char *)malloc(SPOOL_HEADER_SIZE + payload);
    if (file == nullptr)
        return nullptr;
    unsigned char *at = file + SPOOL_HEADER_SIZE;
    for (size_t i = first; i < list->count; i++) {
        const struct spool_batch *b = &list->batches[i];
        uint16_t id_length = (uint16_t)strlen(b->id);
        uint64_t rows = b->count;
        at = spool_put(at, &id_length, 2);
        at = spool_put(at, b->id, id_length);
        at = spool_put(at, &b->tag, 8);
        at = spool_put(at, &rows, 8);
        if (version == SPOOL_VERSION_IPV6) {
            uint8_t family = spool_is_v6(b) ? SPOOL_IPV6 : SPOOL_IPV4;
            at = spool_put(at, &family, 1);
        }
        for (size_t r = 0; r < b->count; r++) {
            if (spool_is_v6(b)) {
                addr6_to_bytes(b->rows[r].ip6, at);
                at += ADDR6_BYTES;
            } else {
                at = spool_put(at, &b->rows[r].ip, 4);
            }
            at = spool_put(at, &b->rows[r].input, 8);
            at = spool_put(at, &b->rows[r].output, 8);
        }
    }
    uint32_t batches = (uint32_t)(list->count - first);
    uint32_t payload_crc = spool_crc(file + SPOOL_HEADER_SIZE, payload);
    at = spool_put(file, SPOOL_MAGIC, 8);
    at = spool_put(at, &version, 4);
    at = spool_put(at, &batches, 4);
    at = spool_put(at, &payload, 8);
    at = spool_put(at, &payload_crc, 4);
    uint32_t header_crc = spool_crc(file, 28);
    spool_put(at, &header_crc, 4);
    *length = SPOOL_HEADER_SIZE + payload;
    return file;
}

/* Reads a whole file into `list`; 0, or 1 with the reason in `why` when it
 * is not a whole spool file (nothing is added then). */
static int spool_decode(const unsigned char *file, size_t length, struct spool_list *list,
                        const char **why)
{
    if (length < SPOOL_HEADER_SIZE) {
        *why = "shorter than its header";
        return 1;
    }
    uint32_t version, batches, payload_crc, header_crc;
    uint64_t payload;
    memcpy(&version, file + 8, 4);
    memcpy(&batches, file + 12, 4);
    memcpy(&payload, file + 16, 8);
    memcpy(&payload_crc, file + 24, 4);
    memcpy(&header_crc, file + 28, 4);
    if (memcmp(file, SPOOL_MAGIC, 8) != 0 || header_crc != spool_crc(file, 28)) {
        *why = "header damaged";
        return 1;
    }
    if (version != SPOOL_VERSION && version != SPOOL_VERSION_IPV6) {
        *why = "unknown version";
        return 1;
    }
    const size_t fixed = SPOOL_BATCH_FIXED + (version == SPOOL_VERSION_IPV6 ? 1 : 0);
    if (payload != length - SPOOL_HEADER_SIZE) {
        *why = "length does not match its header (truncated or extended)";
        return 1;
    }
    const unsigned char *at = file + SPOOL_HEADER_SIZE;
    const unsigned char *end = file + length;
    if (spool_crc(at, payload) != payload_crc) {
        *why = "checksum mismatch";
        return 1;
    }
    struct spool_list read = {};
    for (uint32_t i = 0; i < batches; i++) {
        struct spool_batch batch = {};
        uint16_t id_length;
        uint64_t rows;
        if ((size_t)(end - at) < fixed)
            goto bad;
        memcpy(&id_length, at, 2);
        if (id_length >= SPOOL_ID_SIZE || (size_t)(end - at) < fixed + id_length)
            goto bad;
        memcpy(batch.id, at + 2, id_length);
        memcpy(&batch.tag, at + 2 + id_length, 8);
        memcpy(&rows, at + 10 + id_length, 8);
        batch.family = SPOOL_IPV4;
        if (version == SPOOL_VERSION_IPV6) {
            uint8_t family = at[SPOOL_BATCH_FIXED + id_length];
            if (family != SPOOL_IPV4 && family != SPOOL_IPV6)
                goto bad;
            batch.family = family;
        }
        at += fixed + id_length;
        size_t row_size = spool_is_v6(&batch) ? SPOOL_ROW6_SIZE : SPOOL_ROW_SIZE;
        size_t address_size = row_size - 16;
        if (rows > (uint64_t)(end - at) / row_size)
            goto bad;
        for (uint64_t r = 0; r < rows; r++, at += row_size) {
            uint32_t ip = 0;
            uint64_t input, output;
            if (!spool_is_v6(&batch))
                memcpy(&ip, at, 4);
            memcpy(&input, at + address_size, 8);
            memcpy(&output, at + address_size + 8, 8);
            int failed = spool_is_v6(&batch)
                             ? spool_batch_add6(&batch, addr6_from_bytes(at), input, output)
                             : spool_batch_add(&batch, ip, input, output);
            if (failed != 0) {
                spool_batch_free(&batch);
                goto nomem;
            }
        }
        if (spool_list_push(&read, &batch) != 0) {
            spool_batch_free(&batch);
            goto nomem;
        }
    }
    if (at != end)
        goto bad;
    for (size_t i = 0; i < read.count; i++) {
        if (spool_list_push(list, &read.batches[i]) != 0)
            goto nomem;
    }
    spool_list_free(&read);
    return 0;
bad:
    *why = "batches do not match the header";
    spool_list_free(&read);
    return 1;
nomem:
    *why = "out of memory";
    spool_list_free(&read);
    return 1;
}

/* ---- files ---------------------------------------------------------------------------- */

static int spool_write_all(int fd, const unsigned char *data, size_t length)
{
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        data += written;
        length -= (size_t)written;
    }
    return 0;
}

/* mkdir -p with mode 0700 for what it creates. */
static int spool_make_dir(const char *dir)
{
    char path[FILE_PATH_SIZE];
    snprintf(path, sizeof path, "%s", dir);
    for (char *p = path + 1;; p++) {
        if (*p == '/' || *p == '\0') {
            char saved = *p;
            *p = '\0';
            if (mkdir(path, 0700) != 0 && errno != EEXIST) {
                log_msg(LOG_ERR, "Cannot create spool directory %s: %s", path, strerror(errno));
                return 1;
            }
            *p = saved;
            if (saved == '\0')
                return 0;
        }
    }
}

static int spool_sync_dir(const char *dir)
{
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 1;
    int rc = fsync(fd);
    close(fd);
    return rc != 0;
}

int spool_load(const char *dir, const char *category, struct spool_list *list)
{
    char path[FILE_PATH_SIZE + SPOOL_NAME_SIZE];
    spool_path(dir, category, "", path, sizeof path);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return 0;
        log_msg(LOG_ERR, "Category %s: cannot open spool file %s: %s", category, path,
                strerror(errno));
        return 1;
    }
    struct stat st;
    unsigned char *file = nullptr;
    size_t length = 0;
    int error = fstat(fd, &st) != 0 ? errno : 0;
    if (!error) {
        length = (size_t)st.st_size;
        file = (unsigned char *)malloc(length ? length : 1);
        if (file == nullptr)
            error = ENOMEM;
    }
    for (size_t done = 0; !error && done < length;) {
        ssize_t got = read(fd, file + done, length - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            error = errno;
        else if (got == 0)
            length = done; /* shrank while read: the checks below will say so */
        else
            done += (size_t)got;
    }
    close(fd);
    if (error) {
        free(file);
        log_msg(LOG_ERR, "Category %s: cannot read spool file %s: %s", category, path,
                strerror(error));
        return 1;
    }
    const char *why = nullptr;
    int bad = spool_decode(file, length, list, &why);
    free(file);
    if (!bad)
        return 0;

    char aside[sizeof path + 40];
    snprintf(aside, sizeof aside, "%s.corrupt-%lld", path, (long long)time(nullptr));
    if (rename(path, aside) != 0) {
        log_msg(LOG_ERR, "Category %s: spool file %s is damaged (%s) and cannot be moved "
                "aside: %s; it is not replayed", category, path, why, strerror(errno));
        return 1;
    }
    log_msg(LOG_ERR, "Category %s: spool file %s is damaged (%s); moved aside to %s, none of "
            "it is replayed", category, path, why, aside);
    return 0;
}

/* Bytes of the other categories' spool files in `dir`. */
static uint64_t spool_others_bytes(const char *dir, const char *own)
{
    uint64_t total = 0;
    DIR *d = opendir(dir);
    if (d == nullptr)
        return 0;
    size_t suffix = strlen(SPOOL_SUFFIX);
    while (struct dirent *entry = readdir(d)) {
        size_t length = strlen(entry->d_name);
        if (length <= suffix || strcmp(entry->d_name + length - suffix, SPOOL_SUFFIX) != 0 ||
            strcmp(entry->d_name, own) == 0)
            continue;
        struct stat st;
        if (fstatat(dirfd(d), entry->d_name, &st, 0) == 0)
            total += (uint64_t)st.st_size;
    }
    closedir(d);
    return total;
}

/* Drops the oldest batches until the file fits in what the limit leaves. */
static void spool_enforce_limit(const char *dir, uint64_t limit, const char *category,
                                struct spool_list *list)
{
    char name[SPOOL_NAME_SIZE];
    spool_file_name(category, name, sizeof name);
    uint64_t others = spool_others_bytes(dir, name);
    uint64_t budget = limit > others ? limit - others : 0;
    /* Sized as version 2 whenever an IPv6 batch is left: at most one byte
     * per batch more than the file may need. */
    uint32_t version = spool_version(list, 0);
    uint64_t size = SPOOL_HEADER_SIZE;
    for (size_t i = 0; i < list->count; i++)
        size += spool_batch_bytes(&list->batches[i], version);
    size_t drop = 0, rows = 0;
    while (drop < list->count && size > budget) {
        size -= spool_batch_bytes(&list->batches[drop], version);
        rows += list->batches[drop].count;
        drop++;
    }
    if (drop == 0)
        return;
    log_msg(LOG_ERR, "Category %s: spool in %s is over spoollimit %" PRIu64 " MiB: dropped the "
            "oldest %zu batches, %zu rows with time tags %" PRId64 " to %" PRId64 ", first id %s",
            category, dir, limit >> 20, drop, rows, list->batches[0].tag,
            list->batches[drop - 1].tag, list->batches[0].id);
    spool_list_drop_front(list, drop);
}

int spool_save(const char *dir, uint64_t limit, const char *category, struct spool_list *list)
{
    char path[FILE_PATH_SIZE + SPOOL_NAME_SIZE];
    spool_path(dir, category, "", path, sizeof path);
    if (list->count > 0)
        spool_enforce_limit(dir, limit, category, list);
    if (list->count == 0) {
        if (unlink(path) != 0 && errno != ENOENT) {
            log_msg(LOG_ERR, "Category %s: cannot remove replayed spool file %s: %s", category,
                    path, strerror(errno));
            return 1;
        }
        spool_sync_dir(dir);
        return 0;
    }
    if (spool_make_dir(dir) != 0)
        return 1;

    size_t length = 0;
    unsigned char *file = spool_encode(list, 0, &length);
    if (file == nullptr) {
        log_msg(LOG_ERR, "Category %s: cannot build spool file %s: %s", category, path,
                strerror(ENOMEM));
        return 1;
    }
    char temporary[sizeof path + 8];
    snprintf(temporary, sizeof temporary, "%s.tmp", path);
    const char *step = "create";
    int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int failed = fd < 0;
    if (!failed && (step = "write", spool_write_all(fd, file, length) != 0))
        failed = 1;
    if (!failed && (step = "flush", fsync(fd) != 0))
        failed = 1;
    int error = errno;
    if (fd >= 0 && close(fd) != 0 && !failed) {
        step = "close";
        error = errno;
        failed = 1;
    }
    free(file);
    if (!failed && rename(temporary, path) != 0) {
        step = "rename";
        error = errno;
        failed = 1;
    }
    if (failed) {
        log_msg(LOG_ERR, "Category %s: cannot %s spool file %s: %s", category, step, temporary,
                strerror(error));
        unlink(temporary);
        return 1;
    }
    if (spool_sync_dir(dir) != 0)
        log_msg(LOG_ERR, "Category %s: cannot flush spool directory %s: %s", category, dir,
                strerror(errno));
    return 0;
}
