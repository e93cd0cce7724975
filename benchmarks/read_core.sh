#!/usr/bin/env bash
# Times the C++ reading core (benchmarks/read_core.cpp), release build, on
# the benchmark logs against a plain sequential read of each file, and
# prints medians of fresh processes.
#
#   bash benchmarks/read_core.sh [ROUNDS]          (default 5 rounds)
#   BASELINE=main bash benchmarks/read_core.sh     (also the core of that
#                                                   git revision, side by side)
#   LOGS="a.mf4 b.mf4" bash benchmarks/read_core.sh
#   PASSWORD=KEY=PASSWORD LOGS=encrypted.mf4 bash benchmarks/read_core.sh
#
# The logs (build/bench/*.mf4, written by benchmarks/write_big_log.py when
# missing), 1 million frames each:
#   mixed       one unsorted data group: 70% classic CAN, 20% CAN FD of 64
#               bytes (their payloads in a VLSD channel group), 10% LIN
#   can         one unsorted data group of classic CAN frames
#   sorted      the mixed traffic sorted and finalized: one data group per
#               frame kind and bus channel, payloads in signal data blocks
#   compressed  the mixed log in a compressed container (unwrapping it,
#               the container's check at the open, is timed apart)
# Per log: frames/s = frames / decode time (cMdf_open to the last frame);
# "x read" = decode time / time to read the file in 1 MiB chunks.
set -euo pipefail
cd "$(dirname "$0")/.."
ROUNDS=${1:-5}
BENCH=build/bench
PYTHON=build/venv/main/bin/python
[ -x "$PYTHON" ] || PYTHON=python3

# build_core NAME SOURCE_DIR: the core of SOURCE_DIR and read_core against it.
build_core() {
  local dir=$BENCH/$1
  cmake -S "$2" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  nice cmake --build "$dir" -j2 --target mf4_core >/dev/null
  nice c++ -O2 -std=c++20 -I"$2/src" benchmarks/read_core.cpp \
    "$dir/libmf4_core.a" -lexpat -lmbedcrypto -lz -o "$dir/read_core"
}

mkdir -p "$BENCH"
build_core current .
BUILDS=(current)
if [ -n "${BASELINE:-}" ]; then
  rm -rf "$BENCH/baseline-src"
  mkdir -p "$BENCH/baseline-src"
  git archive "$BASELINE" src CMakeLists.txt | tar -x -C "$BENCH/baseline-src"
  # One build folder per revision: the extracted sources carry their
  # commit's times, older than another revision's objects.
  baseline=baseline-$(git rev-parse --short "$BASELINE")
  build_core "$baseline" "$BENCH/baseline-src"
  BUILDS=("$baseline" current)
fi

write() {  # write NAME ARGS...
  local log=$BENCH/$1.mf4
  shift
  [ -f "$log" ] || nice "$PYTHON" benchmarks/write_big_log.py "$log" \
    --frames 1000000 "$@" >&2
}
if [ -z "${LOGS:-}" ]; then
  write mixed --mix
  write can
  write sorted --mix --shape sorted
  write compressed --mix --compress
  LOGS="$BENCH/mixed.mf4 $BENCH/can.mf4 $BENCH/sorted.mf4 $BENCH/compressed.mf4"
fi

# Rounds interleave logs and builds, so that noise from the shared machine
# falls on all of them alike.
RESULTS=$BENCH/results.txt
: >"$RESULTS"
for ((round = 1; round <= ROUNDS; round++)); do
  for log in $LOGS; do
    for build in "${BUILDS[@]}"; do
      echo "build=$build log=$(basename "$log" .mf4) $("$BENCH/$build/read_core" ${PASSWORD:+--password "$PASSWORD"} "$log")" >>"$RESULTS"
    done
  done
done

"$PYTHON" - "$RESULTS" "$ROUNDS" <<'PY'
import statistics
import sys

rows = {}
for line in open(sys.argv[1]):
    row = dict(item.split("=", 1) for item in line.split())
    rows.setdefault((row["log"], row["build"]), []).append(row)
print("medians of %s rounds, fresh processes" % sys.argv[2])
print("%-11s %-9s %9s %9s %9s %9s %8s %10s" % (
    "log", "build", "MB", "read ms", "unwrap ms", "decode ms", "x read",
    "M frames/s"))
for (log, build), runs in rows.items():
    med = lambda key: statistics.median(float(r[key]) for r in runs)
    frames = {r["frames"] + "/" + r["payload"] + "/" + r["idsum"]
              for r in runs}
    print("%-11s %-9s %9.1f %9.1f %9.1f %9.1f %8.1f %10.2f %s" % (
        log, build, med("size") / 1e6, med("read") * 1e3,
        med("unwrap") * 1e3, med("decode") * 1e3, med("decode") / med("read"),
        med("frames") / med("decode") / 1e6,
        "frames %s, peak %d MiB" % (",".join(sorted(frames)),
                                    med("hwm_kib") / 1024)))
PY
