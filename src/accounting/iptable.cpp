/*
 * Address table.
 *
 * Lifecycle: iptable_new() at the start of a cycle; iptable_add() and
 * iptable_lookup() from the accounting on the main thread; then one dump
 * thread walks it with iptable_next() and releases it with
 * iptable_destroy().
 *
 * Nodes. A flood of spoofed sources leaves most addresses alone in their
 * /24, so a node holds only the children it has: a 256-bit map of the byte
 * values present and a dense array of slots in byte order, where the slot of
 * byte b is the number of present bytes below b (its rank). The array grows
 * by doubling; a node that outgrows 64 slots takes all 256 instead and is
 * indexed by the byte itself, which costs at most four times the compact
 * form and spares the rank on busy nodes. The root and the /8 nodes are
 * direct from the start: there are at most 257 of them, and every lookup
 * passes through one of each. Their slots of absent bytes hold null, so the
 * lookup reads one pointer per level there, as through a plain array.
 *
 * The levels: the root and the /8 nodes point to nodes one level down. A
 * /16 node's slot holds either the entry of the one address in its /24
 * ("lone", marked in a second map) or a pointer to the /24's leaf, whose
 * slots are the entries themselves. A lone address thus costs no leaf, and
 * a walk of a scattered table reads the entries of a /16 in one run of
 * memory instead of one cache miss per address. A second address in the
 * /24 moves the first into a new leaf; a leaf left with one entry gives it
 * back. Removal shrinks a /16 node or a leaf again once it is a quarter
 * full (a direct one at DIRECT_SHRINK entries) and frees a node that
 * becomes empty.
 *
 * Memory. The table record and every node are carved from chunks that the
 * table maps from the kernel for itself; a node freed by growth or removal
 * waits on a list per kind and size for the next node of that size. The
 * bytes carved so far are what a limit bounds. Destroying the table unmaps
 * its chunks, so the memory of a flood goes back to the system at once,
 * however many entries it held.
 */
#include "accounting/iptable.h"

#include <errno.h>
#include <string.h>
#include <sys/mman.h>
#include <syslog.h>

#include <atomic>

#include "core/state.h"

#if defined(__SANITIZE_ADDRESS__)
#define IPTABLE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define IPTABLE_ASAN 1
#endif
#endif
#ifdef IPTABLE_ASAN
#include <sanitizer/asan_interface.h>
/* Memory not carved yet and freed nodes are poisoned, so a stale entry
 * pointer or a slot written past its node is caught inside the chunks too. */
#define IPTABLE_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define IPTABLE_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define IPTABLE_POISON(p, n) ((void)(p), (void)(n))
#define IPTABLE_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

#define LEVELS 4              /* address bytes, one per level */
#define NODE_BYTES 256        /* byte values a node can hold */
#define NODE_WORDS 4          /* 64-bit words of the occupancy map */
#define TWIG_LEVEL 2          /* the /16 nodes, parents of the leaves */
#define COMPACT_CLASSES 7     /* compact capacities 1, 2, 4 ... 64 slots */
#define DIRECT_CLASS COMPACT_CLASSES /* 256 slots, indexed by the byte */
#define NODE_CLASSES (COMPACT_CLASSES + 1)
#define DIRECT_SHRINK 32      /* children at which a direct node turns compact */
#define CHUNK_BYTES (2u << 20) /* bytes mapped at a time, one huge page */
#define HUGE_AFTER 4          /* chunks a table maps before it asks for huge pages */

/* Tables are destroyed on dump threads while the cycle maps new ones. */
static std::atomic<size_t> iptable_mapped{0};

/* By slot size: pointers above the /16 nodes, entries in and below them. */
enum node_kind { NODE_INNER = 0, NODE_WIDE = 1, NODE_KINDS = 2 };

struct node {
    uint64_t bits[NODE_WORDS];  /* byte b present: bit b % 64 of word b / 64 */
    uint8_t before[NODE_WORDS]; /* bytes present in the words below word w */
    uint16_t count;             /* bytes present */
    uint8_t size_class;         /* capacity 1 << size_class, or DIRECT_CLASS */
    uint8_t pad;
    uint64_t lone[NODE_WORDS];  /* /16 nodes: the slot holds the /24's one entry */
    /* the slots follow: struct node * or struct ip_entry, by kind; a /16
     * node's slot that is not lone holds the leaf's pointer first */
};
static_assert(sizeof(struct node) % alignof(struct ip_entry) == 0, "slots must stay aligned");
static_assert(sizeof(struct node) % alignof(struct node *) == 0, "slots must stay aligned");
static_assert(sizeof(struct ip_entry) >= sizeof(struct node *), "a wide slot holds a pointer");

