"""ZorvoClient against engines that misbehave: answers cut short at every byte, lengths that
announce far more than ever arrives, unknown statuses, undecodable results and streams that never
end. Each case must end in its documented exception, and the client must keep working after it.

The engine is a scripted separate process (socket_fake_engine.py): the client holds the
interpreter lock while it waits on the network.
"""

import gc

import pytest

import zorvo_sdk
from hostile_probes import open_descriptors, peak_resident_bytes
from socket_fake_engine import FakeEngine, frame, tensor_payload, text, u32, u64

EOF_TEXT = "failed to fill whole buffer"
GOOD_ANSWER = frame(0, tensor_payload(b"\x01\x02\x03"))
FOUR_GIB_HEADER = u32(0) + u32(0xFFFFFFFF)
# Enough bytes after a 4 GiB header to make a reader grow its buffer a few times.
ARRIVING_BYTES = 3 << 20
# Far below the 4 GiB announced, far above what a few megabytes of buffers need.
PEAK_GROWTH_LIMIT = 256 << 20

ONE_ECHO = [("request",), ("echo",), ("wait_eof",)]


def cut_answer(cut):
    """A connection that reads the request, sends the first `cut` bytes of a good answer and closes."""
    return [("request",), ("send", GOOD_ANSWER[:cut]), ("close",)]


def item(data):
    return frame(2, tensor_payload(data))


def exception_of(call):
    """(exception type, its arguments) of a call that must fail."""
    with pytest.raises(Exception) as raised:
        call()
    return type(raised.value), raised.value.args


# ---------------------------------------------------------------------------------------------
# infer: transport failures are retried once, then reported as ConnectionError


