"""Long runs of every client against the reference engine: resident memory, descriptors, threads
and memory mappings stay where they were, and no call, successful or failed, changes the reference
count of any object handed to it.
"""

import gc
import os
import sys

import pytest

import zorvo_sdk
from engine_util import require_engine_binary, running_engine
from hostile_probes import mappings, open_descriptors, live_threads, resident_bytes

CALLS = 100_000
WARM_UP = 10_000
# Steady state is flat; a leak of even one result list or request buffer per call is tens of MiB.
# Growth allowed after the warm-up. Instrumented builds keep per-thread allocator caches that
# fill as the runtime's workers take over waits, so the sanitizer script raises the margin.
RESIDENT_MARGIN = int(os.environ.get("ZORVO_RESIDENT_MARGIN_MIB", "2")) << 20
DATA = bytes(range(256))
EXPECTED = list(DATA)
TOO_BIG_FOR_THE_POOL = bytes(9 << 20)  # above the largest slot of an 8 MiB pool


@pytest.fixture(scope="module")
def engine():
    require_engine_binary()
    with running_engine(tcp=False, unix=True, shm=True, hybrid=True, pool_size="8M") as running:
        yield running


def make_client(engine, kind):
    if kind == "socket":
        return zorvo_sdk.ZorvoClient("unix://" + engine.unix_path)
    if kind == "shm":
        return zorvo_sdk.ZorvoShmClient(engine.shm_name)
    return zorvo_sdk.ZorvoHybridClient(engine.shm_name, engine.hybrid_path)


def infer(client, shape, dtype, data, model_id=0, additional_inputs=None):
    """One call in the form of the client's own signature."""
    if isinstance(client, zorvo_sdk.ZorvoClient):
        return client.infer(model_id, shape, dtype, data, additional_inputs)
    return client.infer(shape, dtype, data)


def failing_calls(client):
    """Calls that fail on each error path the client has, with the exception each raises."""
    calls = [
        (ValueError, lambda: infer(client, [1], "complex", b"\x00")),
        (TypeError, lambda: infer(client, [1], "uint8", [1, "x"])),
        (OverflowError, lambda: infer(client, [1], "uint8", [256])),
    ]
    if isinstance(client, zorvo_sdk.ZorvoClient):
        calls.append((RuntimeError, lambda: infer(client, [1], "uint8", b"\x00", model_id=2)))
    else:
        calls.append((RuntimeError, lambda: infer(client, [1], "uint8", TOO_BIG_FOR_THE_POOL)))
        calls.append((ValueError, lambda: infer(client, [1] * 9, "uint8", b"\x00")))
    return calls


# ---------------------------------------------------------------------------------------------
# A hundred thousand calls


