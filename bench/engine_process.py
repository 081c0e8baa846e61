"""Starts the reference engine for a benchmark run, pinned to one processor, and stops it."""

from __future__ import annotations

import itertools
import os
import signal
import subprocess
import tempfile
import time
from pathlib import Path

READY_TIMEOUT_S = 20.0
_serial = itertools.count()


class EngineProcess:
    """The engine serving every transport at once; a context manager that always stops it."""

    def __init__(self, binary: Path, cpu: int | None, extra_args: tuple[str, ...] = ()):
        tag = f"zorvo-bench-{os.getpid()}-{next(_serial)}"
        self.workdir = Path(tempfile.mkdtemp(prefix=tag + "-"))
        self.unix_path = str(self.workdir / "engine.sock")
        self.hybrid_path = str(self.workdir / "hybrid.sock")
        self.shm_name = "/" + tag
        self.ready_file = self.workdir / "ready"
        command = [str(binary), "--unix", self.unix_path, "--tcp", "127.0.0.1:0",
                   "--shm", self.shm_name, "--hybrid", self.hybrid_path,
                   "--ready-file", str(self.ready_file), "--die-with-parent", *extra_args]
        if cpu is not None:
            command = ["taskset", "-c", str(cpu)] + command
        self.command = command
        self.process: subprocess.Popen | None = None
        self.log_path = self.workdir / "engine.log"
        self.tcp_address: str | None = None

    def __enter__(self) -> "EngineProcess":
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(self.command, stdout=subprocess.DEVNULL, stderr=log)
        deadline = time.monotonic() + READY_TIMEOUT_S
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("engine exited early: " + self.log_path.read_text(errors="replace"))
            if self.ready_file.exists():
                lines = self.ready_file.read_text().split("\n")
                if "ready" in lines:
                    self._read_listeners(lines)
                    return self
            time.sleep(0.02)
        self.__exit__(None, None, None)
        raise RuntimeError(f"engine not ready within {READY_TIMEOUT_S:.0f} s")

    def _read_listeners(self, lines: list[str]) -> None:
        for line in lines:
            kind, _, value = line.partition(" ")
            if kind == "tcp":
                self.tcp_address = value.strip()
        if not self.tcp_address:
            raise RuntimeError("engine announced no TCP listener")

    def endpoints(self) -> dict:
        return {
            "unix": "unix://" + self.unix_path,
            "tcp": "tcp://" + self.tcp_address,
            "shm": self.shm_name,
            "hybrid": self.hybrid_path,
            "unix_path": self.unix_path,
            "tcp_address": self.tcp_address,
        }

    def __exit__(self, *exc) -> None:
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for leftover in (self.ready_file, self.log_path, Path(self.unix_path), Path(self.hybrid_path)):
            leftover.unlink(missing_ok=True)
        try:
            self.workdir.rmdir()
        except OSError:
            pass
