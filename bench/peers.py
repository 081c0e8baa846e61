"""Calls per second of 1 and 2 client processes sharing one engine region.

Each client process calls `infer` with 16 bytes for a fixed time and counts its calls; the row is
the sum over the processes. The engine is pinned to one processor like the latency benchmark; the
client processes are not pinned, so on a 2-processor machine 2 clients and the engine's polling
thread share 2 processors and the total cannot double.

    python3 bench/peers.py --engine build/bench/zorvo-engine --module-dir build/bench
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import sys
import time
from pathlib import Path

from engine_process import EngineProcess

PAYLOAD = bytes(range(16))


def count_calls(module_dir: str, kind: str, shm: str, hybrid: str, seconds: float, start, report) -> None:
    sys.path.insert(0, module_dir)
    import zorvo_sdk

    client = zorvo_sdk.ZorvoShmClient(shm) if kind == "shm" else zorvo_sdk.ZorvoHybridClient(shm, hybrid)
    for _ in range(200):
        client.infer([16], "uint8", PAYLOAD)
    start.wait()
    calls = 0
    deadline = time.perf_counter() + seconds
    while time.perf_counter() < deadline:
        for _ in range(100):
            client.infer([16], "uint8", PAYLOAD)
        calls += 100
    report.put(calls)


def calls_per_second(module_dir: str, kind: str, endpoints: dict, processes: int, seconds: float) -> float:
    context = multiprocessing.get_context("spawn")
    start = context.Barrier(processes + 1)
    report = context.Queue()
    workers = [context.Process(target=count_calls, args=(module_dir, kind, endpoints["shm"], endpoints["hybrid"],
                                                         seconds, start, report)) for _ in range(processes)]
    for worker in workers:
        worker.start()
    start.wait(timeout=60)
    total = sum(report.get(timeout=seconds + 60) for _ in workers)
    for worker in workers:
        worker.join(10)
    return total / seconds


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--engine", type=Path, required=True)
    parser.add_argument("--module-dir", type=Path, required=True)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--engine-cpu", type=int, default=0)
    args = parser.parse_args(argv)

    rows = []
    with EngineProcess(args.engine, args.engine_cpu) as engine:
        endpoints = engine.endpoints()
        for kind in ("shm", "hybrid"):
            for processes in (1, 2):
                rate = calls_per_second(str(args.module_dir.resolve()), kind, endpoints, processes, args.seconds)
                rows.append({"transport": kind, "processes": processes, "calls_per_second": rate})
    print("| transport | client processes | calls/s (all processes) |")
    print("|---|---|---|")
    for row in rows:
        print(f"| {row['transport']} | {row['processes']} | {row['calls_per_second']:,.0f} |")
    print(json.dumps({"rows": rows, "cpus": os.cpu_count()}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
