"""A scriptable stand-in for the engine's shared-memory transport, run as a separate process.

The shared-memory client holds the interpreter lock while it polls the response queue, so the
engine a test talks to must live in another process. `FakeShmEngine` (a context manager) starts
this file as a subprocess, which creates a region with the engine's header and queues, answers
request entries one by one following a script, and removes the region when it stops. Each script
step answers one request, in arrival order:

    {"do": "echo"}                        success; the request's own block is the result
    {"do": "unknown_error"}               is_error 1 with no text block
    {"do": "error_text", "hex": "..."}    is_error 1 with a text block holding these bytes
    {"do": "foreign_then_echo"}           an answer for another request number, then the echo
    {"do": "silent"}                      no answer at all
    {"do": "result_at", "offset": N}      success naming a result block at region offset N
    {"do": "error_at", "offset": N}       is_error 1 naming a text block at region offset N
    {"do": "result_len", "len": L}        success with a block whose data_len claims L bytes
    {"do": "error_len", "len": L}         is_error 1 with a text block whose length claims L bytes
    {"do": "signal_parent", "signum": S}  no answer; sends signal S to the process that started it
    {"do": "hold"}                        answers late: just before answering the next request, with
                                          a copy of this request's block (at most 4 KiB) as it
                                          arrived, which stays put when its slot is reused

Requests beyond the script are echoed. Every request (its 40-byte entry and its tensor block) is
appended to a JSON-lines log that the test reads back.
"""

import argparse
import itertools
import json
import mmap
import os
import signal
import struct
import subprocess
import sys
import tempfile
import time

