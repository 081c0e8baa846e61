"""Straightforward pure-Python clients of the engine's protocols: what a user would write by hand
with socket, struct and mmap. They are the second yardstick of the benchmark, next to the C floor.

They assume what a single hand-written client may assume: one request in flight, this process the
only producer on the request queue and the only consumer of the response queue, and the first slot
of the tensor pool free for its own use. The asyncio client has many requests in flight, each on a
connection of its own.
"""

from __future__ import annotations

import asyncio
import base64
import mmap
import os
import socket
import struct
import time

KIND_INFER = 1
KIND_STREAM = 2
KIND_HYBRID = 4
STATUS_ITEM = 2
BLOCK_HEADER = 80
QUEUE_CAPACITY = 1021
REQUEST_ENTRY = 40
RESPONSE_ENTRY = 48
SHM_MAGIC = 0x41494D4F

_U64 = struct.Struct("<Q")
_FRAME_HEADER = struct.Struct("<III")
_RESPONSE_HEADER = struct.Struct("<II")
_REQUEST_ENTRY = struct.Struct("<Q8xQQQ")
_REGION_HEADER = struct.Struct("<IIQQQQi")
_BLOCK_HEAD = struct.Struct("<IB3x8qQ")


def encode_request(shape, dtype: str, data) -> bytes:
    """The record encoding of a request with no additional inputs, no token and no metadata."""
    name = dtype.encode()
    return b"".join((
        _U64.pack(len(shape)),
        struct.pack(f"<{len(shape)}q", *shape),
        _U64.pack(len(name)), name,
        _U64.pack(len(data)), bytes(data),
    ))


def decode_result_data(payload: bytes) -> bytes:
    """The data bytes of an encoded tensor result (direct bytes or base64)."""
    view = memoryview(payload)
    (ndim,) = _U64.unpack_from(view, 0)
    pos = 8 + 8 * ndim
    (name_len,) = _U64.unpack_from(view, pos)
    pos += 8 + name_len
    if view[pos] == 1:
        (n,) = _U64.unpack_from(view, pos + 1)
        start = pos + 9
        if start + n > len(view):
            raise ValueError("result data runs past the payload")
        return bytes(view[start:start + n])
    pos += 1
    if view[pos] != 1:
        raise ValueError("result carries no data")
    (n,) = _U64.unpack_from(view, pos + 1)
    return base64.b64decode(bytes(view[pos + 9:pos + 9 + n]), validate=True)


def _recv_exact(sock: socket.socket, n: int) -> bytearray:
    buf = bytearray(n)
    view = memoryview(buf)
    got = 0
    while got < n:
        k = sock.recv_into(view[got:], n - got)
        if k == 0:
            raise ConnectionError("engine closed the connection")
        got += k
    return buf


class PureSocketClient:
    """The framed socket protocol over one blocking connection."""

    def __init__(self, endpoint: str):
        self.endpoint = endpoint
        if endpoint.startswith("tcp://"):
            host, _, port = endpoint[len("tcp://"):].rpartition(":")
            self.sock = socket.create_connection((host, int(port)))
            self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        else:
            self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.sock.connect(endpoint.removeprefix("unix://"))

    def close(self) -> None:
        self.sock.close()

    def _send(self, model_id: int, kind: int, shape, dtype: str, data) -> None:
        payload = encode_request(shape, dtype, data)
        self.sock.sendall(_FRAME_HEADER.pack(model_id, kind, len(payload)) + payload)

    def _read_frame(self) -> tuple[int, bytes]:
        status, length = _RESPONSE_HEADER.unpack(_recv_exact(self.sock, 8))
        return status, bytes(_recv_exact(self.sock, length)) if length else b""

    def infer(self, model_id: int, shape, dtype: str, data) -> list:
        self._send(model_id, KIND_INFER, shape, dtype, data)
        status, payload = self._read_frame()
        if status != 0:
            raise RuntimeError(payload.decode("utf-8", "replace"))
        return list(decode_result_data(payload))

    def infer_stream(self, model_id: int, shape, dtype: str, data):
        """A stream takes a connection of its own, from the request to the end frame."""
        stream = PureSocketClient(self.endpoint)
        try:
            stream._send(model_id, KIND_STREAM, shape, dtype, data)
            while True:
                status, payload = stream._read_frame()
                if not payload:
                    return
                if status == 1:
                    raise RuntimeError(payload.decode("utf-8", "replace"))
                if status != STATUS_ITEM:
                    return
                yield list(decode_result_data(payload))
        finally:
            stream.close()


class _Region:
    """The engine's region, mapped through its file under /dev/shm."""

    def __init__(self, shm_name: str):
        path = os.path.join("/dev/shm", shm_name.lstrip("/"))
        with open(path, "r+b") as f:
            self.mm = mmap.mmap(f.fileno(), 0)
        magic, version, self.req_q, self.resp_q, self.pool, self.pool_size, _ = \
            _REGION_HEADER.unpack_from(self.mm, 0)
        if magic != SHM_MAGIC or version != 1:
            raise ConnectionError("not an engine region")
        self.next_id = 1

    def close(self) -> None:
        self.mm.close()

    def write_block(self, offset: int, shape, dtype_code: int, data) -> int:
        dims = list(shape) + [0] * (8 - len(shape))
        _BLOCK_HEAD.pack_into(self.mm, offset, len(shape), dtype_code, *dims, len(data))
        self.mm[offset + BLOCK_HEADER:offset + BLOCK_HEADER + len(data)] = data
        return len(data) + BLOCK_HEADER

    def request_entry(self, request_id: int, offset: int, size: int) -> bytes:
        return _REQUEST_ENTRY.pack(request_id, time.time_ns(), offset, size)

    def read_result(self, offset: int) -> list:
        (n,) = _U64.unpack_from(self.mm, offset + 72)
        if offset + BLOCK_HEADER + n > len(self.mm):
            raise RuntimeError("result block outside the region")
        return list(self.mm[offset + BLOCK_HEADER:offset + BLOCK_HEADER + n])


