"""One measurement in a process of its own: a client, a transport, a payload size.

Prints one JSON object: the latency summary of the timed calls and the process's resident memory
before the first call and at its peak. Running each measurement in its own process keeps the
peak-memory figure its own and lets the driver pin it to a processor.

    python3 measure.py --client sdk|zorvo|tensor|aio|pure|convert|copy
                       --transport unix|tcp|stream|shm|hybrid
                       --size BYTES --iterations N --warmup N --endpoints JSON [--input KIND]

`zorvo` is the zorvo module's infer (a list), `tensor` its infer_tensor, `aio` zorvo.aio's
`await infer` (one call in flight, timed inside the running event loop); `copy` is one copy of the
result's bytes into a new buffer, the least a tensor taken from shared memory costs beyond the floor.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import sys
import time
from typing import Callable

from pure_clients import PureHybridClient, PureShmClient, PureSocketClient
from stats import summarize

MODEL_ID = 1
DTYPE = "uint8"
STREAM_ITEMS = 8
INPUT_KINDS = ("bytes", "bytearray", "memoryview", "numpy", "list")


def pattern(size: int) -> bytes:
    """The tensor bytes every client sends (the same as floor.c)."""
    return bytes((i * 31 + 7) & 0xFF for i in range(size))


def as_input(data: bytes, kind: str):
    if kind == "bytes":
        return data
    if kind == "bytearray":
        return bytearray(data)
    if kind == "memoryview":
        return memoryview(data)
    if kind == "numpy":
        import numpy
        return numpy.frombuffer(data, dtype=numpy.uint8).copy()
    if kind == "list":
        return list(data)
    raise ValueError(f"unknown input kind {kind!r}")


def drain_stream(stream) -> list:
    """Reads a stream the way a caller does: one item alive at a time. Returns the last item."""
    count = 0
    item = None
    for item in stream:
        count += 1
    if count != STREAM_ITEMS:
        raise RuntimeError(f"stream carried {count} items, not {STREAM_ITEMS}")
    return item


def sdk_call(transport: str, endpoints: dict, shape, data) -> Callable[[], list]:
    import zorvo_sdk

    if transport in ("unix", "tcp", "stream"):
        client = zorvo_sdk.ZorvoClient(endpoints["tcp" if transport == "tcp" else "unix"])
        if transport == "stream":
            return lambda: drain_stream(client.infer_stream(MODEL_ID, shape, DTYPE, data))
        return lambda: client.infer(MODEL_ID, shape, DTYPE, data)
    if transport == "shm":
        client = zorvo_sdk.ZorvoShmClient(endpoints["shm"])
    else:
        client = zorvo_sdk.ZorvoHybridClient(endpoints["shm"], endpoints["hybrid"])
    return lambda: client.infer(shape, DTYPE, data)


def zorvo_call(transport: str, endpoints: dict, shape, data, tensor: bool) -> Callable[[], object]:
    import zorvo

    if transport in ("unix", "tcp"):
        client = zorvo.ZorvoClient(endpoints[transport])
        infer = client.infer_tensor if tensor else client.infer
        return lambda: infer(MODEL_ID, shape, DTYPE, data)
    if transport == "shm":
        client = zorvo.ZorvoShmClient(endpoints["shm"])
    elif transport == "hybrid":
        client = zorvo.ZorvoHybridClient(endpoints["shm"], endpoints["hybrid"])
    else:
        raise ValueError(f"no zorvo measurement for {transport}")
    infer = client.infer_tensor if tensor else client.infer
    return lambda: infer(shape, DTYPE, data)


def aio_samples(transport: str, endpoints: dict, shape, data, iterations: int, warmup: int) -> tuple[list, list[int]]:
    """The first answer and the timings of `await client.infer(...)`, one call at a time."""
    import zorvo.aio

    async def main() -> tuple[list, list[int]]:
        if transport in ("unix", "tcp"):
            client = zorvo.aio.ZorvoClient(endpoints[transport])
            call = lambda: client.infer(MODEL_ID, shape, DTYPE, data)  # noqa: E731
        elif transport == "shm":
            client = zorvo.aio.ZorvoShmClient(endpoints["shm"])
            call = lambda: client.infer(shape, DTYPE, data)  # noqa: E731
        else:
            client = zorvo.aio.ZorvoHybridClient(endpoints["shm"], endpoints["hybrid"])
            call = lambda: client.infer(shape, DTYPE, data)  # noqa: E731
        first = await call()
        for _ in range(warmup):
            await call()
        samples = []
        clock = time.perf_counter_ns
        for _ in range(iterations):
            t0 = clock()
            result = await call()
            samples.append(clock() - t0)
            del result
        return first, samples

    return asyncio.run(main())


def pure_call(transport: str, endpoints: dict, shape, data) -> Callable[[], list]:
    if transport in ("unix", "tcp", "stream"):
        client = PureSocketClient(endpoints["tcp" if transport == "tcp" else "unix"])
        if transport == "stream":
            return lambda: drain_stream(client.infer_stream(MODEL_ID, shape, DTYPE, data))
        return lambda: client.infer(MODEL_ID, shape, DTYPE, data)
    if transport == "shm":
        client = PureShmClient(endpoints["shm"])
    else:
        client = PureHybridClient(endpoints["shm"], endpoints["hybrid"])
    return lambda: client.infer(shape, DTYPE, data)


def memory_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def reset_peak_rss() -> int:
    """Starts the peak (VmHWM) afresh from the current resident size, which it returns."""
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")
    return memory_kib("VmRSS")


def time_calls(call: Callable[[], list], iterations: int, warmup: int) -> list[int]:
    for _ in range(warmup):
        call()
    samples = []
    clock = time.perf_counter_ns
    for _ in range(iterations):
        t0 = clock()
        result = call()
        samples.append(clock() - t0)
        del result  # freeing the list is the caller's business, not the call's
    return samples


def run(args: argparse.Namespace) -> dict:
    endpoints = json.loads(args.endpoints)
    raw = pattern(args.size)
    data = as_input(raw, args.input)
    shape = [args.size]
    per_call_items = 1
    if args.client == "convert" and args.transport == "stream":
        # A stream's caller holds one item at a time: converting the items of one stream builds
        # every list and frees all but the last, as the client's and the pure client's stream
        # timings do. Reported per item.
        per_call_items = STREAM_ITEMS

        def call() -> list:
            item = None
            for _ in range(STREAM_ITEMS):
                item = list(raw)
            return item
    elif args.client == "convert":
        call = lambda: list(raw)  # noqa: E731 - the conversion floor is the bare builtin
    elif args.client == "copy":
        call = lambda: bytearray(raw)  # noqa: E731 - one allocation and one copy, nothing else
    elif args.client == "sdk":
        call = sdk_call(args.transport, endpoints, shape, data)
    elif args.client in ("zorvo", "tensor"):
        call = zorvo_call(args.transport, endpoints, shape, data, tensor=args.client == "tensor")
    elif args.client != "aio":
        call = pure_call(args.transport, endpoints, shape, data)

    rss_before = reset_peak_rss()
    if args.client == "aio":
        first, samples = aio_samples(args.transport, endpoints, shape, data, args.iterations, args.warmup)
    else:
        first = call()
    if bytes(first) != raw:
        raise RuntimeError(f"{args.client}/{args.transport}: the answer does not echo the request")
    list_bytes = sys.getsizeof(first)
    del first
    if args.client != "aio":
        rss_before = reset_peak_rss()
        samples = time_calls(call, args.iterations, args.warmup)
    samples = [sample // per_call_items for sample in samples]
    return {
        "client": args.client,
        "transport": args.transport,
        "size": args.size,
        "input": args.input,
        **summarize(samples),
        "samples_ns": sorted(samples),
        "rss_before_kib": rss_before,
        "peak_rss_kib": memory_kib("VmHWM"),
        "result_list_bytes": list_bytes,
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--client", choices=("sdk", "zorvo", "tensor", "aio", "pure", "convert", "copy"), required=True)
    parser.add_argument("--transport", choices=("unix", "tcp", "stream", "shm", "hybrid"), default="unix")
    parser.add_argument("--size", type=int, required=True)
    parser.add_argument("--iterations", type=int, required=True)
    parser.add_argument("--warmup", type=int, default=0)
    parser.add_argument("--endpoints", default="{}")
    parser.add_argument("--input", choices=INPUT_KINDS, default="bytes")
    args = parser.parse_args(argv)
    print(json.dumps(run(args)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