/* Head of every mapped chunk. */
struct chunk {
    struct chunk *next;
};

struct iptable {
    struct node *root;   /* direct, never moves */
    uint32_t cursor;     /* where the next walk step starts; 0 when idle */
    int memory_logged;   /* the first failed mapping was logged */
    char *uncarved;      /* the newest chunk's rest, up to chunk_end */
    char *chunk_end;
    struct chunk *chunks; /* newest first; the oldest holds this record */
    size_t chunk_count;
    size_t bytes;        /* carved from the chunks, chunk heads included */
    size_t limit;        /* bound on bytes; 0 none */
    struct node *spare[NODE_KINDS][NODE_CLASSES]; /* freed nodes, linked through their first word */
};

static inline unsigned node_capacity(unsigned size_class)
{
    return size_class == DIRECT_CLASS ? NODE_BYTES : 1u << size_class;
}

static inline size_t node_slot_size(int kind)
{
    return kind == NODE_WIDE ? sizeof(struct ip_entry) : sizeof(struct node *);
}

static inline int level_kind(int level)
{
    return level < TWIG_LEVEL ? NODE_INNER : NODE_WIDE;
}

static inline size_t node_size(int kind, unsigned size_class)
{
    return sizeof(struct node) + node_capacity(size_class) * node_slot_size(kind);
}

static inline char *node_slots(struct node *node)
{
    return reinterpret_cast<char *>(node + 1);
}

static inline struct node **node_children(const struct node *node)
{
    return reinterpret_cast<struct node **>(const_cast<struct node *>(node) + 1);
}

static inline struct ip_entry *node_entries(const struct node *node)
{
    return reinterpret_cast<struct ip_entry *>(const_cast<struct node *>(node) + 1);
}

static inline unsigned address_byte(uint32_t address, int level)
{
    return address >> (8 * (LEVELS - 1 - level)) & 0xff;
}

/* Bits set in a word. With `instruction`, the builtin, which is one
 * instruction where the code is built for it (see iptable_lookup) and a
 * library call where not; without, a few arithmetic steps. */
static inline __attribute__((always_inline)) unsigned bits_count(uint64_t word, int instruction)
{
    if (instruction)
        return (unsigned)__builtin_popcountll(word);
    word -= word >> 1 & 0x5555555555555555ull;
    word = (word & 0x3333333333333333ull) + (word >> 2 & 0x3333333333333333ull);
    word = (word + (word >> 4)) & 0x0f0f0f0f0f0f0f0full;
    return (unsigned)((word * 0x0101010101010101ull) >> 56);
}

static inline int node_has(const struct node *node, unsigned byte)
{
    return node->bits[byte >> 6] >> (byte & 63) & 1;
}

static inline int node_lone(const struct node *node, unsigned byte)
{
    return node->lone[byte >> 6] >> (byte & 63) & 1;
}

static inline void node_set_lone(struct node *node, unsigned byte, int lone)
{
    uint64_t bit = 1ull << (byte & 63);
    if (lone)
        node->lone[byte >> 6] |= bit;
    else
        node->lone[byte >> 6] &= ~bit;
}

/* The leaf a /16 node's slot that is not lone points to. */
static inline struct node *twig_leaf(const struct ip_entry *slot)
{
    struct node *leaf;
    memcpy(&leaf, slot, sizeof leaf);
    return leaf;
}

static inline void twig_set_leaf(struct ip_entry *slot, struct node *leaf)
{
    memcpy(slot, &leaf, sizeof leaf);
}

/* Slot of a byte, present or about to be. */
static inline __attribute__((always_inline)) unsigned node_slot_by(const struct node *node,
                                                                    unsigned byte,
                                                                    int instruction)
{
    if (node->size_class == DIRECT_CLASS)
        return byte;
    uint64_t below = node->bits[byte >> 6] & ((1ull << (byte & 63)) - 1);
    return node->before[byte >> 6] + bits_count(below, instruction);
}

