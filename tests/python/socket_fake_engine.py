"""A scriptable stand-in for the engine's socket transport, run as a separate process.

The socket client holds the interpreter lock while it waits on the network, so the engine a test
talks to must live in another process. Tests use `FakeEngine` (a context manager) to start this
file as a subprocess on a Unix socket or a loopback TCP port. Each accepted connection, in accept
order, runs one script: a list of steps such as

    ("request",)                 read one request frame and record it
    ("send", b"...")             write raw bytes (see `frame` and `tensor_payload`)
    ("echo",)                    answer the last request with a status-0 result of its data
    ("close",)                   close the connection now
    ("wait_eof",)                read until the client closes, and record that
    ("pad", n)                   write n zero bytes (the tail of a frame announced with "send")
    ("send_forever", b"...")     write these bytes again and again until the client goes away

Connections beyond the scripts run `ECHO_ALL` (answer every request until the client closes).
Everything the engine sees is appended to a JSON-lines log that the test reads back.
"""

import argparse
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

# Every blocking step is bounded, so a broken test can never leave this process behind.
STEP_TIMEOUT = 10.0
LIFETIME = 120.0

ECHO_ALL = [("echo_all",)]


# ---------------------------------------------------------------------------------------------
# Frame and record helpers shared by the engine and the tests.

def u32(value):
    return struct.pack("<I", value)


def u64(value):
    return struct.pack("<Q", value)


def frame(status, payload=b""):
    """One response or stream frame: status, length, payload."""
    return u32(status) + u32(len(payload)) + bytes(payload)


def text(value):
    raw = value.encode() if isinstance(value, str) else bytes(value)
    return u64(len(raw)) + raw


def tensor_payload(data, shape=None, dtype="uint8"):
    """An encoded tensor result carrying its bytes directly."""
    data = bytes(data)
    shape = [len(data)] if shape is None else shape
    return (u64(len(shape)) + b"".join(struct.pack("<q", d) for d in shape) + text(dtype)
            + b"\x01" + u64(len(data)) + data + b"\x00")


def request_payload(shape, dtype, data):
    """The encoded request of one tensor with no extras, as the client must send it."""
    return (u64(len(shape)) + b"".join(struct.pack("<q", d) for d in shape) + text(dtype)
            + u64(len(data)) + bytes(data))


def parse_request_tensor(payload):
    """(shape, dtype text, data) at the front of an encoded request."""
    offset = 0

    def take(n):
        nonlocal offset
        if offset + n > len(payload):
            raise ValueError("request cut short")
        chunk = payload[offset:offset + n]
        offset += n
        return chunk

    count = struct.unpack("<Q", take(8))[0]
    shape = [struct.unpack("<q", take(8))[0] for _ in range(count)]
    dtype = take(struct.unpack("<Q", take(8))[0]).decode()
    data = take(struct.unpack("<Q", take(8))[0])
    return shape, dtype, data


# ---------------------------------------------------------------------------------------------
# The engine process.

class Log:
    def __init__(self, path):
        self._file = open(path, "a", buffering=1)
        self._lock = threading.Lock()

    def write(self, **event):
        with self._lock:
            self._file.write(json.dumps(event) + "\n")


def read_exact(conn, size):
    chunks = []
    while size > 0:
        chunk = conn.recv(min(size, 1 << 20))
        if not chunk:
            return None
        chunks.append(chunk)
        size -= len(chunk)
    return b"".join(chunks)


def read_request(conn):
    header = read_exact(conn, 12)
    if header is None:
        return None
    model_id, kind, length = struct.unpack("<III", header)
    payload = read_exact(conn, length)
    if payload is None:
        return None
    return model_id, kind, payload


