"""ZorvoClient construction: argument binding, normalisation and the target decision table."""

import pytest

import zorvo_sdk
from zorvo_sdk import ZorvoClient

DEFAULT_LOCAL = "unix:///tmp/zorvo.sock"


@pytest.mark.parametrize(
    "args, kwargs, endpoint, protocol",
    [
        # No protocol: endpoint, then host/port, then socket path, then the default socket.
        ((), {}, DEFAULT_LOCAL, "socket"),
        ((), {"port": 7000}, "tcp://127.0.0.1:7000", "tcp"),
        ((), {"port": 0}, "tcp://127.0.0.1:0", "tcp"),
        ((), {"host": "example.internal"}, "tcp://example.internal:9096", "tcp"),
        (("localhost:9000",), {}, "unix://localhost:9000", "socket"),
        (("tcp://10.0.0.1:5",), {}, "tcp://10.0.0.1:5", "tcp"),
        (("unix:///run/e.sock",), {}, "unix:///run/e.sock", "socket"),
        (("  tcp://h:1 \u3000",), {}, "tcp://h:1", "tcp"),
        (("/run/e.sock",), {"host": "ignored", "port": 1}, "unix:///run/e.sock", "socket"),
        ((), {"host": "h", "socket_path": "/s"}, "tcp://h:9096", "tcp"),
        ((), {"socket_path": "tcp://h:2"}, "tcp://h:2", "tcp"),
        ((), {"socket_path": "/run/s.sock", "pipe_name": "p"}, "unix:///run/s.sock", "socket"),
        ((" \t\n",), {}, DEFAULT_LOCAL, "socket"),
        (("\u00a0\u2003",), {"host": "   "}, DEFAULT_LOCAL, "socket"),
        # Protocol tcp.
        ((), {"protocol": "tcp"}, "tcp://127.0.0.1:9096", "tcp"),
        ((), {"protocol": " TCP "}, "tcp://127.0.0.1:9096", "tcp"),
        (("h:1",), {"protocol": "tcp"}, "tcp://h:1", "tcp"),
        (("tcp://h:1",), {"protocol": "tcp"}, "tcp://h:1", "tcp"),
        ((), {"protocol": "tcp", "host": "h", "port": 3}, "tcp://h:3", "tcp"),
        # Socket protocols: socket path wins over endpoint, and a tcp:// prefix is honoured.
        ((), {"protocol": "unix"}, DEFAULT_LOCAL, "socket"),
        (("/e.sock",), {"protocol": "local", "socket_path": "/s.sock"}, "unix:///s.sock", "socket"),
        (("/e.sock",), {"protocol": "Socket"}, "unix:///e.sock", "socket"),
        (("tcp://h:4",), {"protocol": "socket"}, "tcp://h:4", "tcp"),
    ],
)
def test_resolved_target(args, kwargs, endpoint, protocol):
    client = ZorvoClient(*args, **kwargs)
    assert client.endpoint() == endpoint
    assert client.protocol() == protocol
    # endpoint() round-trips into an equal target.
    assert ZorvoClient(client.endpoint()).endpoint() == endpoint


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("unix://",), {}, "unix:// endpoint must include a socket path"),
        (("tcp://",), {}, "tcp:// endpoint must include host:port"),
        ((), {"pipe_name": "p"}, "pipe_name is only supported on Windows"),
        ((), {"protocol": "tcp", "socket_path": "/s"}, "protocol='tcp' cannot be combined with socket_path or pipe_name"),
        ((), {"protocol": "tcp", "pipe_name": "p"}, "protocol='tcp' cannot be combined with socket_path or pipe_name"),
        (("h:1",), {"protocol": "tcp", "host": "h"}, "When endpoint is provided, do not also pass host/port"),
        (("h:1",), {"protocol": "tcp", "port": 0}, "When endpoint is provided, do not also pass host/port"),
        (("tcp://",), {"protocol": "tcp"}, "tcp:// endpoint must include host:port"),
        (("unix:///x",), {"protocol": "tcp"}, "protocol='tcp' expects endpoint as host:port or tcp://host:port"),
        (("a://b",), {"protocol": "tcp"}, "protocol='tcp' expects endpoint as host:port or tcp://host:port"),
        ((), {"protocol": "unix", "host": "h"}, "protocol='socket' cannot be combined with host/port/pipe_name"),
        ((), {"protocol": "local", "port": 1}, "protocol='socket' cannot be combined with host/port/pipe_name"),
        ((), {"protocol": "socket", "pipe_name": "p"}, "protocol='socket' cannot be combined with host/port/pipe_name"),
        ((), {"protocol": "named-pipe", "host": "h"}, "protocol='pipe' cannot be combined with host/port/socket_path"),
        ((), {"protocol": "pipe", "socket_path": "/s"}, "protocol='pipe' cannot be combined with host/port/socket_path"),
        ((), {"protocol": "named_pipe"}, "protocol='pipe' is only supported on Windows"),
        (("x",), {"protocol": "pipe", "pipe_name": "p"}, "protocol='pipe' is only supported on Windows"),
        ((), {"protocol": "  HTTP\t"}, "Unsupported protocol 'http'. Use one of: socket, tcp, pipe"),
        ((), {"protocol": "TÜV"}, "Unsupported protocol 'tÜv'. Use one of: socket, tcp, pipe"),
    ],
)
def test_rejections_are_value_errors_with_exact_text(args, kwargs, message):
    with pytest.raises(ValueError) as info:
        ZorvoClient(*args, **kwargs)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


