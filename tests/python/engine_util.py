"""Start and stop the reference engine (`zorvo-engine`) as a subprocess.

The engine must run in its own process: the client module holds the interpreter lock while it
waits on the network, so an engine on a thread of the test process would never get to answer.

Typical use::

    from engine_util import running_engine

    with running_engine(tcp=True, unix=True, shm=True, hybrid=True) as engine:
        client = ZorvoClient(f"tcp://{engine.tcp_address}")
        ...

or, in pytest, a fixture that yields ``engine`` from inside ``running_engine(...)``.
``require_engine_binary()`` skips the calling test when no engine binary can be found.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import signal
import subprocess
import tempfile
import time
import uuid
from pathlib import Path
from typing import Iterator, Optional, Sequence, Union

REPO_ROOT = Path(__file__).resolve().parents[2]
ENGINE_ENV_VAR = "ZORVO_ENGINE"
BINARY_NAME = "zorvo-engine"


def find_engine_binary() -> Optional[str]:
    """$ZORVO_ENGINE, else `zorvo-engine` on PATH, else the newest build/*/zorvo-engine."""
    configured = os.environ.get(ENGINE_ENV_VAR)
    if configured:
        return configured
    on_path = shutil.which(BINARY_NAME)
    if on_path:
        return on_path
    built = [p for p in (REPO_ROOT / "build").glob(f"*/{BINARY_NAME}") if os.access(p, os.X_OK)]
    if not built:
        return None
    return str(max(built, key=lambda p: p.stat().st_mtime))


def require_engine_binary() -> str:
    """The engine binary, or a pytest skip naming how to provide one."""
    binary = find_engine_binary()
    if binary is None:
        import pytest

        pytest.skip(f"{BINARY_NAME} not found: build it or set {ENGINE_ENV_VAR}")
    return binary


class EngineError(RuntimeError):
    """The engine could not be started."""


class EngineProcess:
    """A running engine and the endpoints it serves (None for the ones not requested)."""

    def __init__(self, process: subprocess.Popen, workdir: Path, ready_lines: Sequence[str]):
        self.process = process
        self.workdir = workdir
        self.ready_lines = list(ready_lines)
        self.tcp_address: Optional[str] = None
        self.unix_path: Optional[str] = None
        self.hybrid_path: Optional[str] = None
        self.shm_name: Optional[str] = None
        self.shm_size: Optional[int] = None
        for line in self.ready_lines:
            kind, _, rest = line.partition(" ")
            if kind == "tcp" and self.tcp_address is None:
                self.tcp_address = rest
            elif kind == "unix" and self.unix_path is None:
                self.unix_path = rest
            elif kind == "hybrid" and self.hybrid_path is None:
                self.hybrid_path = rest
            elif kind == "shm":
                name, _, size = rest.rpartition(" ")
                self.shm_name, self.shm_size = name, int(size)

    @property
    def tcp_host(self) -> Optional[str]:
        return None if self.tcp_address is None else self.tcp_address.rpartition(":")[0].strip("[]")

    @property
    def tcp_port(self) -> Optional[int]:
        return None if self.tcp_address is None else int(self.tcp_address.rpartition(":")[2])

    @property
    def stderr_text(self) -> str:
        path = self.workdir / "stderr.txt"
        return path.read_text(errors="replace") if path.exists() else ""

    def stop(self, timeout: float = 5.0) -> int:
        """Asks the engine to stop (SIGTERM), waits for it, and returns its exit code."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout)
                self._remove_leftover_region()
        shutil.rmtree(self.workdir, ignore_errors=True)
        return self.process.returncode


    def _remove_leftover_region(self) -> None:
        # A killed engine cannot remove its region itself.
        if self.shm_name:
            with contextlib.suppress(OSError):
                os.unlink("/dev/shm/" + self.shm_name.lstrip("/"))


def _short_temp_dir() -> Path:
    # Unix socket paths must stay under 108 bytes, so avoid a long $TMPDIR.
    base = "/tmp" if os.path.isdir("/tmp") else None
    return Path(tempfile.mkdtemp(prefix="zeng-", dir=base))


def start_engine(
    *,
    tcp: bool = True,
    unix: bool = True,
    shm: bool = False,
    hybrid: bool = False,
    pool_size: Optional[Union[int, str]] = None,
    extra_args: Sequence[str] = (),
    die_with_parent: bool = True,
    binary: Optional[str] = None,
    timeout: float = 10.0,
) -> EngineProcess:
    """Starts an engine on a free loopback TCP port, a temporary Unix socket, and/or a uniquely
    named shared-memory region (with a hybrid control socket), and waits until it serves.

    `pool_size` takes bytes or a size with a K/M/G suffix. With `die_with_parent` the engine is
    stopped when the thread that started it exits (the kernel ties this to the starting thread),
    so a test that dies without cleaning up leaves no engine behind; start from a thread that
    outlives the engine, or pass False."""
    binary = binary or find_engine_binary()
    if binary is None:
        raise EngineError(f"{BINARY_NAME} not found: build it or set {ENGINE_ENV_VAR}")
    workdir = _short_temp_dir()
    ready_file = workdir / "ready"
    args = [binary, "--ready-file", str(ready_file)]
    if die_with_parent:
        args.append("--die-with-parent")
    if tcp:
        args += ["--tcp", "127.0.0.1:0"]
    if unix:
        args += ["--unix", str(workdir / "engine.sock")]
    if shm or hybrid:
        args += ["--shm", f"/zorvo-test-{os.getpid()}-{uuid.uuid4().hex[:12]}"]
        if pool_size is not None:
            args += ["--pool-size", str(pool_size)]
    if hybrid:
        args += ["--hybrid", str(workdir / "hybrid.sock")]
    args += list(extra_args)

    with open(workdir / "stderr.txt", "wb") as stderr:
        process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=stderr)
    deadline = time.monotonic() + timeout
    while not ready_file.exists():
        if process.poll() is not None or time.monotonic() > deadline:
            engine = EngineProcess(process, workdir, [])
            reason = engine.stderr_text.strip() or "no output"
            code = engine.stop()
            raise EngineError(f"{BINARY_NAME} did not become ready (exit code {code}): {reason}")
        time.sleep(0.005)
    lines = [line for line in ready_file.read_text().splitlines() if line and line != "ready"]
    return EngineProcess(process, workdir, lines)


@contextlib.contextmanager
def running_engine(**kwargs) -> Iterator[EngineProcess]:
    """`start_engine(**kwargs)` for the duration of a `with` block; always stopped afterwards."""
    engine = start_engine(**kwargs)
    try:
        yield engine
    finally:
        engine.stop()
