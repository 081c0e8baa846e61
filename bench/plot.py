"""Draws the benchmark results: median latency by payload size, one panel per transport."""

from __future__ import annotations

import json
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402 - the backend must be chosen first

from stats import format_size  # noqa: E402

SERIES = (
    ("sdk", "zorvo_sdk", "o-", "tab:blue"),
    ("floor", "C floor", "s--", "tab:gray"),
    ("floor_plus_conversion", "C floor + list()", "^-", "tab:green"),
    ("pure", "pure Python", "d-", "tab:red"),
)


def series_points(rows: list[dict], transport: str, key: str) -> tuple[list[int], list[float]]:
    """Sizes and medians (in microseconds) of one series; unmeasured points are left out."""
    sizes, medians = [], []
    for row in sorted((r for r in rows if r["transport"] == transport), key=lambda r: r["size"]):
        if key == "floor_plus_conversion":
            value = row.get("floor_plus_conversion_ns")
        else:
            result = row.get(key) or {}
            value = None if "error" in result else result.get("median_ns")
        if value:
            sizes.append(row["size"])
            medians.append(value / 1000.0)
    return sizes, medians


def make_plot(results: dict, path: Path) -> None:
    rows = results["rows"]
    transports = list(dict.fromkeys(r["transport"] for r in rows))
    sizes = sorted({r["size"] for r in rows})
    columns = min(3, len(transports))
    panels = len(transports) + 1  # one more for the legend
    lines = (panels + columns - 1) // columns
    fig, axes = plt.subplots(lines, columns, figsize=(4.2 * columns, 3.4 * lines), sharey=True, squeeze=False)
    flat = [ax for line in axes for ax in line]
    for ax, transport in zip(flat, transports):
        for key, label, style, color in SERIES:
            xs, medians = series_points(rows, transport, key)
            if xs:
                ax.plot(xs, medians, style, color=color, label=label)
        ax.set_xscale("log", base=2)
        ax.set_yscale("log")
        ax.set_xticks(sizes, [format_size(s) for s in sizes])
        ax.set_title(transport + (" (8 items per call)" if transport == "stream" else ""))
        ax.grid(True, which="both", alpha=0.3)
    for ax in axes[:, 0]:
        ax.set_ylabel("median latency (us)")
    legend_ax = flat[len(transports)]
    legend_ax.axis("off")
    legend_ax.legend(*flat[0].get_legend_handles_labels(), loc="center")
    for ax in flat[len(transports) + 1:]:
        ax.axis("off")
    fig.suptitle("zorvo_sdk against the C floor and a pure-Python client\n"
                 "(engine and clients pinned to separate CPUs; log scales)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


if __name__ == "__main__":
    source = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).parent / "results" / "latest.json"
    target = Path(sys.argv[2]) if len(sys.argv) > 2 else Path(__file__).parent / "latency.png"
    make_plot(json.loads(source.read_text()), target)
    print(target)
