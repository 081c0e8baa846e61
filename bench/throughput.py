"""Calls per second of many callers sharing one client, in a process of its own.

Every caller sends 16 bytes naming itself and its call, so an answer meant for another caller is
seen; it counts its calls, the wrong answers and the failed calls until the time is up. Against an
engine started with --delay-us, the total shows how many calls really wait side by side.

    python3 throughput.py --client zorvo|sdk|aio|asyncio --transport unix|tcp|shm|hybrid
                          --callers 64 --seconds 3 --endpoints JSON

`zorvo` and `sdk` share one client object between that many threads; `aio` shares one zorvo.aio
client between that many tasks; `asyncio` is the hand-written client of the socket protocol
(pure_clients.py), one task and one connection per caller. For the two asyncio kinds, a task that
asks to wake every millisecond measures how late the event loop lets it wake (`worst_lag_ms`).
"""

from __future__ import annotations

import argparse
import asyncio
import json
import struct
import sys
import threading
import time

from pure_clients import asyncio_throughput

SIZE = 16


def payload(caller: int, call: int) -> bytes:
    return struct.pack("<IIQ", caller, 0x7A6F7276, call)


def make_client(module, transport: str, endpoints: dict):
    if transport in ("unix", "tcp"):
        return module.ZorvoClient(endpoints[transport])
    if transport == "shm":
        return module.ZorvoShmClient(endpoints["shm"])
    return module.ZorvoHybridClient(endpoints["shm"], endpoints["hybrid"])


async def lag_monitor(stop: asyncio.Event, period: float = 0.001) -> float:
    """The worst lateness, in seconds, of a wake-up asked for every `period` until `stop` is set."""
    loop = asyncio.get_running_loop()
    worst = 0.0
    while not stop.is_set():
        asked = loop.time() + period
        await asyncio.sleep(period)
        worst = max(worst, loop.time() - asked)
    return worst


async def with_lag(work, idle_seconds: float = 1.0) -> dict:
    """`work`'s result with the event loop's worst lag while it ran, and, for comparison, the worst
    lag of the same loop with nothing to do for `idle_seconds` first (what the machine itself adds)."""
    stop = asyncio.Event()
    idle = asyncio.create_task(lag_monitor(stop))
    await asyncio.sleep(idle_seconds)
    stop.set()
    idle_lag = await idle
    stop = asyncio.Event()
    monitor = asyncio.create_task(lag_monitor(stop))
    try:
        result = await work
    finally:
        stop.set()
    return {**result, "worst_lag_ms": await monitor * 1e3, "idle_lag_ms": idle_lag * 1e3}


async def aio_throughput(transport: str, endpoints: dict, callers: int, seconds: float) -> dict:
    """`callers` tasks sharing one zorvo.aio client until `seconds` have passed."""
    import zorvo.aio

    client = make_client(zorvo.aio, transport, endpoints)
    socket = transport in ("unix", "tcp")

    async def call(data: bytes):
        if socket:
            return await client.infer(1, [SIZE], "uint8", data)
        return await client.infer([SIZE], "uint8", data)

    await call(payload(0, 0))  # connects before the clock starts
    loop = asyncio.get_running_loop()
    errors: list[str] = []

    async def caller(index: int, deadline: float) -> list[int]:
        tally = [0, 0, 0]  # calls, wrong, failed
        while loop.time() < deadline:
            data = payload(index, tally[0])
            try:
                if bytes(await call(data)) != data:
                    tally[1] += 1
            except Exception as error:  # noqa: BLE001 - every failure is counted, the first shown
                tally[2] += 1
                if not errors:
                    errors.append(f"{type(error).__name__}: {error}")
            tally[0] += 1
        return tally

    began = loop.time()
    tallies = await asyncio.gather(*(caller(i, began + seconds) for i in range(callers)))
    elapsed = loop.time() - began
    await client.close()
    calls, wrong, failed = (sum(t[i] for t in tallies) for i in range(3))
    return {"calls": calls, "wrong": wrong, "failed": failed, "elapsed_s": elapsed,
            "calls_per_s": calls / elapsed, "first_error": errors[0] if errors else None}


def make_call(client_kind: str, transport: str, endpoints: dict):
    module = __import__("zorvo" if client_kind == "zorvo" else "zorvo_sdk")
    if transport in ("unix", "tcp"):
        client = module.ZorvoClient(endpoints[transport])
        return lambda data: client.infer(1, [SIZE], "uint8", data)
    if transport == "shm":
        client = module.ZorvoShmClient(endpoints["shm"])
    else:
        client = module.ZorvoHybridClient(endpoints["shm"], endpoints["hybrid"])
    return lambda data: client.infer([SIZE], "uint8", data)


def threaded_throughput(call, callers: int, seconds: float) -> dict:
    """`callers` threads calling `call` until `seconds` have passed since they all started."""
    counts = [[0, 0, 0] for _ in range(callers)]  # calls, wrong, failed
    errors: list[str] = []
    start = threading.Barrier(callers + 1)
    deadline = 0.0

    def caller(index: int) -> None:
        tally = counts[index]
        start.wait()
        while time.perf_counter() < deadline:
            data = payload(index, tally[0])
            try:
                answer = call(data)
                if bytes(answer) != data:
                    tally[1] += 1
            except Exception as error:  # noqa: BLE001 - every failure is counted, the first shown
                tally[2] += 1
                if not errors:
                    errors.append(f"{type(error).__name__}: {error}")
            tally[0] += 1

    threads = [threading.Thread(target=caller, args=(i,)) for i in range(callers)]
    for thread in threads:
        thread.start()
    began = time.perf_counter()
    deadline = began + seconds
    start.wait()
    for thread in threads:
        thread.join()
    elapsed = time.perf_counter() - began
    calls, wrong, failed = (sum(c[i] for c in counts) for i in range(3))
    return {"calls": calls, "wrong": wrong, "failed": failed, "elapsed_s": elapsed,
            "calls_per_s": calls / elapsed, "first_error": errors[0] if errors else None}


def run(args: argparse.Namespace) -> dict:
    endpoints = json.loads(args.endpoints)
    if args.client == "asyncio":
        if args.transport not in ("unix", "tcp"):
            raise SystemExit("the asyncio client speaks the socket protocol only")
        result = asyncio.run(with_lag(asyncio_throughput(endpoints[args.transport], args.callers, args.seconds,
                                                         payload)))
    elif args.client == "aio":
        result = asyncio.run(with_lag(aio_throughput(args.transport, endpoints, args.callers, args.seconds)))
    else:
        call = make_call(args.client, args.transport, endpoints)
        call(payload(0, 0))  # connects and attaches before the clock starts
        result = threaded_throughput(call, args.callers, args.seconds)
    return {"client": args.client, "transport": args.transport, "callers": args.callers, **result}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--client", choices=("zorvo", "sdk", "aio", "asyncio"), required=True)
    parser.add_argument("--transport", choices=("unix", "tcp", "shm", "hybrid"), required=True)
    parser.add_argument("--callers", type=int, default=64)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--endpoints", required=True)
    args = parser.parse_args(argv)
    print(json.dumps(run(args)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
