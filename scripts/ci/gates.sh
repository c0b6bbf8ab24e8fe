#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Quality gates of the shipped program, each reported on its own:
#   footprint  the stripped Release binary (hardened: PIE, stack protector,
#              fortified calls, full RELRO bound at start-up) needs libc,
#              libiw and libmnl only and is at most 1.5 x iwlist's size (a
#              build with the NL80211 backend alone: libc and libmnl, with
#              WE alone: libc and libiw, each at most 1.25 x iwlist), none
#              holding anything of the C++ runtime;
#   heap       the peak heap of a refresh run over 100 networks (valgrind
#              massif) stays within 32 KiB above the largest scan result
#              buffer; iwlist is measured over the same networks beside it;
#   install    cmake --install into a staging directory;
#   memcheck   refresh, cached, -l and --band runs against the fake driver
#              under valgrind memcheck, with no error and no leak;
#   tidy       clang-tidy (.clang-tidy) over src/, no finding;
#   cppcheck   cppcheck (.cppcheck-suppressions) over src/, no finding;
#   cpu        instruction counts (callgrind) of whole runs under the fake
#              driver beside iwlist and iwconfig in the same run: the limits
#              of bench/cpu.sh (a Release build with the fake driver), the
#              cached run over 30 records held at its present 1.12 x
#              iwconfig (doc/performance.md);
#   (gate shellcheck) shellcheck (.shellcheckrc) over every shell script,
#              no finding;
#   format     clang-format 14 (.clang-format) over every C and C++ source:
#              nothing it would change;
# Name gates to run only those: scripts/ci/gates.sh footprint heap
# The figures are written to build/gates/footprint.md.
set -euo pipefail
# shellcheck source=../lib.sh
. "$(dirname "$0")/../lib.sh"
need_base
need_pkgs valgrind clang-tidy cppcheck jq groff-base file binutils shellcheck clang-format-14

R=$LUMRA_ROOT/build/gates-release  # what ships: Release, default cache path
RN=$LUMRA_ROOT/build/gates-release-nl80211  # the same with the NL80211 backend only
RW=$LUMRA_ROOT/build/gates-release-we       # and with the WE backend only
G=$LUMRA_ROOT/build/gates          # with debug info, the fake driver and the tests
SCENARIOS=$LUMRA_ROOT/testsupport/fakewext/scenarios
IFACE=wlan0
HEAP_MARGIN=32768
REPORT=$G/footprint.md

gates=("$@")
[ ${#gates[@]} -gt 0 ] || gates=(footprint heap install memcheck tidy cppcheck cpu shellcheck format)

# The builds, unless only the gates that read the sources are named.
builds=0
for g in "${gates[@]}"; do
  case $g in shellcheck | format) ;; *) builds=1 ;; esac
done
if [ $builds -eq 1 ]; then
  configure_build "$R" -DCMAKE_BUILD_TYPE=Release -DLUMRA_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr
  # One backend named alone: it is the default, and the tests (which need WE)
  # are left out.
  configure_build "$RN" -DCMAKE_BUILD_TYPE=Release -DLUMRA_BACKENDS=NL80211
  configure_build "$RW" -DCMAKE_BUILD_TYPE=Release -DLUMRA_TESTS=OFF -DLUMRA_BACKENDS=WE
  configure "$G" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMRA_CACHE_PATH="$G/cache/lumra"
  cmake --build "$G" -j "$JOBS" --target lumra fakewext_preload
fi
PRELOAD=$G/testsupport/fakewext/libfakewext.so
IWLIST=$(readlink -f "$(command -v iwlist)")
mkdir -p "$G/cache"
: >"$REPORT"

report() { printf '%s\n' "$*" | tee -a "$REPORT"; }
needed() { readelf -d "$1" | awk '/NEEDED/ {gsub(/[][]/, "", $NF); printf "%s%s", sep, $NF; sep=" "}'; }

