#!/usr/bin/env bash
# Installs everything the project needs on a fresh machine, then builds and
# installs the extension into the test environments. Idempotent: on a machine
# where everything is present it only rebuilds what changed.
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
APT_PACKAGES=(build-essential libexpat1-dev libmbedtls-dev libgtest-dev
              clang-format pkg-config)
missing=()
for p in "${APT_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' \
    || missing+=("$p")
done
if ((${#missing[@]})); then
  log "apt-get install ${missing[*]}"
  SUDO=; [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

# --- Python interpreters ---------------------------------------------------
# The default python3, plus the oldest and newest supported CPython found
# under pyenv (the abi3 wheel built once serves them all).
find_python() {
  local v=$1 c
  for c in "$(pyenv root 2>/dev/null)/versions/$v".*/bin/python3 \
           "$HOME/.pyenv/versions/$v".*/bin/python3 "/usr/bin/python$v"; do
    [ -x "$c" ] && { echo "$c"; return 0; }
  done
  command -v "python$v" 2>/dev/null || return 1
}
DEFAULT_PY=$(command -v python3)

make_venv() {  # name interpreter pip-args...
  local name=$1 py=$2; shift 2
  local dir=$ROOT/build/venv/$name
  if [ ! -x "$dir/bin/python" ]; then
    log "venv $name ($("$py" --version))"
    "$py" -m venv "$dir"
  fi
  "$dir/bin/python" -m pip install -q --disable-pip-version-check "$@"
}

# heatshrink2 is pinned: committed compressed samples are compared byte for
# byte with what its encoder produces.
COMMON=(pytest numpy "heatshrink2==0.15.*" cryptography)
make_venv main "$DEFAULT_PY" "${COMMON[@]}" "python-can>=4.6" asammdf \
  scikit-build-core cmake ninja
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
log "build wheel"
MAIN=$ROOT/build/venv/main/bin
rm -rf build/dist
PATH=$MAIN:$PATH "$MAIN/python" -m pip wheel -q --no-build-isolation \
  --no-deps -w build/dist .
for env in "${ENVS[@]}"; do
  "$ROOT/build/venv/$env/bin/python" -m pip install -q \
    --disable-pip-version-check --force-reinstall --no-deps build/dist/*.whl
done
