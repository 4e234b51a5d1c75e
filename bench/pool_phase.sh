#!/usr/bin/env bash
# Pool phase benchmark: whole runs of the program over a generated medium, against
# LC_ALL=C grep -c '^540' over the same MAB2 files, measured in the same run.
#
#   bench/pool_phase.sh [BUILD_DIR]        (default build/bench; needs torvane and make_medium)
#
#   POOL_BENCH_SIZE   MAB2 bytes over all pools (default 1G; CI: e.g. 32M)
#   POOL_BENCH_POOLS  pools (default 4), all selected by PoolFilter
#   POOL_BENCH_DIR    where the medium goes (default a fresh folder under $TMPDIR)
#
# Prints the baseline, the cold pool phase (no tables yet: check pass, scan, position
# tables and indexes, pool table and index), the warm one (nothing stale: only the
# check pass), their ratios to the baseline and the peak memory of each run. Goals:
# cold at most 6 times the baseline, warm at most 2.5 times, peak at most 128 MiB.
set -euo pipefail

cd "$(dirname "$0")/.."
build=$(cd "${1:-build/bench}" && pwd)
size=${POOL_BENCH_SIZE:-1G}
pools=${POOL_BENCH_POOLS:-4}
exe=$build/torvane
gen=$build/tools/make_medium
for tool in "$exe" "$gen"; do
  [[ -x $tool ]] || { echo "missing $tool: build the targets torvane and make_medium in $build" >&2; exit 2; }
done

work=${POOL_BENCH_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/pool-bench.XXXXXX")}
trap '[[ -z ${POOL_BENCH_DIR:-} ]] && rm -rf "$work"' EXIT
mkdir -p "$work"
dvd=$work/dvd

if [[ ! -f $dvd/POOL.INI ]]; then
  echo "generating $size of MAB2 data in $pools pools..."
  "$gen" --out "$dvd" --pools "$pools" --size "$size" --filter-lines 0 --no-stale --covers 0 >"$work/summary.txt"
fi
grep -E '^(records|rows|mab-bytes):' "$work/summary.txt" || true

filter=$(seq -s ';' -f 'POOL%g' 1 "$pools")
config=$work/bench.ini
printf '[DVD]\r\nPfad=%s\r\nName=Bench\r\nCheck=1\r\nDXPData=1\r\n[MAB]\r\nFilter=1\r\nPoolFilter=%s\r\n[Download]\r\nCover=0\r\nCover2Pool=0\r\n' \
  "$dvd" "$filter" >"$config"

mapfile -t mab_files < <(find "$dvd" -iname '*.mab' | sort)
cat "${mab_files[@]}" >/dev/null  # the same warm page cache for every measurement

# Wall and processor seconds of a command: "real cpu". The machine may be shared, so
# both are shown; processor time is the steadier figure.
measure() {
  local TIMEFORMAT='%R %U %S' t
  # Output to a file: GNU grep stops at its first match when it writes to /dev/null.
  t=$( { time "$@" >"$work/output.txt" 2>&1 </dev/null; } 2>&1 )
  awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' <<<"$t"
}
best() {  # the fastest of three runs: "real cpu"
  local r c best_r="" best_c=""
  for _ in 1 2 3; do
    read -r r c < <(measure "$@")
    if [[ -z $best_r ]] || awk -v a="$r" -v b="$best_r" 'BEGIN { exit !(a < b) }'; then best_r=$r; fi
    if [[ -z $best_c ]] || awk -v a="$c" -v b="$best_c" 'BEGIN { exit !(a < b) }'; then best_c=$c; fi
  done
  echo "$best_r $best_c"
}
grep_540() { LC_ALL=C grep -c '^540' "${mab_files[@]}"; }
read -r grep_real grep_cpu < <(best grep_540)

# One run of the program: "real cpu peak-KiB" (peak 0 without /usr/bin/time).
program() { (cd "$work" && "$exe" --config "$config"); }
program_peak() { (cd "$work" && /usr/bin/time -f '%M' -o "$work/peak.txt" "$exe" --config "$config"); }
run_program() {
  local r c peak=0
  if [[ -x /usr/bin/time ]]; then
    read -r r c < <(measure program_peak)
    peak=$(tail -n 1 "$work/peak.txt")
  else
    read -r r c < <(measure program)
  fi
  echo "$r $c $peak"
}

find "$dvd" -maxdepth 2 \( -iname '*.dbf' -o -iname '*.cdx' -o -iname '*.ntx' \) -delete
read -r cold cold_cpu cold_peak < <(run_program)
grep -q 'pool.cdx wurde angelegt' "$work/torvane.log" || { echo "cold run did not build the pool table:" >&2; cat "$work/torvane.log" >&2; exit 1; }
read -r warm warm_cpu warm_peak < <(run_program)
if grep -q 'anlegen' "$work/torvane.log"; then echo "warm run rebuilt something:" >&2; cat "$work/torvane.log" >&2; exit 1; fi

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
line() {
  printf '%-24s %7.3f s (cpu %7.3f s)' "$1" "$2" "$3"
  [[ $# -gt 3 ]] && printf '  ratio %6s (cpu %6s, goal <= %s)  peak %4d MiB' \
    "$(ratio "$2" "$grep_real")" "$(ratio "$3" "$grep_cpu")" "$4" $(($5 / 1024))
  printf '\n'
}
line "grep -c ^540 (baseline)" "$grep_real" "$grep_cpu"
line "cold pool phase" "$cold" "$cold_cpu" 6.0 "$cold_peak"
line "warm pool phase" "$warm" "$warm_cpu" 2.5 "$warm_peak"