# Runs lumra (or another program) against the fake driver: SCENARIO, then the command.
fake() {
  local scenario=$1; shift
  FAKEWEXT_SCENARIO=$scenario LD_PRELOAD=$PRELOAD "$@"
}

# sorted_needed BINARY: its NEEDED libraries, sorted, on one line.
sorted_needed() { needed "$1" | tr ' ' '\n' | sort | tr '\n' ' ' | sed 's/ $//'; }

# hardening_missing BINARY: the hardening features the binary lacks, as
# hardening-check (devscripts) finds them, by readelf and nm alone.
hardening_missing() {
  local dyn syms
  dyn=$(readelf -dW "$1")
  syms=$(nm -D --undefined-only "$1")
  grep -q 'Flags:.*PIE' <<<"$dyn" || printf ' PIE'
  grep -q '__stack_chk_fail' <<<"$syms" || printf ' stack-protector'
  grep -qE '__[a-z]+_chk@' <<<"$syms" || printf ' fortify'
  readelf -lW "$1" | grep -q GNU_RELRO || printf ' RELRO'
  grep -qE 'BIND_NOW|Flags:.*NOW' <<<"$dyn" || printf ' BIND_NOW'
}

# footprint_of LABEL BINARY EXPECTED_NEEDED EIGHTHS: one build's checks; its
# size may be EIGHTHS eighths of iwlist's at most.
footprint_of() {
  local label=$1 bin=$2 expected=$3 eighths=$4 ok=0 size iw_size deps
  size=$(stat -c %s "$bin")
  iw_size=$(stat -c %s "$IWLIST")
  deps=$(sorted_needed "$bin")
  if ! file -b "$bin" | grep -q 'stripped' || file -b "$bin" | grep -q 'not stripped'; then
    echo "footprint: $label: $bin is not stripped"; ok=1
  fi
  [ "$deps" = "$expected" ] ||
    { echo "footprint: $label needs '$deps', expected '$expected' only"; ok=1; }
  # Nothing of the C++ runtime may remain, linked in or imported.
  local cxx
  cxx=$(nm -D --undefined-only "$bin" | grep -v '@GLIBC_' | grep -E '_Z|__cxa|__gxx|_Unwind' || true)
  [ -z "$cxx" ] || { echo "footprint: $label imports C++ runtime symbols:"; echo "$cxx"; ok=1; }
  local missing
  missing=$(hardening_missing "$bin")
  [ -z "$missing" ] || { echo "footprint: $label lacks hardening:$missing"; ok=1; }
  if [ $((size * 8)) -gt $((iw_size * eighths)) ]; then
    echo "footprint: $label ($size bytes) is more than $eighths/8 of iwlist's size ($iw_size bytes)"; ok=1
  fi
  return $ok
}

gate_footprint() {
  local bin=$R/lumra nl=$RN/lumra we=$RW/lumra ok=0
  report "## Footprint (x86-64, $(g++ -dumpfullversion 2>/dev/null || g++ -dumpversion), Release)"
  report ""
  report "| | lumra (WE and NL80211) | lumra (NL80211 only) | lumra (WE only) | iwlist ($IWLIST) |"
  report "|---|---|---|---|---|"
  report "| file size, stripped | $(stat -c %s "$bin") bytes | $(stat -c %s "$nl") bytes | $(stat -c %s "$we") bytes | $(stat -c %s "$IWLIST") bytes |"
  report "| NEEDED (readelf -d) | $(needed "$bin") | $(needed "$nl") | $(needed "$we") | $(needed "$IWLIST") |"
  report "| ldd | $(ldd "$bin" | awk '{printf "%s ", $1}') | $(ldd "$nl" | awk '{printf "%s ", $1}') | $(ldd "$we" | awk '{printf "%s ", $1}') | $(ldd "$IWLIST" | awk '{printf "%s ", $1}') |"
  report ""
  # Both backends within 1.625 times iwlist's size, each backend alone within
  # 1.5 times: room for the hardening (some 4 KB of stack protector and
  # fortified calls), which a root program parsing what any radio broadcasts
  # needs, and for what iwlist does not do: the site-survey document and scan
  # control (some 8 KB together).
  footprint_of "lumra" "$bin" "libc.so.6 libiw.so.30 libmnl.so.0" 13 || ok=1
  footprint_of "lumra (NL80211 only)" "$nl" "libc.so.6 libmnl.so.0" 12 || ok=1
  footprint_of "lumra (WE only)" "$we" "libc.so.6 libiw.so.30" 12 || ok=1
  # No iostreams in the program: stdio only.
  local streams
  streams=$({ product_sources; find "$LUMRA_ROOT/src" -name '*.h' ! -name 'test_*'; } | xargs grep -lE '#include <(iostream|[io]?[fs]stream|[io]stream)>' || true)
  [ -z "$streams" ] || { echo "footprint: iostreams used in:"; echo "$streams"; ok=1; }
  return $ok
}

