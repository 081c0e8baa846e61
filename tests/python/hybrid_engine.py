"""A scripted stand-in for the engine's hybrid transport, run as its own process.

It creates a shared-memory region, serves the control socket one step per request frame and, at
the end, prints a JSON summary (connections accepted, request frames, tensor blocks read) on stdout.

    python hybrid_engine.py SHM_NAME SOCKET_PATH STEPS_JSON [--defer-listen]

SOCKET_PATH may start with "@" to name an abstract socket ("@" stands for the NUL byte). With
--defer-listen the engine prints "region", waits for one line on stdin and only then listens.
Each step answers one request frame; see `serve_step` for the step kinds.
"""

import json
import mmap
import os
import select
import socket
import struct
import sys
import time

import _posixshmem

MAGIC = 0x41494D4F
HEADER = struct.Struct("<IIQQQQi")
REQUEST_QUEUE_OFFSET = 64
RESPONSE_QUEUE_OFFSET = REQUEST_QUEUE_OFFSET + 1024 * 40
POOL_OFFSET = 94208
POOL_SIZE = 8 * 1024 * 1024
REGION_SIZE = POOL_OFFSET + POOL_SIZE
FRAME = struct.Struct("<III QI4BQ QQ")
BLOCK = struct.Struct("<IB3x8qQ")
RESPONSE = struct.Struct("<QB7sQQQ")
WAIT_SECONDS = 10


def create_region(name):
    fd = _posixshmem.shm_open(name, os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o600)
    os.ftruncate(fd, REGION_SIZE)
    region = mmap.mmap(fd, REGION_SIZE)
    os.close(fd)
    HEADER.pack_into(region, 0, MAGIC, 1, REQUEST_QUEUE_OFFSET, RESPONSE_QUEUE_OFFSET, POOL_OFFSET, POOL_SIZE, -1)
    return region


def recv_exact(connection, size):
    data = b""
    while len(data) < size:
        ready, _, _ = select.select([connection], [], [], WAIT_SECONDS)
        if not ready:
            return None
        chunk = connection.recv(size - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def reply(connection, status, payload):
    connection.sendall(struct.pack("<II", status, len(payload)) + payload)


def response_record(request_id, result_offset, is_error=0):
    return RESPONSE.pack(request_id, is_error, b"\xee" * 7, 111, result_offset, 222)


def read_block(region, offset):
    ndim, dtype_code, *rest = BLOCK.unpack_from(region, offset)
    dims, data_len = rest[:8], rest[8]
    data = bytes(region[offset + 80 : offset + 80 + data_len])
    return {"ndim": ndim, "dtype_code": dtype_code, "dims": dims, "data_len": data_len, "data": data.hex()}


def serve_step(step, region, connection, request_id, tensor_offset):
    """Answers one request. Returns False when the connection is to be closed without an answer.

    Step kinds ("delay_ms" delays any of them; "then": "close" closes after answering):
      echo       result block in the request's own slot, status 0; options "result_len",
                 "is_error" (the response record's flag) and "payload_len" (trim or pad the record)
      reply      status "status" with the hex payload "payload"
      result_at  status 0 naming a result block at "offset", optionally writing "data_len" there
      hang_up    close without answering
      raw        write the hex bytes "bytes" and then "zeros" zero bytes, then close (an answer cut
                 short, or a header announcing more than ever arrives)
    """
    time.sleep(step.get("delay_ms", 0) / 1000)
    kind = step["kind"]
    if kind == "echo":
        # The result goes into the request's own slot: each input byte plus one, or `result_len`
        # bytes counting up from 0 when given.
        data = bytes(region[tensor_offset + 80 : tensor_offset + 80 + BLOCK.unpack_from(region, tensor_offset)[10]])
        if "result_len" in step:
            result = bytes(i % 256 for i in range(step["result_len"]))
        else:
            result = bytes((b + 1) % 256 for b in data)
        BLOCK.pack_into(region, tensor_offset, 1, 0, len(result), 0, 0, 0, 0, 0, 0, 0, len(result))
        region[tensor_offset + 80 : tensor_offset + 80 + len(result)] = result
        # `payload_len` trims the 40-byte record or pads it with 0x99 bytes.
        record = response_record(request_id, tensor_offset, step.get("is_error", 0))
        length = step.get("payload_len", len(record))
        reply(connection, 0, (record + b"\x99" * length)[:length])
    elif kind == "reply":
        reply(connection, step["status"], bytes.fromhex(step["payload"]))
    elif kind == "result_at":
        # A result block the engine claims is somewhere; `data_len` is written there if it fits.
        offset = step["offset"]
        if "data_len" in step:
            struct.pack_into("<Q", region, offset + 72, step["data_len"])
        reply(connection, 0, response_record(request_id, offset))
    elif kind == "hang_up":
        return False
    elif kind == "raw":
        connection.sendall(bytes.fromhex(step["bytes"]) + bytes(step.get("zeros", 0)))
        return False
    return True


def main():
    shm_name, socket_path, steps = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
    defer_listen = "--defer-listen" in sys.argv[4:]
    if socket_path.startswith("@"):
        socket_path = "\0" + socket_path[1:]
    region = create_region(shm_name)
    summary = {"connections": 0, "frames": [], "blocks": []}
    try:
        if defer_listen:
            print("region", flush=True)
            sys.stdin.readline()
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(socket_path)
        listener.listen(4)
        print("ready", flush=True)

        connection = None
        for step in steps:
            while True:
                if connection is None:
                    ready, _, _ = select.select([listener], [], [], WAIT_SECONDS)
                    if not ready:
                        raise SystemExit("no client connected")
                    connection, _ = listener.accept()
                    summary["connections"] += 1
                frame = recv_exact(connection, FRAME.size)
                if frame is not None:
                    break
                connection.close()
                connection = None
            fields = FRAME.unpack(frame)
            request_id, tensor_offset = fields[3], fields[10]
            summary["frames"].append(frame.hex())
            summary["blocks"].append(read_block(region, tensor_offset))
            answered = serve_step(step, region, connection, request_id, tensor_offset)
            if not answered or step.get("then") == "close":
                connection.close()
                connection = None
        if connection is not None:
            # Wait for the client to go away, so that it has read the last answer.
            select.select([connection], [], [], 2)
            connection.close()
        listener.close()
    finally:
        _posixshmem.shm_unlink(shm_name)
        if not socket_path.startswith("\0") and os.path.exists(socket_path):
            os.unlink(socket_path)
        print(json.dumps(summary), flush=True)


if __name__ == "__main__":
    main()
