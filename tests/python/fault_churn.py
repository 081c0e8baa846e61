"""Steady clients call while short-lived client processes on the same region are SIGKILLed,
SIGTERMed, SIGSTOPped or told to exit cleanly at random moments: the scenario of the
fault-injection test (test_faults.py) and of the soak and benchmark run by hand (bench/churn.py).

Each steady process checks every result against its own request (the reference engine echoes)
and reports its calls, wrong answers, failed calls (with their texts) and stalls (gaps between two
completed calls). Everything random comes from one seed: each churning process draws its client
kind and its faults (which, after how long, how long stopped, then continued or killed) from its
own generator, so a seed gives the same plan whatever the timing; only a fault held back by the
cap below is replaced by a clean exit.
"""

import collections
import ctypes
import itertools
import os
import random
import re
import signal
import time

from process_harness import FORK, KINDS, SPAWN, payload, region_call, report_failures, run_processes

# "exit" is a clean exit after the call in progress (see churner): the baseline, which needs no
# handling of a fault at all.
FAULTS = {"kill": signal.SIGKILL, "term": signal.SIGTERM, "stop": signal.SIGSTOP, "exit": signal.SIGUSR1}
STEADY = ("shm", "shm", "hybrid", "hybrid")
CHURNERS = 3                # churning processes alive at once
FAULT_DELAY = (0.05, 0.6)   # seconds of calling before a churner's next fault
STOPPED_FOR = (0.05, 0.3)   # a stopped churner is then continued or killed, one in two
STALL = 1.0                 # a longer gap between two completed calls counts as a stall
START_TIMEOUT = 60.0
HYBRID_SHARE = 1 / 3        # of the churners; the others are shared-memory clients
# A dead hybrid client's slot is free again only when its 30 s lease ends (nothing proves the engine
# is done with it), and so is a shared-memory client's that was stopped, its answer handed over,
# and then killed. The engine's default pool has 16 slots; the steady clients and live churners
# hold one each at most, so the faults that may leave a slot claimed for a lease are capped to
# leave the rest: a correct client then never finds the pool exhausted. The rest also holds what
# comes back within a second or so: a dead shared-memory client's slot, freed once the pool is
# found full (whoever finds it full first hands the dead client's answer over, or replaces its
# unpublished entry), a kill in the few instructions between a claim and its record, and the slot
# of a push that gave up behind a stopped producer (one per shared-memory client at most).
POOL_SLOTS = 16
TRANSIENT_SLOTS = 5
LEASE = 31.0


def die_with_parent():
    # Even a run that could not stop its processes (killed itself) leaves none behind.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def steady_calls(results, tag, kind_name, endpoints, start, seconds):
    die_with_parent()

    def work():
        kind = KINDS[kind_name]
        client = kind.make(endpoints)
        start.wait(START_TIMEOUT)
        calls = wrong = failed = stalls = 0
        worst = 0.0
        errors = collections.Counter()
        wrong_examples = []
        began = last = time.monotonic()
        while last < began + seconds:
            data = payload(tag, calls)
            calls += 1
            try:
                result = kind.call(client, data)
            except Exception as error:  # noqa: BLE001 - every failure counts
                failed += 1
                # One line per kind of failure: numbers (sizes, offsets) vary from call to call.
                errors[re.sub(r"\d+", "N", f"{type(error).__name__}: {error}")[:100]] += 1
            else:
                if result != list(data):
                    wrong += 1
                    if len(wrong_examples) < 3:
                        wrong_examples.append((bytes(data).hex(), bytes(result[:80]).hex()))
            now = time.monotonic()
            worst = max(worst, now - last)
            stalls += now - last > STALL
            last = now
        return {"kind": kind_name, "calls": calls, "wrong": wrong, "failed": failed, "errors": dict(errors),
                "wrong_examples": wrong_examples, "stalls": stalls, "worst_stall": worst, "seconds": last - began}

    report_failures(results, tag, work, timeout=seconds + START_TIMEOUT + 30)


