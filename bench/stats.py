"""Latency summaries shared by the Python measurements and the report."""

from __future__ import annotations

from typing import Sequence


def percentile(sorted_samples: Sequence[int], q: float) -> int:
    """Nearest-rank percentile of already sorted samples (the same rule as floor.c)."""
    if not sorted_samples:
        raise ValueError("no samples")
    n = len(sorted_samples)
    index = int(q * (n - 1) + 0.5)
    return sorted_samples[min(index, n - 1)]


def summarize(samples_ns: Sequence[int]) -> dict:
    ordered = sorted(samples_ns)
    return {
        "n": len(ordered),
        "min_ns": ordered[0],
        "median_ns": percentile(ordered, 0.5),
        "p99_ns": percentile(ordered, 0.99),
        "mean_ns": sum(ordered) // len(ordered),
        "max_ns": ordered[-1],
    }


def ratio(numerator: float | None, denominator: float | None) -> float | None:
    if numerator is None or not denominator:
        return None
    return numerator / denominator


def format_ns(ns: float | None) -> str:
    """A latency in the unit that keeps three significant digits readable."""
    if ns is None:
        return "-"
    if ns < 1_000:
        return f"{ns:.0f} ns"
    if ns < 1_000_000:
        return f"{ns / 1_000:.1f} us"
    return f"{ns / 1_000_000:.2f} ms"


def format_size(size: int) -> str:
    if size >= 1 << 20 and size % (1 << 20) == 0:
        return f"{size >> 20} MiB"
    if size >= 1 << 10 and size % (1 << 10) == 0:
        return f"{size >> 10} KiB"
    return f"{size} B"
