"""Quickstart: run one inference over every transport against the reference engine.

Starts `zorvo-engine` (found through $ZORVO_ENGINE, then PATH, then build/*/zorvo-engine),
then uses the three clients of `zorvo_sdk`:

- ZorvoClient over TCP and over a Unix socket, single-shot and streamed;
- ZorvoShmClient, with the tensor passed through the engine's shared-memory region;
- ZorvoHybridClient, with the tensor in shared memory and the control messages on a Unix socket.

The reference engine echoes every request tensor back, so each result equals the input.

    python examples/quickstart.py
"""

from __future__ import annotations

from collections.abc import Sequence
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from zorvo_sdk import ZorvoClient, ZorvoHybridClient, ZorvoShmClient

REPO_ROOT = Path(__file__).resolve().parents[1]


def find_engine() -> str:
    configured = os.environ.get("ZORVO_ENGINE") or shutil.which("zorvo-engine")
    if configured:
        return configured
    built = sorted(REPO_ROOT.glob("build/*/zorvo-engine"), key=lambda p: p.stat().st_mtime)
    if not built:
        sys.exit("zorvo-engine not found: build it (cmake ... -DZORVO_BUILD_ENGINE=ON) or set ZORVO_ENGINE")
    return str(built[-1])


def start_engine(workdir: Path, pool_size: str = "64M",
                 extra_args: Sequence[str] = ()) -> tuple[subprocess.Popen[bytes], dict[str, str]]:
    """Starts the engine on a free TCP port, a Unix socket, a region and a hybrid socket, and
    returns it with its endpoints once it reports ready."""
    ready = workdir / "ready"
    engine = subprocess.Popen([
        find_engine(), "--die-with-parent", "--ready-file", str(ready),
        "--tcp", "127.0.0.1:0",
        "--unix", str(workdir / "engine.sock"),
        "--shm", f"/zorvo-quickstart-{os.getpid()}", "--pool-size", pool_size,
        "--hybrid", str(workdir / "hybrid.sock"), *extra_args,
    ], stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while not ready.exists():
        if engine.poll() is not None or time.monotonic() > deadline:
            engine.kill()
            sys.exit("zorvo-engine did not start")
        time.sleep(0.01)
    endpoints: dict[str, str] = {}
    for line in ready.read_text().splitlines():
        kind, _, rest = line.partition(" ")
        if kind == "shm":
            rest = rest.rsplit(" ", 1)[0]  # drop the region size
        if rest:
            endpoints[kind] = rest
    return engine, endpoints


def as_floats(result: list[int]) -> list[float]:
    """Results come back as one int per byte; reinterpret them as the float32 values they are."""
    return list(struct.unpack(f"<{len(result) // 4}f", bytes(result)))


def main() -> None:
    values = [1.5, -2.0, 3.25, 0.0]
    data = struct.pack("<4f", *values)
    shape = [2, 2]

    workdir = Path(tempfile.mkdtemp(prefix="zorvo-quickstart-", dir="/tmp"))
    engine, endpoints = start_engine(workdir)
    try:
        tcp = ZorvoClient(f"tcp://{endpoints['tcp']}")
        print(f"{tcp.protocol()} {tcp.endpoint()}: infer ->", as_floats(tcp.infer(1, shape, "float32", data)))

        local = ZorvoClient(socket_path=endpoints["unix"])
        print(f"{local.protocol()} {local.endpoint()}: infer ->", as_floats(local.infer(1, shape, "float32", data)))

        items = [as_floats(item) for item in tcp.infer_stream(1, shape, "float32", data)]
        print(f"infer_stream -> {len(items)} items, first {items[0]}")

        try:
            tcp.infer(2, shape, "float32", data)  # model 2 of the reference engine always fails
        except RuntimeError as error:
            print(f"engine error from model 2 -> RuntimeError({error})")

        shm = ZorvoShmClient(endpoints["shm"])
        print("shared memory: infer ->", as_floats(shm.infer(shape, "float32", data)))

        hybrid = ZorvoHybridClient(endpoints["shm"], endpoints["hybrid"])
        print("hybrid: infer ->", as_floats(hybrid.infer(shape, "float32", data)))
    finally:
        engine.send_signal(signal.SIGTERM)
        engine.wait(10)
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
