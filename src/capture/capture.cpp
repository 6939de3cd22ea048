/*
 * Capture threads. Life of one: open the device with libpcap, refuse it
 * unless it is an Ethernet link, then dispatch frames until `running` is
 * cleared. Each frame is decoded at fixed offsets (14-byte Ethernet
 * header, 20-byte IPv4 header) into a packet_info and copied into the
 * packet queue. The thread owns its pcap handle, stores it once in its
 * device record and never closes it; nothing else touches the handle.
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

#include "capture/decode6.h"
#include "capture/queue.h"
#include "config/config.h"
#include "core/addr.h"
#include "core/state.h"

#define CAPTURE_STATS_INTERVAL_S 1   /* s, between two reads of the drop counter */
#define CAPTURE_ERROR_BACKOFF_MS 100 /* ms, pause after a failed pcap_dispatch */

/* Ethertypes of IPv4, 0x0800, and IPv6, 0x86DD, as the bytes on the wire. */
#define ETHERTYPE_IPV4_HI 0x08
#define ETHERTYPE_IPV4_LO 0x00
#define ETHERTYPE_IPV6_HI 0x86
#define ETHERTYPE_IPV6_LO 0xdd
#define CAPTURE_ETHERNET_HEADER 14 /* bytes */

/* Offsets into the frame, in bytes. */
#define CAPTURE_OFF_ETHERTYPE 12
#define CAPTURE_OFF_PROTO 23
#define CAPTURE_OFF_SRC 26
#define CAPTURE_OFF_DST 30
#define CAPTURE_OFF_SPORT 34
#define CAPTURE_OFF_DPORT 36

static uint32_t capture_be32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

static uint32_t capture_be16(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 8 | static_cast<uint32_t>(p[1]);
}

int capture_decode(const uint8_t *bytes, uint32_t caplen, uint32_t len, struct packet_info *out)
{
    /* The length test comes first: nothing is read that was not captured. */
    if (bytes == nullptr || caplen < CAPTURE_OFF_ETHERTYPE + 2)
        return 0;
    if (bytes[CAPTURE_OFF_ETHERTYPE] == ETHERTYPE_IPV6_HI &&
        bytes[CAPTURE_OFF_ETHERTYPE + 1] == ETHERTYPE_IPV6_LO)
        return decode6(bytes + CAPTURE_ETHERNET_HEADER, caplen - CAPTURE_ETHERNET_HEADER, len,
                       out);
    if (caplen < CAPTURE_MIN_CAPLEN)
        return 0;
    if (bytes[CAPTURE_OFF_ETHERTYPE] != ETHERTYPE_IPV4_HI ||
        bytes[CAPTURE_OFF_ETHERTYPE + 1] != ETHERTYPE_IPV4_LO)
        return 0;
    out->proto = bytes[CAPTURE_OFF_PROTO];
    out->src = capture_be32(bytes + CAPTURE_OFF_SRC);
    out->dst = capture_be32(bytes + CAPTURE_OFF_DST);
    out->sport = capture_be16(bytes + CAPTURE_OFF_SPORT);
    out->dport = capture_be16(bytes + CAPTURE_OFF_DPORT);
    out->len = len;
    out->family = PACKET_IPV4;
    return 1;
}

void capture_packet(u_char *user, const struct pcap_pkthdr *header, const u_char *bytes)
{
    struct device *device = reinterpret_cast<struct device *>(user);
    int debugging = debug.load(std::memory_order_relaxed);

    if (debugging) {
        int wb, rb;
        queue_indexes(&wb, &rb);
        debug_printf("Inserting packet into queue of device %s: wb:%d rb:%d\n", device->name,
                     wb, rb);
    }

    struct packet_info info;
    if (!capture_decode(bytes, header->caplen, header->len, &info))
        return;

    if (queue_push(&info) != 0) {
        /* Stopping: the packet is lost anyway; do not wait for the rest of the buffer. */
        if (device->handle != nullptr)
            pcap_breakloop(device->handle);
        return;
    }

    if (debugging && info.family == PACKET_IPV6) {
        char s[ADDR6_TEXT_SIZE], d[ADDR6_TEXT_SIZE];
        debug_printf("IP-Packet %s:%5d -> %s:%5d\n", addr6_format(info.src6, s),
                     static_cast<int>(info.sport), addr6_format(info.dst6, d),
                     static_cast<int>(info.dport));
    } else if (debugging) {
        struct addr_octets s = addr_split(info.src), d = addr_split(info.dst);
        debug_printf("IP-Packet %u.%u.%u.%u:%5d -> %u.%u.%u.%u:%5d\n", s.a, s.b, s.c, s.d,
                     static_cast<int>(info.sport), d.a, d.b, d.c, d.d,
                     static_cast<int>(info.dport));
    }
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

void *capture_thread(void *arg)
{
    struct device *device = static_cast<struct device *>(arg);
    char errbuf[PCAP_ERRBUF_SIZE];
    errbuf[0] = '\0';

    debug_printf("Opening Device %s\n", device->name);
    pcap_t *handle = pcap_open_live(device->name, CAPTURE_SNAPLEN, 1, CAPTURE_TIMEOUT_MS, errbuf);
    if (handle == nullptr) {
        capture_refuse_device(device->name, errbuf[0] != '\0' ? errbuf : "libpcap gave no reason");
        return nullptr;
    }
    if (errbuf[0] != '\0')
        log_msg(LOG_ERR, "Device %s opened with a warning: %s", device->name, errbuf);

    /* The decoder assumes an Ethernet header; any other link would yield garbage. */
    int link = pcap_datalink(handle);
    if (link != DLT_EN10MB) {
        const char *link_name = pcap_datalink_val_to_name(link);
        char reason[128];
        if (link_name != nullptr)
            snprintf(reason, sizeof reason, "link type %s is not Ethernet", link_name);
        else
            snprintf(reason, sizeof reason, "link type %d is not Ethernet", link);
        capture_refuse_device(device->name, reason);
        pcap_close(handle);
        return nullptr;
    }
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
        int result = pcap_dispatch(handle, -1, capture_packet, reinterpret_cast<u_char *>(device));
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
