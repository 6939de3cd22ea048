/*
 * What the packet queue tests share: entries whose every field derives from
 * (producer, seq), so a torn or mixed copy shows, and helper threads that
 * cannot outlive a failing case.
 */
#ifndef NORVO_TESTS_QUEUE_FIXTURE_H
#define NORVO_TESTS_QUEUE_FIXTURE_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <future>

#include "capture/packet.h"
#include "core/daemon.h"

namespace {

constexpr auto kLimit = std::chrono::milliseconds(10000);

/* An entry whose fields all derive from (producer, seq), so a torn or mixed copy shows. */
struct packet_info make_entry(uint32_t producer, uint32_t seq)
{
    struct packet_info p;
    memset(&p, 0, sizeof p);
    p.src = producer;
    p.dst = seq;
    p.sport = (seq * 7u + producer) & 0xffff;
    p.dport = ~seq;
    p.len = seq * 3u + producer;
    p.proto = static_cast<uint8_t>(producer * 31u + seq);
    return p;
}

bool entry_is_whole(const struct packet_info &p)
{
    struct packet_info want = make_entry(p.src, p.dst);
    return p.sport == want.sport && p.dport == want.dport && p.len == want.len &&
           p.proto == want.proto;
}

/*
 * A helper thread of one case. If the case fails while the helper is still
 * blocked in the queue, leaving the case requests a stop, which every queue
 * wait honours, so a failure never turns into a hang.
 */
template <typename T> struct helper {
    std::future<T> result;
    ~helper()
    {
        if (result.valid() && result.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            running.store(0);
            /* It still uses this case's locals: if it cannot stop, end the run loudly. */
            if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
                fprintf(stderr, "a queue test helper thread ignored the stop request\n");
                abort();
            }
        }
    }
    std::future_status wait_for(std::chrono::milliseconds limit) { return result.wait_for(limit); }
    T get() { return result.get(); }
};

template <typename Fn> auto run_bounded(Fn fn) -> helper<decltype(fn())>
{
    return helper<decltype(fn())>{std::async(std::launch::async, fn)};
}

}  // namespace

#endif
