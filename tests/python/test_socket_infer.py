"""ZorvoClient.infer end to end against a fake engine in a separate process."""

import array
import socket

import pytest

import zorvo_sdk
from socket_fake_engine import FakeEngine, frame, request_payload, tensor_payload, text, u64

FLOAT32_PAIR = bytes([0, 0, 128, 63, 0, 0, 0, 64])


@pytest.fixture(params=["unix", "tcp"])
def engine(request):
    with FakeEngine(transport=request.param) as fake:
        yield fake


def unused_tcp_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_request_frame_carries_model_kind_length_and_encoded_request(engine):
    client = zorvo_sdk.ZorvoClient(engine.endpoint)
    assert client.infer(7, [2], "float32", FLOAT32_PAIR) == list(FLOAT32_PAIR)
    (request,) = engine.requests()
    assert (request["model_id"], request["kind"]) == (7, 1)
    payload = bytes.fromhex(request["payload"])
    assert len(payload) == 47
    assert payload == request_payload([2], "float32", FLOAT32_PAIR)


def test_empty_additional_inputs_and_api_token_bytes(engine):
    plain = zorvo_sdk.ZorvoClient(engine.endpoint)
    plain.infer(1, [2], "FP32", FLOAT32_PAIR)
    plain.infer(1, [2], "float32", FLOAT32_PAIR, additional_inputs=[])
    with_token = zorvo_sdk.ZorvoClient(engine.endpoint, api_token="")
    with_token.infer(1, [2], "float32", FLOAT32_PAIR)
    with_input = zorvo_sdk.ZorvoClient(engine.endpoint, api_token="tk")
    with_input.infer(1, [2], "float32", FLOAT32_PAIR, [("m", (1,), "I32", b"\x01\x00\x00\x00")])

    payloads = [bytes.fromhex(r["payload"]) for r in engine.wait_for(
        lambda events: sum(e["event"] == "request" for e in events) == 4)
        if r["event"] == "request"]
    base = request_payload([2], "float32", FLOAT32_PAIR)
    assert payloads[0] == base  # the spelling is sent in its canonical form
    assert payloads[1] == base  # an empty list writes no count at all
    assert payloads[2] == base + b"\x01\x01" + bytes(8)  # an empty token is still present
    named = u64(1) + text("m") + u64(1) + u64(1) + text("int32") + u64(4) + b"\x01\x00\x00\x00"
    assert payloads[3] == base + named + b"\x01\x01" + text("tk")


def test_every_byte_container_sends_the_same_bytes(engine):
    client = zorvo_sdk.ZorvoClient(engine.endpoint)
    raw = bytes([0, 1, 127, 128, 255])
    forms = [raw, bytearray(raw), memoryview(raw), array.array("B", raw), list(raw), tuple(raw)]
    for data in forms:
        assert client.infer(1, [5], "uint8", data) == list(raw)
    payloads = {r["payload"] for r in engine.requests()}
    assert payloads == {request_payload([5], "uint8", raw).hex()}


def test_sequential_calls_share_one_pooled_connection(engine):
    client = zorvo_sdk.ZorvoClient(engine.endpoint)
    for value in range(4):
        assert client.infer(1, [1], "u8", [value]) == [value]
    assert engine.accepted() == 1
    assert {r["conn"] for r in engine.requests()} == {0}


def test_pool_size_zero_opens_and_closes_a_connection_per_call(engine):
    client = zorvo_sdk.ZorvoClient(engine.endpoint, max_pool_size=0)
    for value in range(3):
        assert client.infer(1, [1], "u8", [value]) == [value]
    # Each connection was closed right after its call: the engine saw every one end.
    events = engine.wait_for(lambda events: sum(e["event"] == "eof" for e in events) == 3)
    assert sorted(e["conn"] for e in events if e["event"] == "request") == [0, 1, 2]


def test_stale_pooled_connection_after_restart_is_retried_once_and_replaced(engine):
    client = zorvo_sdk.ZorvoClient(engine.endpoint)
    assert client.infer(1, [1], "u8", [1]) == [1]
    engine.restart()
    for value in (2, 3, 4):
        assert client.infer(1, [1], "u8", [value]) == [value]
    # The new engine saw one connection (the retry's) carrying every later call: the dead one
    # was dropped, not put back behind it.
    assert engine.accepted() == 1
    assert [r["conn"] for r in engine.requests()] == [0, 0, 0]


def test_engine_error_text_is_decoded_lossily_and_keeps_the_connection():
    scripts = [[("request",), ("send", frame(7, b"no such model \xff\xfe!")), ("request",), ("echo",)]]
    with FakeEngine(scripts) as engine:
        client = zorvo_sdk.ZorvoClient(engine.endpoint)
        with pytest.raises(RuntimeError) as error:
            client.infer(1, [1], "u8", [1])
        assert type(error.value) is RuntimeError
        assert error.value.args == ("no such model \ufffd\ufffd!",)
        assert client.infer(1, [1], "u8", [9]) == [9]
        assert engine.accepted() == 1


