"""Steady clients against churning ones: the fault-injection test of tests/python/test_faults.py
for longer, with the same code (tests/python/fault_churn.py).

Two `ZorvoShmClient` and two `ZorvoHybridClient` processes call the reference engine for the given
time, each checking every result against its own request, while short-lived client processes on
the same region are SIGKILLed, SIGTERMed, SIGSTOPped (then continued or killed) or told to exit
cleanly at random moments. Prints, per client kind of the steady processes, the calls, the correct answers per
second, the wrong answers, the lost (failed) calls and the stalls (gaps between two completed
calls over 1 s, and the worst); exits with status 1 if a steady call was wrong or lost, or one
stalled for over 1.5 s.

    python3 bench/churn.py --engine build/bench/zorvo-engine --module-dir build/bench --minutes 10
"""

from __future__ import annotations

import argparse
import json
import random
import sys
from pathlib import Path

from engine_process import EngineProcess

TESTS_DIR = Path(__file__).resolve().parents[1] / "tests" / "python"
WORST_STALL = 1.5


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--engine", type=Path, required=True)
    parser.add_argument("--module-dir", type=Path, required=True)
    length = parser.add_mutually_exclusive_group()
    length.add_argument("--minutes", type=float)
    length.add_argument("--seconds", type=float, default=12.0)
    parser.add_argument("--seed", type=int, help="repeats a run's schedule (default: random, printed)")
    parser.add_argument("--faults", default="kill,term,stop,exit", help="any of kill, term, stop, exit")
    parser.add_argument("--engine-cpu", type=int, default=None, help="pin the engine (default: unpinned)")
    args = parser.parse_args(argv)
    seconds = args.minutes * 60 if args.minutes is not None else args.seconds
    seed = args.seed if args.seed is not None else random.randrange(2**32)
    faults = tuple(f for f in args.faults.split(",") if f)

    # Before the first import of the harness: the processes it starts find the module through it.
    sys.path[:0] = [str(args.module_dir.resolve()), str(TESTS_DIR)]
    from fault_churn import FAULTS, by_kind, format_report, run_churn
    from process_harness import Endpoints

    unknown = set(faults) - set(FAULTS)
    if unknown or not faults:
        parser.error(f"--faults takes {', '.join(FAULTS)}")
    print(f"churn for {seconds:.0f} s, faults {','.join(faults)}, seed {seed}", flush=True)
    with EngineProcess(args.engine, args.engine_cpu) as engine:
        endpoints = Endpoints("", "", engine.shm_name, engine.hybrid_path)
        reports, churned = run_churn(endpoints, seed, seconds, faults)
    print(format_report(reports, churned, seed))
    rows = by_kind(reports)
    print(json.dumps({"seed": seed, "seconds": seconds, "faults": churned,
                      "rows": {kind: {k: v for k, v in row.items() if k != "errors"} for kind, row in rows.items()}}))
    hurt = any(row["wrong"] or row["lost"] or row["worst_stall"] > WORST_STALL for row in rows.values())
    return 1 if hurt else 0


if __name__ == "__main__":
    sys.exit(main())
