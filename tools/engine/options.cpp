#include "options.hpp"

#include <charconv>
#include <limits>

namespace zorvo::engine {

std::optional<std::uint64_t> parse_byte_count(std::string_view text) {
    std::uint64_t multiplier = 1;
    if (!text.empty()) {
        switch (text.back()) {
            case 'k': case 'K': multiplier = 1ull << 10; break;
            case 'm': case 'M': multiplier = 1ull << 20; break;
            case 'g': case 'G': multiplier = 1ull << 30; break;
            default: break;
        }
        if (multiplier != 1) text.remove_suffix(1);
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (value > std::numeric_limits<std::uint64_t>::max() / multiplier) return std::nullopt;
    return value * multiplier;
}

std::string usage_text() {
    return R"(usage: zorvo-engine [--tcp HOST:PORT]... [--unix PATH]... [--shm NAME [--pool-size BYTES]]
                    [--hybrid PATH]... [--ready-file PATH] [--max-payload BYTES]
                    [--delay-us N] [--die-with-parent]

A stand-in inference engine for tests, examples and benchmarks. It answers every request by
echoing the request tensor back, except for the scripted model ids below.

  --tcp HOST:PORT     serve the socket protocol over TCP (port 0 picks a free port)
  --unix PATH         serve the socket protocol on a Unix socket ("@name": abstract namespace)
  --shm NAME          create the shared-memory region NAME and echo its request queue
  --pool-size BYTES   tensor pool size of the region (default 256M; K/M/G suffixes)
  --hybrid PATH       serve the hybrid control protocol (kind 4) on a Unix socket; needs --shm
  --ready-file PATH   write the listener lines and "ready" to PATH once serving
  --max-payload BYTES largest request payload accepted (default 1G); larger ones are drained
                      and answered with status 1
  --delay-us N        answer each request N microseconds after it arrived (default 0), with
                      any number of requests in flight: stands in for a model's run time
  --die-with-parent   stop when the parent process exits

When ready, one line per listener is printed ("tcp 127.0.0.1:PORT", "unix PATH",
"shm NAME BYTES", "hybrid PATH"), then "ready". SIGINT/SIGTERM stop the engine, removing its
socket files and the shared-memory region.

Socket requests (kind 1 single, kind 2 stream, kind 4 hybrid; any other kind closes the
connection). Scripted model ids:
  0, 1, others  kind 1: status 0 + the request tensor echoed with `data`
                kind 2: 8 items (status 2, echo) then an end frame (status 0, length 0)
  2             kind 1: status 7, text "scripted failure of model 2"
                kind 2: 4 items, an error frame (status 1, "scripted stream failure of model 2"),
                        4 items, end frame
  3             kind 1: echo with `data_base64` instead of `data`
                kind 2: 8 base64 items, then an end frame with status 3 and payload "done"
  4             kind 1: status 0 with a payload that carries neither `data` nor `data_base64`
                kind 2: 1 such undecodable item, then an end frame
  5             kind 1 and 2: close the connection without answering
A request payload that does not decode is answered with status 1 and "request does not decode: "
followed by the decoder's text (kind 2: that error frame, then an end frame).
Kind 4 (hybrid control, 40-byte payload) is echoed by naming the request's own tensor block as
the result; a block outside the tensor pool or malformed is answered with status 1 and a text.
)";
}

namespace {

// An hour: longer than any test or benchmark waits, and far from overflowing a clock's range.
constexpr std::uint64_t kMaxDelayMicros = 3'600'000'000ull;

struct Cursor {
    std::span<const std::string_view> args;
    std::size_t index = 0;

    bool done() const { return index >= args.size(); }
    std::string_view next() { return args[index++]; }
};

}  // namespace

Result<EngineOptions, std::string> parse_options(std::span<const std::string_view> args) {
    EngineOptions options;
    Cursor cursor{args};
    bool pool_size_given = false;
    while (!cursor.done()) {
        const std::string_view flag = cursor.next();
        if (flag == "--help" || flag == "-h") {
            options.show_help = true;
            return options;
        }
        if (flag == "--die-with-parent") {
            options.die_with_parent = true;
            continue;
        }
        const bool takes_value = flag == "--tcp" || flag == "--unix" || flag == "--shm" ||
                                 flag == "--pool-size" || flag == "--hybrid" ||
                                 flag == "--ready-file" || flag == "--max-payload" || flag == "--delay-us";
        if (!takes_value) return fail("unknown option '" + std::string(flag) + "'");
        if (cursor.done()) return fail("option " + std::string(flag) + " needs a value");
        const std::string_view value = cursor.next();
        if (value.empty()) return fail("option " + std::string(flag) + " needs a non-empty value");

        if (flag == "--tcp") {
            options.tcp_addresses.emplace_back(value);
        } else if (flag == "--unix") {
            options.unix_paths.emplace_back(value);
        } else if (flag == "--hybrid") {
            options.hybrid_paths.emplace_back(value);
        } else if (flag == "--shm") {
            if (options.shm_name) return fail(std::string("option --shm may be given once"));
            options.shm_name = std::string(value);
        } else if (flag == "--ready-file") {
            options.ready_file = std::string(value);
        } else if (flag == "--delay-us") {
            std::uint64_t micros = 0;
            const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), micros);
            if (error != std::errc() || end != value.data() + value.size() || micros > kMaxDelayMicros)
                return fail("option --delay-us needs a number of microseconds from 0 to " +
                            std::to_string(kMaxDelayMicros) + ", got '" + std::string(value) + "'");
            options.delay = std::chrono::microseconds(micros);
        } else {
            const auto count = parse_byte_count(value);
            if (!count || *count == 0)
                return fail("option " + std::string(flag) + " needs a positive byte count, got '" +
                            std::string(value) + "'");
            if (flag == "--pool-size") {
                options.pool_size = *count;
                pool_size_given = true;
            } else {
                options.max_payload = *count;
            }
        }
    }
    if (!options.hybrid_paths.empty() && !options.shm_name)
        return fail(std::string("--hybrid needs --shm: the tensors live in the region"));
    if (options.tcp_addresses.empty() && options.unix_paths.empty() && !options.shm_name)
        return fail(std::string("nothing to serve: give --tcp, --unix or --shm"));
    if (pool_size_given && !options.shm_name)
        return fail(std::string("--pool-size needs --shm"));
    return options;
}

}  // namespace zorvo::engine
