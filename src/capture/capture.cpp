/*
 * Capture threads. Life of one: open the device with libpcap (snapshot,
 * promiscuous mode, read time-out and kernel buffer set before it is
 * activated), refuse it unless its link type is one the decoder knows, then
 * dispatch frames until `running` is cleared. The thread owns its pcap
 * handle, stores it once in its device record and never closes it; nothing
 * else touches the handle.
 *
 * Each frame is decoded at fixed offsets from the start of its IP header
 * (20-byte IPv4 header assumed) into a packet_info. The packets of one
 * dispatch are collected in a batch and queued together: a lock and a
 * wake-up per batch instead of per packet is most of what the queue costs.
 *
 * About once a second the thread also reads the kernel's drop counter for
 * its handle: a full queue stalls the callback, the kernel buffer then
 * overflows, and those losses would otherwise go unnoticed.
 */
#include "capture/capture.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "capture/queue.h"
#include "config/config.h"
#include "core/addr.h"
#include "core/state.h"

#define CAPTURE_STATS_INTERVAL_S 1   /* s, between two reads of the drop counter */
#define CAPTURE_ERROR_BACKOFF_MS 100 /* ms, pause after a failed pcap_dispatch */
#define CAPTURE_MIB 1048576          /* bytes */

#define ETHERTYPE_IPV4 0x0800
#define ETHERTYPE_VLAN 0x8100   /* 802.1Q customer tag */
#define ETHERTYPE_QINQ 0x88a8   /* 802.1ad service tag */
#define ETHERTYPE_QINQ_OLD 0x9100 /* service tag before 802.1ad */
#define CAPTURE_MAX_TAGS 2
#define CAPTURE_TAG_LEN 4 /* bytes: type and tag control */
#define CAPTURE_IPV4_FAMILY 2 /* AF_INET in a BSD loopback header, on every system */

/* Where the type field is, and how long the pseudo-headers are. */
#define CAPTURE_ETHER_TYPE_AT 12
#define CAPTURE_SLL_TYPE_AT 14
#define CAPTURE_SLL_LEN 16
#define CAPTURE_SLL2_TYPE_AT 0
#define CAPTURE_SLL2_LEN 20
#define CAPTURE_NULL_LEN 4

/* Offsets from the start of the IPv4 header, in bytes. */
#define CAPTURE_IP_PROTO 9
#define CAPTURE_IP_SRC 12
#define CAPTURE_IP_DST 16
#define CAPTURE_IP_SPORT 20
#define CAPTURE_IP_DPORT 22

static uint32_t capture_be32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

static uint32_t capture_be16(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 8 | static_cast<uint32_t>(p[1]);
}

int capture_link_for(int dlt, int vlan)
{
    switch (dlt) {
    case DLT_EN10MB:
        return vlan ? CAPTURE_LINK_ETHERNET_VLAN : CAPTURE_LINK_ETHERNET;
    case DLT_RAW:
    case DLT_IPV4:
        return CAPTURE_LINK_RAW;
    case DLT_LINUX_SLL:
        return CAPTURE_LINK_SLL;
    case DLT_LINUX_SLL2:
        return CAPTURE_LINK_SLL2;
    case DLT_NULL:
    case DLT_LOOP:
        return CAPTURE_LINK_NULL;
    default:
        return CAPTURE_LINK_NONE;
    }
}

static int capture_is_tag(uint32_t type)
{
    return type == ETHERTYPE_VLAN || type == ETHERTYPE_QINQ || type == ETHERTYPE_QINQ_OLD;
}

/* The payload behind an Ethernet type field at type_at, after at most
 * `tags` VLAN tags. */
static int capture_after_type(const uint8_t *bytes, uint32_t caplen, uint32_t type_at, int tags,
                              struct capture_ip_start *start)
{
    for (int tag = 0;; tag++) {
        if (caplen < type_at + 2)
            return CAPTURE_NET_NONE;
        uint32_t type = capture_be16(bytes + type_at);
        if (type == ETHERTYPE_IPV4) {
            start->offset = type_at + 2;
            return CAPTURE_NET_IPV4;
        }
        if (tag == tags || !capture_is_tag(type))
            return CAPTURE_NET_NONE;
        type_at += CAPTURE_TAG_LEN;
    }
}

