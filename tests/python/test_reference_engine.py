"""Byte-level checks of the reference engine, independent of the client module: plain sockets,
hand-encoded requests, and the region driven directly through /dev/shm."""

from __future__ import annotations

import base64
import mmap
import os
import socket
import struct
import subprocess
import time

import pytest

from engine_util import EngineError, require_engine_binary, running_engine, start_engine

FLOAT32_PAIR = struct.pack("<2f", 1.5, -2.0)


# --- encoding helpers -------------------------------------------------------------------------

def text(value: str) -> bytes:
    raw = value.encode()
    return struct.pack("<Q", len(raw)) + raw


def tensor_fields(shape, dtype: str, data: bytes) -> bytes:
    return struct.pack(f"<Q{len(shape)}q", len(shape), *shape) + text(dtype) + struct.pack("<Q", len(data)) + data


def inference_request(shape, dtype, data, additional=(), api_token=None) -> bytes:
    out = tensor_fields(shape, dtype, data)
    if additional:
        out += struct.pack("<Q", len(additional))
        for name, a_shape, a_dtype, a_data in additional:
            out += text(name) + tensor_fields(a_shape, a_dtype, a_data)
    if api_token is not None:
        out += b"\x01\x01" + text(api_token)
    return out


def request_frame(model_id: int, kind: int, payload: bytes) -> bytes:
    return struct.pack("<III", model_id, kind, len(payload)) + payload


class Reader:
    """Decodes a tensor result payload field by field."""

    def __init__(self, data: bytes):
        self.data, self.at = data, 0

    def take(self, n: int) -> bytes:
        assert self.at + n <= len(self.data), "payload ends early"
        chunk = self.data[self.at:self.at + n]
        self.at += n
        return chunk

    def u64(self) -> int:
        return struct.unpack("<Q", self.take(8))[0]

    def tag(self) -> int:
        return self.take(1)[0]


def decode_result(payload: bytes):
    """(shape, dtype, data or None, base64 text or None) of an encoded tensor result."""
    r = Reader(payload)
    shape = [struct.unpack("<q", r.take(8))[0] for _ in range(r.u64())]
    dtype = r.take(r.u64()).decode()
    data = r.take(r.u64()) if r.tag() == 1 else None
    b64 = r.take(r.u64()).decode() if r.tag() == 1 else None
    assert r.at == len(payload)
    return shape, dtype, data, b64


def recv_exact(sock: socket.socket, n: int) -> bytes:
    out = b""
    while len(out) < n:
        chunk = sock.recv(n - len(out))
        if not chunk:
            raise EOFError(f"closed after {len(out)} of {n} bytes")
        out += chunk
    return out


def read_frame(sock: socket.socket):
    status, length = struct.unpack("<II", recv_exact(sock, 8))
    return status, recv_exact(sock, length)


def connect(engine, transport: str) -> socket.socket:
    if transport == "tcp":
        sock = socket.create_connection((engine.tcp_host, engine.tcp_port), timeout=10)
    else:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.settimeout(10)
        sock.connect(engine.unix_path if transport == "unix" else engine.hybrid_path)
    return sock


def assert_closed_by_engine(sock: socket.socket) -> None:
    try:
        assert sock.recv(1) == b""
    except ConnectionResetError:
        pass


# --- fixtures ---------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def engine():
    require_engine_binary()
    with running_engine(tcp=True, unix=True, shm=True, hybrid=True, pool_size=1 << 20) as running:
        yield running


@pytest.fixture(params=["tcp", "unix"])
def conn(engine, request):
    with connect(engine, request.param) as sock:
        yield sock


# --- kind 1 -----------------------------------------------------------------------------------

def test_single_requests_echo_and_keep_the_connection_open(conn):
    conn.sendall(request_frame(1, 1, inference_request([2], "float32", FLOAT32_PAIR)))
    assert read_frame(conn) == (0, struct.pack("<Qq", 1, 2) + text("float32") + b"\x01" +
                                struct.pack("<Q", 8) + FLOAT32_PAIR + b"\x00")
    # Non-canonical spelling, a scalar, additional inputs and a token: the primary tensor comes
    # back with the canonical name; the rest is accepted and ignored.
    payload = inference_request([], "FP64", b"\x00\x7f\xff" * 3, additional=[("mask", [3], "u8", b"\x01\x02\x03")],
                                api_token="")
    conn.sendall(request_frame(0, 1, payload))
    status, body = read_frame(conn)
    assert status == 0
    assert decode_result(body) == ([], "float64", b"\x00\x7f\xff" * 3, None)


