"""The latency goals the clients are held to, checked against the measured medians."""

from __future__ import annotations

SMALL = 16
LARGE = 1 << 20

# Round trip of a 16-byte tensor against C floor + list(): at most this many times.
SMALL_LIMITS = {"unix": 1.2, "tcp": 1.2, "shm": 1.2, "hybrid": 1.5}
LARGE_LIMIT = 1.2
SHM_SPEEDUP_OVER_PURE = 5.0


def check_targets(rows: list[dict]) -> list[dict]:
    """One verdict per goal and row; a row that could not be measured counts as missed."""
    verdicts = []

    def verdict(row: dict, text: str, value: float | None, met) -> None:
        verdicts.append({
            "transport": row["transport"], "size": row["size"], "text": text,
            "value": value, "met": value is not None and met(value),
        })

    for row in rows:
        name, size = row["transport"], row["size"]
        over_floor = row.get("sdk_over_floor")
        over_pure = row.get("sdk_over_pure")
        if size == SMALL and name in SMALL_LIMITS:
            limit = SMALL_LIMITS[name]
            verdict(row, f"{name} 16 B: sdk <= {limit}x floor (got {_x(over_floor)})",
                    over_floor, lambda v, limit=limit: v <= limit)
        if size == LARGE:
            verdict(row, f"{name} 1 MiB: sdk <= {LARGE_LIMIT}x floor (got {_x(over_floor)})",
                    over_floor, lambda v: v <= LARGE_LIMIT)
        verdict(row, f"{name} {size} B: sdk faster than pure Python (sdk/pure {_x(over_pure)})",
                over_pure, lambda v: v < 1.0)
        if size == SMALL and name == "shm":
            speedup = None if not over_pure else 1.0 / over_pure
            verdict(row, f"shm 16 B: sdk >= {SHM_SPEEDUP_OVER_PURE:.0f}x faster than pure Python (got {_x(speedup)})",
                    speedup, lambda v: v >= SHM_SPEEDUP_OVER_PURE)
    return verdicts


# The zorvo module: infer_tensor at 1 MiB against its floor (C floor, plus one copy on the region
# transports), and both calls at 16 B against zorvo_sdk's infer.
TENSOR_LARGE_LIMITS = {"unix": 1.2, "tcp": 1.2, "shm": 1.3, "hybrid": 1.3}
TENSOR_SHM_SPEEDUP_OVER_SDK = 4.0
MODULE_SMALL_LIMITS = {"unix": 1.15, "tcp": 1.15, "hybrid": 1.15, "shm": 1.5}
# Calls per second of many callers on one client: at least this share of the ideal.
THROUGHPUT_SHARE = 0.5
# zorvo.aio: 64 tasks on one client reach this share of the ideal, beat the pure-Python asyncio
# client by this factor on the sockets, and never leave the event loop late by this much; one
# await costs at most this much more than zorvo's blocking call.
AIO_THROUGHPUT_SHARE = 0.8
AIO_OVER_ASYNCIO = 1.2
AIO_LAG_LIMIT_MS = 5.0
AIO_EXTRA_LIMIT_NS = 25_000
AIO_LATENCY_TRANSPORTS = ("unix", "tcp", "hybrid")


