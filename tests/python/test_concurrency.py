"""Clients shared between Python threads, re-entered while the interpreter lock is released, and
interrupted by signal handlers in the middle of a shared-memory call.

Engines always run in their own processes (the clients hold the interpreter lock while they wait).
"""

import gc
import os
import signal
import struct
import threading
import time

import pytest

import zorvo_sdk
from engine_util import require_engine_binary, running_engine
from hostile_probes import open_descriptors
from shm_fake_engine import POOL, FakeShmEngine
from socket_fake_engine import FakeEngine

THREADS = 6
SLOT = 262144  # one slot of the smallest class


@pytest.fixture(scope="module")
def engine():
    require_engine_binary()
    with running_engine(tcp=True, unix=True, shm=True, hybrid=True, pool_size="8M") as running:
        yield running


def run_threads(work, count=THREADS):
    """Runs `work(index)` on `count` threads at once; re-raises the first failure."""
    failures = []
    start = threading.Barrier(count)

    def body(index):
        try:
            start.wait()
            work(index)
        except BaseException as error:  # noqa: B902 - reported to the test below
            failures.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not any(thread.is_alive() for thread in threads)
    if failures:
        raise failures[0]


def payload(thread, call):
    return bytes([thread, call % 256, (call >> 8) % 256, 0xA5])


# ---------------------------------------------------------------------------------------------
# One ZorvoClient shared by many threads


@pytest.mark.parametrize("transport", ["unix", "tcp"])
def test_threads_sharing_a_socket_client_get_their_own_results(engine, transport):
    endpoint = "unix://" + engine.unix_path if transport == "unix" else "tcp://" + engine.tcp_address
    client = zorvo_sdk.ZorvoClient(endpoint, max_pool_size=2)
    gc.collect()
    descriptors = open_descriptors()

    def work(thread):
        for call in range(400):
            data = payload(thread, call)
            assert client.infer(thread % 2, [4], "uint8", data) == list(data)  # models 0, 1 echo

    run_threads(work)
    # The pool never holds more than its bound.
    assert open_descriptors() - descriptors <= 2


def test_shared_socket_client_serves_every_thread_from_one_pooled_connection():
    with FakeEngine([[("echo_all",)]]) as fake:
        client = zorvo_sdk.ZorvoClient(fake.endpoint, max_pool_size=4)

        def work(thread):
            for call in range(100):
                data = payload(thread, call)
                assert client.infer(1, [4], "u8", data) == list(data)

        run_threads(work)
        # Calls hold the interpreter lock throughout, so they never overlap: one connection is enough.
        assert fake.accepted() == 1
        assert len(fake.requests()) == THREADS * 100


def test_shared_socket_client_without_a_pool_closes_every_connection():
    with FakeEngine() as fake:
        client = zorvo_sdk.ZorvoClient(fake.endpoint, max_pool_size=0)

        def work(thread):
            for call in range(30):
                assert client.infer(1, [2], "u8", [thread, call]) == [thread, call]

        run_threads(work)
        events = fake.wait_for(lambda events: sum(e["event"] == "eof" for e in events) == THREADS * 30)
        assert sum(e["event"] == "accepted" for e in events) == THREADS * 30


def test_shared_socket_client_survives_an_engine_dropping_connections_under_contention():
    # Every connection answers five requests and then hangs up: pooled connections keep dying
    # under the threads' feet, and each death costs one retry on a fresh connection.
    dying = [("request",), ("echo",)] * 5 + [("close",)]
    with FakeEngine([dying] * 200) as fake:
        client = zorvo_sdk.ZorvoClient(fake.endpoint, max_pool_size=3)
        gc.collect()
        descriptors = open_descriptors()

        def work(thread):
            for call in range(60):
                data = payload(thread, call)
                assert client.infer(2, [4], "u8", data) == list(data)

        run_threads(work)
        assert open_descriptors() - descriptors <= 3
        assert fake.accepted() >= THREADS * 60 // 5


def test_streams_and_calls_interleaved_across_threads(engine):
    client = zorvo_sdk.ZorvoClient("unix://" + engine.unix_path)
    gc.collect()
    descriptors = open_descriptors()

    def work(thread):
        data = payload(thread, 0)
        stream = client.infer_stream(0, [4], "uint8", data)
        for step in range(8):
            if step % 3 == 0:
                time.sleep(0.001)  # let the other threads in between two items
            assert next(stream) == list(data)
            assert client.infer(0, [4], "uint8", data[::-1]) == list(data[::-1])
        with pytest.raises(StopIteration):
            next(stream)

    run_threads(work)
    gc.collect()
    assert open_descriptors() - descriptors <= 1  # the one pooled connection of the infer calls


# ---------------------------------------------------------------------------------------------
# Shared-memory and hybrid clients shared by threads (the reference region has no readiness
# descriptor, so their calls never release the interpreter lock and never overlap)


@pytest.mark.parametrize("kind", ["shm", "hybrid", "shm-per-thread"])
def test_threads_sharing_region_clients_get_their_own_results(engine, kind):
    def make():
        if kind == "hybrid":
            return zorvo_sdk.ZorvoHybridClient(engine.shm_name, engine.hybrid_path)
        return zorvo_sdk.ZorvoShmClient(engine.shm_name)

    shared = make()

    def work(thread):
        client = make() if kind == "shm-per-thread" else shared
        for call in range(500):
            data = payload(thread, call)
            assert client.infer([4], "uint8", data) == list(data)

    run_threads(work)


