/*
 * The floor: the cheapest way this machine can run one exchange with the engine, written in plain
 * C with no library in between. Each mode performs exactly the exchange the matching client makes
 * (same frames, same region entries, same engine), in a tight loop, and prints one JSON line with
 * the latency distribution.
 *
 *   floor unix   SIZE ITERATIONS WARMUP PATH
 *   floor tcp    SIZE ITERATIONS WARMUP HOST:PORT
 *   floor stream SIZE ITERATIONS WARMUP PATH        (one streamed request on its own connection,
 *                                                   read to its end frame)
 *   floor shm    SIZE ITERATIONS WARMUP SHM_NAME
 *   floor hybrid SIZE ITERATIONS WARMUP SHM_NAME SOCKET_PATH
 *
 * `floor --item-pause NS stream ...` keeps the processor busy for NS after each streamed item,
 * standing in for the time a client spends turning the item into a list before it reads the
 * next one: the engine then stalls on a full socket the way it does for a real client.
 *
 * The tensor is SIZE bytes of element type uint8 with shape [SIZE]. A floor does no more work than
 * the exchange needs: socket requests go out with one writev straight from the caller's bytes, the
 * answer is read into one reused buffer and the data located in place; shared-memory requests copy
 * the bytes into the region once and spin on the response queue without sleeping.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#define MODEL_ID 1u
#define KIND_INFER 1u
#define KIND_STREAM 2u
#define KIND_HYBRID 4u
#define STATUS_ITEM 2u
#define BLOCK_HEADER 80u
#define QUEUE_CAPACITY 1021u
#define REQUEST_ENTRY 40u
#define RESPONSE_ENTRY 48u
#define DTYPE_NAME "uint8"

static void die(const char *what) {
    fprintf(stderr, "floor: %s: %s\n", what, errno ? strerror(errno) : "failed");
    exit(1);
}

static void die_msg(const char *what) {
    fprintf(stderr, "floor: %s\n", what);
    exit(1);
}

static uint64_t now_ns(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

/* x86-64 is little-endian, and so is every integer on the wire and in the region. */
static void put_u32(uint8_t *p, uint32_t v) { memcpy(p, &v, 4); }
static void put_u64(uint8_t *p, uint64_t v) { memcpy(p, &v, 8); }
static uint32_t get_u32(const uint8_t *p) { uint32_t v; memcpy(&v, p, 4); return v; }
static uint64_t get_u64(const uint8_t *p) { uint64_t v; memcpy(&v, p, 8); return v; }

/* ---- socket transports -------------------------------------------------------------------- */

static int connect_unix(const char *path) {
    struct sockaddr_un addr = {0};
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof addr.sun_path) die_msg("socket path too long");
    strcpy(addr.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) die("socket");
    if (connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) die("connect unix");
    return fd;
}

static int connect_tcp(const char *address) {
    char host[256];
    const char *colon = strrchr(address, ':');
    if (!colon || (size_t)(colon - address) >= sizeof host) die_msg("tcp address must be HOST:PORT");
    memcpy(host, address, (size_t)(colon - address));
    host[colon - address] = '\0';
    struct addrinfo hints = {0}, *found = NULL;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host, colon + 1, &hints, &found) != 0 || !found) die_msg("cannot resolve tcp address");
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) die("socket");
    if (connect(fd, found->ai_addr, found->ai_addrlen) != 0) die("connect tcp");
    freeaddrinfo(found);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

static void write_iov(int fd, struct iovec *iov, int count) {
    while (count > 0) {
        ssize_t sent = writev(fd, iov, count);
        if (sent < 0) {
            if (errno == EINTR) continue;
            die("writev");
        }
        while (count > 0 && (size_t)sent >= iov->iov_len) {
            sent -= (ssize_t)iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = (uint8_t *)iov->iov_base + sent;
            iov->iov_len -= (size_t)sent;
        }
    }
}

/* A receive buffer that reads as much as the socket has, so a small answer costs one recv. */
struct reader {
    int fd;
    uint8_t *buf;
    size_t cap, start, end;
};