def check_module_targets(rows: list[dict]) -> list[dict]:
    verdicts = []

    def verdict(row: dict, text: str, value: float | None, met) -> None:
        verdicts.append({"transport": row["transport"], "size": row["size"], "text": text,
                         "value": value, "met": value is not None and met(value)})

    for row in rows:
        name, size = row["transport"], row["size"]
        if size == LARGE and name in TENSOR_LARGE_LIMITS:
            limit = TENSOR_LARGE_LIMITS[name]
            floor = "floor + copy" if name in ("shm", "hybrid") else "floor"
            verdict(row, f"zorvo {name} 1 MiB: infer_tensor <= {limit}x {floor} (got {_x(row['tensor_over_floor'])})",
                    row["tensor_over_floor"], lambda v, limit=limit: v <= limit)
            if name == "shm":
                over = row["tensor_over_sdk"]
                speedup = None if not over else 1.0 / over
                verdict(row, f"zorvo shm 1 MiB: infer_tensor >= {TENSOR_SHM_SPEEDUP_OVER_SDK:.0f}x faster than "
                        f"zorvo_sdk infer (got {_x(speedup)})", speedup, lambda v: v >= TENSOR_SHM_SPEEDUP_OVER_SDK)
        if size == SMALL and name in AIO_LATENCY_TRANSPORTS and "aio_minus_zorvo_ns" in row:
            extra = row["aio_minus_zorvo_ns"]
            verdict(row, f"zorvo.aio {name} 16 B: await infer <= zorvo infer + {AIO_EXTRA_LIMIT_NS / 1000:.0f} us "
                    f"(got {'n/a' if extra is None else f'{extra / 1000:+.1f} us'})",
                    extra, lambda v: v <= AIO_EXTRA_LIMIT_NS)
        if size == SMALL and name in MODULE_SMALL_LIMITS:
            limit = MODULE_SMALL_LIMITS[name]
            for key, call in (("zorvo_over_sdk", "infer"), ("tensor_over_sdk", "infer_tensor")):
                verdict(row, f"zorvo {name} 16 B: {call} <= {limit}x zorvo_sdk infer (got {_x(row[key])})",
                        row[key], lambda v, limit=limit: v <= limit)
    return verdicts


def check_throughput_targets(rows: list[dict]) -> list[dict]:
    """The zorvo client's rows: at least half the ideal calls per second, none wrong or failed.
    The zorvo.aio rows: their share of the ideal, the pure asyncio client's rate beside them, and
    the event loop's worst lag."""
    verdicts = []
    asyncio_rates = {row["transport"]: row["calls_per_s"] for row in rows
                     if row["client"] == "asyncio" and "error" not in row}
    for row in rows:
        if row["client"] == "aio":
            verdicts.append(_aio_verdict(row, asyncio_rates.get(row["transport"])))
        if row["client"] != "zorvo":
            continue
        measured = "error" not in row
        rate = row["calls_per_s"] if measured else None
        clean = measured and row["wrong"] == 0 and row["failed"] == 0
        share = None if rate is None else rate / row["ideal_per_s"]
        verdicts.append({
            "transport": row["transport"], "size": SMALL,
            "text": (f"zorvo {row['transport']} {row['callers']} threads: >= {THROUGHPUT_SHARE:.0%} of "
                     f"{row['ideal_per_s']:,.0f} calls/s, none wrong or failed (got "
                     + ("an error" if not measured else
                        f"{rate:,.0f}/s, {row['wrong']} wrong, {row['failed']} failed") + ")"),
            "value": share, "met": clean and share >= THROUGHPUT_SHARE,
        })
    return verdicts


def _aio_verdict(row: dict, asyncio_rate: float | None) -> dict:
    measured = "error" not in row
    rate = row["calls_per_s"] if measured else None
    share = None if rate is None else rate / row["ideal_per_s"]
    lag = row.get("worst_lag_ms") if measured else None
    faster = None if rate is None or not asyncio_rate else rate / asyncio_rate
    met = (measured and row["wrong"] == 0 and row["failed"] == 0 and share >= AIO_THROUGHPUT_SHARE
           and lag is not None and lag < AIO_LAG_LIMIT_MS
           and (row["transport"] not in ("unix", "tcp") or (faster is not None and faster >= AIO_OVER_ASYNCIO)))
    got = ("an error" if not measured else
           f"{rate:,.0f}/s, {row['wrong']} wrong, {row['failed']} failed, loop late by {lag:.1f} ms at worst"
           + (f", {_x(faster)} the asyncio client" if faster is not None else ""))
    wanted = f">= {AIO_THROUGHPUT_SHARE:.0%} of {row['ideal_per_s']:,.0f} calls/s"
    if row["transport"] in ("unix", "tcp"):
        wanted += f", >= {AIO_OVER_ASYNCIO}x the asyncio client"
    return {"transport": row["transport"], "size": SMALL,
            "text": (f"zorvo.aio {row['transport']} {row['callers']} tasks: {wanted}, loop never "
                     f"{AIO_LAG_LIMIT_MS:.0f} ms late, none wrong or failed (got {got})"),
            "value": share, "met": bool(met)}


def _x(value: float | None) -> str:
    return "n/a" if value is None else f"{value:.2f}x"
