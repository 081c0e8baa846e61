"""Clients in several processes against the reference engine: several clients on one region,
clients inherited by forked children, clients whose engine restarts, and clients killed mid-call.

One table of client kinds and one harness (process_harness.py) drive every test: `run_processes`
starts processes, bounds the whole run, and returns each process's list of failed calls (wrong
answer or exception).
"""

import faulthandler
import os
import signal
import socket
import threading
import time
import uuid

import pytest

import zorvo_sdk
from engine_util import require_engine_binary, running_engine, start_engine
from process_harness import (FORK, KINDS, RUN_TIMEOUT, SPAWN, Endpoints, failed_calls, payload, region_call,
                             report_failures, run_processes, socket_call)


@pytest.fixture(scope="module")
def engine():
    require_engine_binary()
    with running_engine(tcp=True, unix=True, shm=True, hybrid=True, pool_size="8M") as running:
        yield running


@pytest.fixture(autouse=True)
def watchdog(capfd):
    # A socket call has no time limit and holds the interpreter lock while it waits, so a call
    # that never returns can only be ended from outside the interpreter: the process exits,
    # printing every thread's traceback on the real standard error.
    with capfd.disabled():
        stderr = os.dup(2)
    faulthandler.dump_traceback_later(RUN_TIMEOUT + 60, exit=True, file=stderr)
    yield
    faulthandler.cancel_dump_traceback_later()
    os.close(stderr)


# ---------------------------------------------------------------------------------------------
# Several clients, processes and threads on one region


