# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# bash completion for lumra(8): its options, the backends after -b, the
# wireless interfaces after -i, files after -f, the bands after --band.

# The wireless interfaces: those with Wireless Extensions or an nl80211 phy.
_lumra_interfaces() {
  local dev
  for dev in "${_LUMRA_SYSFS:-/sys}"/class/net/*; do
    if [ -d "$dev/wireless" ] || [ -e "$dev/phy80211" ]; then printf '%s\n' "${dev##*/}"; fi
  done
}

_lumra() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=""
  [ "$COMP_CWORD" -gt 0 ] && prev=${COMP_WORDS[COMP_CWORD - 1]}
  # --option=value: bash splits at '=' (COMP_WORDBREAKS), so the option is
  # two words back.
  if [ "$prev" = "=" ] && [ "$COMP_CWORD" -gt 1 ]; then
    prev=${COMP_WORDS[COMP_CWORD - 2]}
  elif [ "$cur" = "=" ]; then
    cur=""
  fi
  COMPREPLY=()
  case $prev in
    -b | --backend)
      mapfile -t COMPREPLY < <(compgen -W 'WE NL80211' -- "$cur")
      return
      ;;
    -i | --interface)
      mapfile -t COMPREPLY < <(compgen -W "$(_lumra_interfaces)" -- "$cur")
      return
      ;;
    -f | --cache)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return
      ;;
    --band)
      mapfile -t COMPREPLY < <(compgen -W '2.4 5 6' -- "$cur")
      return
      ;;
    -p | --passes | --freq) return ;;
  esac
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W '-b -i -f -c -r -l -p -e -s -j -v -h -V --backend
      --interface --cache --cached --refresh --last --passes --band --freq --passive
      --low-priority --encode --suites --json --verbose --help --version' -- "$cur")
  fi
}
complete -F _lumra lumra
