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


def _x(value: float | None) -> str:
    return "n/a" if value is None else f"{value:.2f}x"
