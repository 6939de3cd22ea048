/*
 * norvo-inject: writes crafted Ethernet frames onto one interface through
 * an AF_PACKET socket, for system tests and benchmarks of the capture path.
 *
 * It only ever writes addresses from the benchmarking range 198.18.0.0/15
 * or from loopback 127.0.0.0/8 and refuses anything else (exit 2), so a
 * mistyped interface cannot put foreign traffic on a real network. Frames
 * go to a locally administered unicast MAC that no host owns, so the
 * receiving stack drops them while a promiscuous capture still sees them.
 *
 * The one exception, --scatter-src, floods with sources from all of
 * 0.0.0.0/0, as spoofed floods do. It runs only in a network namespace that
 * has no address and no route at all (checked before the first frame), such
 * as one made for the flood and joined to the capturing one by a veth pair:
 * nothing there could carry a frame further.
 *
 * Exit status: 0 all frames sent, 1 a system call failed, 2 bad usage.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <getopt.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define INJECT_BATCH 64          /* frames per sendmmsg */
#define INJECT_MAX_FRAME 9018    /* bytes: jumbo frame with a VLAN tag */
#define INJECT_MAX_SPREAD 131072 /* addresses: all of 198.18.0.0/15 */
#define INJECT_STALL_S 5         /* s without progress before giving up */
#define INJECT_MAX_TAGS 2        /* VLAN tags given with --vlan */
#define INJECT_FIRST_VLAN 10     /* VLAN id of the outer --vlan tag; the inner one is 11 */

struct inject_options {
    const char *interface = nullptr;
    uint32_t src = 0xc6120001; /* 198.18.0.1 */
    uint32_t dst = 0xc6130001; /* 198.19.0.1 */
    unsigned proto = 17;
    unsigned sport = 1024, dport = 9;
    unsigned length = 64;       /* bytes on the wire, without FCS */
    unsigned ethertype = 0x0800;
    unsigned long long count = 1;
    unsigned long long rate = 0; /* frames/s; 0 = as fast as possible */
    unsigned src_spread = 1, dst_spread = 1;
    int scatter = 0;                  /* sources spread over 0.0.0.0/0 */
    uint32_t scatter_seed = 0;
    unsigned long long scatter_spread = 1ull << 32; /* distinct sources before they repeat */
    uint8_t dst_mac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
    unsigned tpids[INJECT_MAX_TAGS] = {0, 0}; /* VLAN tags before the type, outer first */
    int tags = 0;
};

static void inject_usage(FILE *to)
{
    fprintf(to,
            "usage: norvo-inject -i IFACE [options]\n"
            "  -i, --interface IFACE   interface to write to (required)\n"
            "  -s, --src A.B.C.D       source address (198.18.0.1)\n"
            "  -d, --dst A.B.C.D       destination address (198.19.0.1)\n"
            "  -p, --proto P           tcp, udp, icmp or a protocol number (udp)\n"
            "  -S, --sport N           source port (1024)\n"
            "  -D, --dport N           destination port (9)\n"
            "  -l, --length N          frame length on the wire, >= 38 (64)\n"
            "  -e, --ethertype X       Ethernet type, e.g. 0x0806 or 0x8100 for a VLAN tag (0x0800)\n"
            "  -c, --count N           frames to send (1)\n"
            "  -r, --rate N            frames per second, 0 = flat out (0)\n"
            "      --src-spread N      cycle through N consecutive source addresses (1)\n"
            "      --dst-spread N      cycle through N consecutive destination addresses (1)\n"
            "      --dst-mac MAC       destination MAC (02:00:00:00:00:02)\n"
            "      --scatter-src SEED  source of frame k: a fixed bijection of SEED + k, over\n"
            "                          all of 0.0.0.0/0 (with --src-spread N: of SEED + k %% N);\n"
            "                          only in a network namespace without addresses or routes\n"
                        "      --vlan TPID         a VLAN tag (0x8100, 0x88a8, 0x9100) before the type; twice\n"
            "                          for two tags, outer first (VLAN 10 and 11)\n"
            "Other addresses must lie in 198.18.0.0/15 or 127.0.0.0/8.\n");
}

static int inject_number(const char *text, const char *what, unsigned long long max,
                         unsigned long long *out)
{
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v > max) {
        fprintf(stderr, "norvo-inject: %s '%s' is not a number from 0 to %llu\n", what, text, max);
        return 1;
    }
    *out = v;
    return 0;
}

static int inject_allowed(uint32_t a)
{
    return (a & 0xfffe0000u) == 0xc6120000u || (a >> 24) == 127;
}

