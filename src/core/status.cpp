/*
 * Status report. Printed on SIGUSR1 by the signal thread, and in debug mode
 * at start-up and at every cycle end. It only reads: the settings are
 * read-only once loaded and the free-slot count is a snapshot.
 */
#include "core/status.h"

#include "capture/queue.h"
#include "core/addr.h"
#include "core/addr6.h"
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

/* Only categories with IPv6 rules show these lines, so a report of an
 * IPv4-only configuration stays as it was. */
static void status_write_rules6(FILE *out, const struct rule6 *r)
{
    for (; r; r = r->next) {
        char prefix[ADDR6_PREFIX_SIZE];
        fprintf(out, " | IP6: %s VALUE: %1d PORT: %5u\n", addr6_format_prefix(r->ip, r->length, prefix),
                r->policy, r->port);
    }
    fputs(" | IP6: ::/0 VALUE: 0\n", out);
}

/* Where the category's dump goes, for the summary. */
static void status_write_dump_target(FILE *out, const struct cat *c)
{
    if ((c->dump_type == DUMP_TEXTFILE || c->dump_type == DUMP_BINFILE) && c->file)
        fprintf(out, " Dump File: %s\n", c->file);
    else if ((c->dump_type == DUMP_MYSQL || c->dump_type == DUMP_PGSQL) && c->db)
        fprintf(out, " Dump Database: host %s, database %s, table %s, login %s\n", c->db->host,
                c->db->db, c->db->table, c->db->login);
}

/* The running daemon's report (free_slots of the queue) or, with
 * free_slots < 0, the summary of settings that run nothing yet. */
static void status_write_report(FILE *out, const struct settings *s, int free_slots)
{
    int summary = free_slots < 0;
    /* one report stays in one piece even when dump rows are printed meanwhile */
    flockfile(out);
    fputs("Compiled with MySQL support\n", out);
    fprintf(out, "Buffer_size: %d\n", s->buffer_size);
    int fill = s->buffer_size > 0 ? 100 * (s->buffer_size - free_slots) / s->buffer_size : 0;
    if (!summary)
        fprintf(out, "Queue %d%% full\n", fill);
    fprintf(out, "Cycletime: %d\n", s->period);
    /* only when the file sets it: the report of a file without it stays as it was */
    if (s->table_limit_set)
        fprintf(out, "Tablelimit: %d MiB%s\n", s->table_limit,
                s->table_limit == 0 ? " (no limit)" : "");
    /* Only what the file set, so a file without them reports as it always did. */
    if (s->vlan_set)
        fprintf(out, "Vlan: %s\n", s->vlan ? "on" : "off");
    if (s->capture_buffer_set)
        fprintf(out, "Capturebuffer: %d MiB\n", s->capture_buffer);
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
        if (summary)
            status_write_dump_target(out, c);
        int v6 = c->primary6 != nullptr || c->secondary6 != nullptr;
        fputs(" Primary:\n", out);
        status_write_rules(out, c->primary);
        if (v6)
            status_write_rules6(out, c->primary6);
        fputs(" Secondary:\n", out);
        status_write_rules(out, c->secondary);
        if (v6)
            status_write_rules6(out, c->secondary6);
    }
    funlockfile(out);
}

void status_write(FILE *out, const struct settings *s, int free_slots)
{
    status_write_report(out, s, free_slots < 0 ? 0 : free_slots);
}

void status_write_summary(FILE *out, const struct settings *s)
{
    status_write_report(out, s, -1);
}

void print_status(void)
{
    if (!config)
        return;
    status_write(stdout, config, queue_free_slots());
}