static inline unsigned node_slot(const struct node *node, unsigned byte)
{
    return node_slot_by(node, byte, 0);
}

/* The first byte present at or above `from`; NODE_BYTES when none is. */
static unsigned node_next_byte(const struct node *node, unsigned from)
{
    if (from >= NODE_BYTES)
        return NODE_BYTES;
    unsigned word = from >> 6;
    uint64_t bits = node->bits[word] & (~0ull << (from & 63));
    while (bits == 0) {
        if (++word == NODE_WORDS)
            return NODE_BYTES;
        bits = node->bits[word];
    }
    return word * 64 + (unsigned)__builtin_ctzll(bits);
}

static void node_mark(struct node *node, unsigned byte, int present)
{
    uint64_t bit = 1ull << (byte & 63);
    if (present)
        node->bits[byte >> 6] |= bit;
    else
        node->bits[byte >> 6] &= ~bit;
    for (unsigned word = (byte >> 6) + 1; word < NODE_WORDS; word++)
        node->before[word] = (uint8_t)(node->before[word] + (present ? 1 : -1));
    node->count = (uint16_t)(node->count + (present ? 1 : -1));
}

/*
 * A new chunk, null when none can be mapped (errno set). A large table's
 * nodes are touched all over on every insert and walk step; from its
 * HUGE_AFTER-th chunk on, its chunks are aligned huge pages where the system
 * grants them, which spares most page faults and TLB misses. Small tables
 * keep ordinary pages, so they take no more memory than they touch.
 */
static struct chunk *chunk_map(size_t chunks_before)
{
    size_t length = chunks_before < HUGE_AFTER ? CHUNK_BYTES : 2 * CHUNK_BYTES;
    void *memory = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                        -1, 0);
    if (memory == MAP_FAILED)
        return nullptr;
    char *start = static_cast<char *>(memory);
    if (length > CHUNK_BYTES) {
        /* Twice the size mapped, the aligned middle kept. */
        char *aligned = reinterpret_cast<char *>(
            (reinterpret_cast<uintptr_t>(start) + CHUNK_BYTES - 1) & ~(uintptr_t)(CHUNK_BYTES - 1));
        if (aligned > start)
            munmap(start, (size_t)(aligned - start));
        if (start + length > aligned + CHUNK_BYTES)
            munmap(aligned + CHUNK_BYTES, (size_t)(start + length - aligned - CHUNK_BYTES));
        start = aligned;
#ifdef MADV_HUGEPAGE
        madvise(start, CHUNK_BYTES, MADV_HUGEPAGE); /* a hint: refused, pages stay small */
#endif
    }
    iptable_mapped.fetch_add(CHUNK_BYTES, std::memory_order_relaxed);
    return reinterpret_cast<struct chunk *>(start);
}

/*
 * `size` bytes not carved before, within the limit unless `bounded` is 0.
 * Null with errno ENOSPC past the limit, ENOMEM when no chunk can be
 * mapped; the first such mapping failure of a table is logged.
 */
static void *table_carve(struct iptable *table, size_t size, int bounded)
{
    if (bounded && table->limit != 0 && table->bytes + size > table->limit) {
        errno = ENOSPC;
        return nullptr;
    }
    if ((size_t)(table->chunk_end - table->uncarved) < size) {
        struct chunk *chunk = chunk_map(table->chunk_count);
        if (chunk == nullptr) {
            if (!table->memory_logged)
                log_msg(LOG_ERR, "address table: cannot map %u KiB more, after %zu bytes: %s; "
                        "new addresses are not counted", CHUNK_BYTES >> 10, table->bytes,
                        strerror(errno));
            table->memory_logged = 1;
            errno = ENOMEM;
            return nullptr;
        }
        /* The old chunk's rest (less than one node) stays unused. */
        chunk->next = table->chunks;
        table->chunks = chunk;
        table->chunk_count++;
        table->uncarved = reinterpret_cast<char *>(chunk + 1);
        table->chunk_end = reinterpret_cast<char *>(chunk) + CHUNK_BYTES;
        table->bytes += sizeof *chunk;
        IPTABLE_POISON(table->uncarved, (size_t)(table->chunk_end - table->uncarved));
    }
    void *block = table->uncarved;
    table->uncarved += size;
    table->bytes += size;
    IPTABLE_UNPOISON(block, size);
    return block;
}

