/*
 * Fuzz target: the configuration reader on arbitrary file contents, and
 * its tokenizer and address parser on arbitrary lines.
 *
 * The reader ends the process on a fatal error in the file, as start-up
 * needs. This target is linked with -Wl,--wrap=exit: while the reader
 * runs, exit jumps back here instead, so the fatal paths are explored as
 * well; at any other time it is the real exit, which libFuzzer uses. The
 * reader closes its file before exiting and keeps no object with a
 * destructor on the stack, so the jump skips nothing that needs running.
 *
 * After either ending the settings tree is walked, checked and released:
 * a record the reader allocated without linking it shows up as a leak.
 */
#include <setjmp.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <string>

#include "config/config.h"
#include "fuzz_file.h"

static jmp_buf reader_exit;
static volatile int reading = 0;

extern "C" void __real_exit(int status) __attribute__((noreturn));
extern "C" void __wrap_exit(int status) __attribute__((noreturn));

extern "C" void __wrap_exit(int status)
{
    if (reading) {
        reading = 0;
        longjmp(reader_exit, 1);
    }
    __real_exit(status);
}

static void require(bool condition)
{
    if (!condition)
        abort();
}

static void release_rules(struct rule *rule)
{
    while (rule != nullptr) {
        struct rule *next = rule->next;
        require(rule->policy == 0 || rule->policy == 1);
        free(rule);
        rule = next;
    }
}

/* Checks what the rest of the daemon relies on, then frees the tree. */
static void check_and_release(struct settings *s, bool completed)
{
    if (completed) {
        require(s->period > 0);
        require(s->buffer_size > 0);
    }
    int devices = 0;
    for (struct device *d = s->devices, *next; d != nullptr; d = next, devices++) {
        next = d->next;
        require(memchr(d->name, '\0', sizeof d->name) != nullptr);
        require(d->handle == nullptr);
        free(d);
    }
    require(devices == s->device_count);
    for (struct cat *c = s->cats, *next; c != nullptr; c = next) {
        next = c->next;
        require(memchr(c->name, '\0', sizeof c->name) != nullptr);
        require(c->table == nullptr);
        /* only the file back-ends have a path, only the databases parameters */
        require((c->file != nullptr) ==
                (c->dump_type == DUMP_TEXTFILE || c->dump_type == DUMP_BINFILE));
        require((c->db != nullptr) == (c->dump_type == DUMP_MYSQL || c->dump_type == DUMP_PGSQL));
        if (c->file != nullptr)
            require(memchr(c->file, '\0', FILE_PATH_SIZE) != nullptr);
        if (c->db != nullptr) {
            for (const char *field : {c->db->host, c->db->db, c->db->table, c->db->login,
                                      c->db->password})
                require(memchr(field, '\0', DB_FIELD_SIZE) != nullptr);
        }
        release_rules(c->primary);
        release_rules(c->secondary);
        free(c->db);
        free(c->file);
        free(c);
    }
}

/* Tokens lie inside the line, hold no separator, and the cursor only moves on. */
static void check_tokenizer(const uint8_t *data, size_t size)
{
    std::string line(reinterpret_cast<const char *>(data), size);
    char *begin = &line[0];
    char *end = begin + strlen(begin);
    char *cursor = begin;
    for (size_t steps = 0; cursor != nullptr; steps++) {
        require(steps <= size + 1);
        char *before = cursor;
        char *token = config_next_token(&cursor);
        require(token == before);
        require(token >= begin && token + strlen(token) <= end);
        require(strpbrk(token, " \t\r\n=") == nullptr);
        require(cursor == nullptr || (cursor > token && cursor <= end));
        (void)config_parse_ipv4(token, nullptr);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FuzzFile file;
    check_tokenizer(data, size);

    const char *path = file.hold(data, size);
    struct settings settings;
    memset(&settings, 0, sizeof settings);
    bool completed = false;
    if (setjmp(reader_exit) == 0) {
        reading = 1;
        config_load(&settings, path);
        reading = 0;
        completed = true;
    }
    check_and_release(&settings, completed);
    return 0;
}
