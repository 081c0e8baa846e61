"""ZorvoShmClient: attaching to a region and inference through its queues.

The engine runs in a separate process (shm_fake_engine.py), since the client holds the
interpreter lock while it polls the response queue.
"""

import os
import signal
import struct
import threading
import time

import pytest

import zorvo_sdk
from shm_fake_engine import (FakeShmEngine, POOL, create_region, header, region_size,
                             remove_region, unique_name)

ZorvoShmClient = zorvo_sdk.ZorvoShmClient
OPEN_FAILED = "Shared memory error: Opening the shared memory failed, os error "


@pytest.fixture
def region_name():
    name = unique_name()
    yield name
    remove_region(name)


def connect_message(name):
    with pytest.raises(ConnectionError) as raised:
        ZorvoShmClient(name)
    assert type(raised.value) is ConnectionError
    assert len(raised.value.args) == 1
    return raised.value.args[0]


# ---------------------------------------------------------------------------------------------
# Construction

def test_signature_texts():
    assert ZorvoShmClient.__text_signature__ == "(shm_name)"
    assert ZorvoShmClient.infer.__text_signature__ == "($self, shape, dtype, data)"


def test_open_failures_report_the_error_number():
    assert connect_message("/zorvo-no-such-region-anywhere") == OPEN_FAILED + "2"
    assert connect_message("/" + "a" * 4095) == OPEN_FAILED + "36"
    assert connect_message("/zorvo\0name") == OPEN_FAILED + "22"


def test_constructor_arguments_follow_call_conventions():
    with pytest.raises(TypeError):
        ZorvoShmClient()
    with pytest.raises(TypeError):
        ZorvoShmClient("/a", "/b")
    with pytest.raises(TypeError) as raised:
        ZorvoShmClient(5)
    assert str(raised.value).startswith("argument 'shm_name': ")
    with pytest.raises(ConnectionError):
        ZorvoShmClient(shm_name="/zorvo-no-such-region-anywhere")


@pytest.mark.parametrize("content, size, message", [
    (b"", 0, OPEN_FAILED + "22"),
    (header(0, magic=0x12345678, version=2), 4096, "Invalid magic number in shared memory"),
    (header(0, version=2), 4096, "Shared memory version mismatch"),
    (header(0)[:8], 20, "Shared memory error: region of 20 bytes is too small for its 44-byte header"),
])
def test_foreign_empty_or_truncated_regions_are_refused(region_name, content, size, message):
    create_region(region_name, content, size)
    assert connect_message(region_name) == message


@pytest.mark.parametrize("fields", [
    {"pool_offset": POOL + 1},                  # pool runs past the end
    {"pool_offset": 2**64 - 8},                 # offset + size wraps round
    {"response_queue": region_size(0) - 48},   # response queue runs past the end
])
def test_layouts_reaching_outside_the_region_are_refused(region_name, fields):
    create_region(region_name, header(4096, **fields), region_size(4096) - 4096)
    message = connect_message(region_name)
    assert message.startswith("Shared memory error: region header describes queues or a tensor pool outside")


def test_dropping_a_client_leaves_the_region_for_the_next_one():
    with FakeShmEngine() as engine:
        first = ZorvoShmClient(engine.name)
        assert first.infer([1], "uint8", b"\x05") == [5]
        del first
        second = ZorvoShmClient(engine.name)
        assert second.infer([1], "uint8", b"\x06") == [6]


# ---------------------------------------------------------------------------------------------
# Inference

def test_request_entry_and_tensor_block_bytes():
    data = bytes(range(48))
    with FakeShmEngine() as engine:
        client = ZorvoShmClient(engine.name)
        before = time.time_ns()
        assert client.infer([2, 3], "int64", data) == list(data)
        after = time.time_ns()
        ((entry, block),) = engine.requests(1)

    request_id, reserved, timestamp, offset, size = struct.unpack("<Q8sQQQ", entry)
    assert (request_id, reserved, size) == (1, bytes(8), 128)
    assert before <= timestamp <= after
    assert POOL <= offset < POOL + 4 * 262144 and (offset - POOL) % 262144 == 0  # a 256 KiB slot
    assert block == (struct.pack("<IB3x8qQ", 2, 3, 2, 3, 0, 0, 0, 0, 0, 0, 48) + data)