def clients_on_threads(results, tag, kinds, endpoints, calls):
    """One client per kind, each on its own thread of this process."""
    failures = []

    def run(index, kind_name):
        failures.extend(failed_calls(kind_name, KINDS[kind_name].make(endpoints), f"{tag}.{index}", calls))

    def work():
        threads = [threading.Thread(target=run, args=item) for item in enumerate(kinds)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        return failures

    report_failures(results, tag, work)


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
    endpoints = Endpoints(engine.unix_path, engine.tcp_address, engine.shm_name, engine.hybrid_path)
    reports = run_processes(SPAWN, clients_on_threads, [(kinds, endpoints, 2000) for kinds in layout])
    assert reports == {f"p{i}": [] for i in range(len(layout))}


def churn(shm_name, hybrid_path):
    """Calls until killed, with a new client every 50 calls."""
    endpoints = Endpoints("", "", shm_name, hybrid_path)
    for call in range(10**9):
        client = KINDS["shm" if call % 2 else "hybrid"].make(endpoints)
        for _ in range(50):
            region_call(client, b"victim")


def test_clients_killed_mid_calls_cost_the_others_nothing(engine):
    endpoints = Endpoints(engine.unix_path, engine.tcp_address, engine.shm_name, engine.hybrid_path)
    victims = [SPAWN.Process(target=churn, args=(engine.shm_name, engine.hybrid_path)) for _ in range(2)]
    for victim in victims:
        victim.start()

    def kill_victims():
        for victim in victims:
            time.sleep(0.5)
            os.kill(victim.pid, signal.SIGKILL)

    killer = threading.Thread(target=kill_victims)
    killer.start()
    try:
        reports = run_processes(SPAWN, clients_on_threads, [(("shm",), endpoints, 2000),
                                                            (("hybrid",), endpoints, 2000),
                                                            (("shm", "hybrid"), endpoints, 2000)])
    finally:
        killer.join()
        for victim in victims:
            victim.kill()
            victim.join()
    assert reports == {"p0": [], "p1": [], "p2": []}
    # Numbers, slots and mailboxes of the killed clients are usable again.
    assert failed_calls("shm", KINDS["shm"].make(endpoints), "after", 200) == []


def hold_a_slot(shm_name, control_path):
    """A hybrid client whose engine never answers: it holds its slot until it is killed."""
    zorvo_sdk.ZorvoHybridClient(shm_name, control_path).infer([4], "uint8", b"\x01\x02\x03\x04")


def test_killed_clients_slot_is_free_again_within_the_lease(tmp_path):
    if os.environ.get("ZORVO_CHURN") == "skip":
        pytest.skip("waits out a 30 s lease in the core, not the interpreter or the wheel: run once, by scripts/test")
    require_engine_binary()
    # One slot in the whole pool: whoever holds it blocks every other client.
    with running_engine(tcp=False, unix=False, shm=True, hybrid=True, pool_size=200000) as engine:
        silent = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        silent.bind(str(tmp_path / "silent.sock"))
        silent.listen(1)
        victim = SPAWN.Process(target=hold_a_slot, args=(engine.shm_name, str(tmp_path / "silent.sock")))
        victim.start()
        try:
            connection, _ = silent.accept()
            connection.recv(52)  # the request frame: the victim's tensor is in the only slot
            client = zorvo_sdk.ZorvoShmClient(engine.shm_name)
            os.kill(victim.pid, signal.SIGKILL)
            victim.join(10)
            # The engine may still be reading the dead client's tensor: its slot stays claimed
            # until the 30 s lease ends, and not longer.
            started = time.monotonic()
            while True:
                try:
                    assert client.infer([4], "uint8", b"abcd") == list(b"abcd")
                    break
                except RuntimeError as error:
                    assert "SHM tensor pool exhausted" in str(error)
                    assert time.monotonic() - started < 32
                    time.sleep(0.5)
            assert time.monotonic() - started > 20
            connection.close()
        finally:
            silent.close()
            victim.kill()


# ---------------------------------------------------------------------------------------------
# fork


def child_calls(results, tag, kind_name, client):
    report_failures(results, tag, lambda: failed_calls(kind_name, client, tag, 500))


@pytest.mark.parametrize("kind_name", list(KINDS))
def test_children_forked_after_first_use_get_only_their_own_answers(engine, kind_name):
    client = KINDS[kind_name].make(engine)
    assert failed_calls(kind_name, client, "first", 1) == []
    # The parent goes on using the same client while the children run.
    parent_failures = []
    reports = run_processes(FORK, child_calls, [(kind_name, client)] * 4, timeout=60,
                            meanwhile=lambda: parent_failures.extend(failed_calls(kind_name, client, "parent", 100)))
    assert reports == {f"p{i}": [] for i in range(4)}
    assert parent_failures == []
    assert failed_calls(kind_name, client, "parent-after", 20) == []


def child_steps_inherited_stream(results, tag, client, stream):
    def work():
        outcome = []
        for _ in range(2):
            try:
                outcome.append(("item", next(stream)))
            except RuntimeError as error:
                outcome.append((type(error).__name__, str(error)))
        # The first failed step closed the child's copy of the stream's descriptor; the client connects afresh.
        outcome.append(("call", socket_call(client, b"\x07")))
        return outcome

    report_failures(results, tag, work)


@pytest.mark.parametrize("kind_name", ["unix", "tcp"])
def test_a_stream_inherited_by_a_child_fails_there_and_goes_on_in_the_parent(engine, kind_name):
    client = KINDS[kind_name].make(engine)
    stream = client.infer_stream(1, [3], "uint8", b"\x01\x02\x03")
    assert next(stream) == [1, 2, 3]
    inherited = "stream was started in the parent process; start a new stream after fork"
    assert run_processes(FORK, child_steps_inherited_stream, [(client, stream)], timeout=60) == {
        "p0": [("RuntimeError", inherited), ("RuntimeError", inherited), ("call", [7])]}
    # The child neither read nor shut down the parent's stream: the other 7 items follow.
    assert list(stream) == [[1, 2, 3]] * 7


# ---------------------------------------------------------------------------------------------
# Engine restarts


@pytest.mark.parametrize("kind_name", list(KINDS))
def test_engine_restarted_under_a_live_client(tmp_path, kind_name):
    require_engine_binary()
    endpoints = ["--unix", str(tmp_path / "engine.sock"), "--hybrid", str(tmp_path / "hybrid.sock"),
                 "--shm", f"/zorvo-restart-{os.getpid()}-{uuid.uuid4().hex[:8]}"]
    engine = start_engine(tcp=False, unix=False, extra_args=endpoints + ["--tcp", "127.0.0.1:0"])
    try:
        client = KINDS[kind_name].make(engine)
        assert failed_calls(kind_name, client, "before", 1) == []
        port = engine.tcp_address
        engine.stop()
        # Same endpoints, a new region object under the same name.
        engine = start_engine(tcp=False, unix=False, extra_args=endpoints + ["--tcp", port])
        failed_calls(kind_name, client, "first", 1)  # may fail once: the client notices the restart here
        assert failed_calls(kind_name, client, "after", 3) == []
        if kind_name in ("shm", "hybrid"):
            # The reference engine answers in place, so the answer alone cannot tell which region
            # the tensor went to: look for it in the new one.
            with open("/dev/shm/" + engine.shm_name.lstrip("/"), "rb") as region:
                assert payload("after", 2) in region.read()
    finally:
        engine.stop()