/* An empty node; null as for table_carve. */
static struct node *node_new(struct iptable *table, int kind, unsigned size_class, int bounded)
{
    size_t size = node_size(kind, size_class);
    struct node *node = table->spare[kind][size_class];
    if (node != nullptr) {
        IPTABLE_UNPOISON(node, size);
        table->spare[kind][size_class] = *reinterpret_cast<struct node **>(node);
    } else {
        node = static_cast<struct node *>(table_carve(table, size, bounded));
        if (node == nullptr)
            return nullptr;
    }
    memset(node, 0, kind == NODE_INNER && size_class == DIRECT_CLASS ? size : sizeof *node);
    node->size_class = (uint8_t)size_class;
    return node;
}

static void node_free(struct iptable *table, int kind, struct node *node)
{
    unsigned size_class = node->size_class;
    *reinterpret_cast<struct node **>(node) = table->spare[kind][size_class];
    table->spare[kind][size_class] = node;
    IPTABLE_POISON(node, node_size(kind, size_class));
}

/* `from`'s bytes and slots into `to`, which has room for them. */
static void node_copy(struct node *to, const struct node *from, int kind)
{
    memcpy(to->bits, from->bits, sizeof to->bits);
    memcpy(to->before, from->before, sizeof to->before);
    memcpy(to->lone, from->lone, sizeof to->lone);
    to->count = from->count;
    size_t slot = node_slot_size(kind);
    char *dst = node_slots(to);
    const char *src = reinterpret_cast<const char *>(from + 1);
    if (to->size_class != DIRECT_CLASS && from->size_class != DIRECT_CLASS) {
        memcpy(dst, src, from->count * slot);
        return;
    }
    if (to->size_class == DIRECT_CLASS && kind == NODE_INNER)
        memset(dst, 0, NODE_BYTES * slot);
    unsigned rank = 0;
    for (unsigned word = 0; word < NODE_WORDS; word++) {
        for (uint64_t bits = from->bits[word]; bits != 0; bits &= bits - 1, rank++) {
            unsigned byte = word * 64 + (unsigned)__builtin_ctzll(bits);
            unsigned to_slot = to->size_class == DIRECT_CLASS ? byte : rank;
            unsigned from_slot = from->size_class == DIRECT_CLASS ? byte : rank;
            memcpy(dst + to_slot * slot, src + from_slot * slot, slot);
        }
    }
}

/*
 * Makes `byte` present in the node at *ref and returns its slot, not yet
 * filled. A full node is replaced by the next size first (*ref follows it).
 * Null, with the node unchanged, when there is no room for that.
 */
static void *node_insert(struct iptable *table, struct node **ref, int kind, unsigned byte)
{
    struct node *node = *ref;
    if (node->count == node_capacity(node->size_class)) {
        struct node *larger = node_new(table, kind, node->size_class + 1u, 1);
        if (larger == nullptr)
            return nullptr;
        node_copy(larger, node, kind);
        node_free(table, kind, node);
        *ref = node = larger;
    }
    size_t slot = node_slot_size(kind);
    unsigned index = node_slot(node, byte);
    char *slots = node_slots(node);
    if (node->size_class != DIRECT_CLASS)
        memmove(slots + (index + 1) * slot, slots + index * slot, (node->count - index) * slot);
    node_mark(node, byte, 1);
    return slots + index * slot;
}

/* Takes the present `byte` out of the node at *ref; a node left sparse is
 * replaced by a smaller one when `may_shrink` and there is room for it. */
static void node_remove(struct iptable *table, struct node **ref, int kind, unsigned byte,
                        int may_shrink)
{
    struct node *node = *ref;
    size_t slot = node_slot_size(kind);
    unsigned index = node_slot(node, byte);
    char *slots = node_slots(node);
    if (node->size_class != DIRECT_CLASS)
        memmove(slots + index * slot, slots + (index + 1) * slot,
                (node->count - index - 1u) * slot);
    else if (kind == NODE_INNER)
        node_children(node)[byte] = nullptr;
    node_mark(node, byte, 0);
    node_set_lone(node, byte, 0);
    if (!may_shrink || node->count == 0)
        return;
    unsigned size_class;
    if (node->size_class == DIRECT_CLASS) {
        if (node->count > DIRECT_SHRINK)
            return;
        size_class = COMPACT_CLASSES - 1;
    } else {
        if (node->size_class == 0 || node->count > node_capacity(node->size_class) / 4)
            return;
        size_class = node->size_class - 1u;
    }
    /* Unbounded: a smaller node is worth its bytes, the larger one is kept for reuse. */
    struct node *smaller = node_new(table, kind, size_class, 0);
    if (smaller == nullptr)
        return;
    node_copy(smaller, node, kind);
    node_free(table, kind, node);
    *ref = smaller;
}