def push_entry(mm, queue: int, entry: bytes) -> None:
    """Single-producer push: reserve, write the slot, then publish through the commit index."""
    (reserve,) = _U64.unpack_from(mm, queue)
    (read,) = _U64.unpack_from(mm, queue + 2 * REQUEST_ENTRY)
    nxt = (reserve + 1) % QUEUE_CAPACITY
    if nxt == read:
        raise RuntimeError("Queue is full")
    _U64.pack_into(mm, queue, nxt)
    slot = queue + 3 * REQUEST_ENTRY + reserve * REQUEST_ENTRY
    mm[slot:slot + REQUEST_ENTRY] = entry
    _U64.pack_into(mm, queue + REQUEST_ENTRY, nxt)


def pop_entry(mm, queue: int) -> bytes | None:
    """Single-consumer pop: copy the entry out before the read index frees its slot."""
    (commit,) = _U64.unpack_from(mm, queue + RESPONSE_ENTRY)
    (read,) = _U64.unpack_from(mm, queue + 2 * RESPONSE_ENTRY)
    if read == commit:
        return None
    slot = queue + 3 * RESPONSE_ENTRY + read * RESPONSE_ENTRY
    entry = mm[slot:slot + RESPONSE_ENTRY]
    _U64.pack_into(mm, queue + 2 * RESPONSE_ENTRY, (read + 1) % QUEUE_CAPACITY)
    return entry


_DTYPE_CODES = {"float32": 0, "float64": 1, "int32": 2, "int64": 3}


class PureShmClient:
    """Shared memory alone: tensor block in the pool, entries through the two queues."""

    def __init__(self, shm_name: str, timeout_s: float = 6.0):
        self.region = _Region(shm_name)
        self.timeout_ns = int(timeout_s * 1e9)

    def close(self) -> None:
        self.region.close()

    def infer(self, shape, dtype: str, data) -> list:
        region = self.region
        request_id = region.next_id
        region.next_id += 1
        offset = region.pool
        size = region.write_block(offset, shape, _DTYPE_CODES.get(dtype.lower(), 0), data)
        push_entry(region.mm, region.req_q, region.request_entry(request_id, offset, size))
        deadline = time.monotonic_ns() + self.timeout_ns
        while True:
            entry = pop_entry(region.mm, region.resp_q)
            if entry is None:
                if time.monotonic_ns() > deadline:
                    raise TimeoutError("Request timed out")
                continue
            (answered,) = _U64.unpack_from(entry, 0)
            if answered != request_id:
                continue
            if entry[8]:
                raise RuntimeError("engine reported an error")
            (result,) = _U64.unpack_from(entry, 24)
            return region.read_result(result)


class PureHybridClient:
    """Tensor block in the region, a 52-byte request and a 48-byte answer on a Unix socket."""

    def __init__(self, shm_name: str, socket_path: str):
        self.region = _Region(shm_name)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(socket_path)

    def close(self) -> None:
        self.sock.close()
        self.region.close()

    def infer(self, shape, dtype: str, data) -> list:
        region = self.region
        request_id = region.next_id
        region.next_id += 1
        offset = region.pool
        size = region.write_block(offset, shape, _DTYPE_CODES.get(dtype.lower(), 0), data)
        entry = region.request_entry(request_id, offset, size)
        self.sock.sendall(_FRAME_HEADER.pack(0, KIND_HYBRID, len(entry)) + entry)
        status, length = _RESPONSE_HEADER.unpack(_recv_exact(self.sock, 8))
        payload = bytes(_recv_exact(self.sock, length)) if length else b""
        if status != 0:
            raise RuntimeError(payload.decode("utf-8", "replace"))
        (result,) = _U64.unpack_from(payload, 24)
        return region.read_result(result)


async def asyncio_throughput(endpoint: str, tasks: int, seconds: float, payload) -> dict:
    """The socket protocol from `tasks` asyncio tasks, each on its own connection, for `seconds`.
    Task i's call n sends payload(i, n) as a uint8 tensor; an answer not echoing it is wrong."""
    async def connect():
        if endpoint.startswith("tcp://"):
            host, _, port = endpoint[len("tcp://"):].rpartition(":")
            return await asyncio.open_connection(host, int(port))  # asyncio sets TCP_NODELAY
        return await asyncio.open_unix_connection(endpoint.removeprefix("unix://"))

    connections = [await connect() for _ in range(tasks)]
    loop = asyncio.get_running_loop()
    deadline = loop.time() + seconds

    async def caller(index: int, reader, writer) -> list[int]:
        tally = [0, 0, 0]  # calls, wrong, failed
        while loop.time() < deadline:
            data = payload(index, tally[0])
            request = encode_request([len(data)], "uint8", data)
            writer.write(_FRAME_HEADER.pack(1, KIND_INFER, len(request)) + request)
            status, length = _RESPONSE_HEADER.unpack(await reader.readexactly(8))
            answer = await reader.readexactly(length)
            if status != 0:
                tally[2] += 1
            elif decode_result_data(answer) != data:
                tally[1] += 1
            tally[0] += 1
        writer.close()
        return tally

    began = loop.time()
    tallies = await asyncio.gather(*(caller(i, r, w) for i, (r, w) in enumerate(connections)))
    elapsed = loop.time() - began
    calls, wrong, failed = (sum(t[i] for t in tallies) for i in range(3))
    return {"calls": calls, "wrong": wrong, "failed": failed, "elapsed_s": elapsed,
            "calls_per_s": calls / elapsed, "first_error": None}
