#!/usr/bin/env bash
# One command for the whole benchmark: builds the module, the reference engine and the C floor,
# starts the engine pinned to CPU 0, measures every client pinned to CPU 1, prints the tables, and
# writes bench/results/*.json and bench/latency.png. Extra arguments go to bench.py
# (for example --scale 0.2 for a quick run, or --transports shm,hybrid).
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
BUILD_DIR=${BUILD_DIR:-build/bench}

"$PYTHON" -c 'import matplotlib' 2>/dev/null ||
    "$PYTHON" -m pip install -q --disable-pip-version-check matplotlib
"$PYTHON" -c 'import numpy' 2>/dev/null ||
    "$PYTHON" -m pip install -q --disable-pip-version-check numpy

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZORVO_BUILD_TESTS=OFF \
    -DZORVO_BUILD_MODULE=ON -DZORVO_BUILD_ENGINE=ON -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build "$BUILD_DIR" -j2 --target zorvo_sdk zorvo zorvo-engine
cc -O2 -Wall -Wextra -std=c11 -o "$BUILD_DIR/zorvo-floor" bench/floor.c

pin=()
if ! command -v taskset >/dev/null || [ "$(nproc)" -lt 2 ]; then
    echo "taskset missing or fewer than 2 CPUs: running unpinned" >&2
    pin=(--no-pin)
fi

"$PYTHON" bench/bench.py --engine "$BUILD_DIR/zorvo-engine" --floor "$BUILD_DIR/zorvo-floor" \
    --module-dir "$BUILD_DIR" "${pin[@]}" "$@"
echo
echo "Calls per second of 1 and 2 client processes on one region"
"$PYTHON" bench/peers.py --engine "$BUILD_DIR/zorvo-engine" --module-dir "$BUILD_DIR"
echo
echo "Churn survivors: 2 shm and 2 hybrid client processes while others are killed, terminated or stopped"
"$PYTHON" bench/churn.py --engine "$BUILD_DIR/zorvo-engine" --module-dir "$BUILD_DIR" --seconds 12 ||
    echo "churn: steady clients lost calls or stalled (above)"