# massif_figures FILE: "own buffer total" at the peak of the program's own heap
# (scripts/ci/vglog.py: what counts as the program's own and as the buffer).
massif_figures() { python3 "$LUMRA_ROOT/scripts/ci/vglog.py" massif-figures "$1"; }

gate_heap() {
  local scn=$SCENARIOS/many.scn out ok=0
  local massif=(valgrind --tool=massif --threshold=0 --detailed-freq=1 --max-snapshots=1000
    --peak-inaccuracy=0 --depth=40)
  rm -f "$G/cache/lumra"
  out=$(fake "$scn" "${massif[@]}" --massif-out-file="$G/massif.lumra" "$G/lumra" -i "$IFACE" 2>"$G/massif.lumra.log")
  local records
  records=$(grep -o 'ESSID:' <<<"$out" | wc -l)
  fake "$scn" "${massif[@]}" --massif-out-file="$G/massif.iwlist" "$IWLIST" "$IFACE" scan \
    >"$G/iwlist.out" 2>"$G/massif.iwlist.log"
  local cells
  cells=$(grep -c 'Cell [0-9]* - Address' "$G/iwlist.out" || true)
  local figures iw_figures
  figures=$(massif_figures "$G/massif.lumra")
  iw_figures=$(massif_figures "$G/massif.iwlist")
  read -r own buf total <<<"$figures"
  read -r iw_own _ iw_total <<<"$iw_figures"
  report "## Peak heap over 100 networks (valgrind massif, fake driver, scenario many.scn)"
  report ""
  report "| | lumra refresh run | iwlist $IFACE scan |"
  report "|---|---|---|"
  report "| networks printed | $records | $cells |"
  report "| peak heap of the program itself | $own bytes | $iw_own bytes |"
  report "| of which the scan result buffer | $buf bytes | |"
  report "| above the scan result buffer | $((own - buf)) bytes (limit $HEAP_MARGIN) | |"
  report "| peak with the fake driver's own heap | $total bytes | $iw_total bytes |"
  report ""
  [ "$records" -eq 100 ] || { echo "heap: lumra printed $records records, expected 100"; ok=1; }
  [ "$buf" -gt 0 ] || { echo "heap: no scan result buffer found in the massif profile"; ok=1; }
  [ $((own - buf)) -le $HEAP_MARGIN ] ||
    { echo "heap: peak $own bytes is more than $HEAP_MARGIN above the $buf-byte buffer"; ok=1; }
  return $ok
}