int capture_find_ip(int link, const uint8_t *bytes, uint32_t caplen, struct capture_ip_start *start)
{
    if (bytes == nullptr)
        return CAPTURE_NET_NONE;
    start->pseudo = 0;
    switch (link) {
    case CAPTURE_LINK_ETHERNET:
        return capture_after_type(bytes, caplen, CAPTURE_ETHER_TYPE_AT, 0, start);
    case CAPTURE_LINK_ETHERNET_VLAN:
        return capture_after_type(bytes, caplen, CAPTURE_ETHER_TYPE_AT, CAPTURE_MAX_TAGS, start);
    case CAPTURE_LINK_SLL:
        /* The kernel takes the outer tag off before any capture sees the
         * frame; for this header libpcap puts it back into the type field.
         * Tags are skipped whatever `vlan` says: the "any" device shows
         * tagged traffic this way only. */
        start->pseudo = CAPTURE_SLL_LEN;
        return capture_after_type(bytes, caplen, CAPTURE_SLL_TYPE_AT, CAPTURE_MAX_TAGS, start);
    case CAPTURE_LINK_SLL2:
        if (caplen < CAPTURE_SLL2_LEN)
            return CAPTURE_NET_NONE;
        start->pseudo = CAPTURE_SLL2_LEN;
        if (capture_be16(bytes + CAPTURE_SLL2_TYPE_AT) != ETHERTYPE_IPV4)
            return CAPTURE_NET_NONE;
        start->offset = CAPTURE_SLL2_LEN;
        return CAPTURE_NET_IPV4;
    case CAPTURE_LINK_NULL: {
        if (caplen < CAPTURE_NULL_LEN)
            return CAPTURE_NET_NONE;
        /* The family is in the byte order of the host that captured. */
        uint32_t family = capture_be32(bytes);
        if (family != CAPTURE_IPV4_FAMILY && family != CAPTURE_IPV4_FAMILY << 24)
            return CAPTURE_NET_NONE;
        start->offset = CAPTURE_NULL_LEN;
        start->pseudo = CAPTURE_NULL_LEN;
        return CAPTURE_NET_IPV4;
    }
    case CAPTURE_LINK_RAW:
        if (caplen < 1 || bytes[0] >> 4 != 4)
            return CAPTURE_NET_NONE;
        start->offset = 0;
        return CAPTURE_NET_IPV4;
    default:
        return CAPTURE_NET_NONE;
    }
}

int capture_decode_ipv4(const uint8_t *ip, uint32_t caplen, uint32_t len, struct packet_info *out)
{
    /* The length test comes first: nothing is read that was not captured. */
    if (caplen < CAPTURE_MIN_IP_CAPLEN)
        return 0;
    out->proto = ip[CAPTURE_IP_PROTO];
    out->src = capture_be32(ip + CAPTURE_IP_SRC);
    out->dst = capture_be32(ip + CAPTURE_IP_DST);
    out->sport = capture_be16(ip + CAPTURE_IP_SPORT);
    out->dport = capture_be16(ip + CAPTURE_IP_DPORT);
    out->len = len;
    return 1;
}

int capture_decode(int link, const uint8_t *bytes, uint32_t caplen, uint32_t len,
                   struct packet_info *out)
{
    struct capture_ip_start start;
    if (capture_find_ip(link, bytes, caplen, &start) != CAPTURE_NET_IPV4)
        return 0;
    /* A length below the pseudo-header's can only come from a broken file. */
    if (caplen < start.offset || len < start.pseudo)
        return 0;
    return capture_decode_ipv4(bytes + start.offset, caplen - start.offset, len - start.pseudo, out);
}

