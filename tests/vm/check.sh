#!/usr/bin/env bash
# Checks the results that one boot of the test VM handed back, byte for byte.
#   check.sh RESULTS_DIR
# The expected lines are built here from two sources only: the access points'
# configuration files (ESSID, expected security descriptors) and what the
# kernel itself reported in the same boot through iwlist, iwconfig and iw
# (the order of the scan results, addresses, channels, link quality, bit rate).
# Prints one PASS or FAIL line per check, a difference for each failure, and
# "N passed, N failed" last; exits non-zero when a check failed.
set -uo pipefail
export LC_ALL=C
res=$1
guest=$(cd "$(dirname "$0")" && pwd)/guest
passed=0
failed=0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

pass() { echo "PASS ${label:-}$1"; passed=$((passed + 1)); }
fail() {
  echo "FAIL ${label:-}$1"
  failed=$((failed + 1))
  shift
  [ $# -gt 0 ] && printf '    %s\n' "$@"
}

# The bytes of a file as one readable line: octal escapes for what is not
# printable, "$" where the file ends.
visible() {
  if [ ! -e "$1" ]; then echo "(no file)"; return; fi
  if [ ! -s "$1" ]; then echo "(empty)"; return; fi
  printf '%s\n' "$(sed -n 'l 0' "$1")"
}

# expect NAME EXPECTED_FILE ACTUAL_FILE: the two files hold the same bytes.
expect() {
  local name=$1 exp=$2 act=$3
  if [ -e "$act" ] && cmp -s "$exp" "$act"; then
    pass "$name"
  else
    local where
    where=$(cmp "$exp" "$act" 2>&1 | sed -n \
      -e 's/.* differ: [a-z]* \([0-9]*\).*/first difference at byte \1/p' \
      -e "s|.*EOF on ${act//|/\\|} after [a-z]* \\([0-9]*\\).*|actual ends after byte \\1|p" \
      -e "s|.*EOF on ${exp//|/\\|} after [a-z]* \\([0-9]*\\).*|actual goes on after byte \\1|p")
    fail "$name" "expected ($(wc -c <"$exp") bytes): $(visible "$exp")" \
      "actual   ($( [ -e "$act" ] && wc -c <"$act" || echo 0) bytes): $(visible "$act")" ${where:+"$where"}
  fi
}

# expect_one_of NAME ACTUAL_FILE EXPECTED_FILE...: the actual bytes equal one
# of the candidates (the bit rate may change between two readings around a
# run; any reading the kernel gave is accepted, nothing else).
expect_one_of() {
  local name=$1 act=$2 c
  shift 2
  for c in "$@"; do
    if [ -e "$act" ] && cmp -s "$c" "$act"; then pass "$name"; return; fi
  done
  expect "$name" "$1" "$act"
}

# Percent-encoding of an ESSID: 76 characters stand for themselves.
encode() {
  local s=$1 out="" c i
  for ((i = 0; i < ${#s}; i++)); do
    c=${s:i:1}
    case $c in
      [A-Za-z0-9] | [\!\$\'\(\)\*./\[\]^_\`-]) out+=$c ;;
      *) out+=$(printf '%%%02x' "'$c") ;;
    esac
  done
  printf '%s' "$out"
}

# A rate as iwconfig prints it ("9 Mb/s", "5.5 Mb/s", "1 Gb/s") turned into
# lumra's text: the number of bit/s truncated to whole G, M or k.
rate_text() {
  awk -v r="$1" 'BEGIN {
    n = r + 0; u = r; sub(/^[0-9.]+ */, "", u)
    if (u ~ /^G/) n *= 1e9; else if (u ~ /^M/) n *= 1e6; else if (u ~ /^k/) n *= 1e3
    if (n >= 1e9) printf "%d Gbit/s", int(n / 1e9)
    else if (n >= 1e6) printf "%d Mbit/s", int(n / 1e6)
    else if (n >= 1e3) printf "%d kbit/s", int(n / 1e3)
  }'
}

# Fixture: address -> ESSID and expected security, from the configurations;
# a network may announce other descriptors while a WPS push-button session
# runs (pbc=1).
declare -A essid_of security_of security_pbc_of
while read -r _ addr conf; do
  essid_of[$addr]=$(sed -n 's/^ssid=//p' "$guest/$conf")
  # A network that hides its name is scanned with an empty ESSID.
  grep -q '^# expect-essid:' "$guest/$conf" &&
    essid_of[$addr]=$(sed -n 's/^# expect-essid: *//p' "$guest/$conf")
  security_of[$addr]=$(sed -n 's/^# expect-security: //p' "$guest/$conf")
  security_pbc_of[$addr]=$(sed -n 's/^# expect-security-pbc: //p' "$guest/$conf")
  [ -n "${security_pbc_of[$addr]}" ] || security_pbc_of[$addr]=${security_of[$addr]}
done <"$res/aps.txt"
pbc=0

# Records are kept as lines "address|channel|quality|mode" in list order.
# scan_records FILE: the cells of an iwlist scan listing, in the kernel's order.
scan_records() {
  awk '
    function flush() { if (addr != "") print addr "|" ch "|" q "|" mode }
    /Cell [0-9]+ - Address:/ { flush(); addr = tolower($5); ch = ""; q = ""; mode = "" }
    /Frequency:.*\(Channel [0-9]+\)/ { s = $0; sub(/.*\(Channel /, "", s); sub(/\).*/, "", s); ch = s }
    /Quality=/ { s = $0; sub(/.*Quality=/, "", s); split(s, p, "[/ ]"); q = int(p[1] * 100 / p[2]) }
    /Mode:/ { s = $0; sub(/.*Mode:/, "", s); mode = (s == "Master" || s == "Ad-Hoc") ? s : "" }
    END { flush() }' "$1"
}

# The kernel's view of the station around a run.
assoc_addr() { sed -n 's/^Connected to \([0-9a-f:]*\).*/\1/p' "$1"; }
live_rate() { sed -n 's/.*Bit Rate[:=]\([0-9.]* [kMG]b\/s\).*/\1/p' "$1"; }
live_quality() { sed -n 's/.*Link Quality=\([0-9]*\)\/\([0-9]*\).*/\1 \2/p' "$1" | awk '{ print int($1 * 100 / $2) }'; }
live_channel() { sed -n 's/.*Current Frequency.*(Channel \([0-9]*\)).*/\1/p' "$1"; }

# write_line FORM RECORDS_FILE CURRENT_ADDR RATE > FILE
#   FORM: out (raw ESSIDs), enc (encoded ESSIDs), cache (cache form).
write_line() {
  local form=$1 recs=$2 cur=$3 rate=$4 addr ch q mode essid sec
  while IFS='|' read -r addr ch q mode; do
    essid=${essid_of[$addr]-?unknown address $addr?}
    [ "$form" = out ] || essid=$(encode "$essid")
    printf 'ESSID:%s,' "$essid"
    [ "$form" = cache ] && printf '%s,' "$addr"
    sec=${security_of[$addr]-}
    [ $pbc = 1 ] && sec=${security_pbc_of[$addr]-}
    printf '%s,%s,%s,%s %%,' "$mode" "$sec" "$ch" "$q"
    [ "$form" != cache ] && [ "$addr" = "$cur" ] && [ -n "$rate" ] && printf '%s,' "$rate"
  done <"$recs"
}

# update RECORDS ADDR CHANNEL QUALITY: the live values of one record.
update() {
  awk -F'|' -v OFS='|' -v a="$2" -v c="$3" -v q="$4" '$1 == a { $2 = c; $3 = q } { print }' "$1"
}

# check_run NAME FORM RECORDS CURRENT: status 0, the line of RECORDS (CURRENT
# the associated address) in FORM on stdout, nothing on stderr. The stdout
# expectation is built for each bit rate the kernel reported around the run.
check_run() {
  local name=$1 form=$2 recs=$3 cur=$4 dir=${runs:-$res/runs}/$1 r i=0 cands=()
  printf 0 >"$tmp/status.exp"
  tr -d '\n' <"$dir/status" >"$tmp/status.act"
  expect "$name: exit status" "$tmp/status.exp" "$tmp/status.act"
  for r in $( { live_rate "$dir/iwconfig.before"; live_rate "$dir/iwconfig.after"; } | sort -u | tr ' ' '_'); do
    write_line "$form" "$recs" "$cur" "$(rate_text "${r//_/ }")" >"$tmp/$name.out.$i"
    cands+=("$tmp/$name.out.$i")
    i=$((i + 1))
  done
  [ $i -eq 0 ] && { write_line "$form" "$recs" "$cur" "" >"$tmp/$name.out.0"; cands=("$tmp/$name.out.0"); }
  expect_one_of "$name: standard output" "$dir/stdout" "${cands[@]}"
  : >"$tmp/empty"
  expect "$name: standard error" "$tmp/empty" "$dir/stderr"
}

# check_fixed NAME STATUS STDOUT STDERR: a run whose every output is known
# in advance.
check_fixed() {
  local dir=${runs:-$res/runs}/$1
  printf '%s' "$2" >"$tmp/$1.status"
  tr -d '\n' <"$dir/status" >"$tmp/$1.status.act"
  expect "$1: exit status" "$tmp/$1.status" "$tmp/$1.status.act"
  printf '%s' "$3" >"$tmp/$1.stdout"
  expect "$1: standard output" "$tmp/$1.stdout" "$dir/stdout"
  printf '%s' "$4" >"$tmp/$1.stderr"
  expect "$1: standard error" "$tmp/$1.stderr" "$dir/stderr"
}

# check_cache NAME EXPECTED_FILE: the cache file after the run.
check_cache() { expect "$1: cache file" "$2" "${runs:-$res/runs}/$1/cache.after"; }

if [ -e "$res/setup-error" ]; then
  fail "setup" "$(cat "$res/setup-error")"
fi

# check_backend RUNS_DIR LABEL: every scenario's checks over the runs of one
# backend; LABEL (empty for "WE") starts the name of each check.
check_backend() {
  runs=$1
  label=$2
  pbc=0
  # --- nothing on the air ----------------------------------------------------
  # The kernel answers the scan with an empty result: the error line, status 0,
  # and the earlier cache file is gone rather than left empty.
  run=no-networks
  if [ -d "$runs/$run" ]; then
    check_fixed $run 0 'ESSID:error,,,,,' ''
    if [ -e "$runs/$run/cache.before" ] && [ ! -e "$runs/$run/cache.after" ]; then
      pass "$run: no cache file left"
    else
      fail "$run: no cache file left" "before: $(visible "$runs/$run/cache.before")" \
        "after:  $(visible "$runs/$run/cache.after")"
    fi
  else
    fail "$run: ran" "no results for this run"
  fi

  # --- interfaces that are not the station ------------------------------------
  # A refresh run on an interface without wireless extensions that is down:
  # the error line, and the interface (like every other) left as it was.
  run=not-wireless-down
  if [ -d "$runs/$run" ]; then
    d=$runs/$run
    check_fixed $run 0 'ESSID:error,,,,,' ''
    expect "$run: every interface's flags unchanged" "$d/links.before" "$d/links.after"
    if grep -q '<' "$d/link-state.before" && ! grep -q '<[^>]*\bUP\b' "$d/link-state.before" &&
      ! grep -q '<[^>]*\bUP\b' "$d/link-state.after"; then
      pass "$run: interface left down"
    else
      fail "$run: interface left down" "before: $(head -1 "$d/link-state.before")" \
        "after:  $(head -1 "$d/link-state.after")"
    fi
  else
    fail "$run: ran" "no results for this run"
  fi

  # A name longer than the kernel's 15 characters, whose first 15 name that
  # interface: refused before any request, the cache file untouched.
  run=name-too-long
  if [ -d "$runs/$run" ]; then
    d=$runs/$run
    check_fixed $run 1 '' $'Could not get backend\n\n'
    expect "$run: every interface's flags unchanged" "$d/links.before" "$d/links.after"
    expect "$run: cache file" "$d/cache.before" "$d/cache.after"
  else
    fail "$run: ran" "no results for this run"
  fi

  # --- not associated -------------------------------------------------------
  # The station's interface is down and not associated: a run with no options
  # brings it up, scans, and prints every access point without a bit rate.
  run=unassociated-refresh
  if [ -d "$runs/$run" ]; then
    scan_records "$runs/$run/scan.after" >"$tmp/r1"
    n=$(wc -l <"$tmp/r1")
    if [ "$n" -eq "${#essid_of[@]}" ] && ! grep -q '||' "$tmp/r1"; then
      pass "$run: kernel reports every access point"
    else
      fail "$run: kernel reports every access point" "iwlist listed $n cells, expected ${#essid_of[@]}"
    fi
    check_run $run out "$tmp/r1" none
    write_line cache "$tmp/r1" none "" >"$tmp/c1"
    check_cache $run "$tmp/c1"
    if ! grep -q '<[^>]*\bUP\b' "$runs/$run/link-state.before" &&
      grep -q '<[^>]*\bUP\b' "$runs/$run/link-state.after"; then
      pass "$run: interface brought up"
    else
      fail "$run: interface brought up" "before: $(head -1 "$runs/$run/link-state.before")" \
        "after:  $(head -1 "$runs/$run/link-state.after")"
    fi
    # A cached run while not associated prints the cache as it is.
    run=unassociated-cached
    check_run $run out "$tmp/r1" none
    check_cache $run "$tmp/c1"
  else
    fail "$run: ran" "no results for this run"
  fi

  # --- a busy radio ---------------------------------------------------------
  # wpa_supplicant searches for a network that is not on the air and keeps the
  # station's radio scanning, so scan requests find the driver busy. Each
  # refresh run prints and caches every access point, as the kernel lists them
  # after the run. What iwlist did before and after each run is noted, not
  # checked: whether it meets a busy driver depends on the moment.
  for n in 1 2 3; do
    run=busy-refresh-$n
    if [ ! -d "$runs/$run" ]; then
      fail "$run: ran" "no results for this run"
      continue
    fi
    d=$runs/$run
    scan_records "$d/scan.after" >"$tmp/$run"
    k=$(wc -l <"$tmp/$run")
    if [ "$k" -eq "${#essid_of[@]}" ] && ! grep -q '||' "$tmp/$run"; then
      pass "$run: kernel reports every access point"
    else
      fail "$run: kernel reports every access point" "iwlist listed $k cells, expected ${#essid_of[@]}"
    fi
    check_run $run out "$tmp/$run" none
    write_line cache "$tmp/$run" none "" >"$tmp/$run.cache"
    check_cache $run "$tmp/$run.cache"
    echo "NOTE ${label:-}$run: lumra took $(awk '{ printf "%.1f", $2 - $1 }' "$d/times") s"
    for when in before after; do
      echo "NOTE ${label:-}$run: iwlist scanning $when it: status $(cat "$d/iwlist.$when.status" 2>/dev/null)," \
        "$(grep -c 'Cell [0-9]* - Address' "$d/iwlist.$when" 2>/dev/null) cells," \
        "$(grep -v '^ *$' "$d/iwlist.$when" 2>/dev/null | grep -v 'Cell\|^  ' | head -1 | tr -s ' ')"
    done
  done

  # --- associated -----------------------------------------------------------
  cur=$(assoc_addr "$res/association" 2>/dev/null)
  if [ -z "$cur" ]; then
    fail "station associated" "iw reported no association"
  else
    pass "station associated"
    # A refresh run with encoded ESSIDs while a WPS push-button session runs:
    # the associated network's record carries the bit rate.
    if grep -qx OK "$res/wps-pbc"; then
      pass "push-button session started"
    else
      fail "push-button session started" "hostapd_cli: $(cat "$res/wps-pbc")"
    fi
    pbc=1
    run=associated-refresh
    if [ -d "$runs/$run" ]; then
      scan_records "$runs/$run/scan.after" >"$tmp/$run"
      check_run $run enc "$tmp/$run" "$cur"
      write_line cache "$tmp/$run" "$cur" "" >"$tmp/$run.cache"
      check_cache $run "$tmp/$run.cache"
    else
      fail "$run: ran" "no results for this run"
    fi

    # Cached run, associated network in the cache: the cache holds made-up
    # channels and qualities; only the associated record shows live values and
    # the file stays as it was.
    run=cached-present
    if [ -d "$runs/$run" ]; then
      awk -F'|' -v OFS='|' '{ $2 = 14; $3 = 7; print }' "$tmp/associated-refresh" >"$tmp/stale"
      write_line cache "$tmp/stale" "$cur" "" >"$tmp/stale.cache"
      expect "$run: prepared cache" "$tmp/stale.cache" "$runs/$run/cache.before"
      d=$runs/$run
      update "$tmp/stale" "$cur" "$(live_channel "$d/channel.before")" "$(live_quality "$d/iwconfig.before")" >"$tmp/present"
      check_run $run out "$tmp/present" "$cur"
      check_cache $run "$tmp/stale.cache"
    else
      fail "$run: ran" "no results for this run"
    fi

    # Cached run, associated network missing from the cache: a directed scan
    # appends it, with live values, and the cache is rewritten.
    run=cached-absent
    if [ -d "$runs/$run" ]; then
      d=$runs/$run
      grep -v "^$cur|" "$tmp/stale" >"$tmp/absent.before"
      write_line cache "$tmp/absent.before" "$cur" "" >"$tmp/absent.cache.before"
      expect "$run: prepared cache" "$tmp/absent.cache.before" "$d/cache.before"
      # The appended record: the scanned network with its live channel and quality.
      { cat "$tmp/absent.before"
        grep "^$cur|" "$tmp/associated-refresh" |
          update /dev/stdin "$cur" "$(live_channel "$d/channel.before")" "$(live_quality "$d/iwconfig.before")"
      } >"$tmp/absent"
      check_run $run out "$tmp/absent" "$cur"
      write_line cache "$tmp/absent" "$cur" "" >"$tmp/absent.cache"
      check_cache $run "$tmp/absent.cache"

      # The rewritten cache now holds the network: a further cached run with
      # encoded output prints it and leaves the file alone.
      run=cached-encoded
      if [ -d "$runs/$run" ]; then
        d=$runs/$run
        update "$tmp/absent" "$cur" "$(live_channel "$d/channel.before")" "$(live_quality "$d/iwconfig.before")" >"$tmp/again"
        check_run $run enc "$tmp/again" "$cur"
        check_cache $run "$tmp/absent.cache"
      else
        fail "$run: ran" "no results for this run"
      fi

      # With the interface taken down a cached run prints the cache as it is,
      # with no bit rate, and leaves the interface down.
      run=down-cached
      if [ -d "$runs/$run" ]; then
        check_run $run out "$tmp/absent" none
        check_cache $run "$tmp/absent.cache"
        if grep -q '<[^>]*\bUP\b' "$runs/$run/link-state.after"; then
          fail "$run: interface left down" "after: $(head -1 "$runs/$run/link-state.after")"
        else
          pass "$run: interface left down"
        fi
      else
        fail "$run: ran" "no results for this run"
      fi
    else
      fail "$run: ran" "no results for this run"
    fi
  fi

  # --- failures -------------------------------------------------------------
  # A cache file that is not in the cache form: the error line, status 0, and
  # the file untouched.
  run=malformed-cache
  if [ -d "$runs/$run" ]; then
    d=$runs/$run
    check_fixed $run 0 'ESSID:error,,,,,' ''
    expect "$run: cache file" "$d/cache.before" "$d/cache.after"
  else
    fail "$run: ran" "no results for this run"
  fi

  # An unknown backend (run once, with no backend behind it): a message on
  # standard error, status 1, nothing printed and the cache untouched.
  run=unknown-backend
  if [ -z "$label" ]; then
    if [ -d "$runs/$run" ]; then
      d=$runs/$run
      check_fixed $run 1 '' $'Could not get backend\n\n'
      expect "$run: cache file" "$d/cache.before" "$d/cache.after"
    else
      fail "$run: ran" "no results for this run"
    fi
  fi
}

check_backend "$res/runs" ""
check_backend "$res/runs-nl80211" "NL80211 "

label=""
# --- heap (LUMRA_VM_HEAP=1) ---------------------------------------------------
# The peak heap of a refresh run while associated, under massif: for
# NL80211, its 16384-byte receive buffer plus at most 32 KiB, the margin the
# heap gate allows the WE backend above its scan buffer.
if [ -d "$res/heap" ]; then
  for b in WE NL80211; do
    peak=$(sed -n 's/^mem_heap_B=//p' "$res/heap/massif.$b" 2>/dev/null | sort -n | tail -1)
    echo "heap: $b refresh run, peak ${peak:-?} bytes ($(grep -o 'ESSID:' "$res/heap/stdout.$b" | wc -l) networks)"
  done
  peak=$(sed -n 's/^mem_heap_B=//p' "$res/heap/massif.NL80211" 2>/dev/null | sort -n | tail -1)
  if [ -n "$peak" ] && [ "$peak" -le $((16384 + 32768)) ]; then
    pass "heap: NL80211 peak within its receive buffer and 32 KiB"
  else
    fail "heap: NL80211 peak within its receive buffer and 32 KiB" "peak: ${peak:-none}"
  fi
fi

# --- site survey from an access point ---------------------------------------
# The access point that serves the station scans. With WE the kernel refuses
# the scan: the error line, no cache file. With NL80211 the AP scan flag lets
# it: the other networks in the order the kernel lists them for that radio,
# with the records the station's scan gave them (the virtual radio's signal
# depends on the sender only), the cache written, the station still associated.
run=ap-survey
if [ -d "$res/runs/$run" ] && [ -d "$res/runs-nl80211/$run" ]; then
  runs=$res/runs
  check_fixed $run 0 'ESSID:error,,,,,' ''
  if [ ! -e "$res/runs/$run/cache.after" ]; then
    pass "$run: WE leaves no cache file"
  else
    fail "$run: WE leaves no cache file" "after: $(visible "$res/runs/$run/cache.after")"
  fi
  d=$res/runs-nl80211/$run
  label="NL80211 "
  own=$(cat "$res/ap-survey-interface" 2>/dev/null)
  awk '/^BSS / { print substr($2, 1, 17) }' "$d/scan-dump" >"$tmp/survey.order"
  : >"$tmp/survey"
  while read -r a; do grep "^$a|" "$tmp/associated-refresh" >>"$tmp/survey"; done <"$tmp/survey.order"
  if [ -s "$tmp/survey" ] && [ "$(wc -l <"$tmp/survey")" -eq "$(wc -l <"$tmp/survey.order")" ]; then
    pass "$run: the kernel lists the other access points"
  else
    fail "$run: the kernel lists the other access points" "$(tr '\n' ' ' <"$d/scan-dump" | head -c 300)"
  fi
  printf 0 >"$tmp/status.exp"
  tr -d '\n' <"$d/status" >"$tmp/status.act"
  expect "$run: exit status" "$tmp/status.exp" "$tmp/status.act"
  # The push-button session may have ended by now: either announcement.
  pbc=0; write_line out "$tmp/survey" none "" >"$tmp/survey.out0"
  write_line cache "$tmp/survey" none "" >"$tmp/survey.cache0"
  pbc=1; write_line out "$tmp/survey" none "" >"$tmp/survey.out1"
  write_line cache "$tmp/survey" none "" >"$tmp/survey.cache1"
  expect_one_of "$run: standard output" "$d/stdout" "$tmp/survey.out1" "$tmp/survey.out0"
  expect_one_of "$run: cache file" "$d/cache.after" "$tmp/survey.cache1" "$tmp/survey.cache0"
  : >"$tmp/empty"
  expect "$run: standard error" "$tmp/empty" "$d/stderr"
  if [ -n "$cur" ] && [ "$(assoc_addr "$d/link.after")" = "$cur" ]; then
    pass "$run: the station is still associated"
  else
    fail "$run: the station is still associated" "$(head -1 "$d/link.after")"
  fi
  label=""
else
  fail "$run: ran" "no results for this run"
fi

# --- the two backends -------------------------------------------------------
# Each scenario ran with "WE" and then with "NL80211" from the same cache file
# and interface state: the lines and the cache files are the same.
while read -r run; do
  # By design: only NL80211 can scan from an access point (the AP scan flag).
  [ "$run" = ap-survey ] && continue
  for f in stdout cache.after; do
    if [ -e "$res/runs/$run/$f" ] || [ -e "$res/runs-nl80211/$run/$f" ]; then
      expect "WE and NL80211 agree: $run: $f" "$res/runs/$run/$f" "$res/runs-nl80211/$run/$f"
    fi
  done
done < <(cat "$res/runs-nl80211/order" 2>/dev/null)

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
