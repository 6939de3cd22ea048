/*
 * norvo-decode: runs the capture decoder over every frame of a pcap file,
 * for the system tests that compare it with tshark on the same frames.
 *
 *   norvo-decode [--vlan] FILE
 *
 * Prints one line per frame: "SRC DST PROTO SPORT DPORT LEN" as the queue
 * would carry it, or "-" for a frame the decoder refuses. Exit status 0, 1
 * when the file cannot be read or its link type has no decoder, 2 bad usage.
 */
#include <pcap/pcap.h>
#include <stdio.h>
#include <string.h>

#include "capture/capture.h"

int main(int argc, char **argv)
{
    int vlan = argc == 3 && strcmp(argv[1], "--vlan") == 0;
    if (argc != 2 + vlan) {
        fprintf(stderr, "usage: norvo-decode [--vlan] FILE\n");
        return 2;
    }
    const char *path = argv[1 + vlan];
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t *file = pcap_open_offline(path, errbuf);
    if (file == nullptr) {
        fprintf(stderr, "norvo-decode: %s: %s\n", path, errbuf);
        return 1;
    }
    int link = capture_link_for(pcap_datalink(file), vlan);
    if (link == CAPTURE_LINK_NONE) {
        fprintf(stderr, "norvo-decode: %s: link type %d has no decoder\n", path, pcap_datalink(file));
        pcap_close(file);
        return 1;
    }
    struct pcap_pkthdr *header;
    const u_char *bytes;
    int rc;
    while ((rc = pcap_next_ex(file, &header, &bytes)) == 1) {
        struct packet_info p;
        if (!capture_decode(link, bytes, header->caplen, header->len, &p)) {
            puts("-");
            continue;
        }
        printf("%u.%u.%u.%u %u.%u.%u.%u %u %u %u %u\n", p.src >> 24, p.src >> 16 & 0xff,
               p.src >> 8 & 0xff, p.src & 0xff, p.dst >> 24, p.dst >> 16 & 0xff, p.dst >> 8 & 0xff,
               p.dst & 0xff, p.proto, p.sport, p.dport, p.len);
    }
    if (rc == PCAP_ERROR)
        fprintf(stderr, "norvo-decode: %s: %s\n", path, pcap_geterr(file));
    pcap_close(file);
    return rc == PCAP_ERROR ? 1 : 0;
}