@pytest.mark.parametrize("kind", ["socket", "shm", "hybrid"])
def test_a_hundred_thousand_calls_keep_memory_descriptors_and_threads_steady(engine, kind):
    client = make_client(engine, kind)
    failures = failing_calls(client)

    def run(count):
        for i in range(count):
            if i % 10 == 9:
                expected, call = failures[i // 10 % len(failures)]
                try:
                    call()
                except expected:
                    continue
                raise AssertionError("failing call did not raise %s" % expected.__name__)
            result = infer(client, [256], "uint8", DATA)
            if i % 1009 == 0:
                assert result == EXPECTED

    run(WARM_UP)
    gc.collect()
    resident, descriptors, threads = resident_bytes(), open_descriptors(), live_threads()
    run(CALLS - WARM_UP)
    gc.collect()
    assert resident_bytes() - resident < RESIDENT_MARGIN
    assert open_descriptors() == descriptors
    assert live_threads() == threads


# ---------------------------------------------------------------------------------------------
# Reference counts of the arguments


class Byte:
    """An integer-like item whose own reference count the test can watch."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def fresh_text(value):
    # A str object of the test's own, not an interned constant shared with other code.
    return "".join(list(value))


def watched_arguments():
    shape = [Byte(4), 1]
    byte_items = [Byte(1), Byte(2), Byte(3), Byte(4)]
    bad_item = Byte(1)
    named = ("extra", [Byte(1)], fresh_text("uint8"), bytearray(b"\x01"))
    return {
        "shape": shape, "shape item": shape[0],
        "dtype": fresh_text("uint8"), "bad dtype": fresh_text("no-such-type"),
        "bytes": bytes(b"\x01\x02\x03\x04"), "bytearray": bytearray(b"\x01\x02\x03\x04"),
        "list": byte_items, "list item": byte_items[0],
        "bad list": [bad_item, fresh_text("x")], "bad list item": bad_item,
        "additional inputs": [named], "additional input": named, "its shape": named[1],
        "its dtype": named[2], "its data": named[3], "short tuple": [("a", [1], fresh_text("u8"))],
        "bad named": [("extra", [1], fresh_text("complex"), b"\x01")],
    }


def reference_counts(objects):
    return {name: sys.getrefcount(value) for name, value in objects.items()}


@pytest.mark.parametrize("kind", ["socket", "shm", "hybrid"])
def test_calls_that_succeed_or_fail_leave_argument_reference_counts_unchanged(engine, kind):
    client = make_client(engine, kind)
    args = watched_arguments()
    args["client"] = client
    socket = kind == "socket"
    good = [lambda data=data: infer(client, args["shape"], args["dtype"], args[data])
            for data in ("bytes", "bytearray", "list")]
    failing = [
        (ValueError, lambda: infer(client, args["shape"], args["bad dtype"], args["bytes"])),
        (TypeError, lambda: infer(client, args["shape"], args["dtype"], args["bad list"])),
        (TypeError, lambda: infer(client, args["shape"], args["dtype"], args["dtype"])),
        (RuntimeError, (lambda: infer(client, args["shape"], args["dtype"], args["bytes"], model_id=2))
         if socket else (lambda: infer(client, args["shape"], args["dtype"], TOO_BIG_FOR_THE_POOL))),
    ]
    if socket:
        good.append(lambda: infer(client, args["shape"], args["dtype"], args["list"],
                                  additional_inputs=args["additional inputs"]))
        failing += [
            (ValueError, lambda: infer(client, args["shape"], args["dtype"], args["bytes"],
                                       additional_inputs=args["bad named"])),
            (TypeError, lambda: infer(client, args["shape"], args["dtype"], args["bytes"],
                                      additional_inputs=args["short tuple"])),
            (TypeError, lambda: infer(client, args["shape"], args["dtype"], args["bytes"],
                                      additional_inputs=args["dtype"])),
        ]

    for call in good:
        assert call() == [1, 2, 3, 4]
    before = reference_counts(args)
    for _ in range(50):
        for call in good:
            assert call() == [1, 2, 3, 4]
        for expected, call in failing:
            with pytest.raises(expected):
                call()
    assert reference_counts(args) == before


# ---------------------------------------------------------------------------------------------
# Clients made and dropped in a loop


def steady(action, rounds):
    """Runs `action` `rounds` times after one warm-up; returns the growth of every probe."""
    action()
    gc.collect()
    before = (open_descriptors(), live_threads(), mappings())
    for _ in range(rounds):
        action()
    gc.collect()
    after = (open_descriptors(), live_threads(), mappings())
    return {name: a - b for name, a, b in zip(("fds", "threads", "maps"), after, before)}


@pytest.mark.parametrize("kind, rounds", [("socket", 300), ("shm", 300), ("hybrid", 100)])
def test_clients_made_used_and_dropped_in_a_loop_leave_nothing_behind(engine, kind, rounds):
    client_type = type(make_client(engine, kind))
    type_references = sys.getrefcount(client_type)

    def one_client():
        client = make_client(engine, kind)
        assert infer(client, [3], "uint8", b"\x07\x08\x09") == [7, 8, 9]

    growth = steady(one_client, rounds)
    assert growth["fds"] == 0 and growth["threads"] == 0
    assert growth["maps"] < 10  # one leaked mapping or thread stack per round would show
    assert sys.getrefcount(client_type) == type_references


def test_streams_read_in_full_or_dropped_early_leave_nothing_behind(engine):
    client = make_client(engine, "socket")
    stream_type = type(client.infer_stream(0, [1], "uint8", b"\x01"))
    type_references = sys.getrefcount(stream_type)

    def streams():
        assert list(client.infer_stream(0, [2], "uint8", b"\x05\x06")) == [[5, 6]] * 8
        dropped = client.infer_stream(0, [1], "uint8", b"\x01")
        assert next(dropped) == [1]
        del dropped

    growth = steady(streams, 300)
    assert growth["fds"] == 0 and growth["threads"] == 0
    assert sys.getrefcount(stream_type) == type_references


def test_failed_calls_and_streams_close_their_connections(engine, tmp_path):
    client = make_client(engine, "socket")
    absent = zorvo_sdk.ZorvoClient("unix://" + str(tmp_path / "absent.sock"))

    def failures():
        with pytest.raises(ValueError):
            client.infer_stream(0, [1], "complex", b"\x01")  # connected first, then refused
        with pytest.raises(ConnectionError):
            client.infer(5, [1], "uint8", b"\x01")  # model 5 hangs up: both attempts fail
        stream = client.infer_stream(5, [1], "uint8", b"\x01")
        with pytest.raises(RuntimeError):
            next(stream)
        del stream
        with pytest.raises(ConnectionError):
            absent.infer(0, [1], "uint8", b"\x01")
        with pytest.raises(ConnectionError):
            absent.infer_stream(0, [1], "uint8", b"\x01")

    growth = steady(failures, 200)
    assert growth["fds"] == 0 and growth["threads"] == 0
    assert client.infer(0, [1], "uint8", b"\x02") == [2]