MAGIC = 0x41494D4F
CAPACITY = 1021
REQUEST_QUEUE = 64
RESPONSE_QUEUE = REQUEST_QUEUE + (3 + CAPACITY) * 40
POOL = ((RESPONSE_QUEUE + (3 + CAPACITY) * 48 + 4095) // 4096) * 4096
SCRATCH = 4096  # after the pool: where this engine writes its own result and error blocks
LIFETIME = 60.0

_names = itertools.count()


def region_size(pool_size):
    return POOL + pool_size + SCRATCH


def header(pool_size, notify_fd=-1, magic=MAGIC, version=1, pool_offset=POOL,
           request_queue=REQUEST_QUEUE, response_queue=RESPONSE_QUEUE):
    return struct.pack("<IIQQQQi", magic, version, request_queue, response_queue, pool_offset,
                       pool_size, notify_fd)


def unique_name():
    return "/zorvo-pytest-%d-%d" % (os.getpid(), next(_names))


def shm_path(name):
    return "/dev/shm/" + name.lstrip("/")


def create_region(name, content, size):
    """A shared-memory object holding `content` at offset 0, zero-filled to `size` bytes."""
    fd = os.open(shm_path(name), os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o600)
    try:
        os.ftruncate(fd, size)
        os.pwrite(fd, content, 0)
    finally:
        os.close(fd)


def remove_region(name):
    try:
        os.unlink(shm_path(name))
    except FileNotFoundError:
        pass


# ---------------------------------------------------------------------------------------------
# The engine process. One consumer of the request queue and one producer of the response queue,
# so plain aligned 8-byte stores suffice for the indices on this platform.

class Region:
    def __init__(self, memory, pool_size):
        self.memory = memory
        self.pool_size = pool_size

    def u64(self, offset):
        return struct.unpack_from("<Q", self.memory, offset)[0]

    def put_u64(self, offset, value):
        self.memory[offset:offset + 8] = struct.pack("<Q", value)

    def pop_request(self):
        read = self.u64(REQUEST_QUEUE + 80)
        if read == self.u64(REQUEST_QUEUE + 40):
            return None
        slot = REQUEST_QUEUE + 120 + 40 * read
        entry = bytes(self.memory[slot:slot + 40])
        self.put_u64(REQUEST_QUEUE + 80, (read + 1) % CAPACITY)
        return entry

    def push_response(self, request_id, is_error=0, result_offset=0, error_offset=0):
        cursor = self.u64(RESPONSE_QUEUE)
        following = (cursor + 1) % CAPACITY
        if following == self.u64(RESPONSE_QUEUE + 96):
            raise RuntimeError("response queue full")
        slot = RESPONSE_QUEUE + 144 + 48 * cursor
        self.memory[slot:slot + 48] = struct.pack("<QB7xQQQQ", request_id, is_error, 0,
                                                  result_offset, 0, error_offset)
        self.put_u64(RESPONSE_QUEUE, following)
        self.put_u64(RESPONSE_QUEUE + 48, following)

    def scratch(self):
        return POOL + self.pool_size


def answer(region, step, request_id, tensor_offset, block):
    action = step["do"]
    if action == "echo":
        region.push_response(request_id, result_offset=tensor_offset)
    elif action == "unknown_error":
        region.push_response(request_id, is_error=1)
    elif action == "error_text":
        raw = bytes.fromhex(step["hex"])
        at = region.scratch()
        region.memory[at:at + 8 + len(raw)] = struct.pack("<Q", len(raw)) + raw
        region.push_response(request_id, is_error=1, error_offset=at)
    elif action == "foreign_then_echo":
        region.push_response(request_id + 1000, result_offset=tensor_offset)
        region.push_response(request_id, result_offset=tensor_offset)
    elif action == "silent":
        pass
    elif action == "result_at":
        region.push_response(request_id, result_offset=step["offset"])
    elif action == "error_at":
        region.push_response(request_id, is_error=1, error_offset=step["offset"])
    elif action == "result_len":
        at = region.scratch()
        region.memory[at:at + 80] = bytes(72) + struct.pack("<Q", step["len"])
        region.push_response(request_id, result_offset=at)
    elif action == "error_len":
        at = region.scratch()
        region.memory[at:at + 8] = struct.pack("<Q", step["len"])
        region.push_response(request_id, is_error=1, error_offset=at)
    elif action == "signal_parent":
        os.kill(os.getppid(), step["signum"])
    elif action == "hold":
        return request_id, block
    return None


def answer_late(region, held):
    request_id, block = held
    at = region.scratch()
    region.memory[at:at + len(block)] = block
    region.push_response(request_id, result_offset=at)


def run_engine(args):
    with open(args.script) as file:
        script = json.load(file)
    size = region_size(args.pool_size)
    create_region(args.name, header(args.pool_size, args.notify_fd), size)
    stop = lambda *_: (remove_region(args.name), os._exit(0))
    signal.signal(signal.SIGTERM, stop)
    fd = os.open(shm_path(args.name), os.O_RDWR)
    region = Region(mmap.mmap(fd, size), args.pool_size)
    log = open(args.log, "a", buffering=1)
    print("READY", flush=True)

    deadline = time.monotonic() + LIFETIME
    steps = iter(script)
    held = None
    while time.monotonic() < deadline:
        entry = region.pop_request()
        if entry is None:
            time.sleep(0.0002)
            continue
        request_id, _, _, tensor_offset, tensor_size = struct.unpack("<QQQQQ", entry)
        shown = min(tensor_size, 80 + 4096)
        block = bytes(region.memory[tensor_offset:tensor_offset + shown])
        log.write(json.dumps({"entry": entry.hex(), "block": block.hex()}) + "\n")
        if held is not None:
            answer_late(region, held)
        held = answer(region, next(steps, {"do": "echo"}), request_id, tensor_offset, block)
    stop()


# ---------------------------------------------------------------------------------------------
# The test side.

class FakeShmEngine:
    """Starts the engine process on a fresh region name and stops it on exit."""

    def __init__(self, script=(), pool_size=1 << 20, notify_fd=-1):
        self.name = unique_name()
        self.pool_size = pool_size
        self._dir = tempfile.TemporaryDirectory()
        self._log = os.path.join(self._dir.name, "log.jsonl")
        script_path = os.path.join(self._dir.name, "script.json")
        with open(script_path, "w") as file:
            json.dump(list(script), file)
        self._command = [sys.executable, __file__, "--name", self.name, "--pool-size", str(pool_size),
                         "--notify-fd", str(notify_fd), "--script", script_path, "--log", self._log]
        self._process = None

    @property
    def size(self):
        return region_size(self.pool_size)

    def __enter__(self):
        self._process = subprocess.Popen(self._command, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        line = self._process.stdout.readline()
        if line.strip() != b"READY":
            self.__exit__(None, None, None)
            raise RuntimeError("fake shared-memory engine did not start")
        return self

    def __exit__(self, *exc):
        if self._process is not None:
            self._process.terminate()
            try:
                self._process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
            self._process.stdout.close()
        remove_region(self.name)
        self._dir.cleanup()

    def requests(self, expected=None, timeout=5.0):
        """The logged requests as (entry bytes, block bytes), waiting for `expected` of them."""
        deadline = time.monotonic() + timeout
        while True:
            with open(self._log) if os.path.exists(self._log) else open(os.devnull) as file:
                events = [json.loads(line) for line in file if line.endswith("\n")]
            if expected is None or len(events) >= expected or time.monotonic() > deadline:
                return [(bytes.fromhex(e["entry"]), bytes.fromhex(e["block"])) for e in events]
            time.sleep(0.01)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--name", required=True)
    parser.add_argument("--pool-size", type=int, required=True)
    parser.add_argument("--notify-fd", type=int, default=-1)
    parser.add_argument("--script", required=True)
    parser.add_argument("--log", required=True)
    run_engine(parser.parse_args())
