"""ZorvoHybridClient: tensors through shared memory, control frames over a Unix socket.

The engine is a scripted separate process (hybrid_engine.py): the client holds the interpreter
lock while it waits for the answer, so an engine thread in this process could never reply.
"""

import gc
import inspect
import json
import os
import struct
import subprocess
import sys
import tempfile
import time
import uuid
from pathlib import Path

import pytest

import zorvo_sdk

ZorvoHybridClient = zorvo_sdk.ZorvoHybridClient
ENGINE_SCRIPT = str(Path(__file__).with_name("hybrid_engine.py"))
POOL_OFFSET = 94208
REGION_SIZE = POOL_OFFSET + 8 * 1024 * 1024
EOF_TEXT = "io error: unexpected end of file"


class ScriptedEngine:
    """Runs hybrid_engine.py with `steps`; `finish()` returns its summary."""

    def __init__(self, steps, abstract=False, defer_listen=False):
        tag = f"{os.getpid()}_{uuid.uuid4().hex[:10]}"
        self.shm_name = f"/zorvo_hybrid_{tag}"
        if abstract:
            self.socket_path = f"\0zorvo_hybrid_{tag}"
            engine_path = "@" + self.socket_path[1:]
        else:
            self.socket_path = os.path.join(tempfile.gettempdir(), f"zorvo_hybrid_{tag}.sock")
            engine_path = self.socket_path
        arguments = [sys.executable, ENGINE_SCRIPT, self.shm_name, engine_path, json.dumps(steps)]
        if defer_listen:
            arguments.append("--defer-listen")
        self.process = subprocess.Popen(arguments, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert self.process.stdout.readline().strip() == ("region" if defer_listen else "ready")

    def listen(self):
        self.process.stdin.write("listen\n")
        self.process.stdin.flush()
        assert self.process.stdout.readline().strip() == "ready"

    def finish(self):
        output, _ = self.process.communicate(input="" if self.process.stdin else None, timeout=30)
        assert self.process.returncode == 0, output
        summary = json.loads(output.strip().splitlines()[-1])
        summary["frames"] = [bytes.fromhex(frame) for frame in summary["frames"]]
        return summary

    def client(self):
        return ZorvoHybridClient(self.shm_name, self.socket_path)


@pytest.fixture
def engines():
    started = []

    def start(steps, **options):
        engine = ScriptedEngine(steps, **options)
        started.append(engine)
        return engine

    yield start
    for engine in started:
        if engine.process.poll() is None:
            engine.process.kill()
            engine.process.wait()
        # A killed engine cannot remove what it created.
        for leftover in (os.path.join("/dev/shm", engine.shm_name.lstrip("/")), engine.socket_path):
            if not leftover.startswith("\0") and os.path.exists(leftover):
                os.unlink(leftover)


def parse_frame(frame):
    assert len(frame) == 52
    model, kind, length, request_id, param, b0, b1, b2, b3, timestamp, offset, size = struct.unpack(
        "<IIIQI4BQQQ", frame)
    return {"model": model, "kind": kind, "length": length, "request_id": request_id,
            "zeros": (param, b0, b1, b2, b3), "timestamp": timestamp, "offset": offset, "size": size}


def raised(call, exception_type):
    with pytest.raises(exception_type) as caught:
        call()
    assert type(caught.value) is exception_type
    assert len(caught.value.args) == 1
    assert caught.value.__cause__ is None
    return caught.value.args[0]


# ---------------------------------------------------------------------------------------------
# Surface and construction


def test_signatures_and_argument_errors(engines):
    assert str(inspect.signature(ZorvoHybridClient)) == "(shm_name, socket_path)"
    assert ZorvoHybridClient.infer.__text_signature__ == "($self, shape, dtype, data)"
    assert [name for name in dir(ZorvoHybridClient) if not name.startswith("_")] == ["infer"]

    engine = engines([], defer_listen=True)
    client = engine.client()
    assert raised(lambda: client.infer("12", "uint8", b""), TypeError) == \
        "argument 'shape': Can't extract `str` to `Vec`"
    assert raised(lambda: client.infer([1], "uint8", "ab"), TypeError) == \
        "argument 'data': Can't extract `str` to `Vec`"
    assert raised(lambda: client.infer([1], 5, b""), TypeError).startswith("argument 'dtype': ")
    raised(lambda: client.infer([1], "uint8"), TypeError)
    raised(lambda: client.infer([1], "uint8", b"", data=b""), TypeError)
    raised(lambda: client.infer([2**63], "uint8", b""), OverflowError)
    assert raised(lambda: ZorvoHybridClient(engine.shm_name, 3), TypeError).startswith("argument 'socket_path': ")


def test_missing_region_is_a_connection_error():
    message = raised(lambda: ZorvoHybridClient("/zorvo_hybrid_no_such_region", "/nonexistent.sock"),
                     ConnectionError)
    assert message == "Shared memory error: Opening the shared memory failed, os error 2"


# ---------------------------------------------------------------------------------------------
# The request as the engine sees it


def test_request_frames_and_blocks_byte_for_byte_on_one_connection(engines):
    engine = engines([{"kind": "echo"}, {"kind": "echo"}, {"kind": "echo", "result_len": 12}])
    client = engine.client()
    before = time.time_ns()
    assert client.infer([4, 4], "uint8", bytes(range(16))) == list(range(1, 17))
    after = time.time_ns()
    assert client.infer(shape=[2, 3], dtype="int64", data=[255] * 48) == [0] * 48
    result = client.infer([], "FLOAT64", bytearray())
    assert result == list(range(12))
    del client
    summary = engine.finish()

    assert summary["connections"] == 1
    first, second, third = (parse_frame(frame) for frame in summary["frames"])
    assert summary["frames"][0][:12] == bytes.fromhex("00000000" "04000000" "28000000")
    assert summary["frames"][0][12:28] == bytes.fromhex("0100000000000000" "0000000000000000")
    assert before <= first["timestamp"] <= after
    assert [f["request_id"] for f in (first, second, third)] == [1, 2, 3]
    assert all(f["zeros"] == (0, 0, 0, 0, 0) for f in (first, second, third))
    assert [f["size"] for f in (first, second, third)] == [96, 128, 80]
    for frame in (first, second, third):
        assert POOL_OFFSET <= frame["offset"] < REGION_SIZE

    blocks = summary["blocks"]
    assert blocks[0] == {"ndim": 2, "dtype_code": 0, "dims": [4, 4, 0, 0, 0, 0, 0, 0], "data_len": 16,
                         "data": bytes(range(16)).hex()}
    assert blocks[1]["ndim"] == 2 and blocks[1]["dtype_code"] == 3
    assert blocks[1]["dims"] == [2, 3, 0, 0, 0, 0, 0, 0] and blocks[1]["data_len"] == 48
    assert blocks[2] == {"ndim": 0, "dtype_code": 1, "dims": [0] * 8, "data_len": 0, "data": ""}


def test_request_numbers_count_calls_that_failed_after_conversion(engines):
    engine = engines([{"kind": "echo"}, {"kind": "echo"}])
    client = engine.client()
    assert raised(lambda: client.infer([1], "float-32", b"\0"), ValueError) == \
        "Invalid input: Unsupported dtype: float-32"
    raised(lambda: client.infer([1] * 9, "uint8", b"\0"), ValueError)
    exhausted = raised(lambda: client.infer([1], "nonsense", bytes(9 * 1024 * 1024)), RuntimeError)
    assert exhausted.startswith(f"SHM tensor pool exhausted (required={9 * 1024 * 1024 + 80} bytes, largest_slot=")
    assert ", layout=class0(" in exhausted and exhausted.endswith(")")
    assert client.infer([1], "uint8", b"\x05") == [6]
    # A conversion failure happens before numbering.
    raised(lambda: client.infer("x", "uint8", b"a"), TypeError)
    assert client.infer([8] * 8, "int32", b"\x01\x02") == [2, 3]
    del client
    summary = engine.finish()
    assert [parse_frame(frame)["request_id"] for frame in summary["frames"]] == [4, 5]
    assert summary["blocks"][1]["dims"] == [8] * 8 and summary["blocks"][1]["dtype_code"] == 2


# ---------------------------------------------------------------------------------------------
# Answers


def test_engine_errors_and_short_answers_keep_the_connection(engines):
    engine = engines([
        {"kind": "reply", "status": 5, "payload": b"model exploded".hex()},
        {"kind": "reply", "status": 5, "payload": b"bad \xff byte".hex()},
        {"kind": "echo", "payload_len": 39},
        {"kind": "echo", "payload_len": 0},
        {"kind": "echo", "payload_len": 41},
        {"kind": "echo", "is_error": 1},
    ])
    client = engine.client()
    assert raised(lambda: client.infer([1], "uint8", b"a"), RuntimeError) == "model exploded"
    assert raised(lambda: client.infer([1], "uint8", b"a"), RuntimeError) == "bad \ufffd byte"
    assert raised(lambda: client.infer([1], "uint8", b"a"), RuntimeError) == EOF_TEXT
    assert raised(lambda: client.infer([1], "uint8", b"a"), RuntimeError) == EOF_TEXT
    assert client.infer([1], "uint8", b"a") == [ord("b")]
    # is_error is not looked at: status 0 is a success.
    assert client.infer([1], "uint8", b"y") == [ord("z")]
    del client
    assert engine.finish()["connections"] == 1


def test_result_blocks_outside_the_region_are_refused_cleanly(engines):
    engine = engines([
        {"kind": "result_at", "offset": REGION_SIZE - 40},
        {"kind": "result_at", "offset": POOL_OFFSET + 4096, "data_len": 2**63},
        {"kind": "result_at", "offset": 2**64 - 1},
        {"kind": "echo"},
    ])
    client = engine.client()
    for _ in range(3):
        message = raised(lambda: client.infer([1], "uint8", b"a"), RuntimeError)
        assert "outside" in message and str(REGION_SIZE) in message
    assert client.infer([1], "uint8", b"a") == [ord("b")]


# ---------------------------------------------------------------------------------------------
# The control connection


def test_nothing_listening_fails_then_a_later_call_connects(engines):
    engine = engines([{"kind": "echo"}], defer_listen=True)
    client = engine.client()
    assert raised(lambda: client.infer([1], "uint8", b"a"), RuntimeError) == \
        "No such file or directory (os error 2)"
    engine.listen()
    assert client.infer([1], "uint8", b"a") == [ord("b")]
    del client
    summary = engine.finish()
    assert parse_frame(summary["frames"][0])["request_id"] == 2


def test_abstract_socket_names(engines):
    engine = engines([{"kind": "echo"}, {"kind": "echo"}], abstract=True)
    client = engine.client()
    assert client.infer([1], "uint8", b"\x10") == [0x11]
    assert client.infer([1], "uint8", b"\x20") == [0x21]
    del client
    assert engine.finish()["connections"] == 1


def test_engine_closing_after_an_answer_fails_only_the_next_call(engines):
    engine = engines([{"kind": "echo", "then": "close"}, {"kind": "echo"}])
    client = engine.client()
    assert client.infer([1], "uint8", b"a") == [ord("b")]
    time.sleep(0.05)
    message = raised(lambda: client.infer([1], "uint8", b"a"), RuntimeError)
    assert message in ("early eof", "Broken pipe (os error 32)", "Connection reset by peer (os error 104)")
    # The broken connection was dropped: this call connects afresh.
    assert client.infer([1], "uint8", b"c") == [ord("d")]
    del client
    assert engine.finish()["connections"] == 2


def test_engine_hanging_up_mid_exchange_then_reconnect(engines):
    engine = engines([{"kind": "hang_up"}, {"kind": "echo"}])
    client = engine.client()
    assert raised(lambda: client.infer([1], "uint8", b"a"), RuntimeError) == "early eof"
    assert client.infer([1], "uint8", b"a") == [ord("b")]
    del client
    assert engine.finish()["connections"] == 2


def test_reentrant_call_during_conversion_is_already_borrowed(engines):
    engine = engines([{"kind": "echo"}])
    client = engine.client()
    inner_errors = []

    class Dimension:
        def __index__(self):
            try:
                client.infer([1], "uint8", b"a")
            except RuntimeError as error:
                inner_errors.append(error.args)
            return 3

    assert client.infer([Dimension()], "uint8", b"a") == [ord("b")]
    assert inner_errors == [("Already borrowed",)]
    del client
    summary = engine.finish()
    assert parse_frame(summary["frames"][0])["request_id"] == 1
    assert summary["blocks"][0]["dims"][0] == 3


# ---------------------------------------------------------------------------------------------
# Resources


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def live_threads():
    """The client runtimes' worker threads in this process (other threads come and go)."""
    count = 0
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as name:
                count += name.read().strip() == "zorvo-runtime"
        except FileNotFoundError:
            pass  # the thread ended while we looked
    return count


def threads_settling_at(expected):
    """The worker count once it reaches `expected`, or after a second: a joined thread can stay
    listed for a moment until the kernel has reaped it."""
    deadline = time.monotonic() + 1.0
    count = live_threads()
    while count != expected and time.monotonic() < deadline:
        time.sleep(0.001)
        count = live_threads()
    return count


def test_a_thousand_clients_leave_no_thread_or_descriptor_behind(engines):
    engine = engines([{"kind": "echo"}, {"kind": "echo"}], defer_listen=True)
    engine.listen()
    # One client with an open control connection first, so that connections are counted too.
    client = engine.client()
    assert client.infer([1], "uint8", b"a") == [ord("b")]
    del client
    # Clients of earlier tests that only a collection ends stop their workers first, so that none
    # of theirs ends midway and lowers the count.
    gc.collect()
    threads, descriptors = threads_settling_at(0), open_descriptors()
    # One worker per processor the process may use: the affinity mask, or fewer under a CPU quota.
    client = engine.client()
    workers = live_threads() - threads
    assert 1 <= workers <= len(os.sched_getaffinity(0))
    del client
    for _ in range(1000):
        client = engine.client()
        assert threads_settling_at(threads + workers) == threads + workers
        del client
    assert threads_settling_at(threads) == threads
    assert open_descriptors() == descriptors
    client = engine.client()
    assert client.infer([1], "uint8", b"b") == [ord("c")]
    del client
    assert engine.finish()["connections"] == 2
