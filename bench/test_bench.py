"""Checks of the benchmark's own pieces: the hand-written protocol code, the statistics, the goal
verdicts, and (when the reference engine is built) every floor and pure client against it.

    python3 -m pytest -q bench/test_bench.py
"""

from __future__ import annotations

import base64
import glob
import json
import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import bench  # noqa: E402
import pure_clients as pc  # noqa: E402
from stats import format_size, percentile, summarize  # noqa: E402
from targets import check_module_targets, check_targets, check_throughput_targets  # noqa: E402


def encoded_result(shape, dtype: str, data: bytes | None = None, b64: str | None = None) -> bytes:
    name = dtype.encode()
    out = struct.pack("<Q", len(shape)) + struct.pack(f"<{len(shape)}q", *shape)
    out += struct.pack("<Q", len(name)) + name
    out += b"\x00" if data is None else b"\x01" + struct.pack("<Q", len(data)) + data
    out += b"\x00" if b64 is None else b"\x01" + struct.pack("<Q", len(b64)) + b64.encode()
    return out


class TestRecordEncoding:
    def test_request_matches_the_documented_47_byte_example(self):
        data = bytes(range(8))
        encoded = pc.encode_request([2], "float32", data)
        assert len(encoded) == 47
        assert encoded == (struct.pack("<Qq", 1, 2) + struct.pack("<Q", 7) + b"float32"
                           + struct.pack("<Q", 8) + data)

    def test_scalar_request_writes_an_empty_shape(self):
        encoded = pc.encode_request([], "uint8", b"\x05")
        assert encoded[:8] == b"\x00" * 8
        assert encoded[8:16] == struct.pack("<Q", 5)

    def test_result_data_direct_base64_and_trailing_bytes(self):
        assert pc.decode_result_data(encoded_result([3], "uint8", b"\x00\x7f\xff")) == b"\x00\x7f\xff"
        assert pc.decode_result_data(encoded_result([2], "uint8", b64=base64.b64encode(b"hi").decode())) == b"hi"
        assert pc.decode_result_data(encoded_result([1], "uint8", b"x") + b"junk") == b"x"

    def test_result_data_refuses_missing_or_truncated_data(self):
        with pytest.raises(ValueError):
            pc.decode_result_data(encoded_result([1], "uint8"))
        cut = encoded_result([4], "uint8", b"abcd")[:-2]
        with pytest.raises(ValueError):
            pc.decode_result_data(cut)


class TestQueues:
    """The hand-written single-producer/single-consumer queue code on a private buffer."""

    def test_request_queue_fills_at_1020_and_leaves_indices_alone(self):
        mm = bytearray(3 * 40 + 1021 * 40)
        for i in range(1020):
            pc.push_entry(mm, 0, struct.pack("<Q", i) + bytes(32))
        before = bytes(mm[:120])
        with pytest.raises(RuntimeError, match="Queue is full"):
            pc.push_entry(mm, 0, bytes(40))
        assert bytes(mm[:120]) == before
        assert struct.unpack_from("<Q", mm, 40)[0] == 1020  # commit index

    def test_response_queue_delivers_in_order_and_wraps(self):
        mm = bytearray(3 * 48 + 1021 * 48)
        assert pc.pop_entry(mm, 0) is None
        for i in range(2500):
            slot = struct.unpack_from("<Q", mm, 0)[0]
            struct.pack_into("<Q", mm, 3 * 48 + slot * 48, i)
            nxt = (slot + 1) % 1021
            struct.pack_into("<Q", mm, 0, nxt)
            struct.pack_into("<Q", mm, 48, nxt)
            entry = pc.pop_entry(mm, 0)
            assert struct.unpack_from("<Q", entry, 0)[0] == i
        assert pc.pop_entry(mm, 0) is None
        assert struct.unpack_from("<QQ", mm, 0)[0] == 2500 % 1021
        assert struct.unpack_from("<Q", mm, 96)[0] == 2500 % 1021

    def test_tensor_block_layout(self):
        region = object.__new__(pc._Region)
        region.mm = bytearray(4096)
        size = region.write_block(128, [2, 3], 3, bytes(range(48)))
        assert size == 128
        ndim, code, *dims, data_len = struct.unpack_from("<IB3x8qQ", region.mm, 128)
        assert (ndim, code, dims, data_len) == (2, 3, [2, 3, 0, 0, 0, 0, 0, 0], 48)
        assert region.read_result(128) == list(range(48))