/* Every address of first .. first+spread-1 must be allowed. */
static int inject_check_range(const char *what, uint32_t first, unsigned spread)
{
    for (unsigned i = 0; i < spread; i++) {
        uint32_t a = first + i;
        if (!inject_allowed(a) || a < first) {
            fprintf(stderr,
                    "norvo-inject: refusing %s address %u.%u.%u.%u: only 198.18.0.0/15 and "
                    "127.0.0.0/8 may be used\n",
                    what, a >> 24, a >> 16 & 0xff, a >> 8 & 0xff, a & 0xff);
            return 1;
        }
    }
    return 0;
}

static int inject_parse(int argc, char **argv, struct inject_options *o)
{
    enum { OPT_SRC_SPREAD = 256, OPT_DST_SPREAD, OPT_DST_MAC, OPT_SCATTER_SRC, OPT_VLAN };
    static const struct option longopts[] = {
        {"interface", required_argument, nullptr, 'i'}, {"src", required_argument, nullptr, 's'},
        {"dst", required_argument, nullptr, 'd'},       {"proto", required_argument, nullptr, 'p'},
        {"sport", required_argument, nullptr, 'S'},     {"dport", required_argument, nullptr, 'D'},
        {"length", required_argument, nullptr, 'l'},    {"ethertype", required_argument, nullptr, 'e'},
        {"count", required_argument, nullptr, 'c'},     {"rate", required_argument, nullptr, 'r'},
        {"src-spread", required_argument, nullptr, OPT_SRC_SPREAD},
        {"dst-spread", required_argument, nullptr, OPT_DST_SPREAD},
        {"dst-mac", required_argument, nullptr, OPT_DST_MAC},
        {"scatter-src", required_argument, nullptr, OPT_SCATTER_SRC},
        {"vlan", required_argument, nullptr, OPT_VLAN},
        {"help", no_argument, nullptr, 'h'},            {nullptr, 0, nullptr, 0},
    };
    int c;
    unsigned long long v = 0, src_spread = 0;
    struct in_addr addr;
    while ((c = getopt_long(argc, argv, "i:s:d:p:S:D:l:e:c:r:h", longopts, nullptr)) != -1) {
        switch (c) {
        case 'i':
            o->interface = optarg;
            break;
        case 's':
        case 'd':
            if (inet_pton(AF_INET, optarg, &addr) != 1) {
                fprintf(stderr, "norvo-inject: '%s' is not an IPv4 address\n", optarg);
                return 1;
            }
            (c == 's' ? o->src : o->dst) = ntohl(addr.s_addr);
            break;
        case 'p':
            if (strcmp(optarg, "tcp") == 0)
                o->proto = 6;
            else if (strcmp(optarg, "udp") == 0)
                o->proto = 17;
            else if (strcmp(optarg, "icmp") == 0)
                o->proto = 1;
            else if (inject_number(optarg, "protocol", 255, &v) == 0)
                o->proto = static_cast<unsigned>(v);
            else
                return 1;
            break;
        case 'S':
        case 'D':
            if (inject_number(optarg, "port", 65535, &v) != 0)
                return 1;
            (c == 'S' ? o->sport : o->dport) = static_cast<unsigned>(v);
            break;
        case 'l':
            if (inject_number(optarg, "length", INJECT_MAX_FRAME, &v) != 0)
                return 1;
            o->length = static_cast<unsigned>(v);
            break;
        case 'e':
            if (inject_number(optarg, "ethertype", 0xffff, &v) != 0)
                return 1;
            o->ethertype = static_cast<unsigned>(v);
            break;
        case 'c':
            if (inject_number(optarg, "count", ~0ull, &o->count) != 0)
                return 1;
            break;
        case 'r':
            if (inject_number(optarg, "rate", 100000000ull, &o->rate) != 0)
                return 1;
            break;
        case OPT_SCATTER_SRC:
            if (inject_number(optarg, "seed", UINT32_MAX, &v) != 0)
                return 1;
            o->scatter = 1;
            o->scatter_seed = static_cast<uint32_t>(v);
            break;
        case OPT_SRC_SPREAD:
            /* its bound depends on --scatter-src, which may come later */
            if (inject_number(optarg, "spread", UINT32_MAX, &src_spread) != 0 || src_spread == 0) {
                fprintf(stderr, "norvo-inject: a spread is at least 1 address\n");
                return 1;
            }
            break;
        case OPT_DST_SPREAD:
            if (inject_number(optarg, "spread", INJECT_MAX_SPREAD, &v) != 0 || v == 0) {
                fprintf(stderr, "norvo-inject: a spread is 1 to %d addresses\n", INJECT_MAX_SPREAD);
                return 1;
            }
            o->dst_spread = static_cast<unsigned>(v);
            break;
        case OPT_DST_MAC:
            if (sscanf(optarg, "%hhx:%hhx:%hhx:%hhx:%hhx:%hhx", &o->dst_mac[0], &o->dst_mac[1],
                       &o->dst_mac[2], &o->dst_mac[3], &o->dst_mac[4], &o->dst_mac[5]) != 6) {
                fprintf(stderr, "norvo-inject: '%s' is not a MAC address\n", optarg);
                return 1;
            }
            break;
        case OPT_VLAN:
            if (o->tags == INJECT_MAX_TAGS) {
                fprintf(stderr, "norvo-inject: at most %d VLAN tags\n", INJECT_MAX_TAGS);
                return 1;
            }
            if (inject_number(optarg, "tag type", 0xffff, &v) != 0)
                return 1;
            o->tpids[o->tags++] = static_cast<unsigned>(v);
            break;
        case 'h':
            inject_usage(stdout);
            exit(0);
        default:
            inject_usage(stderr);
            return 1;
        }
    }
    if (optind != argc || o->interface == nullptr) {
        inject_usage(stderr);
        return 1;
    }
    if (o->scatter && src_spread != 0) {
        o->scatter_spread = src_spread;
    } else if (src_spread > INJECT_MAX_SPREAD) {
        fprintf(stderr, "norvo-inject: a spread is 1 to %d addresses\n", INJECT_MAX_SPREAD);
        return 1;
    } else if (src_spread != 0) {
        o->src_spread = static_cast<unsigned>(src_spread);
    }
    unsigned header = 14 + 4 * static_cast<unsigned>(o->tags) + (o->ethertype == 0x8100 ? 4 : 0) + 20;
    if (o->length < header + 4) {
        fprintf(stderr, "norvo-inject: length %u is below %u, the headers and both ports\n",
                o->length, header + 4);
        return 1;
    }
    return (!o->scatter && inject_check_range("source", o->src, o->src_spread)) ||
           inject_check_range("destination", o->dst, o->dst_spread);
}