struct iptable *iptable_new_limited(size_t limit)
{
    struct chunk *chunk = chunk_map(0);
    if (chunk == nullptr) {
        int err = errno;
        log_msg(LOG_ERR, "address table: cannot map its first %u KiB: %s", CHUNK_BYTES >> 10,
                strerror(err));
        errno = err;
        return nullptr;
    }
    chunk->next = nullptr;
    struct iptable *table = reinterpret_cast<struct iptable *>(chunk + 1);
    memset(table, 0, sizeof *table);
    table->chunks = chunk;
    table->chunk_count = 1;
    table->uncarved = reinterpret_cast<char *>(table + 1);
    table->chunk_end = reinterpret_cast<char *>(chunk) + CHUNK_BYTES;
    table->bytes = sizeof *chunk + sizeof *table;
    IPTABLE_POISON(table->uncarved, (size_t)(table->chunk_end - table->uncarved));
    /* The first chunk has room for the root whatever the limit. */
    table->root = node_new(table, NODE_INNER, DIRECT_CLASS, 0);
    table->limit = limit;
    return table;
}

struct iptable *iptable_new(void)
{
    return iptable_new_limited(0);
}

/* The chain of single-child nodes from level `level` down to a /16 node,
 * as iptable_add builds it, back onto the spare lists. */
static void table_free_chain(struct iptable *table, struct node *node, int level)
{
    for (; level < TWIG_LEVEL; level++) {
        struct node *child = node_children(node)[0];
        node_free(table, NODE_INNER, node);
        node = child;
    }
    node_free(table, NODE_WIDE, node);
}

/* A new entry under `address` in the /16 node at *ref; null as for iptable_add. */
static struct ip_entry *twig_add(struct iptable *table, struct node **ref, uint32_t address)
{
    struct node *twig = *ref;
    unsigned byte = address_byte(address, TWIG_LEVEL);
    unsigned last = address_byte(address, LEVELS - 1);
    if (!node_has(twig, byte)) {
        struct ip_entry *entry =
            static_cast<struct ip_entry *>(node_insert(table, ref, NODE_WIDE, byte));
        if (entry != nullptr)
            node_set_lone(*ref, byte, 1);
        return entry;
    }
    struct ip_entry *slot = &node_entries(twig)[node_slot(twig, byte)];
    if (!node_lone(twig, byte)) {
        struct node *leaf = twig_leaf(slot);
        if (node_has(leaf, last)) {
            errno = EEXIST;
            return nullptr;
        }
        struct ip_entry *entry =
            static_cast<struct ip_entry *>(node_insert(table, &leaf, NODE_WIDE, last));
        twig_set_leaf(slot, leaf);
        return entry;
    }
    if (slot->ip == address) {
        errno = EEXIST;
        return nullptr;
    }
    /* The second address of the /24: both go into a leaf of their own. */
    struct node *leaf = node_new(table, NODE_WIDE, 1, 1);
    if (leaf == nullptr)
        return nullptr;
    struct ip_entry lone = *slot;
    *static_cast<struct ip_entry *>(
        node_insert(table, &leaf, NODE_WIDE, address_byte(lone.ip, LEVELS - 1))) = lone;
    struct ip_entry *entry =
        static_cast<struct ip_entry *>(node_insert(table, &leaf, NODE_WIDE, last));
    twig_set_leaf(slot, leaf);
    node_set_lone(twig, byte, 0);
    return entry;
}