class TestStatistics:
    def test_percentiles_use_nearest_rank(self):
        samples = list(range(1, 101))
        assert percentile(samples, 0.5) == 51
        assert percentile(samples, 0.99) == 99
        assert percentile([7], 0.99) == 7
        with pytest.raises(ValueError):
            percentile([], 0.5)

    def test_summary_of_unsorted_samples(self):
        summary = summarize([30, 10, 20, 1000])
        assert (summary["min_ns"], summary["median_ns"], summary["max_ns"], summary["n"]) == (10, 30, 1000, 4)

    def test_size_labels(self):
        assert [format_size(s) for s in (16, 4096, 1 << 20, 1000)] == ["16 B", "4 KiB", "1 MiB", "1000 B"]


def result(median_ns: float, **extra) -> dict:
    return {"median_ns": median_ns, "p99_ns": median_ns, **extra}


class TestRowsAndTargets:
    def test_stream_rows_pay_eight_conversions(self):
        row = bench.build_row("stream", 16, result(1000), result(500), result(2000), result(50))
        assert row["conversion_ns"] == 400
        assert row["sdk_over_floor"] == pytest.approx(1000 / 900)
        assert row["sdk_over_pure"] == pytest.approx(0.5)

    def test_a_failed_client_gives_no_ratio_and_misses_its_goals(self):
        row = bench.build_row("shm", 16, {"error": "boom"}, result(500), result(2000), result(50))
        assert row["sdk_over_floor"] is None
        verdicts = check_targets([row])
        assert verdicts and not any(v["met"] for v in verdicts)

    def test_goal_limits_per_transport(self):
        unix = bench.build_row("unix", 16, result(1150), result(900), result(2000), result(100))  # 1.15x
        hybrid = bench.build_row("hybrid", 16, result(1400), result(900), result(2000), result(100))  # 1.4x
        shm = bench.build_row("shm", 16, result(1100), result(900), result(5000), result(100))  # 4.5x faster
        verdicts = {(v["transport"], v["text"].split(":")[1].split("(")[0].strip()): v["met"]
                    for v in check_targets([unix, hybrid, shm])}
        assert verdicts[("unix", "sdk <= 1.2x floor")]
        assert verdicts[("hybrid", "sdk <= 1.5x floor")]
        assert not verdicts[("shm", "sdk >= 5x faster than pure Python")]
        assert verdicts[("shm", "sdk faster than pure Python")]

    def test_rounds_pool_samples_and_keep_the_worst_memory(self):
        rounds = [
            {"samples_ns": [10, 20], "median_ns": 15, "peak_rss_kib": 100, "rss_before_kib": 90},
            {"samples_ns": [30, 40, 50], "median_ns": 40, "peak_rss_kib": 200, "rss_before_kib": 100},
        ]
        merged = bench.merge_rounds(rounds)
        assert merged["n"] == 5 and merged["median_ns"] == 30 and "samples_ns" not in merged
        assert merged["peak_rss_kib"] - merged["rss_before_kib"] == 100
        assert bench.merge_rounds(rounds + [{"error": "gone"}]) == {"error": "gone"}


def find_engine() -> str | None:
    if os.environ.get("ZORVO_ENGINE"):
        return os.environ["ZORVO_ENGINE"]
    found = shutil.which("zorvo-engine") or next(iter(sorted(glob.glob(str(BENCH_DIR.parent / "build/*/zorvo-engine")))), None)
    return found


@pytest.fixture(scope="module")
def engine():
    binary = find_engine()
    if not binary or not shutil.which("cc"):
        pytest.skip("reference engine or C compiler not available")
    from engine_process import EngineProcess
    with EngineProcess(Path(binary), None) as running:
        yield running.endpoints()


@pytest.fixture(scope="module")
def floor_binary(tmp_path_factory):
    out = tmp_path_factory.mktemp("floor") / "floor"
    subprocess.run(["cc", "-O2", "-Wall", "-Wextra", "-Werror", "-std=c11", "-o", str(out),
                    str(BENCH_DIR / "floor.c")], check=True)
    return out


FLOOR_TARGETS = {
    "unix": lambda e: [e["unix_path"]],
    "tcp": lambda e: [e["tcp_address"]],
    "stream": lambda e: [e["unix_path"]],
    "shm": lambda e: [e["shm"]],
    "hybrid": lambda e: [e["shm"], e["hybrid"]],
}


