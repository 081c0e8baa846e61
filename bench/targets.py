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
        if size == SMALL and name in MODULE_SMALL_LIMITS:
            limit = MODULE_SMALL_LIMITS[name]
            for key, call in (("zorvo_over_sdk", "infer"), ("tensor_over_sdk", "infer_tensor")):
                verdict(row, f"zorvo {name} 16 B: {call} <= {limit}x zorvo_sdk infer (got {_x(row[key])})",
                        row[key], lambda v, limit=limit: v <= limit)
    return verdicts


def check_throughput_targets(rows: list[dict]) -> list[dict]:
    """The zorvo client's rows: at least half the ideal calls per second, none wrong or failed."""
    verdicts = []
    for row in rows:
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


def _x(value: float | None) -> str:
    return "n/a" if value is None else f"{value:.2f}x"