struct ip_entry *iptable_add(struct iptable *table, uint32_t address)
{
    if (table == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    /* Down to the deepest node above the leaves on the address's path. */
    struct node **ref = &table->root;
    int level = 0;
    for (; level < TWIG_LEVEL; level++) {
        unsigned byte = address_byte(address, level);
        if (!node_has(*ref, byte))
            break;
        ref = &node_children(*ref)[node_slot(*ref, byte)];
    }

    struct ip_entry *entry;
    if (level == TWIG_LEVEL) {
        entry = twig_add(table, ref, address);
        if (entry == nullptr)
            return nullptr;
    } else {
        /* The missing levels are built bottom-up aside and linked in last,
         * so a refusal on the way leaves the tree as it was. */
        struct node *chain = node_new(table, NODE_WIDE, 0, 1);
        if (chain == nullptr)
            return nullptr;
        entry = static_cast<struct ip_entry *>(
            node_insert(table, &chain, NODE_WIDE, address_byte(address, TWIG_LEVEL)));
        node_set_lone(chain, address_byte(address, TWIG_LEVEL), 1);
        for (int below = TWIG_LEVEL - 1; below > level; below--) {
            struct node *parent = node_new(table, NODE_INNER, DIRECT_CLASS, 1);
            if (parent == nullptr) {
                table_free_chain(table, chain, below + 1);
                return nullptr;
            }
            *static_cast<struct node **>(
                node_insert(table, &parent, NODE_INNER, address_byte(address, below))) = chain;
            chain = parent;
        }
        void *slot = node_insert(table, ref, NODE_INNER, address_byte(address, level));
        if (slot == nullptr) {
            table_free_chain(table, chain, level + 1);
            return nullptr;
        }
        *static_cast<struct node **>(slot) = chain;
    }
    memset(entry, 0, sizeof *entry);
    entry->ip = address;
    return entry;
}

/* Takes the address out, if present, and every node it leaves empty; a leaf
 * left with one entry hands it back to its /16 node. */
static void table_remove(struct iptable *table, uint32_t address)
{
    struct node **refs[TWIG_LEVEL + 1];
    refs[0] = &table->root;
    for (int level = 0; level < TWIG_LEVEL; level++) {
        unsigned byte = address_byte(address, level);
        struct node *node = *refs[level];
        if (!node_has(node, byte))
            return;
        refs[level + 1] = &node_children(node)[node_slot(node, byte)];
    }
    struct node *twig = *refs[TWIG_LEVEL];
    unsigned byte = address_byte(address, TWIG_LEVEL);
    if (!node_has(twig, byte))
        return;
    struct ip_entry *slot = &node_entries(twig)[node_slot(twig, byte)];
    if (!node_lone(twig, byte)) {
        struct node *leaf = twig_leaf(slot);
        unsigned last = address_byte(address, LEVELS - 1);
        if (!node_has(leaf, last))
            return;
        node_remove(table, &leaf, NODE_WIDE, last, 1);
        if (leaf->count > 1) {
            twig_set_leaf(slot, leaf);
            return;
        }
        *slot = node_entries(leaf)[0];
        node_set_lone(twig, byte, 1);
        node_free(table, NODE_WIDE, leaf);
        return;
    }
    if (slot->ip != address)
        return;
    for (int level = TWIG_LEVEL; level >= 0; level--) {
        int kind = level_kind(level);
        node_remove(table, refs[level], kind, address_byte(address, level), level == TWIG_LEVEL);
        if (level == 0 || (*refs[level])->count > 0)
            return;
        node_free(table, kind, *refs[level]);
    }
}

int iptable_insert(struct iptable *table, uint32_t address, const struct ip_entry *entry)
{
    if (table == nullptr)
        return 0;
    if (entry == nullptr) {
        table_remove(table, address);
        return 1;
    }
    struct ip_entry *stored = iptable_add(table, address);
    if (stored == nullptr)
        return 0;
    stored->input = entry->input;
    stored->output = entry->output;
    return 1;
}

static inline __attribute__((always_inline)) struct ip_entry *
table_lookup(const struct iptable *table, uint32_t address, int instruction)
{
    if (table == nullptr)
        return nullptr;
    const struct node *node = table->root;
    for (int level = 0; level < TWIG_LEVEL; level++) {
        node = node_children(node)[address_byte(address, level)]; /* direct */
        if (node == nullptr)
            return nullptr;
    }
    unsigned byte = address_byte(address, TWIG_LEVEL);
    if (!node_has(node, byte))
        return nullptr;
    struct ip_entry *slot = &node_entries(node)[node_slot_by(node, byte, instruction)];
    if (node_lone(node, byte))
        return slot->ip == address ? slot : nullptr;
    node = twig_leaf(slot);
    byte = address & 0xff;
    if (!node_has(node, byte))
        return nullptr;
    return &node_entries(node)[node_slot_by(node, byte, instruction)];
}

/* The lookup runs for every packet and category. On x86 a second copy is
 * built with the popcount instruction, which the base instruction set
 * lacks, and taken when the processor has it. */
__attribute__((noinline)) static struct ip_entry *table_lookup_plain(const struct iptable *table,
                                                                     uint32_t address)
{
    return table_lookup(table, address, 0);
}

#if defined(__x86_64__)
__attribute__((target("popcnt"), noinline)) static struct ip_entry *
table_lookup_popcnt(const struct iptable *table, uint32_t address)
{
    return table_lookup(table, address, 1);
}

static int table_has_popcnt(void)
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("popcnt");
}

