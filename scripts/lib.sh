# SPDX-License-Identifier: MIT
# Shared shell helpers for the build and test scripts.
# shellcheck shell=bash

LUMRA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export LUMRA_ROOT
JOBS=$(nproc 2>/dev/null || echo 2)

# need_pkgs PKG...: installs the Debian packages that are missing (as root).
need_pkgs() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  if [ -z "${LUMRA_APT_UPDATED:-}" ]; then
    $sudo apt-get update -qq
    export LUMRA_APT_UPDATED=1
  fi
  echo "installing: ${missing[*]}"
  # --no-remove: a foreign architecture's library behind the machine's own
  # version would otherwise take the compilers off without a word.
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends --no-remove \
    "${missing[@]}" >/dev/null
}

# The packages every build needs (python3: the VM suite's checker, the
# valgrind readers of the gates and their tests).
need_base() {
  need_pkgs cmake make g++ clang libclang-rt-14-dev libiw-dev libmnl-dev wireless-tools \
    libgtest-dev libbenchmark-dev python3
}

# configure DIR [CMAKE ARGS...]: configures the tree's build in DIR as the
# project's own builds are: a compiler warning fails them.
configure() {
  local dir=$1; shift
  cmake -S "$LUMRA_ROOT" -B "$dir" -DLUMRA_WERROR=ON "$@" >/dev/null
}

# configure_build DIR [CMAKE ARGS...]: configures and builds into DIR.
configure_build() {
  configure "$@"
  cmake --build "$1" -j "$JOBS"
}