def test_request_split_into_single_bytes_is_reassembled(conn):
    frame = request_frame(9, 1, inference_request([3, 1], "int32", bytes(range(12))))
    for i in range(len(frame)):
        conn.send(frame[i:i + 1])
        if i % 7 == 0:
            time.sleep(0.001)
    status, body = read_frame(conn)
    assert status == 0
    assert decode_result(body) == ([3, 1], "int32", bytes(range(12)), None)


def test_two_requests_in_one_write_get_two_answers_in_order(conn):
    first = request_frame(1, 1, inference_request([1], "uint8", b"\x01"))
    second = request_frame(1, 1, inference_request([1], "uint8", b"\x02"))
    conn.sendall(first + second)
    assert decode_result(read_frame(conn)[1])[2] == b"\x01"
    assert decode_result(read_frame(conn)[1])[2] == b"\x02"


def test_scripted_single_answers(conn):
    payload = inference_request([2], "float32", FLOAT32_PAIR)
    conn.sendall(request_frame(2, 1, payload))
    assert read_frame(conn) == (7, b"scripted failure of model 2")
    conn.sendall(request_frame(3, 1, payload))
    status, body = read_frame(conn)
    shape, dtype, data, b64 = decode_result(body)
    assert (status, shape, dtype, data) == (0, [2], "float32", None)
    assert base64.b64decode(b64, validate=True) == FLOAT32_PAIR
    conn.sendall(request_frame(4, 1, payload))
    status, body = read_frame(conn)
    assert status == 0
    assert decode_result(body) == ([2], "float32", None, None)


def test_model_5_hangs_up_without_answering(conn):
    conn.sendall(request_frame(5, 1, inference_request([1], "uint8", b"\x01")))
    assert_closed_by_engine(conn)


def test_undecodable_request_is_answered_with_status_1_and_connection_survives(conn):
    conn.sendall(request_frame(1, 1, b"\x01\x00\x00"))
    status, body = read_frame(conn)
    assert status == 1
    assert body == b"request does not decode: io error: unexpected end of file"
    conn.sendall(request_frame(1, 1, inference_request([1], "complex64", b"\x00")))
    status, body = read_frame(conn)
    assert (status, body) == (1, b"request does not decode: Invalid input: Unsupported dtype: complex64")
    conn.sendall(request_frame(1, 1, inference_request([1], "uint8", b"\x05")))
    assert read_frame(conn)[0] == 0


def test_unknown_kind_closes_the_connection(conn):
    conn.sendall(request_frame(1, 3, inference_request([1], "uint8", b"\x01")))
    assert_closed_by_engine(conn)


# --- kind 2 -----------------------------------------------------------------------------------

def read_stream(sock):
    frames = []
    while True:
        status, body = read_frame(sock)
        frames.append((status, body))
        if len(body) == 0 or status not in (1, 2):
            return frames


def test_stream_yields_eight_items_then_an_empty_end_frame(conn):
    conn.sendall(request_frame(1, 2, inference_request([2], "float32", FLOAT32_PAIR)))
    frames = read_stream(conn)
    assert len(frames) == 9
    assert all(status == 2 and decode_result(body) == ([2], "float32", FLOAT32_PAIR, None)
               for status, body in frames[:8])
    assert frames[8] == (0, b"")
    # The stream leaves the connection in step for the next request.
    conn.sendall(request_frame(1, 1, inference_request([1], "uint8", b"\x09")))
    assert decode_result(read_frame(conn)[1])[2] == b"\x09"


def test_scripted_streams(conn):
    payload = inference_request([1], "int64", struct.pack("<q", -5))
    conn.sendall(request_frame(2, 2, payload))
    statuses = [status for status, _ in read_stream(conn)]
    assert statuses == [2, 2, 2, 2, 1, 2, 2, 2, 2, 0]

    conn.sendall(request_frame(3, 2, payload))
    frames = read_stream(conn)
    assert [status for status, _ in frames] == [2] * 8 + [3]
    assert base64.b64decode(decode_result(frames[0][1])[3]) == struct.pack("<q", -5)
    assert frames[-1] == (3, b"done")


def test_stream_of_undecodable_request_reports_error_then_ends(conn):
    conn.sendall(request_frame(1, 2, b"garbage"))
    frames = read_stream(conn)
    assert frames[0][0] == 1 and frames[0][1].startswith(b"request does not decode: ")
    assert frames[1] == (0, b"")


