"""Peers that die, stop or answer late: what the other clients of the region must not notice.

The churn runs the scenario of fault_churn.py on the multi-process harness; its seed is random,
printed, and taken from ZORVO_CHURN_SEED when set, which gives the same plan again. Clean exits
are the baseline that every tree must pass; the long form of the same run is bench/churn.py.
"""

import os
import random

import pytest

import zorvo_sdk
from engine_util import require_engine_binary, running_engine
from fault_churn import format_report, run_churn
from process_harness import SPAWN, Endpoints
from shm_fake_engine import FakeShmEngine

CHURN_SECONDS = 9.0
# A dead peer may hold others up for about a second before they notice and step over it.
WORST_STALL = 1.5
STALLED = "RuntimeError: Queue commit stalled: an earlier producer never published its entry"


@pytest.mark.parametrize("fault", ["exit", "kill", "term", "stop"])
def test_steady_clients_lose_nothing_while_peers_are_killed_or_stopped(fault):
    if os.environ.get("ZORVO_CHURN") == "skip":
        pytest.skip("the churn exercises the core, not the interpreter or the wheel: run once, by scripts/test")
    require_engine_binary()
    seed = int(os.environ.get("ZORVO_CHURN_SEED") or random.randrange(2**32))
    print(f"ZORVO_CHURN_SEED={seed}")
    # The engine's default pool, whose 16 slots the faults are budgeted for (see fault_churn).
    with running_engine(tcp=False, unix=False, shm=True, hybrid=True) as engine:
        endpoints = Endpoints("", "", engine.shm_name, engine.hybrid_path)
        reports, churned = run_churn(endpoints, seed, CHURN_SECONDS, (fault,))
    print(format_report(reports, churned, seed))
    assert churned.get(fault, 0) >= 5, churned
    assert all(report["calls"] >= 100 for report in reports.values()), reports
    # A producer stopped between reserving and publishing holds the request queue while it is
    # stopped, and nobody may touch a live producer's entry: a push that waits past its second
    # gives up. Only a stop that really lasted that long (the churn loop can be held up) excuses it.
    # (A continued producer also needs a processor again before it publishes.)
    held_too_long = fault == "stop" and churned.get("longest stop ms", 0) >= 600

    def hurt_by(report):
        failed = report["failed"] - (report["errors"].get(STALLED, 0) if held_too_long else 0)
        return report["wrong"] or failed or (report["worst_stall"] > WORST_STALL and not held_too_long)

    hurt = {tag: {key: report[key] for key in ("kind", "calls", "wrong", "failed", "worst_stall", "errors",
                                               "wrong_examples")}
            for tag, report in reports.items() if hurt_by(report)}
    assert not hurt, f"ZORVO_CHURN_SEED={seed}: {hurt}"


def call_and_wait(shm_name):
    zorvo_sdk.ZorvoShmClient(shm_name).infer([4], "uint8", b"late")


@pytest.mark.parametrize("first_client", ["timed-out-and-dropped", "process-killed"])
def test_a_late_answer_is_never_taken_by_the_next_client_of_its_number(first_client):
    # The engine holds the first request's answer and sends it just before answering the next.
    with FakeShmEngine([{"do": "hold"}]) as engine:
        if first_client == "process-killed":
            victim = SPAWN.Process(target=call_and_wait, args=(engine.name,))
            victim.start()
            try:
                assert len(engine.requests(1, timeout=30)) == 1
            finally:
                victim.kill()
                victim.join()
        else:
            client = zorvo_sdk.ZorvoShmClient(engine.name)
            with pytest.raises(TimeoutError):
                client.infer([4], "uint8", b"late")
            del client
        client = zorvo_sdk.ZorvoShmClient(engine.name)
        assert client.infer([4], "uint8", b"mine") == list(b"mine")
        assert client.infer([4], "uint8", b"next") == list(b"next")
        assert len(engine.requests(3)) == 3