def churner(kind_name, endpoints, tag, calling):
    """Calls until killed, with a new client every 50 calls; sets `calling` once it calls. SIGUSR1
    retires it: it ends after the call in progress, as a worker that exits cleanly. SIGTERM ends
    it at once, as it ends a Python worker with no handler."""
    die_with_parent()
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    retiring = []
    signal.signal(signal.SIGUSR1, lambda *_: retiring.append(True))
    calls = itertools.count()
    while not retiring:
        try:
            client = KINDS[kind_name].make(endpoints)
        except Exception:  # noqa: BLE001 - a churner only has to keep trying
            time.sleep(0.01)
            continue
        calling.set()
        for _ in range(50):
            if retiring:
                break
            try:
                region_call(client, payload(tag, next(calls)))
            except Exception:  # noqa: BLE001
                pass


class Churner:
    def __init__(self, index, seed, endpoints):
        self.rng = random.Random(f"{seed}:{index}")
        self.kind = "hybrid" if self.rng.random() < HYBRID_SHARE else "shm"
        self.calling = FORK.Event()
        # Forked: a few milliseconds where a spawn costs a new interpreter. The process running the
        # churn holds no client, so the child starts with nothing of the region's.
        self.process = FORK.Process(target=churner, args=(self.kind, endpoints, f"churn{index}", self.calling),
                                    daemon=True)
        self.process.start()
        self.started = time.monotonic()
        self.state = "starting"
        self.due = self.fault = self.stopped_for = self.then_kill = None

    def schedule(self, now, faults):
        """Draws the next fault: when, which, and for a stop, how long and whether a kill ends it."""
        self.state, self.due, self.fault = "running", now + self.rng.uniform(*FAULT_DELAY), self.rng.choice(faults)
        self.stopped_for, self.then_kill = self.rng.uniform(*STOPPED_FOR), self.rng.random() < 0.5

    def lingers(self):
        """Whether the next fault may leave a slot claimed until its lease ends."""
        return self.fault in ("kill", "term") and self.kind == "hybrid" or self.fault == "stop" and self.then_kill


def churn(endpoints, seed, faults, seconds, steady_count, start):
    """Keeps CHURNERS churning processes calling and injects `faults` into them at random moments
    for `seconds` after `start` (a barrier shared with the steady processes); returns counts of
    what was done. Every churner is killed at the end, stopped ones included."""
    lingering_per_lease = POOL_SLOTS - steady_count - CHURNERS - 1 - TRANSIENT_SLOTS
    counts = collections.Counter()
    lingering = collections.deque()  # when each fault that may leave a claimed slot behind was made
    live = []
    ending = []  # (process, since when) of churners signalled to end, until they have

    def spawn():
        live.append(Churner(counts["churners"], seed, endpoints))
        counts["churners"] += 1

    def act(churner, now):
        pid = churner.process.pid
        if churner.state == "retiring":
            os.kill(pid, signal.SIGKILL)
            counts["clean exits overdue"] += 1
            churner.state = "dead"
            return
        if churner.state == "stopped":
            # The plan's stop may last longer when this loop was held up (spawning, a busy machine).
            stopped_ms = int((now - churner.stopped_at) * 1000)
            counts["longest stop ms"] = max(counts["longest stop ms"], stopped_ms)
            if churner.then_kill:
                os.kill(pid, signal.SIGKILL)
                counts["killed while stopped"] += 1
                churner.state = "dead"
            else:
                os.kill(pid, signal.SIGCONT)
                counts["continued"] += 1
                churner.schedule(now, faults)
            return
        while lingering and lingering[0] < now - LEASE:
            lingering.popleft()
        if churner.lingers():
            if len(lingering) >= lingering_per_lease:
                # Over the cap: it leaves cleanly instead, and its place goes to a new churner.
                os.kill(pid, signal.SIGUSR1)
                counts["retired over the cap"] += 1
                churner.state, churner.due = "retiring", now + 10
                return
            lingering.append(now)
        os.kill(pid, FAULTS[churner.fault])
        counts[churner.fault] += 1
        if churner.fault == "stop":
            churner.state, churner.due = "stopped", now + churner.stopped_for
            churner.stopped_at = now
        elif churner.fault == "exit":
            churner.state, churner.due = "retiring", now + 10
        else:
            churner.state = "dead"

    try:
        for _ in range(CHURNERS):
            spawn()
        start.wait(START_TIMEOUT)
        deadline = time.monotonic() + seconds
        while (now := time.monotonic()) < deadline:
            for churner in list(live):
                if churner.state == "starting":
                    if churner.calling.is_set():
                        churner.schedule(now, faults)
                    elif now - churner.started > START_TIMEOUT:
                        raise RuntimeError(f"churning process {churner.process.pid} never called")
                elif churner.state == "retiring" and not churner.process.is_alive():
                    churner.state = "dead"
                elif churner.due <= now:
                    act(churner, now)
                if churner.state == "dead":
                    # Reaped later: an exit can take a while (unmapping the region), and waiting
                    # here would hold stopped churners stopped for longer than planned.
                    live.remove(churner)
                    ending.append((churner.process, now))
                    spawn()
            for process, since in list(ending):
                if not process.is_alive():
                    process.join()
                    ending.remove((process, since))
                elif now - since > 10:
                    process.kill()  # it outlived its signal
            time.sleep(0.005)
    finally:
        for churner in live:
            churner.process.kill()
        for process in [churner.process for churner in live] + [process for process, _ in ending]:
            process.join(10)
    return dict(counts)


