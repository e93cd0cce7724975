#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (clang, ASan and UBSan) and runs
# each for SECONDS (default 60) from its committed seed corpus, with the
# dictionary fuzz/mf4.dict. Fails on any crash, leak, sanitizer report,
# input that takes more than 1 s or run that needs more than 512 MB.
#
#   bash scripts/fuzz.sh [SECONDS]
#
# New corpus entries go to build/fuzz/corpus/<target> (not committed);
# a failing input is written to build/fuzz/findings/<target>/. Keep one
# as a regression case under tests/cpp/fixtures/fuzz/<target>/ (the C++
# tests replay it).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SECONDS_EACH=${1:-60}
TARGETS=(plain container finalize columns signals)

# --- clang and libFuzzer from Debian ----------------------------------------
source scripts/apt_install.sh
apt_install clang-14 libclang-rt-14-dev
[ -x build/venv/main/bin/cmake ] || bash scripts/setup.sh
export PATH=$ROOT/build/venv/main/bin:$PATH

echo "== build fuzz targets"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++-14 -DMF4_BUILD_FUZZ=ON -DMF4_WERROR=OFF \
  >/dev/null
if ! nice -n 19 cmake --build build/fuzz -j2 >build/fuzz/build.log 2>&1; then
  cat build/fuzz/build.log; exit 1
fi

status=0
for target in "${TARGETS[@]}"; do
  corpus=build/fuzz/corpus/$target findings=build/fuzz/findings/$target
  mkdir -p "$corpus" "$findings"
  echo "== fuzz_$target for ${SECONDS_EACH}s"
  # -rss_limit_mb and -malloc_limit_mb: 512 MB; -timeout: 1 s per input.
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
      nice -n 19 "build/fuzz/fuzz_$target" "$corpus" "fuzz/corpus/$target" \
      -dict=fuzz/mf4.dict -max_total_time="$SECONDS_EACH" -timeout=1 \
      -rss_limit_mb=512 -malloc_limit_mb=512 -print_final_stats=1 \
      -artifact_prefix="$findings/" 2> "build/fuzz/$target.log"; then
    status=1
    echo "fuzz_$target FAILED; its log:"
    tail -n 60 "build/fuzz/$target.log"
  fi
  # The last status line: executions, coverage (edges, features), corpus.
  grep -E '^#[0-9]+[[:space:]]' "build/fuzz/$target.log" | tail -n 1 || true
  grep -E '^stat::peak_rss_mb' "build/fuzz/$target.log" || true
done
exit $status