static const int table_popcnt = table_has_popcnt();
#endif

struct ip_entry *iptable_lookup(const struct iptable *table, uint32_t address)
{
#if defined(__x86_64__)
    if (table_popcnt)
        return table_lookup_popcnt(table, address);
#endif
    return table_lookup_plain(table, address);
}

/*
 * Each step descends along the cursor's own path and scans the occupancy
 * maps forward from there, rather than keeping a position inside the tree
 * between calls: nodes move when they grow or shrink, while the cursor stays
 * the whole state of a walk, so entries added or removed between steps
 * cannot leave a stale position behind. The descent touches the cache lines
 * of the previous step.
 */
struct ip_entry *iptable_next(struct iptable *table)
{
    if (table == nullptr)
        return nullptr;
    uint32_t cursor = table->cursor;
    const struct node *path[LEVELS];
    unsigned chosen[LEVELS];
    path[0] = table->root;
    int level = 0;
    int on_cursor = 1; /* the bytes chosen so far are the cursor's own */
    unsigned from = address_byte(cursor, 0);
    for (;;) {
        const struct node *node = path[level];
        unsigned byte = node_next_byte(node, from);
        if (byte == NODE_BYTES) {
            if (level == 0) {
                table->cursor = 0;
                return nullptr;
            }
            level--;
            from = chosen[level] + 1;
            on_cursor = 0;
            continue;
        }
        /* Once a level moves past the cursor's byte, everything beneath starts at 0. */
        on_cursor = on_cursor && byte == address_byte(cursor, level);
        chosen[level] = byte;
        struct ip_entry *found = nullptr;
        if (level < TWIG_LEVEL) {
            path[level + 1] = node_children(node)[node_slot(node, byte)];
        } else if (level == LEVELS - 1) {
            found = &node_entries(node)[node_slot(node, byte)];
        } else {
            struct ip_entry *slot = &node_entries(node)[node_slot(node, byte)];
            if (!node_lone(node, byte)) {
                path[level + 1] = twig_leaf(slot);
            } else if (!on_cursor || (slot->ip & 0xff) >= address_byte(cursor, LEVELS - 1)) {
                found = slot;
            } else {
                from = byte + 1; /* the /24's one address lies behind the cursor */
                on_cursor = 0;
                continue;
            }
        }
        if (found != nullptr) {
            table->cursor = found->ip + 1; /* wraps to 0 after 255.255.255.255 */
            return found;
        }
        level++;
        from = on_cursor ? address_byte(cursor, level) : 0;
    }
}

int iptable_walking(const struct iptable *table)
{
    return table != nullptr && table->cursor != 0;
}

size_t iptable_bytes(const struct iptable *table)
{
    return table != nullptr ? table->bytes : 0;
}

size_t iptable_limit(const struct iptable *table)
{
    return table != nullptr ? table->limit : 0;
}

size_t iptable_mapped_bytes(void)
{
    return iptable_mapped.load(std::memory_order_relaxed);
}

void iptable_destroy(struct iptable *table)
{
    if (table == nullptr)
        return;
    /* The record lives in the oldest chunk: read the list before unmapping. */
    struct chunk *chunk = table->chunks;
    while (chunk != nullptr) {
        struct chunk *next = chunk->next;
        IPTABLE_UNPOISON(chunk, CHUNK_BYTES);
        munmap(chunk, CHUNK_BYTES);
        iptable_mapped.fetch_sub(CHUNK_BYTES, std::memory_order_relaxed);
        chunk = next;
    }
}