int capture_flush(struct capture_run *run, int more)
{
    /* Even with nothing left, the end of a read may have a consumer to wake. */
    if (run->count == 0 && more)
        return 0;
    int rc = queue_push_batch(run->batch, run->count, more);
    run->count = 0;
    /* Stopping: the packets are lost anyway; do not wait for the rest of the buffer. */
    if (rc != 0 && run->device->handle != nullptr)
        pcap_breakloop(run->device->handle);
    return rc;
}

void capture_packet(u_char *user, const struct pcap_pkthdr *header, const u_char *bytes)
{
    struct capture_run *run = reinterpret_cast<struct capture_run *>(user);
    int debugging = debug.load(std::memory_order_relaxed);

    if (debugging) {
        int wb, rb;
        queue_indexes(&wb, &rb);
        debug_printf("Inserting packet into queue of device %s: wb:%d rb:%d\n", run->device->name,
                     wb, rb);
    }

    struct packet_info *info = &run->batch[run->count];
    if (!capture_decode(run->link, bytes, header->caplen, header->len, info))
        return;
    run->count++;
    /* In debug mode each packet is queued at once, so its lines show in order. */
    if (run->count < CAPTURE_BATCH && !debugging)
        return;
    if (capture_flush(run, !debugging) != 0 || !debugging)
        return;

    struct addr_octets s = addr_split(info->src), d = addr_split(info->dst);
    debug_printf("IP-Packet %u.%u.%u.%u:%5d -> %u.%u.%u.%u:%5d\n", s.a, s.b, s.c, s.d,
                 static_cast<int>(info->sport), d.a, d.b, d.c, d.d, static_cast<int>(info->dport));
}

/*
 * How the devices' openings went, for the start-up: every capture thread
 * reports once, opened or refused, and the refusals keep their reasons.
 */
#define CAPTURE_REASONS_SIZE 1024 /* bytes */
static pthread_mutex_t capture_open_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t capture_open_cond = PTHREAD_COND_INITIALIZER; /* CLOCK_REALTIME */
static int capture_reported = 0;
static int capture_opened = 0;
static char capture_reasons[CAPTURE_REASONS_SIZE];

static void capture_report(const char *name, const char *reason)
{
    pthread_mutex_lock(&capture_open_lock);
    capture_reported++;
    if (reason == nullptr) {
        capture_opened++;
    } else {
        size_t used = strlen(capture_reasons);
        snprintf(capture_reasons + used, sizeof capture_reasons - used, "%s%s: %s",
                 used > 0 ? "; " : "", name, reason);
    }
    pthread_cond_broadcast(&capture_open_cond);
    pthread_mutex_unlock(&capture_open_lock);
}

int capture_wait_opened(int devices, char *reasons, size_t size)
{
    pthread_mutex_lock(&capture_open_lock);
    /* A signal does not end a condition wait; the slices only let a stop
     * during start-up end the wait. */
    while (capture_reported < devices && running.load()) {
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += CAPTURE_TIMEOUT_MS * NS_PER_MS;
        if (until.tv_nsec >= NS_PER_S) {
            until.tv_sec++;
            until.tv_nsec -= NS_PER_S;
        }
        pthread_cond_timedwait(&capture_open_cond, &capture_open_lock, &until);
    }
    int opened = capture_reported < devices ? -1 : capture_opened;
    snprintf(reasons, size, "%s", capture_reasons);
    pthread_mutex_unlock(&capture_open_lock);
    return opened;
}

/*
 * The two lines every refused device gets on standard output, the second
 * with the reason, in one write under the stream's lock, so that devices
 * refused at the same moment never interleave their lines; the same two at
 * LOG_ERR.
 */
