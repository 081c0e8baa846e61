"""Shared-memory clients against regions and engines that lie: header offsets outside the region,
pools smaller than a slot, queue indices out of range or stuck, and result or error blocks at, past
or wrapping round the end of the mapping. Nothing may be read or written outside the mapping: every
case ends in its exception and the client keeps working.

Engines run in their own processes (shm_fake_engine.py); the test process itself tampers with a
live region through a second mapping of it (hostile_region.py).
"""

import gc
import struct
import time

import pytest

import zorvo_sdk
from hostile_probes import mappings, open_descriptors
from hostile_region import (COMMIT, READ, REQUEST_ENTRY, RESERVE, RESPONSE_ENTRY, index, mapped,
                            queue_indices, set_index)
from shm_fake_engine import (POOL, REQUEST_QUEUE, RESPONSE_QUEUE, SCRATCH, FakeShmEngine,
                             create_region, header, region_size, remove_region, unique_name)

ZorvoShmClient = zorvo_sdk.ZorvoShmClient
SLOT = 262144  # the smallest slot class: a pool of this size has exactly one slot
OUTSIDE = "lies outside the %d-byte shared memory region"


def exception_of(call):
    with pytest.raises(Exception) as raised:
        call()
    assert len(raised.value.args) == 1 and raised.value.__cause__ is None
    return type(raised.value), raised.value.args[0]


@pytest.fixture
def region_name():
    name = unique_name()
    yield name
    remove_region(name)


def attach_shm(name):
    return ZorvoShmClient(name)


def attach_hybrid(name):
    # The socket is not touched before the first call, so no engine needs to listen.
    return zorvo_sdk.ZorvoHybridClient(name, "/nonexistent/zorvo.sock")


# ---------------------------------------------------------------------------------------------
# Attaching: a header that places anything outside the region is refused


@pytest.mark.parametrize("attach", [attach_shm, attach_hybrid], ids=["shm", "hybrid"])
@pytest.mark.parametrize("content, size, expected", [
    (header(4096, request_queue=region_size(4096) - 104), region_size(4096), "outside"),
    (header(4096, request_queue=2**64 - 8), region_size(4096), "outside"),
    (header(4096, response_queue=RESPONSE_QUEUE + 4), region_size(4096), "not a multiple of 8"),
    (header(2**64 - 1), region_size(4096), "outside"),
    (header(4096, pool_offset=region_size(4096) - 4095), region_size(4096), "outside"),
    (header(0), 44, "outside"),
    (header(0)[:43], 43, "too small"),
], ids=["request-queue-past-end", "request-queue-wraps", "misaligned-queue", "huge-pool",
        "pool-one-byte-past-end", "header-only", "short-header"])
def test_regions_reaching_outside_themselves_are_refused(region_name, attach, content, size, expected):
    create_region(region_name, content, size)
    kind, message = exception_of(lambda: attach(region_name))
    assert kind is ConnectionError
    assert message.startswith("Shared memory error: ") and expected in message


@pytest.mark.parametrize("attach", [attach_shm, attach_hybrid], ids=["shm", "hybrid"])
def test_refused_regions_leave_nothing_open(region_name, attach):
    create_region(region_name, header(4096, pool_offset=2**63), region_size(4096))
    exception_of(lambda: attach(region_name))
    gc.collect()
    descriptors, maps = open_descriptors(), mappings()
    for _ in range(200):
        exception_of(lambda: attach(region_name))
    assert open_descriptors() == descriptors
    assert mappings() - maps < 10  # 200 leaked mappings would show


# ---------------------------------------------------------------------------------------------
# Regions without an engine whose request queue refuses every entry, so nothing waits for an answer


def engineless_region(name, pool_size, request_indices, size=None):
    content = header(pool_size) + bytes(REQUEST_QUEUE - 44) + queue_indices(*request_indices, REQUEST_ENTRY)
    create_region(name, content, size or region_size(pool_size))


def test_full_request_queue_fails_at_once_and_gives_the_slot_back(region_name):
    engineless_region(region_name, SLOT, (0, 0, 1))
    client = ZorvoShmClient(region_name)
    started = time.monotonic()
    # One slot only: a slot kept by any of these calls would turn the next into pool exhaustion.
    for _ in range(5):
        assert exception_of(lambda: client.infer([4], "u8", b"abcd")) == (RuntimeError, "Queue is full")
    assert time.monotonic() - started < 1.0
    with mapped(region_name) as memory:
        assert [index(memory, REQUEST_QUEUE, REQUEST_ENTRY, i) for i in (RESERVE, COMMIT, READ)] == [0, 0, 1]


