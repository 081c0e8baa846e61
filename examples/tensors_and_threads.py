"""zorvo: results as NumPy arrays without copies, one client shared by many threads, and `with`.

Starts `zorvo-engine` as the quickstart does (through $ZORVO_ENGINE, then PATH, then
build/*/zorvo-engine), then:

- sends a float32 matrix over each transport with `infer_tensor` and reads the result through
  `numpy.asarray`, which wraps the tensor's own buffer (shape and element type from the engine);
- runs 16 threads that share one socket client; their calls overlap, since every call lets go of
  the interpreter lock while it waits;
- streams tensors with `infer_stream_tensor`.

    python examples/tensors_and_threads.py
"""

from __future__ import annotations

import shutil
import signal
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import numpy.typing as npt

import zorvo
from quickstart import start_engine


def roundtrip(client: zorvo.ZorvoClient | zorvo.ZorvoShmClient | zorvo.ZorvoHybridClient,
              matrix: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """One inference of `matrix`; the result as an array over the tensor's own bytes."""
    shape = list(matrix.shape)
    if isinstance(client, zorvo.ZorvoClient):
        tensor = client.infer_tensor(0, shape, "float32", matrix.tobytes())
    else:
        tensor = client.infer_tensor(shape, "float32", matrix.tobytes())
    print(f"  {type(client).__name__}: {tensor}")
    return np.asarray(tensor, dtype=np.float32)


def main() -> None:
    matrix = (np.arange(12).reshape(3, 4) / 4).astype(np.float32)
    workdir = Path(tempfile.mkdtemp(prefix="zorvo-tensors-", dir="/tmp"))
    engine, endpoints = start_engine(workdir)
    try:
        print("infer_tensor over every transport (the engine echoes the tensor):")
        with zorvo.ZorvoClient(f"unix://{endpoints['unix']}") as local, \
                zorvo.ZorvoClient(f"tcp://{endpoints['tcp']}") as tcp, \
                zorvo.ZorvoShmClient(endpoints["shm"]) as shm, \
                zorvo.ZorvoHybridClient(endpoints["shm"], endpoints["hybrid"]) as hybrid:
            for client in (local, tcp, shm, hybrid):
                result = roundtrip(client, matrix)
                assert result.shape == (3, 4) and (result == matrix).all()

            result *= 2  # the array is writable: it is the tensor's buffer, not a copy
            print("  doubled in place:", result[0].tolist())

            def work(index: int) -> bool:
                sent = np.full(1024, index, dtype=np.int64)
                got = np.asarray(local.infer_tensor(0, [1024], "int64", sent.tobytes()))
                return bool((got == sent).all())

            with ThreadPoolExecutor(max_workers=16) as pool:
                answers = list(pool.map(work, range(1000)))
            print(f"16 threads, one client: {sum(answers)} of {len(answers)} calls answered correctly")

            items = [np.asarray(t) for t in local.infer_stream_tensor(1, [2], "float32", matrix[0, :2].tobytes())]
            print(f"infer_stream_tensor: {len(items)} tensors, first {items[0].tolist()}")
        print("after the with block:", repr(local))
    finally:
        engine.send_signal(signal.SIGTERM)
        engine.wait(10)
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