@pytest.mark.parametrize("mode", sorted(FLOOR_TARGETS))
def test_floor_exchanges_with_the_engine(engine, floor_binary, mode):
    for size in (0, 16, 70000):
        done = subprocess.run([str(floor_binary), mode, str(size), "20", "2"] + FLOOR_TARGETS[mode](engine),
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        report = json.loads(done.stdout)
        assert report["n"] == 20 and len(report["samples_ns"]) == 20
        assert report["samples_ns"] == sorted(report["samples_ns"])
        assert 0 < report["min_ns"] <= report["median_ns"] <= report["p99_ns"] <= report["max_ns"]


def test_floor_refuses_a_missing_engine(floor_binary, tmp_path):
    done = subprocess.run([str(floor_binary), "unix", "16", "5", "0", str(tmp_path / "nobody.sock")],
                          capture_output=True, text=True, timeout=30)
    assert done.returncode != 0 and "connect" in done.stderr


@pytest.mark.parametrize("transport", ["unix", "tcp", "stream", "shm", "hybrid"])
def test_pure_clients_echo_through_the_engine(engine, transport):
    import measure
    for size in (1, 4096, 300000):
        data = measure.pattern(size)
        call = measure.pure_call(transport, engine, [size], data)
        assert call() == list(data)


def test_pure_socket_client_reports_engine_errors(engine):
    client = pc.PureSocketClient(engine["unix"])
    with pytest.raises(RuntimeError, match="scripted failure"):
        client.infer(2, [1], "uint8", b"\x01")
    assert client.infer(1, [1], "uint8", b"\x09") == [9]  # the connection stays in step
    client.close()


class ScriptedRunner:
    """Answers each measurement with the next scripted median, as one sample."""

    def __init__(self, medians: dict[str, list[int]]):
        self.medians = {kind: iter(values) for kind, values in medians.items()}

    def _next(self, kind: str) -> dict:
        value = next(self.medians[kind])
        return {"median_ns": value, "samples_ns": [value], "peak_rss_kib": 1, "rss_before_kib": 1}

    def floor(self, transport, size, iterations, warmup, item_pause_ns=0):
        self.paces = getattr(self, "paces", []) + [item_pause_ns]
        return self._next("paced_floor" if item_pause_ns else "floor")

    def python(self, client, transport, size, iterations, warmup, input_kind="bytes"):
        return self._next(client)


def test_row_ratio_is_the_median_of_per_round_ratios():
    # Round 2 ran while the machine was busy for the client alone: its ratio is an outlier.
    runner = ScriptedRunner({"floor": [900, 900, 900], "convert": [100, 100, 100],
                             "sdk": [1000, 9000, 1100], "pure": [2000, 2000, 2000]})
    row = bench.measure_row(runner, "unix", 16, scale=1.0, rounds=3)
    assert row["sdk_over_floor"] == pytest.approx(1.1)
    assert row["sdk_over_pure"] == pytest.approx(0.55)
    assert row["sdk"]["n"] == 3 and row["sdk"]["median_ns"] == 1100


def test_stream_rows_compare_with_the_floor_paced_by_each_rounds_conversion():
    runner = ScriptedRunner({"floor": [900, 900], "convert": [100, 120], "paced_floor": [3000, 3000],
                             "sdk": [3300, 3300], "pure": [6000, 6000]})
    row = bench.measure_row(runner, "stream", 16, scale=1.0, rounds=2)
    assert [p for p in runner.paces if p] == [100, 120]
    assert row["floor_plus_conversion_ns"] == 3000
    assert row["sdk_over_floor"] == pytest.approx(1.1)


def test_paced_floor_spends_the_pause_on_every_item(engine, floor_binary):
    args = ["stream", "16", "5", "0", engine["unix_path"]]
    done = subprocess.run([str(floor_binary), "--item-pause", "2000000"] + args,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["min_ns"] >= 8 * 2_000_000


def test_plot_series_leave_out_failed_points():
    pytest.importorskip("matplotlib")
    import plot
    rows = [bench.build_row("shm", 16, result(2000), result(1000), result(4000), result(100)),
            bench.build_row("shm", 4096, {"error": "x"}, result(1500), result(9000), result(900))]
    assert plot.series_points(rows, "shm", "sdk") == ([16], [2.0])
    assert plot.series_points(rows, "shm", "floor_plus_conversion") == ([16, 4096], [1.1, 2.4])


class TestHarness:
    def runner(self):
        import argparse
        args = argparse.Namespace(module_dir=BENCH_DIR, client_cpu=None, floor=Path("/nonexistent"))
        return bench.Runner(args, {})

    def test_a_failed_measurement_reports_its_last_error_line(self):
        got = self.runner()._run_json([sys.executable, "-c", "import sys; print('noise'); sys.exit('first\\nboom')"])
        assert got == {"error": "boom"}

    def test_the_last_output_line_is_the_result(self):
        got = self.runner()._run_json([sys.executable, "-c", "print('warming up'); print('{\"median_ns\": 5}')"])
        assert got == {"median_ns": 5}

    def test_an_engine_that_dies_at_start_is_reported(self, tmp_path):
        from engine_process import EngineProcess
        fake = tmp_path / "engine"
        fake.write_text("#!/bin/sh\necho 'cannot create region' >&2\nexit 3\n")
        fake.chmod(0o755)
        with pytest.raises(RuntimeError, match="cannot create region"):
            with EngineProcess(fake, None):
                pass

    def test_memory_report_relates_peak_growth_to_the_list(self, capsys):
        mib = 1 << 20
        row = bench.build_row("unix", mib, result(1, peak_rss_kib=30_000, rss_before_kib=20_784,
                                                  result_list_bytes=8 * mib + 56),
                              result(1), {"error": "x"}, result(1))
        report = bench.memory_report([row, bench.build_row("unix", 16, result(1), result(1), result(1), result(1))])
        assert report == [{"transport": "unix", "client": "sdk", "peak_growth_kib": 9216,
                           "peak_rss_kib": 30_000, "list_kib": 8192}]
        assert "1.12 x the list" in capsys.readouterr().out


class TestModuleRows:
    def test_the_tensor_floor_adds_one_copy_on_region_transports_only(self):
        for transport, floor in (("unix", 1000), ("hybrid", 1500)):
            row = bench.build_module_row(transport, 1 << 20, result(1000), result(500), result(4000),
                                         result(3000), result(1800))
            assert row["tensor_floor_ns"] == floor
            assert row["tensor_over_floor"] == pytest.approx(1800 / floor)
            assert row["tensor_over_sdk"] == pytest.approx(0.45)
            assert row["zorvo_over_sdk"] == pytest.approx(0.75)

    def test_module_ratios_are_medians_of_per_round_ratios(self):
        runner = ScriptedRunner({"floor": [1000] * 3, "copy": [500] * 3, "sdk": [2000] * 3,
                                 "zorvo": [2100, 9000, 2200], "tensor": [1600, 1700, 1650],
                                 "aio": [2500, 2600, 9999]})
        row = bench.measure_module_row(runner, "shm", 16, scale=1.0, rounds=3)
        assert row["zorvo_over_sdk"] == pytest.approx(1.1)
        assert row["tensor_over_floor"] == pytest.approx(1650 / 1500)
        assert row["aio_minus_zorvo_ns"] == 2600 - 2200  # pooled medians

    def test_module_targets(self):
        mib = 1 << 20
        rows = [
            bench.build_module_row("shm", mib, result(100), result(100), result(1000), result(1000), result(250)),
            bench.build_module_row("tcp", mib, result(100), result(100), result(1000), result(1000), result(125)),
            bench.build_module_row("hybrid", 16, result(100), result(1), result(100), result(114), result(116),
                                   result(114 + 25_001)),
            bench.build_module_row("unix", 16, result(100), result(1), result(100), result(110), result(110),
                                   result(110 + 25_000)),
            bench.build_module_row("shm", 16, result(100), result(1), result(100), result(149), result(151)),
        ]
        verdicts = {v["text"].split(" (got")[0]: v["met"] for v in check_module_targets(rows)}
        assert verdicts == {
            "zorvo shm 1 MiB: infer_tensor <= 1.3x floor + copy": True,
            "zorvo shm 1 MiB: infer_tensor >= 4x faster than zorvo_sdk infer": True,
            "zorvo tcp 1 MiB: infer_tensor <= 1.2x floor": False,
            "zorvo.aio hybrid 16 B: await infer <= zorvo infer + 25 us": False,
            "zorvo.aio unix 16 B: await infer <= zorvo infer + 25 us": True,
            "zorvo unix 16 B: infer <= 1.15x zorvo_sdk infer": True,
            "zorvo unix 16 B: infer_tensor <= 1.15x zorvo_sdk infer": True,
            "zorvo hybrid 16 B: infer <= 1.15x zorvo_sdk infer": True,
            "zorvo hybrid 16 B: infer_tensor <= 1.15x zorvo_sdk infer": False,
            "zorvo shm 16 B: infer <= 1.5x zorvo_sdk infer": True,
            "zorvo shm 16 B: infer_tensor <= 1.5x zorvo_sdk infer": False,
        }

    def test_throughput_targets_need_half_the_ideal_and_no_bad_call(self):
        def row(transport, client, rate, wrong=0, failed=0, lag=None):
            lagged = {} if lag is None else {"worst_lag_ms": lag}
            return {"transport": transport, "client": client, "callers": 64, "ideal_per_s": 32000.0,
                    "calls_per_s": rate, "wrong": wrong, "failed": failed, **lagged}
        rows = [row("unix", "zorvo", 16000), row("tcp", "zorvo", 15999), row("shm", "zorvo", 30000, wrong=1),
                row("hybrid", "zorvo", 30000, failed=1), row("unix", "asyncio", 21000, lag=9.0),
                row("tcp", "asyncio", 20000, lag=9.0),
                {"transport": "hybrid", "client": "zorvo", "callers": 64, "ideal_per_s": 32000.0, "error": "x"}]
        # zorvo.aio: 80 % of the ideal, 1.2 x the asyncio client on sockets, the loop never 5 ms late.
        rows += [row("unix", "aio", 25600, lag=4.9), row("tcp", "aio", 25600, lag=1.0), row("shm", "aio", 25600, lag=5.0),
                 row("hybrid", "aio", 25599, lag=0.1)]
        assert [(v["transport"], v["met"]) for v in check_throughput_targets(rows)] == [
            ("unix", True), ("tcp", False), ("shm", False), ("hybrid", False), ("hybrid", False),
            ("unix", True), ("tcp", True), ("shm", False), ("hybrid", False)]


def test_throughput_rounds_merge_into_the_median_rate_and_the_worst_lag():
    def result(rate, lag, wrong=0, first_error=None):
        return {"calls": 10, "wrong": wrong, "failed": 0, "calls_per_s": rate, "elapsed_s": 1.0,
                "first_error": first_error, "worst_lag_ms": lag, "idle_lag_ms": lag / 2}
    merged = bench.merge_throughput_rounds([result(300, 1.0), result(100, 9.0, 1, "x"), result(200, 2.0)])
    assert (merged["calls_per_s"], merged["calls"], merged["wrong"], merged["first_error"]) == (200, 30, 1, "x")
    assert (merged["worst_lag_ms"], merged["idle_lag_ms"], merged["rounds_calls_per_s"]) == (9.0, 4.5, [300, 100, 200])
    assert bench.merge_throughput_rounds([result(1, 1.0), {"error": "boom"}]) == {"error": "boom"}


def test_threaded_throughput_counts_wrong_and_failed_calls():
    import threading
    import throughput
    seen_threads = set()

    def call(data: bytes):
        seen_threads.add(threading.get_ident())
        caller, _, number = struct.unpack("<IIQ", data)
        if number == 1:
            raise RuntimeError("scripted")
        return list(data) if number != 2 else [0] * 16

    got = throughput.threaded_throughput(call, callers=4, seconds=0.2)
    assert len(seen_threads) == 4
    assert got["wrong"] == 4 and got["failed"] == 4 and got["calls"] > 12
    assert got["first_error"] == "RuntimeError: scripted"


@pytest.mark.parametrize("transport", ["unix", "tcp", "shm", "hybrid"])
@pytest.mark.parametrize("client", ["asyncio", "aio"])
def test_asyncio_clients_keep_many_calls_in_flight(engine, client, transport):
    import asyncio
    import throughput
    if client == "asyncio" and transport not in ("unix", "tcp"):
        pytest.skip("the pure asyncio client speaks the socket protocol only")
    if client == "aio":
        pytest.importorskip("zorvo")
        work = throughput.aio_throughput(transport, engine, 8, 0.2)
    else:
        work = pc.asyncio_throughput(engine[transport], 8, 0.2, throughput.payload)
    got = asyncio.run(throughput.with_lag(work, idle_seconds=0.05))
    assert got["calls"] > 8 and got["wrong"] == 0 and got["failed"] == 0
    assert got["worst_lag_ms"] >= 0 and got["idle_lag_ms"] >= 0


@pytest.mark.parametrize("transport", ["unix", "tcp", "shm", "hybrid"])
@pytest.mark.parametrize("tensor", [False, True], ids=["infer", "infer_tensor"])
def test_zorvo_calls_echo_through_the_engine(engine, transport, tensor):
    pytest.importorskip("zorvo")
    import measure
    data = measure.pattern(4096)
    assert bytes(measure.zorvo_call(transport, engine, [4096], data, tensor)()) == data
    if not tensor:
        first, samples = measure.aio_samples(transport, engine, [4096], data, iterations=3, warmup=1)
        assert bytes(first) == data and len(samples) == 3