/* A bijection of 32-bit numbers that looks random (bench/flood.py mirrors
 * it): distinct inputs give distinct sources, scattered over 0.0.0.0/0. */
static uint32_t inject_scatter(uint32_t i)
{
    i ^= i >> 16;
    i *= 0x7feb352du;
    i ^= i >> 15;
    i *= 0x846ca68bu;
    i ^= i >> 16;
    return i;
}

/* 0 when this network namespace has no address on any interface and no
 * route of either family, so that no frame sent here can go anywhere but
 * down the interface it is written to; otherwise says why not. */
static int inject_isolated(void)
{
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        fprintf(stderr, "norvo-inject: cannot list the addresses of this namespace: %s\n",
                strerror(errno));
        return 1;
    }
    int found = 0;
    for (struct ifaddrs *a = list; a != nullptr && !found; a = a->ifa_next) {
        if (a->ifa_addr == nullptr ||
            (a->ifa_addr->sa_family != AF_INET && a->ifa_addr->sa_family != AF_INET6))
            continue;
        char text[INET6_ADDRSTRLEN] = "?";
        const void *raw = a->ifa_addr->sa_family == AF_INET
                              ? static_cast<const void *>(&reinterpret_cast<struct sockaddr_in *>(
                                                              a->ifa_addr)->sin_addr)
                              : static_cast<const void *>(&reinterpret_cast<struct sockaddr_in6 *>(
                                                              a->ifa_addr)->sin6_addr);
        inet_ntop(a->ifa_addr->sa_family, raw, text, sizeof text);
        fprintf(stderr, "norvo-inject: refusing --scatter-src: interface %s has address %s\n",
                a->ifa_name, text);
        found = 1;
    }
    freeifaddrs(list);
    if (found)
        return 1;
    /* Routes that carry frames somewhere; reject routes (the kernel lists
     * two for IPv6 in every namespace) carry none. */
    const struct {
        const char *path;
        int header_lines;
        int flags_field; /* 1-based, hexadecimal */
    } tables[] = {{"/proc/net/route", 1, 4}, {"/proc/net/ipv6_route", 0, 9}};
    for (const auto &table : tables) {
        FILE *file = fopen(table.path, "r");
        if (file == nullptr) {
            if (errno == ENOENT)
                continue; /* no IPv6 in this kernel: no IPv6 route either */
            fprintf(stderr, "norvo-inject: refusing --scatter-src: cannot read %s: %s\n",
                    table.path, strerror(errno));
            return 1;
        }
        char line[512];
        int lines = 0, routes = 0;
        while (fgets(line, sizeof line, file) != nullptr) {
            if (++lines <= table.header_lines)
                continue;
            char *field = strtok(line, " \t\n");
            for (int i = 1; i < table.flags_field && field != nullptr; i++)
                field = strtok(nullptr, " \t\n");
            if (field == nullptr || !(strtoul(field, nullptr, 16) & RTF_REJECT))
                routes++;
        }
        fclose(file);
        if (routes > 0) {
            fprintf(stderr, "norvo-inject: refusing --scatter-src: %s lists %d route(s)\n",
                    table.path, routes);
            return 1;
        }
    }
    return 0;
}