def test_element_type_codes_and_data_forms():
    with FakeShmEngine() as engine:
        client = ZorvoShmClient(engine.name)
        assert client.infer([], "UINT8", [1, 2, 255]) == [1, 2, 255]
        assert client.infer([3], "fp64", bytearray(b"abc")) == list(b"abc")
        assert client.infer([1, 1], "i32", memoryview(b"\x00\x01")) == [0, 1]
        assert client.infer([0], "float32", b"") == []
        blocks = [block for _, block in engine.requests(4)]
    assert [block[4] for block in blocks] == [0, 1, 2, 0]
    assert blocks[0][:4] == struct.pack("<I", 0) and blocks[0][8:72] == bytes(64)


def test_numbering_continues_past_failed_calls():
    with FakeShmEngine() as engine:
        client = ZorvoShmClient(engine.name)
        with pytest.raises(ValueError) as raised:
            client.infer([1], "complex64", b"\x00")
        assert raised.value.args == ("Invalid input: Unsupported dtype: complex64",)
        with pytest.raises(ValueError) as raised:
            client.infer([1] * 9, "uint8", b"\x00")
        assert raised.value.args == ("shape has 9 dimensions; at most 8 fit in a shared-memory tensor block",)
        assert client.infer([1] * 8, "uint8", b"\x07") == [7]
        assert client.infer([1], "uint8", b"\x08") == [8]
        ids = [struct.unpack_from("<Q", entry)[0] for entry, _ in engine.requests(2)]
    assert ids == [3, 4]


def test_argument_conversion_errors_do_not_use_a_request_number():
    with FakeShmEngine() as engine:
        client = ZorvoShmClient(engine.name)
        with pytest.raises(TypeError) as raised:
            client.infer([1], "uint8", "text")
        assert raised.value.args == ("argument 'data': Can't extract `str` to `Vec`",)
        with pytest.raises(OverflowError):
            client.infer([2**63], "uint8", b"\x00")
        with pytest.raises(TypeError):
            client.infer([1], "uint8")
        assert client.infer(shape=[1], dtype="uint8", data=[9]) == [9]
        ((entry, _),) = engine.requests(1)
    assert struct.unpack_from("<Q", entry)[0] == 1


def test_exhausted_pool_names_the_layout_and_comes_before_the_dtype():
    with FakeShmEngine() as engine:
        client = ZorvoShmClient(engine.name)
        expected = ("SHM tensor pool exhausted (required=262145 bytes, largest_slot=262144 bytes, "
                    "layout=class0(base=%d slot_size=262144 slots=4))" % POOL)
        for dtype in ("uint8", "no-such-type"):
            with pytest.raises(RuntimeError) as raised:
                client.infer([262065], dtype, bytes(262065))
            assert raised.value.args == (expected,)
        # The pool is untouched: four maximal requests still fit one after another.
        for _ in range(4):
            assert len(client.infer([262064], "uint8", bytes(262064))) == 262064


def test_engine_errors_become_runtime_errors():
    script = [{"do": "unknown_error"},
              {"do": "error_text", "hex": (b"model failed: " + b"\xff\xfe ok").hex()}]
    with FakeShmEngine(script) as engine:
        client = ZorvoShmClient(engine.name)
        with pytest.raises(RuntimeError) as raised:
            client.infer([1], "uint8", b"\x00")
        assert raised.value.args == ("Unknown error",)
        with pytest.raises(RuntimeError) as raised:
            client.infer([1], "uint8", b"\x00")
        assert raised.value.args == ("model failed: \ufffd\ufffd ok",)
        assert client.infer([1], "uint8", b"\x01") == [1]


