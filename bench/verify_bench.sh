#!/usr/bin/env bash
# Medium check benchmark: `torvane --verify` over a prepared medium (every table, index
# and memo file read and judged, every POSITION looked up in its MAB2 file) against
# LC_ALL=C grep -c '^540' over the same MAB2 files, measured in the same run.
#
#   bench/verify_bench.sh [BUILD_DIR]      (default build/bench; needs torvane and make_medium)
#
#   VERIFY_BENCH_SIZE   MAB2 bytes over all pools (default 1G)
#   VERIFY_BENCH_POOLS  pools (default 4)
#
# Goal: the check at most 1.5 times the baseline in processor time (the steadier figure
# on a shared machine; wall time is shown beside it). Also prints the check's peak memory.
set -euo pipefail

cd "$(dirname "$0")/.."
build=$(cd "${1:-build/bench}" && pwd)
size=${VERIFY_BENCH_SIZE:-${POOL_BENCH_SIZE:-1G}}
pools=${VERIFY_BENCH_POOLS:-4}
exe=$build/torvane
gen=$build/tools/make_medium
for tool in "$exe" "$gen"; do
  [[ -x $tool ]] || { echo "missing $tool: build the targets torvane and make_medium in $build" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/verify-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
dvd=$work/dvd
echo "generating $size of MAB2 data in $pools pools..."
"$gen" --out "$dvd" --pools "$pools" --size "$size" --filter-lines 0 --no-stale --import-table >"$work/summary.txt"
grep -E '^(records|rows|mab-bytes):' "$work/summary.txt" || true
(cd "$work" && "$exe" --config "$dvd/TORVANE.INI" </dev/null >/dev/null)
(cd "$work" && "$exe" --verify --config "$dvd/TORVANE.INI" >"$work/verify.txt") ||
  { echo "the prepared medium does not pass:" >&2; cat "$work/verify.txt" >&2; exit 1; }

mapfile -t mab_files < <(find "$dvd" -iname '*.mab' | sort)
cat "${mab_files[@]}" >/dev/null  # the same warm page cache for both

# Wall and processor seconds of the fastest of three runs: "real cpu".
best() {
  local TIMEFORMAT='%R %U %S' t r c best_r="" best_c=""
  for _ in 1 2 3; do
    t=$( { time "$@" >"$work/output.txt" 2>&1 </dev/null; } 2>&1 )
    read -r r c < <(awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' <<<"$t")
    if [[ -z $best_r ]] || awk -v a="$r" -v b="$best_r" 'BEGIN { exit !(a < b) }'; then best_r=$r; fi
    if [[ -z $best_c ]] || awk -v a="$c" -v b="$best_c" 'BEGIN { exit !(a < b) }'; then best_c=$c; fi
  done
  echo "$best_r $best_c"
}
grep_540() { LC_ALL=C grep -c '^540' "${mab_files[@]}"; }
check() { (cd "$work" && "$exe" --verify --config "$dvd/TORVANE.INI"); }
read -r grep_real grep_cpu < <(best grep_540)
read -r check_real check_cpu < <(best check)

# Peak memory of one check in KiB (0 without /usr/bin/time).
peak=0
if [[ -x /usr/bin/time ]]; then
  (cd "$work" && /usr/bin/time -f '%M' -o "$work/peak.txt" "$exe" --verify --config "$dvd/TORVANE.INI" >/dev/null)
  peak=$(tail -n 1 "$work/peak.txt")
fi

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
printf '%-24s %7.3f s (cpu %7.3f s)\n' "grep -c ^540 (baseline)" "$grep_real" "$grep_cpu"
printf '%-24s %7.3f s (cpu %7.3f s)  ratio %s (cpu %s, goal <= 1.5)  peak %d MiB\n' "torvane --verify" "$check_real" \
  "$check_cpu" "$(ratio "$check_real" "$grep_real")" "$(ratio "$check_cpu" "$grep_cpu")" $((peak / 1024))