static void reader_fill(struct reader *r, size_t need) {
    if (r->end - r->start >= need) return;
    if (r->cap - r->start < need) { /* move the unread tail to the front */
        memmove(r->buf, r->buf + r->start, r->end - r->start);
        r->end -= r->start;
        r->start = 0;
    }
    while (r->end - r->start < need) {
        ssize_t got = recv(r->fd, r->buf + r->end, r->cap - r->end, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) die("recv");
        if (got == 0) die_msg("engine closed the connection");
        r->end += (size_t)got;
    }
}

static const uint8_t *reader_take(struct reader *r, size_t n) {
    reader_fill(r, n);
    const uint8_t *p = r->buf + r->start;
    r->start += n;
    if (r->start == r->end) r->start = r->end = 0;
    return p;
}

/* Finds the data bytes of an encoded tensor payload (shape list, dtype text, two optional fields). */
static const uint8_t *locate_data(const uint8_t *p, size_t len, size_t *data_len) {
    size_t pos = 0;
    if (len < 8) die_msg("short payload");
    uint64_t ndim = get_u64(p);
    pos = 8 + ndim * 8;
    if (ndim > len || pos + 8 > len) die_msg("bad shape in payload");
    uint64_t name_len = get_u64(p + pos);
    pos += 8 + name_len;
    if (name_len > len || pos + 1 > len) die_msg("bad dtype in payload");
    if (p[pos] != 1) die_msg("payload carries no direct data");
    pos += 1;
    if (pos + 8 > len) die_msg("short payload");
    uint64_t n = get_u64(p + pos);
    pos += 8;
    if (n > len - pos) die_msg("data runs past payload");
    *data_len = (size_t)n;
    return p + pos;
}

struct request_prefix {
    uint8_t bytes[12 + 8 + 8 + 8 + sizeof DTYPE_NAME - 1 + 8];
};

/* Frame header and the encoded request up to the data bytes, which go out from the caller's buffer. */
static void build_prefix(struct request_prefix *out, uint32_t kind, size_t size) {
    uint8_t *p = out->bytes;
    size_t payload = sizeof out->bytes - 12 + size;
    put_u32(p, MODEL_ID);
    put_u32(p + 4, kind);
    put_u32(p + 8, (uint32_t)payload);
    put_u64(p + 12, 1);                     /* shape: one dimension */
    put_u64(p + 20, size);
    put_u64(p + 28, sizeof DTYPE_NAME - 1); /* dtype text */
    memcpy(p + 36, DTYPE_NAME, sizeof DTYPE_NAME - 1);
    put_u64(p + 36 + sizeof DTYPE_NAME - 1, size); /* data byte count */
}

static void send_request(int fd, struct request_prefix *prefix, const uint8_t *data, size_t size) {
    struct iovec iov[2] = {{prefix->bytes, sizeof prefix->bytes}, {(void *)data, size}};
    write_iov(fd, iov, size ? 2 : 1);
}

static size_t read_item(struct reader *r, uint32_t *status, const uint8_t **payload) {
    const uint8_t *h = reader_take(r, 8);
    *status = get_u32(h);
    uint32_t len = get_u32(h + 4);
    *payload = len ? reader_take(r, len) : NULL;
    return len;
}

static void check_echo(const uint8_t *got, size_t got_len, const uint8_t *want, size_t want_len) {
    if (got_len != want_len || (want_len && memcmp(got, want, want_len) != 0))
        die_msg("engine answer does not echo the request");
}

/* ---- shared memory ------------------------------------------------------------------------ */

struct region {
    uint8_t *base;
    size_t size;
    uint64_t req_q, resp_q, pool;
};

