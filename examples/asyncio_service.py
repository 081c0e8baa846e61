"""zorvo.aio: many inferences in flight from one asyncio program, and an event loop that never waits.

Starts `zorvo-engine` as the quickstart does (through $ZORVO_ENGINE, then PATH, then
build/*/zorvo-engine), with a model that takes 2 ms (--delay-us 2000), then over each transport:

- runs 128 requests as asyncio tasks sharing one client, so that they wait side by side, and
  checks every answer;
- cancels a call with asyncio.wait_for: its answer never reaches another call;
- reads a stream with `async for`.

    python examples/asyncio_service.py
"""

from __future__ import annotations

import asyncio
import shutil
import signal
import tempfile
import time
from pathlib import Path

import numpy as np
import numpy.typing as npt

import zorvo
import zorvo.aio
from quickstart import start_engine

Client = zorvo.aio.ZorvoClient | zorvo.aio.ZorvoShmClient | zorvo.aio.ZorvoHybridClient


async def infer(client: Client, values: npt.NDArray[np.int64]) -> zorvo.Tensor:
    shape = list(values.shape)
    if isinstance(client, zorvo.aio.ZorvoClient):
        return await client.infer_tensor(0, shape, "int64", values.tobytes())
    return await client.infer_tensor(shape, "int64", values.tobytes())


async def serve(name: str, client: Client) -> None:
    async with client:
        started = time.perf_counter()
        requests = [np.full(4, i, dtype=np.int64) for i in range(128)]
        answers = await asyncio.gather(*(infer(client, values) for values in requests))
        elapsed = time.perf_counter() - started
        correct = sum(bool((np.asarray(a) == r).all()) for a, r in zip(answers, requests))
        print(f"  {name}: 128 calls of 2 ms each in {elapsed * 1e3:.0f} ms, {correct} answered correctly")
        try:
            await asyncio.wait_for(infer(client, np.zeros(4, dtype=np.int64)), timeout=0.0005)
        except asyncio.TimeoutError:
            print(f"  {name}: a call cancelled after 0.5 ms; the next one still gets its own answer:",
                  np.asarray(await infer(client, np.arange(4, dtype=np.int64))).tolist())


async def main(endpoints: dict[str, str]) -> None:
    print("128 tasks sharing one zorvo.aio client, per transport:")
    await serve("unix", zorvo.aio.ZorvoClient(f"unix://{endpoints['unix']}"))
    await serve("tcp", zorvo.aio.ZorvoClient(f"tcp://{endpoints['tcp']}"))
    await serve("shm", zorvo.aio.ZorvoShmClient(endpoints["shm"]))
    await serve("hybrid", zorvo.aio.ZorvoHybridClient(endpoints["shm"], endpoints["hybrid"]))
    async with zorvo.aio.ZorvoClient(f"unix://{endpoints['unix']}") as client:
        items = [np.asarray(t).tolist() async for t in client.infer_stream_tensor(1, [2], "float32", b"\0" * 8)]
        print(f"async for over a stream: {len(items)} tensors, first {items[0]}")


if __name__ == "__main__":
    workdir = Path(tempfile.mkdtemp(prefix="zorvo-aio-", dir="/tmp"))
    # A pool with a slot for each of the 128 calls the region clients keep in flight.
    engine, endpoints = start_engine(workdir, pool_size="512M", extra_args=["--delay-us", "2000"])
    try:
        asyncio.run(main(endpoints))
    finally:
        engine.send_signal(signal.SIGTERM)
        engine.wait(10)
        shutil.rmtree(workdir, ignore_errors=True)