def test_producer_that_never_published_stalls_push_for_a_bounded_time(region_name):
    # Another producer reserved slots 0..2 and died before committing them.
    engineless_region(region_name, 2 * SLOT, (3, 0, 0))
    client = ZorvoShmClient(region_name)
    for _ in range(2):
        started = time.monotonic()
        kind, message = exception_of(lambda: client.infer([1], "u8", b"\x01"))
        assert (kind, message) == (RuntimeError, "Queue commit stalled: an earlier producer never published its entry")
        assert time.monotonic() - started < 3.0
    # The first call's entry goes out once the queue moves on (the engine will read its slot then,
    # so that slot stays leased); the second waited behind the same entry without reserving one.
    with mapped(region_name) as memory:
        assert [index(memory, REQUEST_QUEUE, REQUEST_ENTRY, i) for i in (RESERVE, COMMIT)] == [4, 0]


def test_pool_smaller_than_a_slot_at_the_end_of_the_region(region_name):
    # A 1000-byte pool ending exactly at the end of the mapping: a block must fit in it or be refused.
    engineless_region(region_name, 1000, (0, 0, 1), size=POOL + 1000)
    client = ZorvoShmClient(region_name)
    assert exception_of(lambda: client.infer([920], "u8", bytes(920))) == (RuntimeError, "Queue is full")
    kind, message = exception_of(lambda: client.infer([921], "u8", bytes(921)))
    assert kind is RuntimeError
    assert message.startswith("SHM tensor pool exhausted (required=1001 bytes, largest_slot=1000 bytes")
    assert exception_of(lambda: client.infer([1], "u8", b"\x00")) == (RuntimeError, "Queue is full")


def test_empty_pool_refuses_every_request(region_name):
    engineless_region(region_name, 0, (0, 0, 1))
    client = ZorvoShmClient(region_name)
    kind, message = exception_of(lambda: client.infer([0], "u8", b""))
    assert kind is RuntimeError and message.startswith("SHM tensor pool exhausted (required=80 bytes")


# ---------------------------------------------------------------------------------------------
# A live region whose header changes or names a descriptor that is not there


@pytest.mark.parametrize("notify_fd", [4095, 2**31 - 1], ids=["unopened", "largest"])
def test_readiness_descriptor_that_is_not_open_is_not_waited_on(notify_fd):
    with FakeShmEngine(notify_fd=notify_fd) as engine:
        client = ZorvoShmClient(engine.name)
        started = time.monotonic()
        for value in range(20):
            assert client.infer([1], "u8", [value]) == [value]
        assert time.monotonic() - started < 2.0


def test_header_rewritten_after_attaching_does_not_move_the_queues():
    with FakeShmEngine() as engine, mapped(engine.name) as memory:
        client = ZorvoShmClient(engine.name)
        assert client.infer([1], "u8", b"\x01") == [1]
        # Offsets far outside the mapping: a client that re-read them would fault.
        memory[8:40] = struct.pack("<QQQQ", 2**64 - 8, 2**63, 2**62, 2**64 - 1)
        assert client.infer([1], "u8", b"\x02") == [2]
        kind, message = exception_of(lambda: ZorvoShmClient(engine.name))
        assert kind is ConnectionError and message.startswith("Shared memory error: ")


# ---------------------------------------------------------------------------------------------
# Queue indices out of range in a live region


def test_out_of_range_response_read_index_then_repaired():
    with FakeShmEngine() as engine, mapped(engine.name) as memory:
        client = ZorvoShmClient(engine.name)
        assert client.infer([1], "u8", b"\x01") == [1]
        good = index(memory, RESPONSE_QUEUE, RESPONSE_ENTRY, READ)
        set_index(memory, RESPONSE_QUEUE, RESPONSE_ENTRY, READ, 5000)
        kind, message = exception_of(lambda: client.infer([1], "u8", b"\x02"))
        assert kind is RuntimeError and message.startswith("Queue is corrupt: index 5000 ")
        engine.requests(2)  # the engine answered request 2 into the queue meanwhile
        set_index(memory, RESPONSE_QUEUE, RESPONSE_ENTRY, READ, good)
        # The stale answer to request 2 is taken and dropped on the way to request 3's.
        assert client.infer([1], "u8", b"\x03") == [3]


