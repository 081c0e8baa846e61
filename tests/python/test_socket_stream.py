"""ZorvoClient.infer_stream and StreamIterator end to end against a fake engine process."""

import gc

import pytest

import zorvo_sdk
from socket_fake_engine import FakeEngine, frame, request_payload, tensor_payload


def item(data):
    return frame(2, tensor_payload(data))


def stream_engine(*frames, then=("wait_eof",)):
    """An engine whose first connection reads the request and answers with `frames`."""
    return FakeEngine([[("request",)] + [("send", f) for f in frames] + [then]])


def open_stream(engine, **kwargs):
    return zorvo_sdk.ZorvoClient(engine.endpoint).infer_stream(3, [2], "u8", b"\x05\x06", **kwargs)


def test_items_until_an_end_frame_then_stop_for_good():
    with stream_engine(item(b"\x01\x02"), item(b"\xff"), frame(0), item(b"\x09")) as engine:
        stream = open_stream(engine)
        assert type(stream).__name__ == "StreamIterator"
        assert not hasattr(zorvo_sdk, "StreamIterator")
        assert iter(stream) is stream
        assert list(stream) == [[1, 2], [255]]
        with pytest.raises(StopIteration):
            next(stream)  # ended: the item after the end frame is never read
        (request,) = engine.requests()
        assert (request["model_id"], request["kind"]) == (3, 2)
        assert bytes.fromhex(request["payload"]) == request_payload([2], "uint8", b"\x05\x06")


@pytest.mark.parametrize("end", [frame(2), frame(3, b"trailing words"), frame(0, b"x"), frame(1)],
                         ids=["item-length-0", "status-3", "status-0-payload", "error-length-0"])
def test_end_of_stream_frames(end):
    with stream_engine(item(b"\x07"), end, item(b"\x08")) as engine:
        assert list(open_stream(engine)) == [[7]]


def test_error_frame_raises_and_the_next_item_still_arrives():
    with stream_engine(frame(1, b"shard \xc3 failed"), item(b"\x2a"), frame(0)) as engine:
        stream = open_stream(engine)
        with pytest.raises(RuntimeError) as error:
            next(stream)
        assert type(error.value) is RuntimeError
        assert error.value.args == ("shard \ufffd failed",)
        assert next(stream) == [42]
        with pytest.raises(StopIteration):
            next(stream)


def test_undecodable_item_raises_and_the_stream_goes_on():
    with stream_engine(frame(2, b"\x00"), item(b"\x01"), frame(0)) as engine:
        stream = open_stream(engine)
        with pytest.raises(RuntimeError) as error:
            next(stream)
        assert str(error.value) == "io error: unexpected end of file"
        assert list(stream) == [[1]]


def test_engine_hanging_up_without_an_answer_fails_the_read():
    with stream_engine(then=("close",)) as engine:
        stream = open_stream(engine)
        with pytest.raises(RuntimeError) as error:
            next(stream)
        assert type(error.value) is RuntimeError
        assert str(error.value) == "failed to fill whole buffer"


def test_writing_to_an_engine_that_hung_up_raises_the_system_error_kind():
    # The request is far larger than the socket buffers, so the engine closes mid-write.
    with FakeEngine([[("close",)]]) as engine:
        client = zorvo_sdk.ZorvoClient(engine.endpoint)
        data = bytes(32 << 20)
        with pytest.raises((BrokenPipeError, ConnectionResetError)) as error:
            client.infer_stream(1, [len(data)], "u8", data)
        assert "(os error " in str(error.value)


def test_unreachable_engine_and_bad_inputs(tmp_path):
    client = zorvo_sdk.ZorvoClient(str(tmp_path / "absent.sock"))
    with pytest.raises(ConnectionError) as error:
        client.infer_stream(1, [1], "nonsense", [1])  # connecting comes before the dtype check
    assert type(error.value) is ConnectionError
    with pytest.raises(ValueError) as error:
        client.infer_stream(1, [1], "u8", [1], [("x", [1], "complex64", [1])])
    assert str(error.value) == "Invalid input: Unsupported dtype: complex64"


def test_bad_dtype_closes_the_stream_connection_without_writing():
    with FakeEngine([[("wait_eof",)]]) as engine:
        client = zorvo_sdk.ZorvoClient(engine.endpoint)
        with pytest.raises(ValueError) as error:
            client.infer_stream(1, [1], "Complex64", [1])
        assert str(error.value) == "Invalid input: Unsupported dtype: complex64"
        engine.wait_for(lambda events: any(e["event"] == "eof" for e in events))
        assert engine.requests() == []


def test_streams_never_use_the_pool():
    scripts = [[("echo_all",)],
               [("request",), ("send", item(b"\x10")), ("send", frame(0)), ("wait_eof",)]]
    with FakeEngine(scripts) as engine:
        client = zorvo_sdk.ZorvoClient(engine.endpoint)
        assert client.infer(1, [1], "u8", [1]) == [1]
        assert list(client.infer_stream(1, [1], "u8", [2])) == [[16]]
        assert client.infer(1, [1], "u8", [3]) == [3]
        # The stream got a connection of its own; the pooled one served both infer calls.
        requests = engine.requests()
        assert [(r["conn"], r["kind"]) for r in requests] == [(0, 1), (1, 2), (0, 1)]
        assert engine.accepted() == 2


def test_iterator_outlives_its_client_and_closes_its_connection_when_dropped():
    with stream_engine(item(b"\x01"), item(b"\x02")) as engine:
        stream = open_stream(engine)  # the client is already gone
        gc.collect()
        assert next(stream) == [1]
        del stream  # mid-stream
        gc.collect()
        engine.wait_for(lambda events: any(e["event"] == "eof" for e in events))
