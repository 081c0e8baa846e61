"""Several client processes on one engine region: every answer reaches its own caller, no slot is
shared, and a client killed in the middle of its calls blocks nobody.

One harness, `run_workers`, starts worker processes (spawned, so they share nothing with the test
process) that each run clients of the given kinds, on one or more threads, and report what went
wrong. Engines run in their own processes.
"""

import hashlib
import multiprocessing
import os
import signal
import socket
import threading
import time

import pytest

import zorvo_sdk
from engine_util import require_engine_binary, running_engine

CALLS = 2000
CONTEXT = multiprocessing.get_context("spawn")


@pytest.fixture(scope="module")
def engine():
    require_engine_binary()
    with running_engine(tcp=False, unix=False, shm=True, hybrid=True, pool_size="8M") as running:
        yield running


def make_client(kind, shm_name, hybrid_path):
    if kind == "shm":
        return zorvo_sdk.ZorvoShmClient(shm_name)
    return zorvo_sdk.ZorvoHybridClient(shm_name, hybrid_path)


def payload(tag, call):
    """64 bytes that no other worker, thread or call sends."""
    return hashlib.blake2b(f"{tag}/{call}".encode(), digest_size=64).digest()


def worker(kinds, shm_name, hybrid_path, tag, calls, report):
    """Runs one client per kind, each on its own thread, and reports (wrong, timeouts, errors)."""
    counts = {"wrong": 0, "timeouts": 0, "errors": []}
    lock = threading.Lock()

    def run(index, kind):
        client = make_client(kind, shm_name, hybrid_path)
        for call in range(calls):
            sent = payload(f"{tag}.{index}", call)
            try:
                got = bytes(client.infer([64], "uint8", sent))
            except TimeoutError:
                with lock:
                    counts["timeouts"] += 1
                continue
            except Exception as error:  # reported, so the test shows what went wrong
                with lock:
                    counts["errors"].append(repr(error))
                continue
            if got != sent:
                with lock:
                    counts["wrong"] += 1

    threads = [threading.Thread(target=run, args=(i, kind)) for i, kind in enumerate(kinds)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    report.put((tag, counts["wrong"], counts["timeouts"], counts["errors"][:5], len(counts["errors"])))


def start_workers(engine, layout, calls, report):
    processes = [
        CONTEXT.Process(target=worker, args=(kinds, engine.shm_name, engine.hybrid_path, f"w{i}", calls, report))
        for i, kinds in enumerate(layout)
    ]
    for process in processes:
        process.start()
    return processes


def collect(processes, report, timeout):
    """Every worker's report; fails on a hang, a crash or any lost, wrong or failed call."""
    deadline = time.monotonic() + timeout
    results = []
    for _ in processes:
        results.append(report.get(timeout=max(1.0, deadline - time.monotonic())))
    for process in processes:
        process.join(max(1.0, deadline - time.monotonic()))
        assert process.exitcode == 0, f"worker exit code {process.exitcode}"
    for tag, wrong, timeouts, errors, error_count in results:
        assert (wrong, timeouts, error_count) == (0, 0, 0), f"{tag}: {wrong} wrong, {timeouts} timed out, {errors}"
    return results


def run_workers(engine, layout, calls=CALLS, timeout=240):
    report = CONTEXT.Queue()
    processes = start_workers(engine, layout, calls, report)
    try:
        return collect(processes, report, timeout)
    finally:
        for process in processes:
            if process.is_alive():
                process.kill()


@pytest.mark.parametrize(
    "layout",
    [
        pytest.param([("shm",)] * 4, id="shm-4-processes"),
        pytest.param([("hybrid",)] * 4, id="hybrid-4-processes"),
        pytest.param([("shm",), ("hybrid",), ("shm",), ("hybrid",)], id="mixed-4-processes"),
        pytest.param([("shm", "hybrid"), ("shm", "shm"), ("hybrid", "hybrid"), ("hybrid", "shm")],
                     id="2-clients-2-threads-per-process"),
    ],
)
def test_clients_in_several_processes_get_only_their_own_answers(engine, layout):
    results = run_workers(engine, layout)
    assert len(results) == len(layout)
    # Every client took part: the region's numbers are all given back afterwards.
    assert zorvo_sdk.ZorvoShmClient(engine.shm_name).infer([1], "uint8", b"\x07") == [7]


def hold_a_slot(shm_name, control_path):
    """A hybrid client whose engine never answers: it holds its slot until it is killed."""
    client = zorvo_sdk.ZorvoHybridClient(shm_name, control_path)
    client.infer([4], "uint8", b"\x01\x02\x03\x04")


def test_killed_clients_slot_is_free_again_within_the_lease(tmp_path):
    require_engine_binary()
    # One slot in the whole pool: whoever holds it blocks every other client.
    with running_engine(tcp=False, unix=False, shm=True, hybrid=True, pool_size=200000) as engine:
        silent = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        silent.bind(str(tmp_path / "silent.sock"))
        silent.listen(1)
        victim = CONTEXT.Process(target=hold_a_slot, args=(engine.shm_name, str(tmp_path / "silent.sock")))
        victim.start()
        try:
            connection, _ = silent.accept()
            connection.recv(52)  # the request frame: the victim's tensor is in the only slot
            client = zorvo_sdk.ZorvoShmClient(engine.shm_name)
            with pytest.raises(RuntimeError, match="SHM tensor pool exhausted"):
                client.infer([4], "uint8", b"abcd")

            os.kill(victim.pid, signal.SIGKILL)
            victim.join(10)
            # The engine may still be reading the dead client's tensor: its slot stays claimed
            # until the 30 s lease ends, and not longer.
            started = time.monotonic()
            with pytest.raises(RuntimeError, match="SHM tensor pool exhausted"):
                client.infer([4], "uint8", b"abcd")
            while True:
                try:
                    assert client.infer([4], "uint8", b"abcd") == list(b"abcd")
                    break
                except RuntimeError as error:
                    assert "SHM tensor pool exhausted" in str(error)
                    assert time.monotonic() - started < 32
                    time.sleep(0.5)
            connection.close()
        finally:
            silent.close()
            if victim.is_alive():
                victim.kill()


def churn(shm_name, hybrid_path, stop):
    """Calls until stopped, creating a new client every few calls; killed from outside."""
    call = 0
    while not stop.is_set():
        client = make_client("shm" if call % 2 else "hybrid", shm_name, hybrid_path)
        for _ in range(50):
            client.infer([64], "uint8", payload("victim", call))
            call += 1


def test_client_killed_mid_calls_loses_nothing_for_the_others(engine):
    report = CONTEXT.Queue()
    stop = CONTEXT.Event()
    victims = [CONTEXT.Process(target=churn, args=(engine.shm_name, engine.hybrid_path, stop)) for _ in range(2)]
    for victim in victims:
        victim.start()
    processes = start_workers(engine, [("shm",), ("hybrid",), ("shm", "hybrid")], CALLS, report)
    try:
        for victim in victims:
            time.sleep(0.3)
            os.kill(victim.pid, signal.SIGKILL)
            victim.join(10)
        collect(processes, report, timeout=240)
    finally:
        stop.set()
        for process in processes + victims:
            if process.is_alive():
                process.kill()
    # A new client right after: numbers, slots and mailboxes of the killed ones are usable again.
    client = zorvo_sdk.ZorvoShmClient(engine.shm_name)
    for call in range(200):
        sent = payload("after", call)
        assert bytes(client.infer([64], "uint8", sent)) == sent