gate_install() {
  local stage ok=0
  stage=$(mktemp -d)
  DESTDIR=$stage cmake --install "$R" >/dev/null
  local f
  for f in usr/sbin/lumra usr/share/man/man8/lumra.8 usr/share/bash-completion/completions/lumra \
    usr/share/zsh/vendor-completions/_lumra usr/share/doc/lumra/LICENSE usr/lib/systemd/system/lumra-refresh@.service \
    usr/lib/systemd/system/lumra-refresh@.timer; do
    [ -f "$stage/$f" ] || { echo "install: $f missing"; ok=1; }
  done
  [ -d "$stage/var/cache/lumra" ] || { echo "install: the cache directory was not created"; ok=1; }
  [ -x "$stage/usr/sbin/lumra" ] || { echo "install: lumra is not executable"; ok=1; }
  grep -q '^ExecStart=/usr/sbin/lumra ' "$stage/usr/lib/systemd/system/lumra-refresh@.service" ||
    { echo "install: the refresh service does not run the installed program"; ok=1; }
  # The manual page renders without a warning.
  local warn
  warn=$(groff -man -ww -z "$stage/usr/share/man/man8/lumra.8" 2>&1 || true)
  [ -z "$warn" ] || { echo "install: lumra(8): $warn"; ok=1; }
  (cd "$stage" && find . ! -type d -o -type d -empty) | sort | sed 's/^/  /'
  rm -rf "$stage"
  return $ok
}

# memcheck_run NAME SCENARIO ARGS...: one run of lumra under memcheck.
memcheck_run() {
  local name=$1 scn=$2; shift 2
  local out rc=0
  out=$(fake "$scn" valgrind --error-exitcode=99 --leak-check=full --show-leak-kinds=all \
    --errors-for-leak-kinds=definite,indirect,possible --track-origins=yes --num-callers=40 \
    --log-file="$G/memcheck.$name.log" "$G/lumra" -i "$IFACE" "$@") || rc=$?
  # The log's errors and leaks, and what stays reachable at exit of the
  # program's own (not the fake driver's, nor the C++ library's that the fake
  # brings in): the network list, which the process exit releases.
  local summary vg=0
  summary=$(python3 "$LUMRA_ROOT/scripts/ci/vglog.py" memcheck "$G/memcheck.$name.log") || vg=$?
  echo "  $name: exit $rc; $summary"
  if [ "$rc" -ne 0 ] || [ "$vg" -ne 0 ] || [[ $out != ESSID:* ]] || [[ $out == "ESSID:error,,,,," ]]; then
    echo "memcheck: $name failed (exit $rc, output '${out:0:80}'), see $G/memcheck.$name.log"
    return 1
  fi
}

gate_memcheck() {
  local ok=0 basic=$SCENARIOS/basic.scn
  rm -f "$G/cache/lumra"
  memcheck_run refresh "$basic" || ok=1
  memcheck_run cached "$basic" -c || ok=1
  # A cache without the associated network: the cached run adds it by a
  # directed scan and rewrites the cache.
  printf 'ESSID:cafe%%20open,00:1A:2B:3C:4D:01,Master,off,1,50 %%,' >"$G/cache/lumra"
  memcheck_run cached-add "$basic" -c || ok=1
  grep -q 'ESSID:home,' "$G/cache/lumra" || { echo "memcheck: cached-add did not add the network"; ok=1; }
  rm -f "$G/cache/lumra"
  memcheck_run refresh-100 "$SCENARIOS/many.scn" -e || ok=1
  memcheck_run cached-100 "$SCENARIOS/many.scn" -c || ok=1
  # The kernel's list, and a refresh limited to a band: neither makes a cache.
  rm -f "$G/cache/lumra"
  memcheck_run last "$basic" -l || ok=1
  memcheck_run band "$basic" --band 2.4 -p 2 --passive || ok=1
  [ ! -e "$G/cache/lumra" ] || { echo "memcheck: -l or --band made a cache file"; ok=1; }
  return $ok
}

# The sources of the program itself: what the object library and the
# executable compile. clang-tidy reads only these (the tests would take
# minutes more of gtest parsing); cppcheck reads all of src/.
product_sources() {
  jq -r '.[] | select(.command | test("CMakeFiles/lumra(_core)?\\.dir/")) | .file' \
    "$G/compile_commands.json" | sort -u
}

gate_tidy() {
  local log=$G/clang-tidy.log
  product_sources | xargs -P "$JOBS" -n 1 clang-tidy -p "$G" --quiet >"$log" 2>/dev/null || true
  if grep -qE '(warning|error):' "$log"; then
    grep -E '(warning|error):' "$log" | sort -u
    return 1
  fi
  echo "  clang-tidy: $(product_sources | wc -l) files, no finding"
}