static struct region map_region(const char *name) {
    int fd = shm_open(name, O_RDWR, 0);
    if (fd < 0) die("shm_open");
    struct stat st;
    if (fstat(fd, &st) != 0) die("fstat");
    void *base = mmap(NULL, (size_t)st.st_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) die("mmap");
    close(fd);
    struct region r = {base, (size_t)st.st_size, 0, 0, 0};
    if (get_u32(r.base) != 0x41494D4Fu || get_u32(r.base + 4) != 1u) die_msg("not an engine region");
    r.req_q = get_u64(r.base + 8);
    r.resp_q = get_u64(r.base + 16);
    r.pool = get_u64(r.base + 24);
    return r;
}

static uint64_t *queue_index(struct region *r, uint64_t queue, uint32_t entry, int which) {
    return (uint64_t *)(r->base + queue + (uint64_t)which * entry);
}

static void write_block(struct region *r, uint64_t offset, const uint8_t *data, size_t size) {
    uint8_t *b = r->base + offset;
    memset(b, 0, BLOCK_HEADER);
    put_u32(b, 1);        /* ndim */
    put_u64(b + 8, size); /* dims[0] */
    put_u64(b + 72, size);
    memcpy(b + BLOCK_HEADER, data, size);
}

static void encode_entry(uint8_t *e, uint64_t id, uint64_t offset, size_t size) {
    memset(e, 0, REQUEST_ENTRY);
    put_u64(e, id);
    put_u64(e + 16, now_ns(CLOCK_REALTIME));
    put_u64(e + 24, offset);
    put_u64(e + 32, size + BLOCK_HEADER);
}

static void push_request(struct region *r, const uint8_t *entry) {
    uint64_t *reserve = queue_index(r, r->req_q, REQUEST_ENTRY, 0);
    uint64_t *commit = queue_index(r, r->req_q, REQUEST_ENTRY, 1);
    uint64_t *read = queue_index(r, r->req_q, REQUEST_ENTRY, 2);
    for (;;) {
        uint64_t cur = __atomic_load_n(reserve, __ATOMIC_ACQUIRE);
        uint64_t next = (cur + 1) % QUEUE_CAPACITY;
        if (next == __atomic_load_n(read, __ATOMIC_ACQUIRE)) die_msg("request queue full");
        if (!__atomic_compare_exchange_n(reserve, &cur, next, 0, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED)) continue;
        memcpy(r->base + r->req_q + 3 * REQUEST_ENTRY + cur * REQUEST_ENTRY, entry, REQUEST_ENTRY);
        uint64_t expected = cur;
        while (!__atomic_compare_exchange_n(commit, &expected, next, 0, __ATOMIC_RELEASE, __ATOMIC_RELAXED)) {
            expected = cur;
            __builtin_ia32_pause();
        }
        return;
    }
}

/* Spins until the answer for `id` arrives; returns its result offset. */
static uint64_t await_response(struct region *r, uint64_t id) {
    uint64_t *commit = queue_index(r, r->resp_q, RESPONSE_ENTRY, 1);
    uint64_t *read = queue_index(r, r->resp_q, RESPONSE_ENTRY, 2);
    uint64_t deadline = now_ns(CLOCK_MONOTONIC) + 6000000000ull;
    uint8_t entry[RESPONSE_ENTRY];
    for (uint64_t spins = 0;; ++spins) {
        uint64_t rd = __atomic_load_n(read, __ATOMIC_ACQUIRE);
        if (rd != __atomic_load_n(commit, __ATOMIC_ACQUIRE)) {
            memcpy(entry, r->base + r->resp_q + 3 * RESPONSE_ENTRY + rd * RESPONSE_ENTRY, RESPONSE_ENTRY);
            uint64_t next = (rd + 1) % QUEUE_CAPACITY;
            if (!__atomic_compare_exchange_n(read, &rd, next, 0, __ATOMIC_RELEASE, __ATOMIC_RELAXED)) continue;
            if (get_u64(entry) != id) continue; /* someone else's answer */
            if (entry[8] != 0) die_msg("engine reported an error");
            return get_u64(entry + 24);
        }
        __builtin_ia32_pause();
        if ((spins & 0xFFFF) == 0 && now_ns(CLOCK_MONOTONIC) > deadline) die_msg("no answer within 6 s");
    }
}

