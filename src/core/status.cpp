/*
 * Status report. Printed on SIGUSR1 by the signal thread, and in debug mode
 * at start-up and at every cycle end. It only reads: the settings are
 * read-only once loaded and the free-slot count is a snapshot.
 */
#include "core/status.h"

#include "capture/queue.h"
#include "core/addr.h"
#include "core/state.h"

static void status_write_rules(FILE *out, const struct rule *r)
{
    for (; r; r = r->next) {
        struct addr_octets ip = addr_split(r->ip), mask = addr_split(r->mask);
        fprintf(out, " | IP: %03u.%03u.%03u.%03u ", ip.a, ip.b, ip.c, ip.d);
        fprintf(out, "MASK: %03u.%03u.%03u.%03u VALUE: %1d PORT: %5u PROT: %3d\n", mask.a,
                mask.b, mask.c, mask.d, r->policy, r->port, r->proto);
    }
    /* the implicit last rule: every address, policy 0 */
    fputs(" | IP: 000.000.000.000 MASK: 000.000.000.000 VALUE: 0\n", out);
}

void status_write(FILE *out, const struct settings *s, int free_slots)
{
    /* one report stays in one piece even when dump rows are printed meanwhile */
    flockfile(out);
    fputs("Compiled with MySQL support\n", out);
    fprintf(out, "Buffer_size: %d\n", s->buffer_size);
    int fill = s->buffer_size > 0 ? 100 * (s->buffer_size - free_slots) / s->buffer_size : 0;
    fprintf(out, "Queue %d%% full\n", fill);
    fprintf(out, "Cycletime: %d\n", s->period);
    if (s->spool_dir[0] != '\0')
        fprintf(out, "Spooldir: %s\n", s->spool_dir);
    if (s->spool_limit_mib > 0)
        fprintf(out, "Spoollimit: %d MiB\n", s->spool_limit_mib);
    fprintf(out, "Devicecount: %d\n", s->device_count);
    fputs("Devices:\n", out);
    const struct device *d = s->devices;
    for (int i = 0; i < s->device_count && d; i++, d = d->next)
        fprintf(out, "| Device: %s\n", d->name);
    for (const struct cat *c = s->cats; c; c = c->next) {
        fprintf(out, "Cat: %s\n", c->name);
        fprintf(out, " Byte Divider: %d\n", c->byte_divider);
        fprintf(out, " Time Divider: %d\n", c->time_divider);
        fprintf(out, " Dump Type: %s\n", dump_type_name(c->dump_type));
        fputs(" Primary:\n", out);
        status_write_rules(out, c->primary);
        fputs(" Secondary:\n", out);
        status_write_rules(out, c->secondary);
    }
    funlockfile(out);
}

void print_status(void)
{
    if (!config)
        return;
    status_write(stdout, config, queue_free_slots());
}