def serve(conn, index, script, log):
    conn.settimeout(STEP_TIMEOUT)
    last = None
    try:
        for step in script:
            action = step[0]
            if action == "request":
                last = read_request(conn)
                if last is None:
                    log.write(conn=index, event="eof")
                    return
                log.write(conn=index, event="request", model_id=last[0], kind=last[1],
                          payload=last[2].hex())
            elif action == "send":
                conn.sendall(bytes.fromhex(step[1]))
            elif action == "echo":
                conn.sendall(frame(0, tensor_payload(parse_request_tensor(last[2])[2])))
            elif action == "echo_all":
                while True:
                    last = read_request(conn)
                    if last is None:
                        log.write(conn=index, event="eof")
                        return
                    log.write(conn=index, event="request", model_id=last[0], kind=last[1],
                              payload=last[2].hex())
                    conn.sendall(frame(0, tensor_payload(parse_request_tensor(last[2])[2])))
            elif action == "close":
                return
            elif action == "wait_eof":
                try:
                    while conn.recv(1 << 16):
                        pass
                except ConnectionResetError:
                    pass  # a client closing with our frames unread resets: it ended all the same
                log.write(conn=index, event="eof")
                return
            elif action == "sleep":
                time.sleep(step[1])
            elif action == "pad":
                conn.sendall(bytes(step[1]))
            elif action == "send_forever":
                chunk, sent = bytes.fromhex(step[1]), 0
                try:
                    while True:
                        conn.sendall(chunk)
                        sent += 1
                except (BrokenPipeError, ConnectionResetError):
                    log.write(conn=index, event="peer_closed", sent=sent)
                    return
    except OSError as error:
        log.write(conn=index, event="error", text=str(error))
    finally:
        conn.close()


def run_engine(args):
    with open(args.script) as file:
        scripts = json.load(file)
    log = Log(args.log)
    if args.unix:
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(args.unix)
        address = args.unix
    else:
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", args.port))
        address = "127.0.0.1:%d" % listener.getsockname()[1]
    listener.listen(16)
    listener.settimeout(1.0)
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    print(address, flush=True)

    deadline = time.monotonic() + LIFETIME
    index = 0
    while time.monotonic() < deadline:
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            continue
        log.write(conn=index, event="accepted")
        script = scripts[index] if index < len(scripts) else ECHO_ALL
        threading.Thread(target=serve, args=(conn, index, script, log), daemon=True).start()
        index += 1
    os._exit(0)


# ---------------------------------------------------------------------------------------------
# The test side.

def _encode_script(script):
    steps = []
    for step in script:
        if step[0] in ("send", "send_forever"):
            steps.append([step[0], bytes(step[1]).hex()])
        else:
            steps.append(list(step))
    return steps


class FakeEngine:
    """Runs the engine in a subprocess; `transport` is "unix" or "tcp"."""

    def __init__(self, scripts=(), transport="unix"):
        self._dir = tempfile.TemporaryDirectory(prefix="zorvo-fake-")
        self.transport = transport
        self.script_path = os.path.join(self._dir.name, "script.json")
        self.log_path = os.path.join(self._dir.name, "log.jsonl")
        self.socket_path = os.path.join(self._dir.name, "engine.sock")
        self.port = 0
        self.address = None
        self._process = None
        self.set_scripts(scripts)

    def set_scripts(self, scripts):
        with open(self.script_path, "w") as file:
            json.dump([_encode_script(s) for s in scripts], file)

    @property
    def endpoint(self):
        return ("tcp://" if self.transport == "tcp" else "unix://") + self.address

    def start(self):
        command = [sys.executable, os.path.abspath(__file__), "--script", self.script_path,
                   "--log", self.log_path]
        if self.transport == "tcp":
            command += ["--port", str(self.port)]
        else:
            command += ["--unix", self.socket_path]
        self._process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        line = self._process.stdout.readline().strip()
        if not line:
            raise RuntimeError("fake engine did not start")
        self.address = line
        if self.transport == "tcp":
            self.port = int(line.rsplit(":", 1)[1])  # a restart reuses the same port
        return self

    def stop(self):
        if self._process is not None:
            self._process.terminate()
            self._process.wait(timeout=10)
            self._process.stdout.close()
            self._process = None
        if os.path.exists(self.socket_path):
            os.unlink(self.socket_path)

    def restart(self, scripts=()):
        """A new engine process on the same address, with a fresh log."""
        self.stop()
        self.set_scripts(scripts)
        open(self.log_path, "w").close()
        return self.start()

    def events(self):
        with open(self.log_path) as file:
            return [json.loads(line) for line in file if line.strip()]

    def wait_for(self, predicate, timeout=5.0):
        """The log once `predicate(events)` holds; fails the test after `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while True:
            events = self.events()
            if predicate(events):
                return events
            if time.monotonic() > deadline:
                raise AssertionError("engine log never matched: %r" % (events,))
            time.sleep(0.01)

    def requests(self):
        return [e for e in self.events() if e["event"] == "request"]

    def accepted(self):
        return sum(1 for e in self.events() if e["event"] == "accepted")

    def __enter__(self):
        open(self.log_path, "w").close()
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        self._dir.cleanup()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--script", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--unix")
    parser.add_argument("--port", type=int, default=0)
    run_engine(parser.parse_args())


if __name__ == "__main__":
    main()
