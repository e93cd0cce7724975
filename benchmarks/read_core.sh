#!/usr/bin/env bash
# Times the C++ reading core (benchmarks/read_core.cpp) on a big log, in a
# release build of the core library of its own (build/bench).
#
#   bash benchmarks/read_core.sh [LOG.mf4] [ROUNDS]
#
# Without a log it writes one first: 1 million CAN frames in one unsorted
# data group (benchmarks/write_big_log.py; pass its options through
# WRITE_ARGS, e.g. WRITE_ARGS="--vlsd cg --fd"). An encrypted log wants
# its password as PASSWORD=KEY=PASSWORD (KEY: device id or "default").
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=build/bench
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j2 --target mf4_core >/dev/null
c++ -O2 -std=c++20 -Isrc benchmarks/read_core.cpp "$BUILD/libmf4_core.a" \
  -lexpat -lmbedcrypto -o "$BUILD/read_core"
LOG=${1:-$BUILD/big.mf4}
if [ ! -f "$LOG" ]; then
  PYTHON=build/venv/main/bin/python
  [ -x "$PYTHON" ] || PYTHON=python3
  # shellcheck disable=SC2086
  "$PYTHON" benchmarks/write_big_log.py "$LOG" --frames 1000000 \
    ${WRITE_ARGS:-}
fi
"$BUILD/read_core" ${PASSWORD:+--password "$PASSWORD"} "$LOG" "${2:-3}"