@pytest.mark.parametrize("payload, message", [
    (b"", "io error: unexpected end of file"),
    (tensor_payload(b"\x01", dtype="complex64"), "Invalid input: Unsupported dtype: complex64"),
    (tensor_payload(b"\x01")[:-1] + b"\x01" + text("AQ=="),
     "binary tensor payload must include only one of `data` or `data_base64`"),
], ids=["empty", "bad-dtype", "both-data-fields"])
def test_undecodable_results_raise_runtime_error(payload, message):
    scripts = [[("request",), ("send", frame(0, payload)), ("request",), ("echo",)]]
    with FakeEngine(scripts) as engine:
        client = zorvo_sdk.ZorvoClient(engine.endpoint)
        with pytest.raises(RuntimeError) as error:
            client.infer(1, [1], "u8", [1])
        assert str(error.value) == message
        assert client.infer(1, [1], "u8", [4]) == [4]  # same connection, still in step
        assert engine.accepted() == 1


def test_base64_results_are_decoded():
    # No shape, data absent, data_base64 "AP8=" (the bytes 00 ff).
    payload = u64(0) + text("uint8") + b"\x00" + b"\x01" + text("AP8=")
    with FakeEngine([[("request",), ("send", frame(0, payload))]]) as engine:
        client = zorvo_sdk.ZorvoClient(engine.endpoint)
        assert client.infer(1, [1], "u8", [1]) == [0, 255]


def test_unreachable_engines_raise_exactly_connection_error(tmp_path):
    missing = zorvo_sdk.ZorvoClient(str(tmp_path / "absent.sock"))
    with pytest.raises(ConnectionError) as error:
        missing.infer(1, [1], "u8", [1])
    assert type(error.value) is ConnectionError
    assert str(error.value) == "No such file or directory (os error 2)"

    refused = zorvo_sdk.ZorvoClient(port=unused_tcp_port())
    with pytest.raises(ConnectionError) as error:
        refused.infer(1, [1], "u8", [1])
    assert type(error.value) is ConnectionError
    assert str(error.value) == "Connection refused (os error 111)"


@pytest.mark.parametrize("client_args, message", [
    (dict(endpoint="localhost", protocol="tcp"), "invalid socket address"),
    (dict(endpoint="localhost:http", protocol="tcp"), "invalid port value"),
    (dict(endpoint="/tmp/" + "x" * 103), "path must be shorter than SUN_LEN"),
])
def test_bad_addresses_fail_on_first_use(client_args, message):
    client = zorvo_sdk.ZorvoClient(**client_args)
    with pytest.raises(ConnectionError) as error:
        client.infer(1, [1], "u8", [1])
    assert type(error.value) is ConnectionError
    assert str(error.value) == message


def test_unknown_dtype_is_checked_only_once_a_connection_is_held(tmp_path, engine):
    unreachable = zorvo_sdk.ZorvoClient(str(tmp_path / "absent.sock"))
    with pytest.raises(ConnectionError):
        unreachable.infer(1, [1], "complex64", [1])

    client = zorvo_sdk.ZorvoClient(engine.endpoint)
    with pytest.raises(ValueError) as error:
        client.infer(1, [1], "Float-32", [1])
    assert str(error.value) == "Invalid input: Unsupported dtype: float-32"
    assert client.infer(1, [1], "u8", [6]) == [6]
    assert engine.accepted() == 1  # the connection taken for the bad call was kept
    assert len(engine.requests()) == 1  # and nothing was sent on it for that call


def test_unknown_additional_input_dtype_fails_before_connecting(tmp_path):
    client = zorvo_sdk.ZorvoClient(str(tmp_path / "absent.sock"))
    inputs = [("a", [1], "u8", [1]), ("b", [1], "bfloat16", [1])]
    with pytest.raises(ValueError) as error:
        client.infer(1, [1], "u8", [1], inputs)
    assert str(error.value) == "Invalid input: Unsupported dtype: bfloat16"


def test_client_destruction_closes_its_idle_connections(engine):
    client = zorvo_sdk.ZorvoClient(engine.endpoint)
    client.infer(1, [1], "u8", [1])
    del client
    engine.wait_for(lambda events: any(e["event"] == "eof" for e in events))


def test_a_sequence_that_misreports_its_length_is_converted_by_its_items():
    # The reported length is only a reservation hint: a huge one must not become a huge
    # allocation or an internal fault, and the items themselves decide the bytes.
    class Liar:
        def __len__(self):
            return 2**62

        def __getitem__(self, index):
            if index < 3:
                return index + 1
            raise IndexError(index)

    client = zorvo_sdk.ZorvoClient("/nonexistent/zorvo-test.sock")
    with pytest.raises(ConnectionError):
        client.infer(1, Liar(), "uint8", Liar())


def test_an_item_conversion_that_empties_the_list_does_not_read_freed_memory():
    # __index__ is user code: here it clears the very list being converted. The conversion must
    # notice the list shrinking instead of reading its freed item array.
    shape = []

    class Emptying:
        def __index__(self):
            shape.clear()
            return 1

    shape.extend([Emptying()] + [1] * 1000)
    client = zorvo_sdk.ZorvoClient("/nonexistent/zorvo-test.sock")
    with pytest.raises(ConnectionError):
        client.infer(1, shape, "uint8", [Emptying()])
