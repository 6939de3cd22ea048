/*
 * "Syslog" back-end: one LOG_NOTICE line per address through the log opened
 * at start-up. Unlike the other back-ends it writes every address, also
 * those whose scaled counters are both 0, and logs no header.
 */
#include <inttypes.h>
#include <syslog.h>

#include "core/addr.h"
#include "core/state.h"
#include "dump/backend.h"

int dump_syslog(struct cat *old_cat)
{
    int64_t tag = dump_time_tag(old_cat, time(nullptr));
    struct dump_walk walk;
    dump_walk_start(&walk, old_cat);
    struct ip_entry *entry;
    while ((entry = dump_walk_next(&walk, nullptr)) != nullptr) {
        struct addr_octets ip = addr_split(entry->ip);
        log_msg(LOG_NOTICE,
                "Cat: %s IP: %03u.%03u.%03u.%03u input: %8" PRIu64 " output: %8" PRIu64
                " timetag: %8" PRId64,
                old_cat->name, ip.a, ip.b, ip.c, ip.d, entry->input, entry->output, tag);
    }
    struct dump_walk6 walk6;
    dump_walk6_start(&walk6, old_cat);
    struct ip6_entry *entry6;
    while ((entry6 = dump_walk6_next(&walk6, nullptr)) != nullptr) {
        char ip[ADDR6_TEXT_SIZE];
        log_msg(LOG_NOTICE,
                "Cat: %s IP: %s input: %8" PRIu64 " output: %8" PRIu64 " timetag: %8" PRId64,
                old_cat->name, addr6_format(entry6->ip, ip), entry6->input, entry6->output,
                tag);
    }
    return 0;
}