def run_churn(endpoints, seed, seconds, faults=tuple(FAULTS), steady=STEADY):
    """One steady process per entry of `steady` calls for `seconds` while churners are faulted;
    returns ({tag: steady report}, churn counts)."""
    start = SPAWN.Barrier(len(steady) + 1)
    churned = {}
    # The churn outlasts the steady calls a little, so that none of them sees the final kills.
    meanwhile = lambda: churned.update(churn(endpoints, seed, faults, seconds + 0.5, len(steady), start))
    reports = run_processes(SPAWN, steady_calls, [(kind, endpoints, start, seconds) for kind in steady],
                            timeout=seconds + 2 * START_TIMEOUT, meanwhile=meanwhile)
    return reports, churned


def by_kind(reports):
    """The steady processes' reports summed per client kind; calls per second count the calls
    answered correctly."""
    rows = {}
    for report in reports.values():
        row = rows.setdefault(report["kind"], {"processes": 0, "calls": 0, "wrong": 0, "lost": 0, "stalls": 0,
                                               "worst_stall": 0.0, "calls_per_second": 0.0,
                                               "errors": collections.Counter()})
        row["processes"] += 1
        row["calls"] += report["calls"]
        row["wrong"] += report["wrong"]
        row["lost"] += report["failed"]
        row["stalls"] += report["stalls"]
        row["worst_stall"] = max(row["worst_stall"], report["worst_stall"])
        good = report["calls"] - report["wrong"] - report["failed"]
        row["calls_per_second"] += good / max(report["seconds"], 1e-9)
        row["errors"].update(report["errors"])
    return rows


def format_report(reports, churned, seed):
    made = ", ".join(f"{name} {churned.get(name, 0)}" for name in
                     ("kill", "term", "stop", "continued", "killed while stopped", "exit", "retired over the cap",
                      "clean exits overdue"))
    lines = [f"seed {seed}: {churned.get('churners', 0)} churning processes; {made}",
             "| client | processes | calls | answered/s | wrong | lost | stalls > 1 s | worst stall |",
             "|---|---|---|---|---|---|---|---|"]
    rows = by_kind(reports)
    for kind, row in rows.items():
        lines.append(f"| {kind} | {row['processes']} | {row['calls']:,} | {row['calls_per_second']:,.0f} | "
                     f"{row['wrong']} | {row['lost']} | {row['stalls']} | {row['worst_stall']:.2f} s |")
    for kind, row in rows.items():
        for text, count in row["errors"].most_common(3):
            lines.append(f"  {kind} lost {count}: {text}")
    return "\n".join(lines)
