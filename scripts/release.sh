#!/usr/bin/env bash
# Builds the release files into dist/ and proves them:
#
#   1. the sdist, made from the files git tracks in a clean folder and
#      checked to hold what a source build needs and nothing of build/,
#      dist/ or the environments;
#   2. the wheel, built from that sdist unpacked in a clean folder, then
#      repaired by auditwheel to a manylinux tag: the extension links
#      mbedcrypto and expat statically, so it needs only the C/C++ runtime
#      and libc;
#   3. twine check of both (metadata, readme rendering);
#   4. for every CPython from 3.9 to 3.13: a fresh environment, with the
#      system's development files hidden (no /usr/include, no libmbedcrypto
#      or libexpat to load; needs root for a private mount namespace, else
#      only ldd stands for it), gets the wheel and its dependencies as
#      wheels only (nothing is compiled), ldd of the extension finds every
#      library, and scripts/release_check.py imports it with
#      DeprecationWarnings as errors and reads the bundled samples.
#
# Sets up the machine first (scripts/setup.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
bash scripts/setup.sh >/dev/null
source scripts/find_python.sh

log() { printf '\n== %s\n' "$*"; }
fail() { echo "release: $*" >&2; exit 1; }

MAIN=$ROOT/build/venv/main/bin
WORK=$ROOT/build/release
rm -rf "$WORK" dist
mkdir -p "$WORK" dist
# The one version source: pyproject.toml's version.
VERSION=$(sed -n 's/^version = "\(.*\)"$/\1/p' pyproject.toml)
[ -n "$VERSION" ] || fail "no version in pyproject.toml"

# --- sdist, then the wheel from it ------------------------------------------
log "sdist and wheel $VERSION"
# The sdist is made in a clean folder holding the files git tracks (as they
# are in the work tree), so nothing local slips in; outside a git checkout
# (an unpacked sdist) from the tree as it is.
TREE=.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  TREE=$WORK/tree
  mkdir -p "$TREE"
  git ls-files -z | while IFS= read -r -d '' f; do
      [ -f "$f" ] && printf '%s\0' "$f"
    done | xargs -0 cp --parents -t "$TREE"
fi
# build makes the sdist, unpacks it in a temporary folder and builds the
# wheel there: what the sdist lacks fails the build.
PATH=$MAIN:$PATH CMAKE_BUILD_PARALLEL_LEVEL=2 nice "$MAIN/python" -m build \
  --no-isolation --outdir "$WORK/built" "$TREE" >"$WORK/build.log" 2>&1 \
  || { tail -30 "$WORK/build.log"; fail "build failed"; }
SDIST=$(echo "$WORK"/built/*.tar.gz)
cp "$SDIST" dist/

log "sdist content"
tar -tzf "$SDIST" | sed 's|^[^/]*/||' | sort >"$WORK/sdist.txt"
for needed in pyproject.toml CMakeLists.txt README.md LICENSE; do
  grep -qx "$needed" "$WORK/sdist.txt" || fail "sdist lacks $needed"
done
# Every source file git tracks under src/ is in it.
git ls-files src | while read -r f; do
  grep -qxF "$f" "$WORK/sdist.txt" || fail "sdist lacks $f"
done
if grep -E '^(build|dist|\.venv[^/]*|\.git)/|\.(so|o|a|whl)$' \
    "$WORK/sdist.txt"; then
  fail "sdist holds build output or environments (above)"
fi
echo "$(wc -l <"$WORK/sdist.txt") entries, sources complete, no build output"

log "auditwheel repair"
PATH=$MAIN:$PATH "$MAIN/auditwheel" repair -w dist "$WORK"/built/*.whl \
  >"$WORK/auditwheel.log" 2>&1 \
  || { cat "$WORK/auditwheel.log"; fail "auditwheel repair failed"; }
WHEEL=$(echo dist/*.whl)
case $WHEEL in
  *-cp39-abi3-manylinux_*.whl) ;;
  *) fail "wheel tag is not cp39-abi3-manylinux_*: $WHEEL" ;;
esac
"$MAIN/auditwheel" show "$WHEEL" | tr -s ' \n' ' ' | fold -s -w 78; echo
# Nothing was grafted in: the dependencies are inside the extension.
if "$MAIN/python" -m zipfile -l "$WHEEL" | grep -F '.libs/'; then
  fail "auditwheel had to vendor libraries (above)"
fi

log "twine check"
"$MAIN/twine" check --strict dist/*
# The metadata a package index shows: project URLs, the license and a
# classifier for every supported CPython.
"$MAIN/python" -m zipfile -e "$WHEEL" "$WORK/unpacked"
METADATA=$(echo "$WORK"/unpacked/*.dist-info/METADATA)
for field in "Project-URL: Homepage, " "License: " \
    "Classifier: Programming Language :: Python :: 3.9" \
    "Classifier: Programming Language :: Python :: 3.10" \
    "Classifier: Programming Language :: Python :: 3.11" \
    "Classifier: Programming Language :: Python :: 3.12" \
    "Classifier: Programming Language :: Python :: 3.13"; do
  grep -q "^$field" "$METADATA" || fail "wheel metadata lacks \"$field\""
done

# --- every supported CPython, system development files hidden --------------
# Runs a command in a private mount namespace where /usr/include is empty
# and the shared libraries of the development packages cannot be loaded.
hidden() {
  unshare -m bash -c '
    set -e
    mount -t tmpfs none /usr/include
    for lib in $(readlink -f /usr/lib/*/libmbed*.so* /usr/lib/*/libexpat*.so* \
                 | sort -u); do
      mount --bind /dev/null "$lib"
    done
    exec "$@"' hidden "$@"
}
if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null; then
  HIDE=hidden
else
  HIDE=
  echo "warning: no private mount namespace (root needed): system files" \
       "stay visible, ldd alone shows the wheel needs none" >&2
fi

# What the extension may load: the C/C++ runtime and libc.
ALLOWED='^(linux-vdso\.so|libstdc\+\+\.so|libm\.so|libgcc_s\.so|libc\.so|ld-linux[^ ]*\.so|/lib64/ld-linux)'
prove() {  # version interpreter
  local version=$1 py=$2 env=$WORK/py$1
  "$py" -m venv "$env"
  $HIDE "$env/bin/python" -m pip install -q --disable-pip-version-check \
    --only-binary :all: "$ROOT/$WHEEL"
  local ext
  ext=$(find "$env/lib" -name '*.abi3.so' -path '*python_can_brenix_mf4*')
  [ -n "$ext" ] || fail "$version: no extension installed"
  local libs
  libs=$($HIDE ldd "$ext" | awk '{print $1, $2, $3}')
  if grep -q 'not found' <<<"$libs" \
      || grep -vE "$ALLOWED" <<<"$libs" | grep -q .; then
    echo "$libs" >&2
    fail "$version: the extension needs more than the C/C++ runtime and libc"
  fi
  (cd "$WORK" && $HIDE "$env/bin/python" -W error::DeprecationWarning \
     "$ROOT/scripts/release_check.py" "$VERSION" "$ROOT/samples")
}

log "install and read the samples on every CPython"
for version in 3.9 3.10 3.11 3.12 3.13; do
  py=$(find_python "$version") || fail "no CPython $version found"
  prove "$version" "$py"
done

log "release files"
ls -l dist