@pytest.mark.parametrize(
    "kwargs, exception, text",
    [
        ({"port": "7000"}, TypeError, "argument 'port': "),
        ({"port": 1.5}, TypeError, "argument 'port': "),
        ({"port": 65536}, OverflowError, None),
        ({"port": -1}, OverflowError, None),
        ({"max_pool_size": None}, TypeError, "argument 'max_pool_size': "),
        ({"max_pool_size": -1}, OverflowError, None),
        ({"max_pool_size": 2**64}, OverflowError, None),
        ({"host": 5}, TypeError, "argument 'host': "),
        ({"endpoint": b"tcp://h:1"}, TypeError, "argument 'endpoint': "),
        ({"api_token": 1}, TypeError, "argument 'api_token': "),
    ],
)
def test_conversion_errors(kwargs, exception, text):
    with pytest.raises(exception) as info:
        ZorvoClient(**kwargs)
    assert type(info.value) is exception
    assert len(info.value.args) == 1
    if text is not None:
        assert info.value.args[0].startswith(text)
    assert info.value.__cause__ is None and info.value.__context__ is None


def test_argument_binding_errors():
    with pytest.raises(TypeError, match="unexpected keyword argument 'hots'"):
        ZorvoClient(hots="h")
    with pytest.raises(TypeError, match="positional"):
        ZorvoClient("a", "b")
    with pytest.raises(TypeError, match="multiple values for argument 'endpoint'"):
        ZorvoClient("a", endpoint="b")


def test_accepts_pool_sizes_and_tokens_without_io():
    ZorvoClient(max_pool_size=0)
    ZorvoClient(max_pool_size=2**64 - 1)
    ZorvoClient(api_token="")
    # Construction performs no I/O: an unreachable target is accepted.
    client = ZorvoClient("tcp://no-such-host.invalid:1")
    assert client.endpoint() == "tcp://no-such-host.invalid:1"


def test_surface_has_four_methods_and_no_extras():
    public = {name for name in dir(ZorvoClient) if not name.startswith("_")}
    assert public == {"infer", "infer_stream", "endpoint", "protocol"}
    assert not hasattr(ZorvoClient, "__enter__")
    assert not hasattr(ZorvoClient, "close")


def test_methods_check_receiver():
    with pytest.raises(TypeError):
        ZorvoClient.endpoint(object())
