"""Runs every client against the machine's floor and prints the comparison.

For each transport (Unix socket, TCP, a stream of 8 items, shared memory, hybrid) and each payload
size it measures, one after another against the same reference engine:
  - the zorvo_sdk client,
  - the C floor (floor.c) doing the same exchange,
  - the conversion floor, the interpreter's list(bytes) of the same size,
  - a hand-written pure-Python client of the same protocol (pure_clients.py).
Then the zorvo module beside them, at 16 B and 1 MiB on the four request transports: its infer
and infer_tensor, zorvo_sdk's infer, the C floor and one copy of the result's bytes. Last, calls
per second of 64 threads sharing one client against an engine whose answers take 2 ms
(--delay-us 2000), for zorvo, zorvo_sdk and zorvo.aio on every transport, and a pure-Python
asyncio client of the socket protocol with 64 tasks on 64 connections, in interleaved rounds.
The engine runs on one processor and every client on another, so that every client pays the same
cross-core wake-ups. Results go to results/ as JSON and to a plot.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import subprocess
import sys
from pathlib import Path

from engine_process import EngineProcess
from stats import format_ns, format_size, ratio, summarize
from targets import check_module_targets, check_targets, check_throughput_targets

BENCH_DIR = Path(__file__).resolve().parent
TRANSPORTS = ("unix", "tcp", "stream", "shm", "hybrid")
SIZES = (16, 4096, 1 << 20)
STREAM_ITEMS = 8
INPUT_KINDS = ("bytes", "bytearray", "memoryview", "numpy", "list")
INPUT_CHECK_TRANSPORTS = ("unix", "shm", "hybrid")
MEASURE_TIMEOUT_S = 300
ROW_KINDS = ("floor", "convert", "paced_floor", "sdk", "pure")
MODULE_TRANSPORTS = ("unix", "tcp", "shm", "hybrid")
MODULE_SIZES = (16, 1 << 20)
MODULE_KINDS = ("floor", "copy", "sdk", "zorvo", "tensor", "aio")
# Transports whose tensor is copied out of the region: their floor reads the result in place.
COPYING_TRANSPORTS = ("shm", "hybrid")
THREAD_DELAY_US = 2000
THREAD_POOL_BYTES = 2 << 30
THREAD_CALLERS = 64
THREAD_CLIENTS = ("zorvo", "sdk", "aio", "asyncio")


def call_counts(transport: str, size: int, scale: float) -> tuple[int, int]:
    """Timed calls and warm-up calls, fewer for large payloads so the whole run stays short."""
    base = {16: 4000, 4096: 2500}.get(size, 150)
    if transport == "stream":
        base //= 4
    iterations = max(int(base * scale), 10)
    return iterations, max(iterations // 10, 3)


class Runner:
    def __init__(self, args: argparse.Namespace, endpoints: dict):
        self.args = args
        self.endpoints = endpoints
        self.env = dict(os.environ)
        self.env["PYTHONPATH"] = os.pathsep.join(
            p for p in (str(args.module_dir), str(BENCH_DIR), os.environ.get("PYTHONPATH", "")) if p)

    def _pinned(self, command: list[str]) -> list[str]:
        if self.args.client_cpu is None:
            return command
        return ["taskset", "-c", str(self.args.client_cpu)] + command

    def _run_json(self, command: list[str]) -> dict:
        try:
            done = subprocess.run(self._pinned(command), capture_output=True, text=True,
                                  env=self.env, timeout=MEASURE_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            return {"error": f"timed out after {MEASURE_TIMEOUT_S} s"}
        if done.returncode != 0:
            lines = (done.stderr or done.stdout).strip().splitlines()
            return {"error": lines[-1] if lines else f"exit status {done.returncode}"}
        return json.loads(done.stdout.strip().splitlines()[-1])

    def floor(self, transport: str, size: int, iterations: int, warmup: int, item_pause_ns: int = 0) -> dict:
        e = self.endpoints
        targets = {
            "unix": [e["unix_path"]],
            "tcp": [e["tcp_address"]],
            "stream": [e["unix_path"]],
            "shm": [e["shm"]],
            "hybrid": [e["shm"], e["hybrid"]],
        }[transport]
        pause = ["--item-pause", str(int(item_pause_ns))] if item_pause_ns else []
        return self._run_json([str(self.args.floor)] + pause + [transport, str(size), str(iterations), str(warmup)] + targets)

    def throughput(self, client: str, transport: str, callers: int, seconds: float, endpoints: dict) -> dict:
        return self._run_json([sys.executable, str(BENCH_DIR / "throughput.py"), "--client", client,
                               "--transport", transport, "--callers", str(callers), "--seconds", str(seconds),
                               "--endpoints", json.dumps(endpoints)])

    def python(self, client: str, transport: str, size: int, iterations: int, warmup: int,
               input_kind: str = "bytes") -> dict:
        return self._run_json([sys.executable, str(BENCH_DIR / "measure.py"), "--client", client,
                               "--transport", transport, "--size", str(size),
                               "--iterations", str(iterations), "--warmup", str(warmup),
                               "--endpoints", json.dumps(self.endpoints), "--input", input_kind])


def merge_rounds(results: list[dict]) -> dict:
    """One result from the rounds of a measurement: all samples pooled, the worst peak memory."""
    failed = [r for r in results if "error" in r]
    if failed or not results:
        return failed[0] if failed else {"error": "not measured"}
    merged = {k: v for k, v in results[0].items() if k != "samples_ns"}
    merged.update(summarize([s for r in results for s in r["samples_ns"]]))
    merged["rounds"] = len(results)
    if "peak_rss_kib" in merged:
        worst = max(results, key=lambda r: r["peak_rss_kib"] - r["rss_before_kib"])
        merged["peak_rss_kib"], merged["rss_before_kib"] = worst["peak_rss_kib"], worst["rss_before_kib"]
    return merged


def measure_row(runner: Runner, transport: str, size: int, scale: float, rounds: int) -> dict:
    """Floor, conversion, client and pure Python, interleaved in rounds so that load drift on a
    shared machine falls on all of them alike."""
    iterations, warmup = call_counts(transport, size, scale)
    per_round = max(iterations // rounds, 5)
    collected: dict[str, list[dict]] = {kind: [] for kind in ROW_KINDS}
    for _ in range(rounds):
        for kind in ROW_KINDS:
            if collected[kind] and "error" in collected[kind][-1]:
                continue
            if kind == "paced_floor":
                if transport != "stream":
                    continue
                pace = median(collected["convert"][-1]) if collected["convert"] else None
                result = runner.floor(transport, size, per_round, warmup, pace) if pace else {"error": "no conversion time"}
            elif kind == "floor":
                result = runner.floor(transport, size, per_round, warmup)
            else:
                result = runner.python(kind, transport, size, per_round, warmup)
            collected[kind].append(result)
    paced = transport == "stream"
    kinds = ("sdk", "floor", "pure", "convert") + (("paced_floor",) if paced else ())
    merged = {kind: merge_rounds(collected[kind]) for kind in kinds}
    row = build_row(transport, size, *(merged[k] for k in kinds))
    # Ratios within a round compare runs made seconds apart; their median resists load that
    # changes from one round to the next better than a ratio of pooled medians.
    per_round = [build_row(transport, size, *(collected[k][i] for k in kinds))
                 for i in range(min(len(collected[k]) for k in kinds))]
    for key in ("sdk_over_floor", "sdk_over_pure"):
        values = sorted(r[key] for r in per_round if r[key] is not None)
        row[key + "_pooled"] = row[key]
        row[key] = values[len(values) // 2] if values and len(values) == len(per_round) else row[key]
    return row


def measure_module_row(runner: Runner, transport: str, size: int, scale: float, rounds: int) -> dict:
    """The zorvo module's infer and infer_tensor beside zorvo_sdk's infer, the C floor and one copy
    of the result, interleaved in rounds like measure_row; ratios are medians of per-round ratios."""
    iterations, warmup = call_counts(transport, size, scale)
    per_round = max(iterations // rounds, 5)
    collected: dict[str, list[dict]] = {kind: [] for kind in MODULE_KINDS}
    for _ in range(rounds):
        for kind in MODULE_KINDS:
            if collected[kind] and "error" in collected[kind][-1]:
                continue
            if kind == "floor":
                result = runner.floor(transport, size, per_round, warmup)
            else:
                result = runner.python(kind, transport, size, per_round, warmup)
            collected[kind].append(result)
    row = build_module_row(transport, size, *(merge_rounds(collected[k]) for k in MODULE_KINDS))
    complete = min(len(results) for results in collected.values())
    per_round_rows = [build_module_row(transport, size, *(collected[k][i] for k in MODULE_KINDS))
                      for i in range(complete)]
    for key in MODULE_RATIOS:
        values = sorted(r[key] for r in per_round_rows if r[key] is not None)
        row[key + "_pooled"] = row[key]
        row[key] = values[len(values) // 2] if values and len(values) == len(per_round_rows) else row[key]
    return row


MODULE_RATIOS = ("tensor_over_floor", "tensor_over_sdk", "zorvo_over_sdk")


def build_module_row(transport: str, size: int, floor: dict, copy: dict, sdk: dict, zorvo: dict,
                     tensor: dict, aio: dict | None = None) -> dict:
    """One row of the module table. The tensor's floor is the C floor, plus one copy of the
    result on the transports whose tensor is copied out of the region."""
    floor_ns = median(floor)
    if floor_ns is not None and transport in COPYING_TRANSPORTS:
        floor_ns = None if median(copy) is None else floor_ns + median(copy)
    return {
        "transport": transport, "size": size,
        "floor": floor, "copy": copy, "sdk": sdk, "zorvo": zorvo, "tensor": tensor, "aio": aio,
        "tensor_floor_ns": floor_ns,
        "tensor_over_floor": ratio(median(tensor), floor_ns),
        "tensor_over_sdk": ratio(median(tensor), median(sdk)),
        "zorvo_over_sdk": ratio(median(zorvo), median(sdk)),
        "aio_minus_zorvo_ns": None if median(aio) is None or median(zorvo) is None else median(aio) - median(zorvo),
    }


def print_module_table(rows: list[dict]) -> None:
    header = ("transport", "size", "C floor", "copy", "tensor floor", "zorvo_sdk", "zorvo infer",
              "infer_tensor", "await infer", "tensor/floor", "tensor/sdk", "zorvo/sdk", "await - infer")
    lines = [header]
    for row in rows:
        lines.append((
            row["transport"], format_size(row["size"]), _cell(row["floor"]), _cell(row["copy"]),
            format_ns(row["tensor_floor_ns"]), _cell(row["sdk"]), _cell(row["zorvo"]), _cell(row["tensor"]),
            _cell(row["aio"]), _ratio(row["tensor_over_floor"]), _ratio(row["tensor_over_sdk"]),
            _ratio(row["zorvo_over_sdk"]), format_ns(row["aio_minus_zorvo_ns"]),
        ))
    print("\nThe zorvo module: median latency per call. The tensor floor is the C floor, plus one copy")
    print("of the result into a new buffer on shm and hybrid (a tensor cannot point into the region).")
    print("await infer: zorvo.aio's infer, one call in flight, timed inside the running event loop.")
    _print_lines(lines)


def merge_throughput_rounds(results: list[dict]) -> dict:
    """One row from the interleaved rounds of a calls-per-second run: the median round's rate, the
    calls, wrong and failed calls of all rounds, and the event loop's worst lag in any of them."""
    failed = [r for r in results if "error" in r]
    if failed:
        return failed[0]
    merged = dict(sorted(results, key=lambda r: r["calls_per_s"])[len(results) // 2])
    for key in ("calls", "wrong", "failed"):
        merged[key] = sum(r[key] for r in results)
    for key in ("worst_lag_ms", "idle_lag_ms"):
        if key in merged:
            merged[key] = max(r[key] for r in results)
    merged["first_error"] = next((r["first_error"] for r in results if r["first_error"]), None)
    merged["rounds_calls_per_s"] = [r["calls_per_s"] for r in results]
    return merged


def measure_throughput(runner: Runner, engine_binary: Path, engine_cpu: int | None, transports: list[str],
                       callers: int, seconds: float, rounds: int) -> list[dict]:
    """Calls per second of `callers` threads (or asyncio tasks) sharing one client, against an
    engine that answers every request THREAD_DELAY_US after it arrived, in interleaved rounds: the
    machine's slow spells fall on every client alike."""
    kinds = [(transport, client) for transport in transports for client in THREAD_CLIENTS
             if client != "asyncio" or transport in ("unix", "tcp")]
    results: dict[tuple[str, str], list[dict]] = {kind: [] for kind in kinds}
    # A pool with a slot for every caller: the default 256 MiB pool has 16, and a call of a
    # shared-memory or hybrid client holds one for the whole 2 ms.
    engine_args = ("--delay-us", str(THREAD_DELAY_US), "--pool-size", str(THREAD_POOL_BYTES))
    with EngineProcess(engine_binary, engine_cpu, engine_args) as engine:
        endpoints = engine.endpoints()
        for round_number in range(rounds):
            for transport, client in kinds:
                result = runner.throughput(client, transport, callers, seconds, endpoints)
                results[(transport, client)].append(result)
                print(f"  measured {callers} callers, {client} {transport} (round {round_number + 1}): "
                      f"{_rate(result)}", file=sys.stderr, flush=True)
    return [{"transport": transport, "client": client, "callers": callers,
             "ideal_per_s": callers * 1e6 / THREAD_DELAY_US, **merge_throughput_rounds(results[(transport, client)])}
            for transport, client in kinds]


def print_throughput_table(rows: list[dict]) -> None:
    if not rows:
        return
    header = ("transport", "client", "calls/s", "of ideal", "calls", "wrong", "failed", "worst loop lag",
              "idle loop lag", "first error")
    lines = [header]
    for row in rows:
        failed = "error" in row
        lines.append((
            row["transport"], row["client"], _rate(row),
            "-" if failed else f"{row['calls_per_s'] / row['ideal_per_s']:.0%}",
            "-" if failed else str(row["calls"]), "-" if failed else str(row["wrong"]),
            "-" if failed else str(row["failed"]),
            f"{row['worst_lag_ms']:.1f} ms" if "worst_lag_ms" in row else "-",
            f"{row['idle_lag_ms']:.1f} ms" if "idle_lag_ms" in row else "-",
            row.get("error") or row.get("first_error") or "",
        ))
    ideal = rows[0]["ideal_per_s"]
    print(f"\n{rows[0]['callers']} callers sharing one client, engine answering after {THREAD_DELAY_US} us "
          f"(ideal {ideal:,.0f} calls/s); aio: {rows[0]['callers']} tasks sharing one zorvo.aio client; asyncio: "
          f"{rows[0]['callers']} tasks on as many connections. The median of interleaved rounds; calls over all "
          f"of them. Loop lag: how late a 1 ms sleep woke at worst in any round, while the calls ran and, "
          f"before them, with nothing to do.")
    _print_lines(lines)


def _rate(result: dict) -> str:
    return "error" if "error" in result else f"{result['calls_per_s']:,.0f}"


def _print_lines(lines: list[tuple]) -> None:
    widths = [max(len(line[i]) for line in lines) for i in range(len(lines[0]))]
    for n, line in enumerate(lines):
        print("  ".join(cell.rjust(w) if i > 1 else cell.ljust(w) for i, (cell, w) in enumerate(zip(line, widths))))
        if n == 0:
            print("  ".join("-" * w for w in widths))


def median(result: dict | None) -> float | None:
    return None if not result or "error" in result else result["median_ns"]


def build_row(transport: str, size: int, sdk: dict, floor: dict, pure: dict, convert: dict,
              paced_floor: dict | None = None) -> dict:
    """One table row. A stream's floor is the paced floor when there is one: the C floor that
    spends one conversion's time on each item, as a client does, before reading the next."""
    items = STREAM_ITEMS if transport == "stream" else 1
    conversion = median(convert) * items if median(convert) is not None else None
    floors = None if median(floor) is None or conversion is None else median(floor) + conversion
    summed = floors
    if paced_floor is not None:
        floors = median(paced_floor)
    return {
        "transport": transport, "size": size,
        "sdk": sdk, "floor": floor, "pure": pure, "convert": convert,
        "paced_floor": paced_floor,
        "conversion_ns": conversion,
        "floor_plus_conversion_ns": floors,
        "floor_plus_separate_conversion_ns": summed,
        "sdk_over_floor": ratio(median(sdk), floors),
        "sdk_over_pure": ratio(median(sdk), median(pure)),
    }


def print_table(rows: list[dict]) -> None:
    header = ("transport", "size", "zorvo_sdk", "C floor", "list()", "floor+list()", "pure Py",
              "sdk/(floor+list)", "sdk/pure")
    lines = [header]
    for row in rows:
        lines.append((
            row["transport"], format_size(row["size"]),
            _cell(row["sdk"]), _cell(row["floor"]), format_ns(row["conversion_ns"]),
            format_ns(row["floor_plus_conversion_ns"]), _cell(row["pure"]),
            _ratio(row["sdk_over_floor"]), _ratio(row["sdk_over_pure"]),
        ))
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    print("Median latency per call (stream: one request on its own connection read to its end, 8 items).")
    print("Ratios are the median over the interleaved rounds of each round's ratio. For the stream the")
    print("floor is the paced C floor, which spends one list() time on each item before reading on.")
    for n, line in enumerate(lines):
        print("  ".join(cell.rjust(w) if i > 1 else cell.ljust(w) for i, (cell, w) in enumerate(zip(line, widths))))
        if n == 0:
            print("  ".join("-" * w for w in widths))
    print()
    print("p99 of the same runs (noisy on a shared machine)")
    for row in rows:
        print(f"  {row['transport']:<7} {format_size(row['size']):>7}  sdk {_p99(row['sdk']):>10}"
              f"  floor {_p99(row['floor']):>10}  pure {_p99(row['pure']):>10}")


def _cell(result: dict) -> str:
    if not result or "error" in result:
        return "error"
    return format_ns(result["median_ns"])


def _p99(result: dict) -> str:
    return "error" if not result or "error" in result else format_ns(result["p99_ns"])


def _ratio(value: float | None) -> str:
    return "-" if value is None else f"{value:.2f}x"


def memory_report(rows: list[dict]) -> list[dict]:
    report = []
    for row in rows:
        if row["size"] != 1 << 20:
            continue
        for client in ("sdk", "pure"):
            result = row[client]
            if not result or "error" in result:
                continue
            report.append({
                "transport": row["transport"], "client": client,
                "peak_growth_kib": result["peak_rss_kib"] - result["rss_before_kib"],
                "peak_rss_kib": result["peak_rss_kib"],
                "list_kib": result["result_list_bytes"] // 1024,
            })
    print("\nPeak resident memory of the 1 MiB runs, growth over the process before its calls")
    print("(one result list of 1 Mi ints is 8 MiB of pointers; the ints themselves are shared)")
    for entry in report:
        print(f"  {entry['transport']:<7} {entry['client']:<5} peak growth {entry['peak_growth_kib'] / 1024:6.1f} MiB"
              f"  = {entry['peak_growth_kib'] / max(entry['list_kib'], 1):.2f} x the list"
              f"  (peak RSS {entry['peak_rss_kib'] / 1024:.1f} MiB)")
    return report


def input_check(runner: Runner, scale: float) -> list[dict]:
    size = 1 << 20
    iterations, warmup = call_counts("unix", size, scale * 0.5)
    results = []
    print("\nInput types at 1 MiB (median per call; list is the per-element conversion)")
    for transport in INPUT_CHECK_TRANSPORTS:
        rounds: dict[str, list[dict]] = {kind: [] for kind in INPUT_KINDS}
        for _ in range(3):
            for kind in INPUT_KINDS:
                rounds[kind].append(runner.python("sdk", transport, size, max(iterations // 3, 5), warmup, kind))
        by_kind = {kind: merge_rounds(results) for kind, results in rounds.items()}
        base = median(by_kind["bytes"])
        cells = []
        for kind in INPUT_KINDS:
            m = median(by_kind[kind])
            extra = None if m is None or base is None else m - base
            results.append({"transport": transport, "input": kind, "result": by_kind[kind], "extra_over_bytes_ns": extra})
            cells.append(f"{kind} {format_ns(m)}" + ("" if extra is None or kind == "bytes" else f" ({'+' if extra >= 0 else '-'}{format_ns(abs(extra))})"))
        print(f"  {transport:<7} " + ", ".join(cells))
    return results


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--engine", type=Path, required=True, help="the zorvo-engine binary")
    parser.add_argument("--floor", type=Path, required=True, help="the compiled floor.c")
    parser.add_argument("--module-dir", type=Path, required=True, help="directory holding the zorvo_sdk module")
    parser.add_argument("--results-dir", type=Path, default=BENCH_DIR / "results")
    parser.add_argument("--plot", type=Path, default=BENCH_DIR / "latency.png")
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies every call count")
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds per measurement")
    parser.add_argument("--engine-cpu", type=int, default=0)
    parser.add_argument("--client-cpu", type=int, default=1)
    parser.add_argument("--no-pin", action="store_true", help="do not pin the engine and the clients")
    parser.add_argument("--transports", default=",".join(TRANSPORTS))
    parser.add_argument("--sizes", default=",".join(str(s) for s in SIZES))
    parser.add_argument("--skip-input-check", action="store_true")
    parser.add_argument("--skip-module", action="store_true", help="leave out the zorvo module's rows")
    parser.add_argument("--skip-threads", action="store_true", help="leave out the 64-caller calls per second")
    parser.add_argument("--callers", type=int, default=THREAD_CALLERS)
    parser.add_argument("--thread-seconds", type=float, default=3.0, help="duration of each calls-per-second run")
    parser.add_argument("--thread-rounds", type=int, default=3, help="interleaved rounds of the calls-per-second runs")
    args = parser.parse_args(argv)
    if args.no_pin:
        args.engine_cpu = args.client_cpu = None
    transports = [t for t in args.transports.split(",") if t]
    sizes = [int(s) for s in args.sizes.split(",") if s]

    started = datetime.datetime.now()
    with EngineProcess(args.engine, args.engine_cpu) as engine:
        runner = Runner(args, engine.endpoints())
        rows = []
        for transport in transports:
            for size in sizes:
                row = measure_row(runner, transport, size, args.scale, args.rounds)
                rows.append(row)
                print(f"  measured {transport} {format_size(size)}: sdk {_cell(row['sdk'])}, "
                      f"floor {_cell(row['floor'])}, pure {_cell(row['pure'])}", file=sys.stderr, flush=True)
        print()
        print_table(rows)
        memory = memory_report(rows)
        inputs = [] if args.skip_input_check or (1 << 20) not in sizes else input_check(runner, args.scale)

        module_rows = []
        if not args.skip_module:
            for transport in (t for t in transports if t in MODULE_TRANSPORTS):
                for size in (s for s in sizes if s in MODULE_SIZES):
                    module_rows.append(measure_module_row(runner, transport, size, args.scale, args.rounds))
                    print(f"  measured zorvo {transport} {format_size(size)}", file=sys.stderr, flush=True)
            print_module_table(module_rows)

    thread_transports = [t for t in transports if t in MODULE_TRANSPORTS]
    throughput = ([] if args.skip_threads else
                  measure_throughput(runner, args.engine, args.engine_cpu, thread_transports, args.callers,
                                     args.thread_seconds, args.thread_rounds))
    print_throughput_table(throughput)

    targets = check_targets(rows) + check_module_targets(module_rows) + check_throughput_targets(throughput)
    print("\nTargets")
    for target in targets:
        print(f"  {'ok  ' if target['met'] else 'MISS'} {target['text']}")
    errors = [(row["transport"], row["size"], client, row[client]["error"])
              for row in rows for client in ("sdk", "floor", "pure") if row[client] and "error" in row[client]]
    errors += [(row["transport"], row["size"], "zorvo " + kind, row[kind]["error"])
               for row in module_rows for kind in MODULE_KINDS if "error" in row[kind]]
    for transport, size, client, error in errors:
        print(f"  error: {client} {transport} {format_size(size)}: {error}")

    results = {
        "started": started.isoformat(timespec="seconds"),
        "machine": {"cpus": os.cpu_count(), "engine_cpu": args.engine_cpu, "client_cpu": args.client_cpu,
                    "python": sys.version.split()[0]},
        "rows": rows, "memory": memory, "inputs": inputs, "module_rows": module_rows,
        "throughput": throughput, "targets": targets,
    }
    args.results_dir.mkdir(parents=True, exist_ok=True)
    out = args.results_dir / f"bench-{started:%Y%m%d-%H%M%S}.json"
    out.write_text(json.dumps(results, indent=1))
    (args.results_dir / "latest.json").write_text(json.dumps(results, indent=1))
    print(f"\nraw results: {out}")
    try:
        from plot import make_plot
        make_plot(results, args.plot)
        print(f"plot: {args.plot}")
    except ImportError as missing:
        print(f"plot skipped: {missing}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