void capture_refuse_device(const char *name, const char *reason)
{
    char lines[2 * DEVICE_NAME_SIZE + PCAP_ERRBUF_SIZE + 64];
    int length = snprintf(lines, sizeof lines, "Error opening device %s\nError opening device %s: %s\n",
                          name, name, reason);
    if (length >= (int)sizeof lines)
        length = (int)sizeof lines - 1;
    flockfile(stdout);
    fflush(stdout);
    for (int done = 0; length > 0 && done < length;) {
        ssize_t wrote = write(STDOUT_FILENO, lines + done, (size_t)(length - done));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            break; /* standard output is gone; the log still has the lines */
        done += (int)wrote;
    }
    funlockfile(stdout);
    log_msg(LOG_ERR, "Error opening device %s", name);
    log_msg(LOG_ERR, "Error opening device %s: %s", name, reason);
    capture_report(name, reason);
}

struct capture_drops {
    time_t next_check; /* monotonic seconds */
    u_int reported;    /* ps_drop at the last check */
    int broken;        /* pcap_stats failed once; reported, not tried again */
};

static time_t capture_now(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

static void capture_check_drops(struct device *device, struct capture_drops *drops)
{
    if (drops->broken)
        return;
    time_t now = capture_now();
    if (now < drops->next_check)
        return;
    drops->next_check = now + CAPTURE_STATS_INTERVAL_S;

    struct pcap_stat stat;
    if (pcap_stats(device->handle, &stat) != 0) {
        log_msg(LOG_ERR, "Cannot read the drop counter of device %s: %s", device->name,
                pcap_geterr(device->handle));
        drops->broken = 1;
        return;
    }
    if (stat.ps_drop > drops->reported)
        log_msg(LOG_ERR, "Kernel dropped %u frames on device %s", stat.ps_drop - drops->reported,
                device->name);
    /* Also follows the counter down should libpcap ever restart it. */
    drops->reported = stat.ps_drop;
}

/*
 * With Linux's block-based capture ring, libpcap's read time-out only fires
 * once a frame has arrived: on a quiet link a blocking pcap_dispatch never
 * returns and the thread would never see a stop request. So the handle is
 * made non-blocking and the thread waits itself, at most one read time-out
 * at a time. Returns the descriptor to wait on, or -1 to fall back to
 * blocking reads (reported).
 */
static int capture_prepare_wait(struct device *device, pcap_t *handle)
{
    char errbuf[PCAP_ERRBUF_SIZE];
    int fd = pcap_get_selectable_fd(handle);
    if (fd < 0) {
        log_msg(LOG_ERR, "Device %s has no descriptor to wait on; a stop waits for its next frame",
                device->name);
        return -1;
    }
    if (pcap_setnonblock(handle, 1, errbuf) != 0) {
        log_msg(LOG_ERR, "Device %s cannot be read without blocking (%s); a stop waits for its next frame",
                device->name, errbuf);
        return -1;
    }
    return fd;
}

static void capture_wait_readable(struct device *device, int fd)
{
    struct pollfd wait = {fd, POLLIN, 0};
    if (poll(&wait, 1, CAPTURE_TIMEOUT_MS) < 0 && errno != EINTR) {
        /* pcap_dispatch reports the device's own trouble; this is the poll itself. */
        log_msg(LOG_ERR, "Waiting for frames on device %s failed: %s", device->name, strerror(errno));
        struct timespec pause = {0, CAPTURE_ERROR_BACKOFF_MS * NS_PER_MS};
        nanosleep(&pause, nullptr);
    }
}

/* Why pcap_activate failed, the way libpcap words it. */
static void capture_activate_error(pcap_t *handle, int status, char *reason, size_t size)
{
    const char *detail = pcap_geterr(handle);
    if (status == PCAP_ERROR && detail[0] != '\0')
        snprintf(reason, size, "%s", detail);
    else if (detail[0] != '\0')
        snprintf(reason, size, "%s (%s)", pcap_statustostr(status), detail);
    else
        snprintf(reason, size, "%s", pcap_statustostr(status));
}

/*
 * Opens the device with the capture's settings, and the decoder for its link
 * type into *link. The handle, or null once the refusal is reported.
 */
static pcap_t *capture_open(struct device *device, int *link)
{
    char errbuf[PCAP_ERRBUF_SIZE];
    errbuf[0] = '\0';
    pcap_t *handle = pcap_create(device->name, errbuf);
    if (handle == nullptr) {
        capture_refuse_device(device->name, errbuf[0] != '\0' ? errbuf : "libpcap gave no reason");
        return nullptr;
    }
    pcap_set_snaplen(handle, CAPTURE_SNAPLEN);
    pcap_set_promisc(handle, 1);
    pcap_set_timeout(handle, CAPTURE_TIMEOUT_MS);
    /* A burst the queue cannot take at once waits here instead of being dropped. */
    if (config != nullptr && config->capture_buffer > 0)
        pcap_set_buffer_size(handle, config->capture_buffer * CAPTURE_MIB);

    char reason[PCAP_ERRBUF_SIZE + 128];
    int status = pcap_activate(handle);
    if (status < 0) {
        capture_activate_error(handle, status, reason, sizeof reason);
        capture_refuse_device(device->name, reason);
        pcap_close(handle);
        return nullptr;
    }
    if (status > 0) {
        const char *detail = pcap_geterr(handle);
        if (status == PCAP_WARNING || detail[0] == '\0')
            log_msg(LOG_ERR, "Device %s opened with a warning: %s", device->name,
                    status == PCAP_WARNING ? detail : pcap_statustostr(status));
        else
            log_msg(LOG_ERR, "Device %s opened with a warning: %s (%s)", device->name,
                    pcap_statustostr(status), detail);
    }

    int dlt = pcap_datalink(handle);
    *link = capture_link_for(dlt, config != nullptr ? config->vlan : 0);
    if (*link == CAPTURE_LINK_NONE) {
        const char *link_name = pcap_datalink_val_to_name(dlt);
        if (link_name != nullptr)
            snprintf(reason, sizeof reason, "link type %s is not supported", link_name);
        else
            snprintf(reason, sizeof reason, "link type %d is not supported", dlt);
        capture_refuse_device(device->name, reason);
        pcap_close(handle);
        return nullptr;
    }
    return handle;
}

void *capture_thread(void *arg)
{
    struct device *device = static_cast<struct device *>(arg);
    struct capture_run run;
    memset(&run, 0, sizeof run);
    run.device = device;

    debug_printf("Opening Device %s\n", device->name);
    pcap_t *handle = capture_open(device, &run.link);
    if (handle == nullptr)
        return nullptr;
    device->handle = handle;
    log_msg(LOG_INFO, "Capturing on device %s.", device->name);
    capture_report(device->name, nullptr);

    int wait_fd = capture_prepare_wait(device, handle);
    struct capture_drops drops = {capture_now() + CAPTURE_STATS_INTERVAL_S, 0, 0};
    int failing = 0; /* inside a run of failed dispatches, already reported */
    while (running.load(std::memory_order_relaxed)) {
        if (wait_fd >= 0) {
            capture_wait_readable(device, wait_fd);
            if (!running.load(std::memory_order_relaxed))
                break;
        }
        int result = pcap_dispatch(handle, -1, capture_packet, reinterpret_cast<u_char *>(&run));
        capture_flush(&run, 0);
        if (result == PCAP_ERROR) {
            /*
             * A vanished or downed interface fails every call at once; report
             * the first failure of a run and pause so a dead device does not
             * spin a core while it may still come back.
             */
            if (!failing)
                log_msg(LOG_ERR, "Capture on device %s failed: %s", device->name,
                        pcap_geterr(handle));
            failing = 1;
            struct timespec pause = {0, CAPTURE_ERROR_BACKOFF_MS * NS_PER_MS};
            nanosleep(&pause, nullptr);
        } else if (result >= 0) {
            if (failing)
                log_msg(LOG_INFO, "Capture on device %s works again", device->name);
            failing = 0;
        }
        capture_check_drops(device, &drops);
    }
    return nullptr;
}