static const uint8_t *result_data(struct region *r, uint64_t offset, size_t *len) {
    if (offset > r->size || r->size - offset < BLOCK_HEADER) die_msg("result block outside region");
    uint64_t n = get_u64(r->base + offset + 72);
    if (n > r->size - offset - BLOCK_HEADER) die_msg("result data outside region");
    *len = (size_t)n;
    return r->base + offset + BLOCK_HEADER;
}

/* ---- measurement -------------------------------------------------------------------------- */

struct bench {
    const char *mode;
    const char *target;
    size_t size;
    long iterations, warmup;
    const uint8_t *data;
    int fd;
    struct reader reader;
    struct request_prefix prefix;
    struct region region;
    uint64_t next_id;
    uint64_t item_pause_ns;
};

/* One exchange. With `check` set, every result is compared with the request bytes while it is
 * still where it arrived (the next read may reuse that buffer). */
static void exchange(struct bench *b, int check) {
    size_t len = 0;
    const uint8_t *got;
    const char *m = b->mode;
    if (!strcmp(m, "unix") || !strcmp(m, "tcp")) {
        send_request(b->fd, &b->prefix, b->data, b->size);
        uint32_t status;
        const uint8_t *payload;
        size_t len = read_item(&b->reader, &status, &payload);
        if (status != 0) die_msg("engine answered with an error status");
        got = locate_data(payload, len, &len);
        if (check) check_echo(got, len, b->data, b->size);
        return;
    }
    if (!strcmp(m, "stream")) {
        /* A stream owns its connection from request to end frame, as in the client. */
        b->fd = b->reader.fd = connect_unix(b->target);
        b->reader.start = b->reader.end = 0;
        send_request(b->fd, &b->prefix, b->data, b->size);
        int items = 0;
        for (;;) {
            uint32_t status;
            const uint8_t *payload;
            size_t len = read_item(&b->reader, &status, &payload);
            if (len == 0 || status != STATUS_ITEM) break;
            got = locate_data(payload, len, &len);
            if (check) check_echo(got, len, b->data, b->size);
            if (b->item_pause_ns) {
                const uint64_t until = now_ns(CLOCK_MONOTONIC) + b->item_pause_ns;
                while (now_ns(CLOCK_MONOTONIC) < until) __builtin_ia32_pause();
            }
            ++items;
        }
        if (items != 8) die_msg("stream did not carry 8 items");
        close(b->fd);
        b->fd = -1;
        return;
    }
    uint64_t id = b->next_id++;
    uint64_t slot = b->region.pool;
    write_block(&b->region, slot, b->data, b->size);
    uint8_t entry[REQUEST_ENTRY];
    encode_entry(entry, id, slot, b->size);
    uint64_t result;
    if (!strcmp(m, "shm")) {
        push_request(&b->region, entry);
        result = await_response(&b->region, id);
    } else {
        uint8_t frame[12 + REQUEST_ENTRY];
        put_u32(frame, 0);
        put_u32(frame + 4, KIND_HYBRID);
        put_u32(frame + 8, REQUEST_ENTRY);
        memcpy(frame + 12, entry, REQUEST_ENTRY);
        struct iovec iov = {frame, sizeof frame};
        write_iov(b->fd, &iov, 1);
        uint32_t status;
        const uint8_t *payload;
        size_t len = read_item(&b->reader, &status, &payload);
        if (status != 0 || len < 40) die_msg("hybrid answer is an error");
        result = get_u64(payload + 24);
    }
    got = result_data(&b->region, result, &len);
    if (check) check_echo(got, len, b->data, b->size);
}

static int compare_u64(const void *a, const void *b) {
    uint64_t x = *(const uint64_t *)a, y = *(const uint64_t *)b;
    return (x > y) - (x < y);
}

static uint64_t percentile(const uint64_t *sorted, long n, double q) {
    long index = (long)(q * (double)(n - 1) + 0.5);
    return sorted[index < n ? index : n - 1];
}