def test_answers_cut_at_every_byte_fail_both_attempts_then_the_client_recovers():
    cuts = range(len(GOOD_ANSWER))
    scripts = []
    for cut in cuts:
        scripts += [cut_answer(cut), cut_answer(cut), ONE_ECHO]
    with FakeEngine(scripts) as engine:
        # No pooling: every call opens its own connections, so each consumes its own scripts.
        client = zorvo_sdk.ZorvoClient(engine.endpoint, max_pool_size=0)
        outcomes = []
        for cut in cuts:
            outcomes.append((cut, exception_of(lambda: client.infer(5, [1], "u8", [cut]))))
            outcomes.append((cut, client.infer(5, [1], "u8", [cut])))
        expected = []
        for cut in cuts:
            expected += [(cut, (ConnectionError, (EOF_TEXT,))), (cut, [cut])]
        assert outcomes == expected

        requests = engine.wait_for(lambda events: sum(e["event"] == "request" for e in events)
                                   == 3 * len(cuts))
        payloads = {}
        for event in requests:
            if event["event"] == "request":
                payloads.setdefault(event["conn"] // 3, []).append(event["payload"])
        # The retry re-sent exactly the request of the first attempt.
        assert all(len(set(sent)) == 1 and len(sent) == 3 for sent in payloads.values())


@pytest.mark.parametrize("cut", [0, 5, 8, 20, len(GOOD_ANSWER) - 1])
def test_one_cut_answer_is_retried_and_the_fresh_connection_is_pooled(cut):
    with FakeEngine([cut_answer(cut), [("echo_all",)]]) as engine:
        client = zorvo_sdk.ZorvoClient(engine.endpoint)
        assert client.infer(9, [2], "u8", b"\x0a\x0b") == [10, 11]
        assert client.infer(9, [1], "u8", b"\x0c") == [12]
        assert engine.accepted() == 2
        assert [r["conn"] for r in engine.requests()] == [0, 1, 1]


@pytest.mark.parametrize("status", [0, 1, 7])
def test_four_gib_length_then_close_allocates_nothing_huge(status):
    lying = [("request",), ("send", u32(status) + u32(0xFFFFFFFF)), ("pad", ARRIVING_BYTES), ("close",)]
    with FakeEngine([lying, lying, [("echo_all",)]]) as engine:
        client = zorvo_sdk.ZorvoClient(engine.endpoint)
        peak_before = peak_resident_bytes()
        assert exception_of(lambda: client.infer(1, [1], "u8", [1])) == (ConnectionError, (EOF_TEXT,))
        assert peak_resident_bytes() - peak_before < PEAK_GROWTH_LIMIT
        assert client.infer(1, [1], "u8", [2]) == [2]


def test_unknown_statuses_are_engine_errors_and_keep_the_connection():
    statuses = [1, 2, 3, 0x7FFFFFFF, 0xFFFFFFFF]
    script = []
    for status in statuses:
        script += [("request",), ("send", frame(status, b"odd \xff status %d" % status))]
    # A tensor result under a failure status is still only the engine's text.
    script += [("request",), ("send", frame(2, tensor_payload(b"ok"))), ("request",),
               ("send", frame(9)), ("echo_all",)]
    with FakeEngine([script]) as engine:
        client = zorvo_sdk.ZorvoClient(engine.endpoint)
        for status in statuses:
            assert exception_of(lambda: client.infer(1, [1], "u8", [1])) == \
                (RuntimeError, ("odd \ufffd status %d" % status,))
        kind, args = exception_of(lambda: client.infer(1, [1], "u8", [1]))
        assert kind is RuntimeError and "ok" in args[0] and "uint8" in args[0]
        assert exception_of(lambda: client.infer(1, [1], "u8", [1])) == (RuntimeError, ("",))
        assert client.infer(1, [1], "u8", [3]) == [3]
        assert engine.accepted() == 1


@pytest.mark.parametrize("payload, message", [
    (b"", "io error: unexpected end of file"),
    (u64(1 << 62), "io error: unexpected end of file"),                    # a shape of 2**62 dims
    (u64(0) + u64(2**64 - 1), "io error: "),                              # an endless dtype text
    (u64(0) + text("uint8") + b"\x01" + u64(2**64 - 1), "io error: unexpected end of file"),
    (u64(0) + text("uint8") + b"\x07", "tag for enum is not valid, found 7"),
    (u64(0) + text("uint8") + b"\x00\x01" + u64(2**64 - 1), "io error: "),  # endless base64 text
], ids=["empty", "huge-shape", "huge-dtype", "huge-data", "bad-tag", "huge-base64"])
def test_undecodable_results_fail_without_losing_the_connection(payload, message):
    script = [("request",), ("send", frame(0, payload)), ("echo_all",)]
    with FakeEngine([script]) as engine:
        client = zorvo_sdk.ZorvoClient(engine.endpoint)
        peak_before = peak_resident_bytes()
        assert exception_of(lambda: client.infer(1, [1], "u8", [1])) == (RuntimeError, (message,))
        assert peak_resident_bytes() - peak_before < PEAK_GROWTH_LIMIT
        assert client.infer(1, [1], "u8", [4]) == [4]
        assert engine.accepted() == 1


# ---------------------------------------------------------------------------------------------
# infer_stream: read failures are RuntimeError and nothing is retried


def open_stream(engine, data=b"\x01"):
    return zorvo_sdk.ZorvoClient(engine.endpoint).infer_stream(1, [len(data)], "u8", data)


def test_stream_frames_cut_at_every_byte():
    answer = item(b"\x05\x06")
    cuts = range(len(answer))
    with FakeEngine([[("request",), ("send", answer[:cut]), ("close",)] for cut in cuts]) as engine:
        outcomes = []
        for cut in cuts:
            stream = open_stream(engine)
            # The iterator stays readable after a failure, and reads the closed connection again.
            outcomes.append((cut, exception_of(lambda: next(stream)), exception_of(lambda: next(stream))))
            del stream
        failure = (RuntimeError, (EOF_TEXT,))
        assert outcomes == [(cut, failure, failure) for cut in cuts]
        # Nothing was retried: one connection per stream.
        assert engine.accepted() == len(cuts)


def test_stream_ending_mid_frame_after_good_items():
    answer = item(b"\x07") + item(b"\x08") + item(b"\x09" * 40)[:30]
    with FakeEngine([[("request",), ("send", answer), ("close",)]]) as engine:
        stream = open_stream(engine)
        assert next(stream) == [7]
        assert next(stream) == [8]
        assert exception_of(lambda: next(stream)) == (RuntimeError, (EOF_TEXT,))


@pytest.mark.parametrize("status", [1, 2, 0xDEADBEEF])
def test_stream_frame_announcing_four_gib_then_closing(status):
    script = [("request",), ("send", item(b"\x01") + u32(status) + u32(0xFFFFFFFF)),
              ("pad", ARRIVING_BYTES), ("close",)]
    with FakeEngine([script]) as engine:
        stream = open_stream(engine)
        assert next(stream) == [1]
        peak_before = peak_resident_bytes()
        assert exception_of(lambda: next(stream)) == (RuntimeError, (EOF_TEXT,))
        assert peak_resident_bytes() - peak_before < PEAK_GROWTH_LIMIT


@pytest.mark.parametrize("status", [0, 3, 0x7FFFFFFF, 0xFFFFFFFF])
def test_garbage_stream_status_ends_the_stream_for_good(status):
    answer = item(b"\x01") + frame(status, b"\xff garbage " * 100) + item(b"\x02")
    with FakeEngine([[("request",), ("send", answer), ("wait_eof",)]]) as engine:
        stream = open_stream(engine)
        assert list(stream) == [[1]]
        assert exception_of(lambda: next(stream)) == (StopIteration, ())


def test_stream_item_with_an_undecodable_payload_keeps_the_stream_in_step():
    answer = (frame(2, u64(1 << 62)) + frame(2, u64(0) + u64(2**64 - 1)) + item(b"\x03") + frame(0))
    with FakeEngine([[("request",), ("send", answer), ("wait_eof",)]]) as engine:
        stream = open_stream(engine)
        assert exception_of(lambda: next(stream)) == (RuntimeError, ("io error: unexpected end of file",))
        assert exception_of(lambda: next(stream)) == (RuntimeError, ("io error: ",))
        assert list(stream) == [[3]]


def test_endless_stream_read_in_part_then_dropped_closes_the_connection():
    with FakeEngine([[("request",), ("send_forever", item(b"\x2a" * 16))]]) as engine:
        client = zorvo_sdk.ZorvoClient(engine.endpoint)
        gc.collect()
        descriptors = open_descriptors()
        stream = client.infer_stream(1, [1], "u8", [1])
        assert open_descriptors() == descriptors + 1
        for _ in range(2000):
            assert next(stream) == [42] * 16
        del stream
        gc.collect()
        assert open_descriptors() == descriptors
        events = engine.wait_for(lambda events: any(e["event"] == "peer_closed" for e in events))
        (closed,) = [e for e in events if e["event"] == "peer_closed"]
        assert closed["conn"] == 0 and closed["sent"] >= 2000
        # The client itself never lent its pool to the stream and still works.
        assert client.infer(1, [1], "u8", [6]) == [6]
