# apt_install PACKAGE...: installs the Debian packages of the list that are
# not installed yet (apt-get, as root or through sudo). Sourced by the
# set-up scripts.
apt_install() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' \
      || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  printf '\n== apt-get install %s\n' "${missing[*]}"
  local SUDO=; [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
}