def test_answers_for_other_requests_are_dropped():
    with FakeShmEngine([{"do": "foreign_then_echo"}, {"do": "echo"}]) as engine:
        client = ZorvoShmClient(engine.name)
        assert client.infer([2], "uint8", b"\x01\x02") == [1, 2]
        # The foreign answer was consumed, so the next call sees its own answer only.
        assert client.infer([1], "uint8", b"\x03") == [3]


def test_blocks_named_outside_the_region_fail_cleanly():
    with FakeShmEngine() as engine:
        size = engine.size
    script = [{"do": "result_at", "offset": size - 79},
              {"do": "result_at", "offset": 2**64 - 1},
              {"do": "error_at", "offset": size - 7},
              {"do": "result_len", "len": 2**64 - 40},
              {"do": "result_len", "len": 4097}]
    with FakeShmEngine(script) as engine:
        client = ZorvoShmClient(engine.name)
        messages = []
        for _ in script:
            with pytest.raises(RuntimeError) as raised:
                client.infer([1], "uint8", b"\x00")
            messages.append(raised.value.args[0])
        assert client.infer([1], "uint8", b"\x04") == [4]
    suffix = "lies outside the %d-byte shared memory region" % size
    assert messages[0] == "result tensor block at offset %d %s" % (size - 79, suffix)
    assert messages[1] == "result tensor block at offset %d %s" % (2**64 - 1, suffix)
    assert messages[2] == "error text block at offset %d %s" % (size - 7, suffix)
    assert messages[3].startswith("result tensor block at offset") and messages[3].endswith(suffix)
    assert "with length 4097" in messages[4]


def test_unanswered_request_times_out_after_six_seconds():
    with FakeShmEngine([{"do": "silent"}]) as engine:
        client = ZorvoShmClient(engine.name)
        started = time.monotonic()
        with pytest.raises(TimeoutError) as raised:
            client.infer([1], "uint8", b"\x00")
        waited = time.monotonic() - started
        assert raised.value.args == ("Request timed out",)
        assert 6.0 <= waited < 8.0
        assert client.infer([1], "uint8", b"\x02") == [2]


class Interrupted(Exception):
    pass


def test_signal_handler_exception_ends_the_polling():
    def interrupt(signum, frame):
        raise Interrupted("stop polling")

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        with FakeShmEngine([{"do": "silent"}]) as engine:
            client = ZorvoShmClient(engine.name)
            signal.setitimer(signal.ITIMER_REAL, 0.3)
            started = time.monotonic()
            with pytest.raises(Interrupted):
                client.infer([1], "uint8", b"\x00")
            assert time.monotonic() - started < 3.0
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_readiness_wait_lets_other_threads_run_and_borrows_exclusively():
    readable, writable = os.pipe()
    try:
        with FakeShmEngine(notify_fd=readable) as engine:
            client = ZorvoShmClient(engine.name)
            seen = {}

            def meanwhile():
                # Runs while the first call sleeps on the descriptor without the interpreter lock.
                time.sleep(0.2)
                try:
                    client.infer([1], "uint8", b"\x00")
                except RuntimeError as error:
                    seen["error"] = error.args
                os.write(writable, bytes(300))

            helper = threading.Thread(target=meanwhile)
            helper.start()
            started = time.monotonic()
            assert client.infer([1], "uint8", b"\x2a") == [42]
            helper.join()
            assert seen == {"error": ("Already borrowed",)}
            assert time.monotonic() - started < 4.0
            # The readiness bytes were drained: the next wait sleeps until its 5 s limit instead.
            os.set_blocking(readable, False)
            with pytest.raises(BlockingIOError):
                os.read(readable, 1)
    finally:
        os.close(readable)
        os.close(writable)