# --- region and hybrid control ----------------------------------------------------------------

class Region:
    """The engine's region, mapped from /dev/shm, with single-producer queue access."""

    def __init__(self, name: str):
        fd = os.open("/dev/shm/" + name.lstrip("/"), os.O_RDWR)
        try:
            self.map = mmap.mmap(fd, 0)
        finally:
            os.close(fd)
        magic, version, self.req_q, self.resp_q, self.pool, self.pool_size, notify = struct.unpack_from(
            "<IIQQQQi", self.map, 0)
        assert (magic, version, notify) == (0x41494D4F, 1, -1)

    def write_block(self, offset: int, shape, dtype_code: int, data: bytes) -> int:
        dims = list(shape) + [0] * (8 - len(shape))
        struct.pack_into("<IBHB8qQ", self.map, offset, len(shape), dtype_code, 0, 0, *dims, len(data))
        self.map[offset + 80:offset + 80 + len(data)] = data
        return 80 + len(data)

    def push_request(self, request_id: int, offset: int, size: int) -> None:
        reserve = struct.unpack_from("<Q", self.map, self.req_q)[0]
        slot = self.req_q + 120 + 40 * reserve
        struct.pack_into("<Q8xQQQ", self.map, slot, request_id, time.time_ns(), offset, size)
        nxt = (reserve + 1) % 1021
        struct.pack_into("<Q", self.map, self.req_q, nxt)
        struct.pack_into("<Q", self.map, self.req_q + 40, nxt)  # commit after the slot is written

    def pop_response(self, timeout: float = 5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            read = struct.unpack_from("<Q", self.map, self.resp_q + 96)[0]
            commit = struct.unpack_from("<Q", self.map, self.resp_q + 48)[0]
            if read != commit:
                entry = struct.unpack_from("<QB7xQQQQ", self.map, self.resp_q + 144 + 48 * read)
                struct.pack_into("<Q", self.map, self.resp_q + 96, (read + 1) % 1021)
                return entry  # request_id, is_error, aux_1, result_offset, aux_2, error_offset
            time.sleep(0.0005)
        raise TimeoutError("no response entry")

    def close(self):
        self.map.close()


@pytest.fixture
def region(engine):
    mapped = Region(engine.shm_name)
    yield mapped
    mapped.close()


def test_region_layout_is_aligned_and_inside_the_object(engine, region):
    assert region.req_q % 8 == 0 and region.resp_q % 8 == 0 and region.pool % 4096 == 0
    assert region.req_q + 3 * 40 + 1021 * 40 <= region.resp_q
    assert region.resp_q + 3 * 48 + 1021 * 48 <= region.pool
    assert region.pool_size == 1 << 20
    assert region.pool + region.pool_size == len(region.map) == engine.shm_size


def test_queue_requests_are_echoed_in_place(region):
    offsets = [region.pool + 4096 * i for i in range(3)]
    for i, offset in enumerate(offsets):
        size = region.write_block(offset, [2, 3], 3, bytes([i]) * 48)
        assert size == 128
        region.push_request(100 + i, offset, size)
    answers = [region.pop_response() for _ in offsets]
    assert [(a[0], a[1], a[3]) for a in answers] == [(100 + i, 0, off) for i, off in enumerate(offsets)]


def test_queue_request_outside_the_pool_is_an_error(region):
    region.push_request(7, len(region.map) - 40, 128)
    request_id, is_error, _, _, _, error_offset = region.pop_response()
    assert (request_id, is_error, error_offset) == (7, 1, 0)

    offset = region.pool + 8192
    region.write_block(offset, [1], 0, b"")
    struct.pack_into("<Q", region.map, offset + 72, 1 << 40)  # claims far more data than it holds
    region.push_request(8, offset, 256)
    request_id, is_error, _, _, _, error_offset = region.pop_response()
    assert (request_id, is_error, error_offset) == (8, 1, offset)
    length = struct.unpack_from("<Q", region.map, error_offset)[0]
    message = bytes(region.map[error_offset + 8:error_offset + 8 + length]).decode()
    assert "declares 1099511627776 data bytes" in message


def hybrid_frame(request_id: int, offset: int, size: int, model_id: int = 0) -> bytes:
    record = struct.pack("<QI4xQQQ", request_id, 0, time.time_ns(), offset, size)
    return request_frame(model_id, 4, record)


def test_hybrid_request_names_its_own_block_as_result(engine, region):
    offset = region.pool + 12288
    size = region.write_block(offset, [4], 0, FLOAT32_PAIR * 2)
    with connect(engine, "hybrid") as sock:
        for request_id in (1, 2):
            sock.sendall(hybrid_frame(request_id, offset, size))
            status, body = read_frame(sock)
            assert status == 0 and len(body) == 40
            assert struct.unpack("<QB7xQQQ", body) == (request_id, 0, 0, offset, 0)


def test_hybrid_bad_requests_fail_with_text_and_connection_survives(engine, region):
    with connect(engine, "hybrid") as sock:
        sock.sendall(hybrid_frame(1, len(region.map), 80))
        status, body = read_frame(sock)
        assert status == 1 and b"outside the tensor pool" in body
        sock.sendall(hybrid_frame(2, region.pool, 79))
        status, body = read_frame(sock)
        assert status == 1 and b"smaller than its 80-byte header" in body
        sock.sendall(request_frame(0, 4, bytes(39)))
        assert read_frame(sock) == (1, b"hybrid request payload must be 40 bytes, got 39")
        offset = region.pool
        sock.sendall(hybrid_frame(3, offset, region.write_block(offset, [1], 0, b"\x01")))
        assert read_frame(sock)[0] == 0


# --- life cycle -------------------------------------------------------------------------------

def test_stop_removes_socket_files_region_and_ready_file():
    require_engine_binary()
    engine = start_engine(tcp=False, unix=True, shm=True, hybrid=True, pool_size=4096)
    paths = [engine.unix_path, engine.hybrid_path, "/dev/shm/" + engine.shm_name.lstrip("/"),
             str(engine.workdir / "ready")]
    assert all(os.path.exists(p) for p in paths)
    engine.process.send_signal(subprocess.signal.SIGINT)
    assert engine.process.wait(5) == 0
    assert [p for p in paths if os.path.exists(p)] == []
    engine.stop()


def test_oversized_request_is_drained_and_refused():
    require_engine_binary()
    with running_engine(tcp=False, unix=True, extra_args=["--max-payload", "64"]) as engine:
        with connect(engine, "unix") as sock:
            sock.sendall(request_frame(1, 1, bytes(100)))
            assert read_frame(sock) == (1, b"request payload of 100 bytes exceeds the engine's limit of 64 bytes")
            sock.sendall(request_frame(1, 1, inference_request([1], "uint8", b"\x03")))
            assert decode_result(read_frame(sock)[1])[2] == b"\x03"


def test_startup_failures_are_reported():
    binary = require_engine_binary()
    bad = subprocess.run([binary, "--hybrid", "/tmp/x.sock"], capture_output=True, text=True, timeout=10)
    assert bad.returncode == 2 and "--hybrid needs --shm" in bad.stderr
    with running_engine(tcp=False, unix=False, shm=True, pool_size=4096) as engine:
        # The name is taken: a second engine must refuse rather than take the region over.
        with pytest.raises(EngineError, match="already exists"):
            start_engine(tcp=False, unix=False, extra_args=["--shm", engine.shm_name])
        assert os.path.exists("/dev/shm/" + engine.shm_name.lstrip("/"))


# --- robustness -------------------------------------------------------------------------------

def exchange_then_eof(engine, transport: str, data: bytes) -> bytes:
    """Sends `data`, ends the sending side, and returns everything the engine sends back."""
    with connect(engine, transport) as sock:
        sock.sendall(data)
        sock.shutdown(socket.SHUT_WR)
        received = b""
        try:
            while chunk := sock.recv(65536):
                received += chunk
        except ConnectionResetError:
            pass
        return received


def test_mangled_requests_get_exactly_one_answer_each(engine):
    import random

    rng = random.Random(20240607)
    valid = inference_request([2, 2], "float32", FLOAT32_PAIR * 2, additional=[("x", [1], "i64", bytes(8))],
                              api_token="secret")
    for _ in range(150):
        payload = bytearray(valid)
        for _ in range(rng.randint(1, 4)):
            payload[rng.randrange(len(payload))] = rng.randrange(256)
        if rng.random() < 0.3:
            del payload[rng.randrange(len(payload)):]
        answer = exchange_then_eof(engine, "unix", request_frame(1, 1, bytes(payload)))
        status, length = struct.unpack_from("<II", answer)
        assert status in (0, 1) and len(answer) == 8 + length
        if status == 0:
            decode_result(answer[8:])


def test_garbage_frames_never_take_the_engine_down(engine, region):
    import random

    rng = random.Random(7)
    for _ in range(150):
        kind = rng.choice([1, 2, 4, 4, rng.randrange(1 << 32)])
        if kind == 4 and rng.random() < 0.8:
            # Offsets around the pool and the end of the region, sizes around the header size.
            offset = rng.choice([0, region.pool - 1, region.pool, len(region.map) - 80, len(region.map),
                                 (1 << 64) - 8, rng.randrange(1 << 64)])
            size = rng.choice([0, 79, 80, 81, 1 << 20, (1 << 64) - 1, rng.randrange(1 << 64)])
            payload = struct.pack("<QQQQQ", rng.randrange(1 << 64), 0, 0, offset, size)
        else:
            payload = rng.randbytes(rng.randrange(64))
        frame = request_frame(rng.randrange(8), kind, payload)
        if rng.random() < 0.2:
            frame = frame[:rng.randrange(len(frame))]  # ends mid-frame
        exchange_then_eof(engine, rng.choice(["tcp", "unix", "hybrid"]), frame)
    assert engine.process.poll() is None
    with connect(engine, "tcp") as sock:
        sock.sendall(request_frame(1, 1, inference_request([1], "uint8", b"\x2a")))
        assert decode_result(read_frame(sock)[1])[2] == b"\x2a"


# --- command line and process life ------------------------------------------------------------

def run_engine_briefly(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([require_engine_binary(), *args], capture_output=True, text=True, timeout=10)


@pytest.mark.parametrize("args, code, message", [
    (["--bogus"], 2, "unknown option '--bogus'"),
    (["--unix"], 2, "option --unix needs a value"),
    (["--shm", "/x", "--pool-size", "0"], 2, "needs a positive byte count"),
    (["--shm", "/x", "--pool-size", "12Q"], 2, "needs a positive byte count"),
    (["--unix", "/tmp/a.sock", "--pool-size", "1M"], 2, "--pool-size needs --shm"),
    (["--tcp", "127.0.0.1:65536"], 1, "is not a number from 0 to 65535"),
    (["--tcp", "localhost"], 1, "needs HOST:PORT"),
    (["--unix", "/tmp/a.sock", "--delay-us", "-1"], 2, "--delay-us needs a number of microseconds"),
    (["--unix", "/tmp/a.sock", "--delay-us", "2ms"], 2, "--delay-us needs a number of microseconds"),
])
def test_bad_command_lines_are_refused(args, code, message):
    result = run_engine_briefly(*args)
    assert result.returncode == code and message in result.stderr


def test_pool_size_suffix_sets_the_region_size(tmp_path):
    with running_engine(tcp=False, unix=False, shm=True, pool_size="64K") as engine:
        region = Region(engine.shm_name)
        try:
            assert region.pool_size == 65536 and len(region.map) == region.pool + 65536
        finally:
            region.close()


def test_abstract_namespace_listener():
    name = f"zorvo-test-{os.getpid()}-abstract"
    with running_engine(tcp=False, unix=False, extra_args=["--unix", "@" + name]) as engine:
        assert engine.unix_path == "@" + name
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
            sock.settimeout(10)
            sock.connect("\0" + name)
            sock.sendall(request_frame(1, 1, inference_request([1], "uint8", b"\x11")))
            assert decode_result(read_frame(sock)[1])[2] == b"\x11"


def test_stale_socket_file_is_replaced_but_a_live_one_is_not(tmp_path):
    path = str(tmp_path / "s.sock")
    stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    stale.bind(path)
    stale.close()  # the file stays, nobody listens
    with running_engine(tcp=False, unix=False, extra_args=["--unix", path]) as engine:
        assert engine.unix_path == path
        live = run_engine_briefly("--unix", path)
        assert live.returncode == 1 and "cannot bind" in live.stderr
        assert os.path.exists(path)  # the refused engine left the running one's file alone
    assert not os.path.exists(path)


def test_connections_are_served_independently(engine):
    with connect(engine, "unix") as stuck, connect(engine, "tcp") as other:
        stuck.sendall(request_frame(1, 1, inference_request([1], "uint8", b"\x01"))[:20])
        other.sendall(request_frame(1, 1, inference_request([1], "uint8", b"\x02")))
        assert decode_result(read_frame(other)[1])[2] == b"\x02"


def test_stop_is_prompt_with_open_and_half_sent_connections():
    with running_engine(tcp=True, unix=True) as engine:
        idle = connect(engine, "tcp")
        half = connect(engine, "unix")
        half.sendall(request_frame(1, 1, bytes(1000))[:500])
        started = time.monotonic()
        engine.process.send_signal(subprocess.signal.SIGTERM)
        assert engine.process.wait(5) == 0
        assert time.monotonic() - started < 2
        for sock in (idle, half):
            assert_closed_by_engine(sock)
            sock.close()


def test_engine_follows_its_parent_out(tmp_path):
    binary = require_engine_binary()
    shm_name = f"/zorvo-test-{os.getpid()}-orphan"
    ready = tmp_path / "ready"
    parent = (
        "import subprocess, sys, time, os\n"
        f"p = subprocess.Popen([{binary!r}, '--die-with-parent', '--shm', {shm_name!r}, '--pool-size', '4K',"
        f" '--ready-file', {str(ready)!r}], stdout=subprocess.DEVNULL)\n"
        f"while not os.path.exists({str(ready)!r}) and p.poll() is None: time.sleep(0.01)\n"
        "print(p.pid)\n"
    )
    result = subprocess.run([os.sys.executable, "-c", parent], capture_output=True, text=True, timeout=20)
    engine_pid = int(result.stdout)

    def engine_alive():
        try:
            with open(f"/proc/{engine_pid}/status") as status:
                return "zombie" not in status.read()
        except FileNotFoundError:
            return False

    deadline = time.monotonic() + 5
    while engine_alive() and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not engine_alive()
    assert not os.path.exists("/dev/shm" + shm_name)


# --- answer delay -----------------------------------------------------------------------------

DELAY_S = 0.010
IN_FLIGHT = 32


@pytest.fixture(scope="module")
def delayed_engine():
    require_engine_binary()
    with running_engine(tcp=True, unix=True, shm=True, hybrid=True, pool_size=1 << 20,
                        extra_args=["--delay-us", str(int(DELAY_S * 1e6))]) as running:
        yield running


def send_in_flight(engine, transport: str) -> list[tuple[float, int]]:
    """Sends IN_FLIGHT requests before reading any answer; (seconds from send to answer, id) each."""
    if transport == "shm":
        region = Region(engine.shm_name)
        try:
            offset = region.pool
            size = region.write_block(offset, [1], 0, b"\x05")
            sent = {}
            for request_id in range(1, IN_FLIGHT + 1):
                sent[request_id] = time.monotonic()
                region.push_request(request_id, offset, size)
            answers = []
            for _ in range(IN_FLIGHT):
                entry = region.pop_response()
                answers.append((time.monotonic() - sent[entry[0]], entry[0]))
            return answers
        finally:
            region.close()
    socks = [connect(engine, "hybrid" if transport == "hybrid" else transport) for _ in range(IN_FLIGHT)]
    region = Region(engine.shm_name) if transport == "hybrid" else None
    try:
        if region:
            size = region.write_block(region.pool, [1], 0, b"\x05")
        sent = []
        for request_id, sock in enumerate(socks, 1):
            frame = (hybrid_frame(request_id, region.pool, size) if region
                     else request_frame(1, 1, inference_request([1], "uint8", bytes([request_id]))))
            sent.append(time.monotonic())
            sock.sendall(frame)
        answers = []
        for request_id, (sock, at) in enumerate(zip(socks, sent), 1):
            status, body = read_frame(sock)
            assert status == 0
            echoed = struct.unpack_from("<Q", body)[0] if region else decode_result(body)[2][0]
            answers.append((time.monotonic() - at, echoed))
        return answers
    finally:
        for sock in socks:
            sock.close()
        if region:
            region.close()


@pytest.mark.parametrize("transport", ["unix", "tcp", "hybrid", "shm"])
def test_delayed_answers_wait_side_by_side(delayed_engine, transport):
    started = time.monotonic()
    answers = send_in_flight(delayed_engine, transport)
    elapsed = time.monotonic() - started
    assert sorted(request_id for _, request_id in answers) == list(range(1, IN_FLIGHT + 1))
    # None early; and all in flight at once: one after another would take IN_FLIGHT delays.
    assert min(waited for waited, _ in answers) >= DELAY_S * 0.99
    assert elapsed < IN_FLIGHT * DELAY_S / 4