# ---------------------------------------------------------------------------------------------
# Re-entry while a shared-memory call waits without the interpreter lock


def logged_ids(engine, expected):
    return [struct.unpack_from("<Q", entry)[0] for entry, _ in engine.requests(expected)]


def test_calls_made_during_the_readiness_wait_are_refused_without_using_anything():
    readable, writable = os.pipe()  # never written: the wait lasts its whole 5 seconds
    try:
        with FakeShmEngine(pool_size=SLOT, notify_fd=readable) as fake:
            client = zorvo_sdk.ZorvoShmClient(fake.name)
            refusals = []

            def intruder():
                # Once the engine has the request, the owner sits in its readiness wait.
                assert len(fake.requests(1)) == 1
                for _ in range(3):
                    try:
                        client.infer([1], "uint8", b"\x01")
                    except RuntimeError as error:
                        refusals.append((error.args, time.monotonic()))

            helpers = [threading.Thread(target=intruder) for _ in range(3)]
            for helper in helpers:
                helper.start()
            started = time.monotonic()
            assert client.infer([2], "uint8", b"\x2a\x2b") == [42, 43]
            finished = time.monotonic()
            for helper in helpers:
                helper.join(10)

            assert [args for args, _ in refusals] == [("Already borrowed",)] * 9
            assert all(started < at < finished for _, at in refusals)
            assert finished - started >= 4.9
            # The refused calls took no request number and no slot (the pool has one).
            os.write(writable, b"x")
            assert client.infer([1], "uint8", b"\x07") == [7]
            assert logged_ids(fake, 2) == [1, 2]
    finally:
        os.close(readable)
        os.close(writable)


# ---------------------------------------------------------------------------------------------
# Signal handlers that raise in the middle of a shared-memory call


@pytest.fixture
def usr1_raises_keyboard_interrupt():
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGUSR1, interrupt)
    yield {"do": "signal_parent", "signum": int(signal.SIGUSR1)}
    signal.signal(signal.SIGUSR1, previous)


def exhausted(slots):
    return ("SHM tensor pool exhausted (required=81 bytes, largest_slot=262144 bytes, "
            "layout=class0(base=%d slot_size=262144 slots=%d))" % (POOL, slots),)


def test_interrupt_while_polling_keeps_the_slot_leased(usr1_raises_keyboard_interrupt):
    # The engine takes the request and, instead of answering, interrupts the polling client.
    with FakeShmEngine([usr1_raises_keyboard_interrupt], pool_size=SLOT) as fake:
        client = zorvo_sdk.ZorvoShmClient(fake.name)
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            client.infer([1], "uint8", b"\x01")
        assert time.monotonic() - started < 3.0
        # The engine may still read the request's block, so its only slot stays leased; the
        # client itself is free again (no "Already borrowed").
        with pytest.raises(RuntimeError) as raised:
            client.infer([1], "uint8", b"\x02")
        assert raised.value.args == exhausted(1)
        (entry, block) = fake.requests(1)[0]
        assert struct.unpack_from("<Q", entry)[0] == 1 and block[80:] == b"\x01"


def test_calls_go_on_around_slots_kept_by_interrupted_calls(usr1_raises_keyboard_interrupt):
    script = [usr1_raises_keyboard_interrupt, {"do": "echo"}, usr1_raises_keyboard_interrupt]
    with FakeShmEngine(script, pool_size=2 * SLOT) as fake:
        client = zorvo_sdk.ZorvoShmClient(fake.name)
        with pytest.raises(KeyboardInterrupt):
            client.infer([1], "uint8", b"\x01")
        assert client.infer([1], "uint8", b"\x02") == [2]
        with pytest.raises(KeyboardInterrupt):
            client.infer([1], "uint8", b"\x03")
        with pytest.raises(RuntimeError) as raised:
            client.infer([1], "uint8", b"\x04")
        assert raised.value.args == exhausted(2)

        offsets = [struct.unpack_from("<Q", entry, 24)[0] for entry, _ in fake.requests(3)]
        # The search for request 3 began at the first slot, still held by request 1.
        assert offsets[0] != offsets[1] and offsets[2] == offsets[1]


def test_interrupt_during_the_readiness_wait_ends_the_call_at_once(usr1_raises_keyboard_interrupt):
    readable, writable = os.pipe()
    try:
        with FakeShmEngine([{"do": "silent"}], pool_size=SLOT, notify_fd=readable) as fake:
            client = zorvo_sdk.ZorvoShmClient(fake.name)
            main = threading.main_thread().ident

            def interrupt_the_wait():
                fake.requests(1)  # the owner is in its readiness wait from here on
                # Aimed at the waiting thread itself, so that its wait is the one cut short.
                signal.pthread_kill(main, signal.SIGUSR1)

            sender = threading.Thread(target=interrupt_the_wait)
            sender.start()
            started = time.monotonic()
            with pytest.raises(KeyboardInterrupt):
                client.infer([1], "uint8", b"\x01")
            assert time.monotonic() - started < 3.0
            sender.join()
            with pytest.raises(RuntimeError) as raised:
                client.infer([1], "uint8", b"\x02")
            assert raised.value.args == exhausted(1)
    finally:
        os.close(readable)
        os.close(writable)
