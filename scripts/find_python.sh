# Sourced by the scripts: find_python VERSION prints the path of a CPython
# of that minor version (pyenv's first, then the system's), or fails.
find_python() {
  local v=$1 c
  for c in "$(pyenv root 2>/dev/null)/versions/$v".*/bin/python3 \
           "$HOME/.pyenv/versions/$v".*/bin/python3 "/usr/bin/python$v"; do
    [ -x "$c" ] && { echo "$c"; return 0; }
  done
  command -v "python$v" 2>/dev/null || return 1
}