static uint32_t inject_sum(const uint8_t *p, size_t n, uint32_t sum)
{
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (n % 2)
        sum += static_cast<uint32_t>(p[n - 1] << 8);
    return sum;
}

static uint16_t inject_fold(uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

static void inject_put16(uint8_t *p, unsigned v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

static void inject_put32(uint8_t *p, uint32_t v)
{
    inject_put16(p, v >> 16);
    inject_put16(p + 2, v & 0xffff);
}

/* Fills frame with the addresses of frame number k; the rest is the template. */
static void inject_frame(const struct inject_options *o, const uint8_t *src_mac, uint8_t *f,
                         unsigned long long k)
{
    memcpy(f, o->dst_mac, 6);
    memcpy(f + 6, src_mac, 6);
    uint8_t *type = f + 12;
    for (int t = 0; t < o->tags; t++, type += 4) {
        inject_put16(type, o->tpids[t]);
        inject_put16(type + 2, INJECT_FIRST_VLAN + static_cast<unsigned>(t));
    }
    uint8_t *ip = type + 2;
    inject_put16(type, o->ethertype);
    if (o->ethertype == 0x8100) { /* VLAN 1, carrying IPv4 */
        inject_put16(ip, 1);
        inject_put16(ip + 2, 0x0800);
        ip += 4;
    }
    unsigned ip_len = o->length - static_cast<unsigned>(ip - f);
    ip[0] = 0x45;
    inject_put16(ip + 2, ip_len);
    ip[8] = 64;
    ip[9] = static_cast<uint8_t>(o->proto);
    uint32_t src = o->scatter
                       ? inject_scatter(o->scatter_seed + static_cast<uint32_t>(k % o->scatter_spread))
                       : o->src + static_cast<uint32_t>(k % o->src_spread);
    inject_put32(ip + 12, src);
    inject_put32(ip + 16, o->dst + static_cast<uint32_t>(k % o->dst_spread));
    inject_put16(ip + 10, 0);
    inject_put16(ip + 10, inject_fold(inject_sum(ip, 20, 0)));

    uint8_t *l4 = ip + 20;
    unsigned l4_len = ip_len - 20;
    if (o->proto == 1) { /* echo request: the ports word is type/code, then checksum */
        l4[0] = 8;
        l4[1] = 0;
        if (l4_len >= 8)
            inject_put16(l4 + 6, static_cast<unsigned>(k & 0xffff));
        inject_put16(l4 + 2, 0);
        inject_put16(l4 + 2, inject_fold(inject_sum(l4, l4_len, 0)));
        return;
    }
    inject_put16(l4, o->sport);
    inject_put16(l4 + 2, o->dport);
    unsigned header = o->proto == 6 ? 20 : o->proto == 17 ? 8 : 0;
    if (header == 0 || l4_len < header)
        return; /* too short for a full header: the frame is for the decoder only */
    if (o->proto == 6) {
        inject_put32(l4 + 4, static_cast<uint32_t>(k));
        l4[12] = 0x50;
        l4[13] = 0x02; /* SYN */
        inject_put16(l4 + 14, 65535);
        inject_put16(l4 + 16, 0);
    } else {
        inject_put16(l4 + 4, l4_len);
        inject_put16(l4 + 6, 0);
    }
    uint32_t pseudo = inject_sum(ip + 12, 8, 0) + o->proto + l4_len;
    uint16_t sum = inject_fold(inject_sum(l4, l4_len, pseudo));
    if (o->proto == 17 && sum == 0)
        sum = 0xffff;
    inject_put16(l4 + (o->proto == 6 ? 16 : 6), sum);
}

static double inject_seconds(const struct timespec *from, const struct timespec *to)
{
    return static_cast<double>(to->tv_sec - from->tv_sec) +
           static_cast<double>(to->tv_nsec - from->tv_nsec) / 1e9;
}

int main(int argc, char **argv)
{
    struct inject_options o;
    if (inject_parse(argc, argv, &o) != 0)
        return 2;
    if (o.scatter && inject_isolated() != 0)
        return 2;

    unsigned ifindex = if_nametoindex(o.interface);
    if (ifindex == 0) {
        fprintf(stderr, "norvo-inject: interface %s: %s\n", o.interface, strerror(errno));
        return 1;
    }
    int fd = socket(AF_PACKET, SOCK_RAW, 0); /* protocol 0: this socket receives nothing */
    if (fd < 0) {
        fprintf(stderr, "norvo-inject: AF_PACKET socket for %s: %s\n", o.interface, strerror(errno));
        return 1;
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", o.interface);
    if (ioctl(fd, SIOCGIFHWADDR, &ifr) != 0) {
        fprintf(stderr, "norvo-inject: MAC address of %s: %s\n", o.interface, strerror(errno));
        return 1;
    }
    uint8_t src_mac[6];
    memcpy(src_mac, ifr.ifr_hwaddr.sa_data, 6);

    struct sockaddr_ll to;
    memset(&to, 0, sizeof to);
    to.sll_family = AF_PACKET;
    to.sll_ifindex = static_cast<int>(ifindex);
    to.sll_protocol = htons(static_cast<uint16_t>(o.ethertype));
    to.sll_halen = 6;
    memcpy(to.sll_addr, o.dst_mac, 6);

    static uint8_t frames[INJECT_BATCH][INJECT_MAX_FRAME];
    struct iovec iov[INJECT_BATCH];
    struct mmsghdr msgs[INJECT_BATCH];
    memset(msgs, 0, sizeof msgs);
    for (int i = 0; i < INJECT_BATCH; i++) {
        iov[i].iov_base = frames[i];
        iov[i].iov_len = o.length;
        msgs[i].msg_hdr.msg_name = &to;
        msgs[i].msg_hdr.msg_namelen = sizeof to;
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }

    /* Paced sends go in small batches so that the spacing stays even. */
    unsigned long long batch = INJECT_BATCH;
    if (o.rate > 0) {
        batch = o.rate / 1000;
        batch = batch < 1 ? 1 : batch > INJECT_BATCH ? INJECT_BATCH : batch;
    }

    struct timespec start, now, last_progress;
    clock_gettime(CLOCK_MONOTONIC, &start);
    last_progress = start;
    unsigned long long sent = 0;
    while (sent < o.count) {
        unsigned long long n = o.count - sent < batch ? o.count - sent : batch;
        if (o.rate > 0) {
            /* Frame number `sent` is due at start + sent / rate. */
            unsigned long long ns = sent % o.rate * 1000000000ull / o.rate;
            struct timespec due = start;
            due.tv_sec += static_cast<time_t>(sent / o.rate);
            due.tv_nsec += static_cast<long>(ns);
            if (due.tv_nsec >= 1000000000L) {
                due.tv_sec++;
                due.tv_nsec -= 1000000000L;
            }
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
            }
        }
        for (unsigned long long i = 0; i < n; i++)
            inject_frame(&o, src_mac, frames[i], sent + i);
        int done = sendmmsg(fd, msgs, static_cast<unsigned>(n), 0);
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (done > 0) {
            sent += static_cast<unsigned>(done);
            last_progress = now;
            continue;
        }
        if (done < 0 && errno != ENOBUFS && errno != EAGAIN && errno != EINTR) {
            fprintf(stderr, "norvo-inject: sending on %s after %llu frames: %s\n", o.interface, sent,
                    strerror(errno));
            return 1;
        }
        if (inject_seconds(&last_progress, &now) > INJECT_STALL_S) {
            fprintf(stderr, "norvo-inject: %s accepted no frame for %d s after %llu frames\n",
                    o.interface, INJECT_STALL_S, sent);
            return 1;
        }
        struct timespec pause = {0, 100000}; /* let the device drain */
        nanosleep(&pause, nullptr);
    }
    clock_gettime(CLOCK_MONOTONIC, &now);
    close(fd);

    double seconds = inject_seconds(&start, &now);
    printf("norvo-inject: sent %llu frames, %llu bytes in %.3f s, %.0f frames/s\n", sent,
           sent * o.length, seconds, seconds > 0 ? static_cast<double>(sent) / seconds : 0.0);
    return 0;
}