def test_out_of_range_request_reserve_index_sends_nothing():
    with FakeShmEngine() as engine, mapped(engine.name) as memory:
        client = ZorvoShmClient(engine.name)
        good = index(memory, REQUEST_QUEUE, REQUEST_ENTRY, RESERVE)
        set_index(memory, REQUEST_QUEUE, REQUEST_ENTRY, RESERVE, 2**64 - 1)
        kind, message = exception_of(lambda: client.infer([1], "u8", b"\x01"))
        assert kind is RuntimeError and message.startswith("Queue is corrupt: index 18446744073709551615 ")
        assert index(memory, REQUEST_QUEUE, REQUEST_ENTRY, RESERVE) == 2**64 - 1
        set_index(memory, REQUEST_QUEUE, REQUEST_ENTRY, RESERVE, good)
        assert client.infer([1], "u8", b"\x02") == [2]
        (only,) = engine.requests(1)
        assert only[0][:8] == (2).to_bytes(8, "little")


# ---------------------------------------------------------------------------------------------
# Result and error blocks named at, past and round the end of the region


def test_result_blocks_at_past_and_wrapping_round_the_end():
    with FakeShmEngine() as probe:
        size = probe.size
    scratch = size - SCRATCH
    script = [
        {"do": "result_at", "offset": size - 80},                      # data_len 0, ends at the end
        {"do": "result_at", "offset": size},
        {"do": "result_at", "offset": 2**64 - 80},                     # offset + header wraps to 0
        {"do": "result_len", "len": SCRATCH - 80},                     # ends exactly at the end
        {"do": "result_len", "len": SCRATCH - 79},
        {"do": "result_len", "len": 2**64 - scratch - 80},             # data end wraps to 0
        {"do": "result_len", "len": 2**64 - scratch - 80 + 16},        # data end wraps to 16
        {"do": "result_len", "len": 2**64 - 1},
    ]
    with FakeShmEngine(script) as engine:
        client = ZorvoShmClient(engine.name)
        outcomes = []
        for _ in script:
            try:
                outcomes.append(client.infer([1], "u8", b"\x00"))
            except RuntimeError as error:
                outcomes.append(error.args[0])
        assert client.infer([1], "u8", b"\x05") == [5]

    outside = OUTSIDE % size
    assert outcomes[0] == []
    assert outcomes[1] == "result tensor block at offset %d %s" % (size, outside)
    assert outcomes[2] == "result tensor block at offset %d %s" % (2**64 - 80, outside)
    assert outcomes[3] == [0] * (SCRATCH - 80)
    for position, length in [(4, SCRATCH - 79), (5, 2**64 - scratch - 80), (6, 2**64 - scratch - 64),
                             (7, 2**64 - 1)]:
        assert outcomes[position] == "result tensor block at offset %d with length %d %s" % (
            scratch, length, outside)


def test_error_blocks_at_past_and_wrapping_round_the_end():
    with FakeShmEngine() as probe:
        size = probe.size
    scratch = size - SCRATCH
    script = [
        {"do": "error_at", "offset": size - 8},                        # an empty text at the very end
        {"do": "error_at", "offset": size},
        {"do": "error_at", "offset": 2**64 - 8},                       # offset + length field wraps
        {"do": "error_len", "len": SCRATCH - 8},                       # text ends exactly at the end
        {"do": "error_len", "len": SCRATCH - 7},
        {"do": "error_len", "len": 2**64 - scratch - 8},               # text end wraps to 0
        {"do": "error_len", "len": 2**64 - 1},
    ]
    with FakeShmEngine(script) as engine:
        client = ZorvoShmClient(engine.name)
        messages = []
        for _ in script:
            kind, message = exception_of(lambda: client.infer([1], "u8", b"\x00"))
            assert kind is RuntimeError
            messages.append(message)
        assert client.infer([1], "u8", b"\x06") == [6]

    outside = OUTSIDE % size
    assert messages[0] == ""
    assert messages[1] == "error text block at offset %d %s" % (size, outside)
    assert messages[2] == "error text block at offset %d %s" % (2**64 - 8, outside)
    assert messages[3] == "\0" * (SCRATCH - 8)
    for position, length in [(4, SCRATCH - 7), (5, 2**64 - scratch - 8), (6, 2**64 - 1)]:
        assert messages[position] == "error text block at offset %d with length %d %s" % (
            scratch, length, outside)
