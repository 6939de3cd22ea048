/* The address a.b.c.d as the daemon holds it, for tests. */
#ifndef NORVO_TESTS_TEST_ADDR_H
#define NORVO_TESTS_TEST_ADDR_H

#include <stdint.h>

constexpr uint32_t ip4(uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    return a << 24 | b << 16 | c << 8 | d;
}

#endif
