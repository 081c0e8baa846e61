"""The multi-process harness: one table of client kinds, and `run_processes`, which starts
processes, bounds the whole run, and returns what each process reported.

Used by test_processes.py and test_faults.py, and by the churn soak (bench/churn.py).
"""

import hashlib
import multiprocessing
import signal
import time
from typing import Callable, NamedTuple

import zorvo_sdk

RUN_TIMEOUT = 240.0
FORK = multiprocessing.get_context("fork")
SPAWN = multiprocessing.get_context("spawn")  # shares nothing with the test process


class ClientKind(NamedTuple):
    make: Callable  # engine -> client
    call: Callable  # (client, payload bytes) -> result


def socket_call(client, data):
    return client.infer(1, [len(data)], "uint8", data)


def region_call(client, data):
    return client.infer([len(data)], "uint8", data)


KINDS = {
    "unix": ClientKind(lambda engine: zorvo_sdk.ZorvoClient(f"unix://{engine.unix_path}"), socket_call),
    "tcp": ClientKind(lambda engine: zorvo_sdk.ZorvoClient(f"tcp://{engine.tcp_address}"), socket_call),
    "shm": ClientKind(lambda engine: zorvo_sdk.ZorvoShmClient(engine.shm_name), region_call),
    "hybrid": ClientKind(lambda engine: zorvo_sdk.ZorvoHybridClient(engine.shm_name, engine.hybrid_path), region_call),
}


class Endpoints(NamedTuple):
    """What a process needs to reach an engine (an engine object does not cross a spawn)."""
    unix_path: str
    tcp_address: str
    shm_name: str
    hybrid_path: str


def payload(tag, call):
    """Bytes that no other process, thread or call sends, of varying length."""
    return hashlib.blake2b(f"{tag}/{call}".encode(), digest_size=64).digest()[: 16 + call % 49]


def failed_calls(kind_name, client, tag, calls):
    failures = []
    for call in range(calls):
        data = payload(tag, call)
        try:
            result = KINDS[kind_name].call(client, data)
        except Exception as error:  # noqa: BLE001 - every failure counts
            result = error
        if result != list(data):
            failures.append((call, repr(result)[:120]))
    return failures


def report_failures(results, tag, work, timeout=RUN_TIMEOUT):
    # SIGALRM's default action ends the process even inside a call that holds the interpreter
    # lock, so a hung process cannot outlive the run.
    signal.alarm(int(timeout) + 5)
    results.put((tag, work()))


def run_processes(context, target, arg_tuples, timeout=RUN_TIMEOUT, meanwhile=lambda: None):
    """Runs `target(results, tag, *args)` in one process per entry, and `meanwhile()` here while
    they run; returns {tag: what the process reported}. The processes are killed when the run
    fails."""
    results = context.SimpleQueue()
    processes = [context.Process(target=target, args=(results, f"p{i}", *args)) for i, args in enumerate(arg_tuples)]
    try:
        for process in processes:
            process.start()
        meanwhile()
        deadline = time.monotonic() + timeout
        for process in processes:
            process.join(max(0.0, deadline - time.monotonic()))
        hung = [process.pid for process in processes if process.is_alive()]
    finally:
        for process in processes:
            if process.pid is not None and process.is_alive():
                process.kill()
                process.join()
    assert not hung, f"processes still running after {timeout} s: {hung}"
    assert [process.exitcode for process in processes] == [0] * len(processes)
    return dict(results.get() for _ in processes)
