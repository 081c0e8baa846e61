"""Clients used by processes forked after the client was created, and clients whose engine
restarts under them, against the reference engine.

One table of client kinds drives every test, so that a kind is covered by adding a row.
"""

import faulthandler
import multiprocessing
import os
import signal
import struct
import time
import uuid
from typing import Callable, NamedTuple

import pytest

import zorvo_sdk
from engine_util import require_engine_binary, running_engine, start_engine

CHILDREN = 4
CALLS_PER_CHILD = 500
# For the whole multi-process run: a child that hangs fails the test instead of stalling it.
RUN_TIMEOUT = 60.0

FORK = multiprocessing.get_context("fork")


class ClientKind(NamedTuple):
    make: Callable  # engine -> client
    call: Callable  # (client, payload bytes) -> result
    expected: Callable  # payload bytes -> the right result


def socket_call(client, payload):
    return client.infer(1, [len(payload)], "uint8", payload)


def region_call(client, payload):
    return client.infer([len(payload)], "uint8", payload)


KINDS = {
    "unix": ClientKind(lambda engine: zorvo_sdk.ZorvoClient(f"unix://{engine.unix_path}"), socket_call, list),
    "tcp": ClientKind(lambda engine: zorvo_sdk.ZorvoClient(f"tcp://{engine.tcp_address}"), socket_call, list),
    "shm": ClientKind(lambda engine: zorvo_sdk.ZorvoShmClient(engine.shm_name), region_call, list),
    "hybrid": ClientKind(lambda engine: zorvo_sdk.ZorvoHybridClient(engine.shm_name, engine.hybrid_path),
                         region_call, list),
}
SOCKET_KINDS = ["unix", "tcp"]


@pytest.fixture(scope="module")
def engine():
    require_engine_binary()
    with running_engine(tcp=True, unix=True, shm=True, hybrid=True, pool_size=1 << 22) as running:
        yield running


@pytest.fixture(autouse=True)
def watchdog(capfd):
    # A socket call has no time limit and holds the interpreter lock while it waits, so a call
    # that never returns can only be ended from outside the interpreter: the process exits,
    # printing every thread's traceback on the real standard error.
    with capfd.disabled():
        stderr = os.dup(2)
    faulthandler.dump_traceback_later(2 * RUN_TIMEOUT, exit=True, file=stderr)
    yield
    faulthandler.cancel_dump_traceback_later()
    os.close(stderr)


def payload(process: int, call: int) -> bytes:
    """Distinct for every process and call, and of varying length."""
    return struct.pack("<HH", process, call) + bytes([process & 0xFF]) * (call % 13)


def run_calls(kind: ClientKind, client, process: int, calls: int) -> list:
    """The calls whose answer was wrong or failed, as (call, what happened)."""
    wrong = []
    for call in range(calls):
        data = payload(process, call)
        try:
            result = kind.call(client, data)
        except Exception as error:  # noqa: BLE001 - every failure counts as a wrong answer
            result = error
        if result != kind.expected(data):
            wrong.append((call, repr(result)[:200]))
    return wrong


def end_child_if_hung():
    # SIGALRM's default action ends the process even inside a call that holds the interpreter
    # lock, so a hung child cannot outlive the test run.
    signal.alarm(int(RUN_TIMEOUT) + 5)


def child_calls(kind_name, client, process, results):
    end_child_if_hung()
    results.put((process, run_calls(KINDS[kind_name], client, process, CALLS_PER_CHILD)))


def join_all(children, results):
    """Each child's report, after every child has ended within RUN_TIMEOUT."""
    deadline = time.monotonic() + RUN_TIMEOUT
    for child in children:
        child.join(max(0.0, deadline - time.monotonic()))
    hung = [child.pid for child in children if child.is_alive()]
    for child in children:
        if child.is_alive():
            child.kill()
            child.join()
    assert not hung, f"children still running after {RUN_TIMEOUT} s: {hung}"
    assert [child.exitcode for child in children] == [0] * len(children)
    return dict(results.get() for _ in children)


@pytest.mark.parametrize("kind_name", list(KINDS))
def test_children_forked_after_first_use_get_only_their_own_answers(engine, kind_name):
    kind = KINDS[kind_name]
    client = kind.make(engine)
    first = payload(0xFFFF, 1)
    assert kind.call(client, first) == kind.expected(first)

    results = FORK.SimpleQueue()
    children = [FORK.Process(target=child_calls, args=(kind_name, client, process, results))
                for process in range(1, CHILDREN + 1)]
    for child in children:
        child.start()
    # The parent goes on using the same client while the children run.
    parent_wrong = run_calls(kind, client, 0, 100)
    reports = join_all(children, results)

    assert reports == {process: [] for process in range(1, CHILDREN + 1)}
    assert parent_wrong == []
    assert run_calls(kind, client, 0, 20) == []


def child_steps_inherited_stream(client, stream, results):
    end_child_if_hung()
    outcome = []
    for _ in range(2):
        try:
            outcome.append(("item", next(stream)))
        except RuntimeError as error:
            outcome.append((type(error).__name__, str(error)))
    # The first failed step closed the child's copy of the stream's descriptor; the client connects afresh.
    outcome.append(("call", socket_call(client, b"\x07")))
    results.put((0, outcome))


@pytest.mark.parametrize("kind_name", SOCKET_KINDS)
def test_a_stream_inherited_by_a_child_fails_there_and_goes_on_in_the_parent(engine, kind_name):
    client = KINDS[kind_name].make(engine)
    stream = client.infer_stream(1, [3], "uint8", b"\x01\x02\x03")
    assert next(stream) == [1, 2, 3]

    results = FORK.SimpleQueue()
    child = FORK.Process(target=child_steps_inherited_stream, args=(client, stream, results))
    child.start()
    inherited = "stream was started in the parent process; start a new stream after fork"
    assert join_all([child], results) == {
        0: [("RuntimeError", inherited), ("RuntimeError", inherited), ("call", [7])]}

    # The child neither read nor shut down the parent's stream: the other 7 items follow.
    assert list(stream) == [[1, 2, 3]] * 7


@pytest.mark.parametrize("kind_name", list(KINDS))
def test_engine_restarted_under_a_live_client(tmp_path, kind_name):
    require_engine_binary()
    kind = KINDS[kind_name]
    endpoints = ["--unix", str(tmp_path / "engine.sock"), "--hybrid", str(tmp_path / "hybrid.sock"),
                 "--shm", f"/zorvo-restart-{os.getpid()}-{uuid.uuid4().hex[:8]}"]
    engine = start_engine(tcp=False, unix=False, extra_args=endpoints + ["--tcp", "127.0.0.1:0"])
    try:
        client = kind.make(engine)
        assert kind.call(client, b"before") == list(b"before")
        port = engine.tcp_address
        engine.stop()
        # Same endpoints, a new region object under the same name.
        engine = start_engine(tcp=False, unix=False, extra_args=endpoints + ["--tcp", port])
        try:
            kind.call(client, b"first")  # may fail once: the client notices the restart here
        except (ConnectionError, RuntimeError, TimeoutError):
            pass
        for call in range(3):
            data = payload(7, call) + b"after"
            assert kind.call(client, data) == list(data)
        if kind_name in ("shm", "hybrid"):
            # The reference engine answers in place, so the answer alone cannot tell which region
            # the tensor went to: look for it in the new one.
            with open("/dev/shm/" + engine.shm_name.lstrip("/"), "rb") as region:
                assert data in region.read()
    finally:
        engine.stop()