int main(int argc, char **argv) {
    uint64_t item_pause_ns = 0;
    if (argc > 2 && !strcmp(argv[1], "--item-pause")) {
        item_pause_ns = strtoull(argv[2], NULL, 10);
        argv += 2;
        argc -= 2;
    }
    if (argc < 6) {
        fprintf(stderr, "usage: floor MODE SIZE ITERATIONS WARMUP TARGET... (see the top of floor.c)\n");
        return 2;
    }
    struct bench b = {0};
    b.mode = argv[1];
    b.size = strtoull(argv[2], NULL, 10);
    b.iterations = strtol(argv[3], NULL, 10);
    b.warmup = strtol(argv[4], NULL, 10);
    b.next_id = 1;
    b.item_pause_ns = item_pause_ns;
    if (b.iterations < 1 || b.warmup < 0) die_msg("ITERATIONS must be positive, WARMUP not negative");

    uint8_t *data = malloc(b.size ? b.size : 1);
    if (!data) die("malloc");
    for (size_t i = 0; i < b.size; ++i) data[i] = (uint8_t)(i * 31u + 7u);
    b.data = data;

    const char *m = b.mode;
    int socket_mode = !strcmp(m, "unix") || !strcmp(m, "tcp") || !strcmp(m, "stream");
    b.target = argv[5];
    b.fd = -1;
    if (!strcmp(m, "stream")) {
        build_prefix(&b.prefix, KIND_STREAM, b.size);
    } else if (socket_mode) {
        b.fd = !strcmp(m, "tcp") ? connect_tcp(argv[5]) : connect_unix(argv[5]);
        build_prefix(&b.prefix, KIND_INFER, b.size);
    } else if (!strcmp(m, "shm") || !strcmp(m, "hybrid")) {
        b.region = map_region(argv[5]);
        if (!strcmp(m, "hybrid")) {
            if (argc < 7) die_msg("hybrid needs SHM_NAME and SOCKET_PATH");
            b.fd = connect_unix(argv[6]);
        }
    } else {
        die_msg("unknown mode");
    }
    b.reader.fd = b.fd;
    b.reader.cap = 2 * (b.size + 4096); /* room for one whole answer plus a header */
    b.reader.buf = malloc(b.reader.cap);
    if (!b.reader.buf) die("malloc");

    exchange(&b, 1);
    for (long i = 0; i < b.warmup; ++i) exchange(&b, 0);

    uint64_t *samples = malloc(sizeof *samples * (size_t)b.iterations);
    if (!samples) die("malloc");
    uint64_t total = 0;
    for (long i = 0; i < b.iterations; ++i) {
        uint64_t t0 = now_ns(CLOCK_MONOTONIC);
        exchange(&b, 0);
        samples[i] = now_ns(CLOCK_MONOTONIC) - t0;
        total += samples[i];
    }
    qsort(samples, (size_t)b.iterations, sizeof *samples, compare_u64);
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("{\"mode\": \"%s\", \"size\": %zu, \"n\": %ld, \"min_ns\": %llu, \"median_ns\": %llu, "
           "\"p99_ns\": %llu, \"mean_ns\": %llu, \"max_ns\": %llu, \"max_rss_kib\": %ld, \"samples_ns\": [",
           m, b.size, b.iterations, (unsigned long long)samples[0],
           (unsigned long long)percentile(samples, b.iterations, 0.5),
           (unsigned long long)percentile(samples, b.iterations, 0.99),
           (unsigned long long)(total / (uint64_t)b.iterations),
           (unsigned long long)samples[b.iterations - 1], usage.ru_maxrss);
    for (long i = 0; i < b.iterations; ++i) printf(i ? ", %llu" : "%llu", (unsigned long long)samples[i]);
    printf("]}\n");
    free(samples);
    free(b.reader.buf);
    free(data);
    if (b.fd >= 0) close(b.fd);
    if (b.region.base) munmap(b.region.base, b.region.size);
    return 0;
}