gate_cppcheck() {
  local dir=$G/cppcheck
  mkdir -p "$dir"
  jq --arg src "$LUMRA_ROOT/src/" '[.[] | select(.file | startswith($src))]' \
    "$G/compile_commands.json" >"$dir/compile_commands.json"
  cppcheck --project="$dir/compile_commands.json" --cppcheck-build-dir="$dir" \
    --enable=warning,style,performance,portability --library=googletest --inline-suppr \
    --suppressions-list="$LUMRA_ROOT/.cppcheck-suppressions" --error-exitcode=1 -q -j "$JOBS" \
    --template='{file}:{line}: {severity}: {message} [{id}]'
  echo "  cppcheck: $(jq length "$dir/compile_commands.json") files, no finding"
}

# The repository's files (relative paths, sorted), build output and git's
# own files left out.
tree_files() {
  (cd "$LUMRA_ROOT" && find . \( -path ./build -o -path ./.git \) -prune -o -type f -print) |
    sed 's|^\./||' | LC_ALL=C sort
}

# Every shell script: the .sh and .bash files and those whose first line names a shell.
shell_scripts() {
  local f
  tree_files | while read -r f; do
    case $f in
      *.sh | *.bash) echo "$f" ;;
      *) head -n 1 "$LUMRA_ROOT/$f" | grep -qE '^#! */(usr/)?bin/(env +)?(ba|da)?sh\b' && echo "$f" ;;
    esac
  done
}

gate_shellcheck() {
  local files
  mapfile -t files < <(shell_scripts)
  [ ${#files[@]} -gt 0 ] || { echo "shellcheck: no shell script found"; return 1; }
  (cd "$LUMRA_ROOT" && shellcheck --external-sources "${files[@]}")
  echo "  shellcheck $(shellcheck --version | sed -n 's/^version: //p'): ${#files[@]} scripts, no finding"
}

# Pinned: another clang-format version lays some lines out differently.
CLANG_FORMAT=clang-format-14

gate_format() {
  local files
  mapfile -t files < <(tree_files | grep -E '\.(c|cc|cpp|h|hh|hpp)$')
  [ ${#files[@]} -gt 0 ] || { echo "format: no C or C++ source found"; return 1; }
  (cd "$LUMRA_ROOT" && "$CLANG_FORMAT" --style=file --dry-run -Werror "${files[@]}")
  echo "  clang-format $("$CLANG_FORMAT" --version | sed 's/^[^0-9]*//'): ${#files[@]} files, nothing to change" \
    "(reformat: $CLANG_FORMAT -i FILE...)"
}

gate_cpu() {
  local c=$LUMRA_ROOT/build/gates-cpu
  configure "$c" -DCMAKE_BUILD_TYPE=Release -DLUMRA_CACHE_PATH="$c/cache/lumra"
  cmake --build "$c" -j "$JOBS" --target lumra fakewext_preload >/dev/null
  # The cached run over 30 records is held at its present 1.10 x iwconfig,
  # nearly all of it the loader's work for both backends' libraries (doc/performance.md).
  CACHED_LIMIT=1.12 bash "$LUMRA_ROOT/bench/cpu.sh" "$c"
}

# Each gate runs in a subshell with errexit in force (a function called as an
# if condition would run with it off), so any failing command fails the gate.
failed=()
for g in "${gates[@]}"; do
  echo "-- gate $g"
  set +e
  if declare -F "gate_$g" >/dev/null; then
    (set -e; "gate_$g")
    rc=$?
  else
    echo "no such gate: $g"
    rc=2
  fi
  set -e
  if [ $rc -eq 0 ]; then echo "-- gate $g passed"; else echo "-- gate $g FAILED"; failed+=("$g"); fi
done
[ ${#failed[@]} -eq 0 ] || { echo "gates failed: ${failed[*]}"; exit 1; }
