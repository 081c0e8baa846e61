"""ZorvoHybridClient against an engine that misbehaves on the control socket: answers cut at every
byte, a length announcing 4 GiB, unknown statuses, and result blocks at, past or wrapping round the
end of the region. Each case ends in a RuntimeError and the next call works again.

The engine is hybrid_engine.py in its own process, driven through the scripted-engine helper of
the hybrid client tests.
"""

import contextlib
import struct

import _posixshmem
import pytest

from hostile_probes import peak_resident_bytes
from hybrid_engine import POOL_OFFSET, REGION_SIZE, response_record
from test_hybrid_client import ScriptedEngine

GOOD_ANSWER = struct.pack("<II", 0, 40) + response_record(1, POOL_OFFSET)
ARRIVING_BYTES = 3 << 20
PEAK_GROWTH_LIMIT = 256 << 20
OUTSIDE = "lies outside the %d-byte shared memory region" % REGION_SIZE


@pytest.fixture
def engine_with():
    started = []

    def start(steps):
        engine = ScriptedEngine(steps)
        started.append(engine)
        return engine

    yield start
    for engine in started:
        if engine.process.poll() is None:
            # A killed engine cannot remove its region itself.
            engine.process.kill()
            engine.process.wait()
            with contextlib.suppress(FileNotFoundError):
                _posixshmem.shm_unlink(engine.shm_name)


def outcome(call):
    """The call's result, or the type and arguments of what it raised."""
    try:
        return call()
    except Exception as error:
        return type(error), error.args


def test_answers_cut_at_every_byte_then_a_fresh_connection_works(engine_with):
    cuts = range(len(GOOD_ANSWER))
    steps = []
    for cut in cuts:
        steps += [{"kind": "raw", "bytes": GOOD_ANSWER[:cut].hex()}, {"kind": "echo"}]
    engine = engine_with(steps)
    client = engine.client()
    outcomes = []
    for cut in cuts:
        outcomes.append((cut, outcome(lambda: client.infer([1], "u8", [cut]))))
        outcomes.append((cut, outcome(lambda: client.infer([1], "u8", [cut]))))
    del client
    expected = []
    for cut in cuts:
        expected += [(cut, (RuntimeError, ("early eof",))), (cut, [cut + 1])]
    assert outcomes == expected
    # Each cut cost the connection: the call after it connected afresh.
    assert engine.finish()["connections"] == 1 + len(cuts)


@pytest.mark.parametrize("status", [0, 5])
def test_four_gib_length_then_close_allocates_nothing_huge(engine_with, status):
    lying = {"kind": "raw", "bytes": struct.pack("<II", status, 0xFFFFFFFF).hex(), "zeros": ARRIVING_BYTES}
    engine = engine_with([lying, {"kind": "echo"}])
    client = engine.client()
    peak_before = peak_resident_bytes()
    assert outcome(lambda: client.infer([1], "u8", [1])) == (RuntimeError, ("early eof",))
    assert peak_resident_bytes() - peak_before < PEAK_GROWTH_LIMIT
    assert client.infer([1], "u8", [1]) == [2]
    del client
    engine.finish()


def test_unknown_statuses_are_engine_errors_on_a_kept_connection(engine_with):
    statuses = [1, 2, 4, 0x7FFFFFFF, 0xFFFFFFFF]
    steps = [{"kind": "reply", "status": s, "payload": (b"odd \xfe status %d" % s).hex()} for s in statuses]
    # A failure status with a well-formed response record is still a failure.
    steps.append({"kind": "reply", "status": 3, "payload": response_record(1, POOL_OFFSET).hex()})
    steps.append({"kind": "echo"})
    engine = engine_with(steps)
    client = engine.client()
    for status in statuses:
        assert outcome(lambda: client.infer([1], "u8", [1])) == (RuntimeError, ("odd \ufffd status %d" % status,))
    kind, args = outcome(lambda: client.infer([1], "u8", [1]))
    assert kind is RuntimeError and len(args[0]) == 40
    assert client.infer([1], "u8", [7]) == [8]
    del client
    assert engine.finish()["connections"] == 1


def test_result_blocks_at_past_and_wrapping_round_the_end(engine_with):
    unaligned = POOL_OFFSET + 1001
    steps = [
        {"kind": "result_at", "offset": REGION_SIZE - 96, "data_len": 16},   # data ends at the end
        {"kind": "result_at", "offset": REGION_SIZE - 80, "data_len": 0},
        {"kind": "result_at", "offset": REGION_SIZE - 80, "data_len": 1},
        {"kind": "result_at", "offset": REGION_SIZE},
        {"kind": "result_at", "offset": 2**64 - 80},                          # offset + header wraps
        {"kind": "result_at", "offset": unaligned, "data_len": 2**64 - unaligned - 80},       # wraps to 0
        {"kind": "result_at", "offset": unaligned, "data_len": 2**64 - unaligned - 80 + 16},  # to 16
        {"kind": "echo"},
    ]
    engine = engine_with(steps)
    client = engine.client()
    outcomes = [outcome(lambda: client.infer([1], "u8", [9])) for _ in steps]
    del client
    engine.finish()

    def refused(offset, length=None):
        shown = "" if length is None else " with length %d" % length
        return RuntimeError, ("result tensor block at offset %d%s %s" % (offset, shown, OUTSIDE),)

    assert outcomes == [
        [0] * 16,
        [],
        refused(REGION_SIZE - 80, 1),
        refused(REGION_SIZE),
        refused(2**64 - 80),
        refused(unaligned, 2**64 - unaligned - 80),
        refused(unaligned, 2**64 - unaligned - 64),
        [10],
    ]
