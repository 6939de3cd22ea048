/*
 * Fuzz target: the frame decoder on arbitrary captured bytes, and the
 * accounting of what it accepts.
 *
 * libFuzzer hands over a buffer of exactly the input's size, so AddressSanitizer
 * catches any read past the captured length. The first byte of an input picks
 * the link type, the next two give the length on the wire beyond the captured
 * bytes, the rest is the frame. An accepted packet is
 * counted in a category that accounts every address against every peer:
 * its source must gain the length as output and its destination as input.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "accounting/account.h"
#include "accounting/iptable.h"
#include "capture/capture.h"
#include "config/config.h"

static void require(bool condition)
{
    if (!condition)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    int link = CAPTURE_LINK_ETHERNET + data[0] % (CAPTURE_LINK_NULL - CAPTURE_LINK_ETHERNET + 1);
    uint32_t wire = (uint32_t)data[1] << 8 | data[2];
    /* an exact copy, so that the decoder's reads are bounded by the frame */
    std::vector<uint8_t> frame(data + 3, data + size);
    uint32_t caplen = (uint32_t)frame.size();
    uint32_t len = caplen + wire;

    struct packet_info packet;
    memset(&packet, 0, sizeof packet);
    int accepted =
        capture_decode(link, frame.empty() ? nullptr : frame.data(), caplen, len, &packet);
    if (!accepted)
        return 0;
    require(caplen >= CAPTURE_MIN_IP_CAPLEN);
    /* a pseudo-header that was never on the wire is not counted */
    require(packet.len <= len);
    len = packet.len;

    struct rule every = {0, 0, 0, 0, 1, nullptr};
    struct rule peers = every;
    struct cat category;
    memset(&category, 0, sizeof category);
    category.primary = &every;
    category.secondary = &peers;
    category.table = iptable_new();
    require(category.table != nullptr);
    account_packet(&category, &packet);

    struct ip_entry *source = iptable_lookup(category.table, packet.src);
    struct ip_entry *destination = iptable_lookup(category.table, packet.dst);
    require(source != nullptr && destination != nullptr);
    require(source->output == len);
    require(destination->input == len);
    /* a packet to itself counts both ways on one entry */
    require(source != destination || (source->input == len && source->output == len));
    iptable_destroy(category.table);
    return 0;
}
