#!/usr/bin/env bash
# Builds the benchmarks and runs them all, one after the other (they measure
# time, so never two at once), then prints every RESULT line as a summary.
#
#   bench/run.sh                  build into build/ and run with the default sizes
#   BUILD_DIR=build-x bench/run.sh
#   QUICK=1 bench/run.sh          smaller sizes, for a smoke run (bench_descarga
#                                 still downloads and stores a full ring)
#   KALVEROSTIN_BENCH_DIR=/path   where the SQLite files go (default: the temp folder)
#
# Exit status 0 when every benchmark ran; a missed goal is a figure, not a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${BUILD_DIR:-build}"

benches=(bench_tcp bench_serial bench_cpu_espera bench_descarga bench_nuevos_232 bench_visor bench_carriles bench_continuidad bench_relojes bench_sitio)
declare -A args=()
if [ "${QUICK:-0}" = 1 ]; then
  args=([bench_tcp]=400 [bench_serial]=60 [bench_cpu_espera]=2 [bench_descarga]=100 [bench_nuevos_232]=100 [bench_visor]=50000 [bench_carriles]="20 3 2" [bench_continuidad]=--solo-tcp [bench_relojes]="20 3 2" [bench_sitio]="60 6 2")
fi

[ -f "$dir/CMakeCache.txt" ] || cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" --target "${benches[@]}" -j"$(nproc)" >/dev/null

log="$(mktemp)"
trap 'rm -f "$log"' EXIT
estado=0
for b in "${benches[@]}"; do
  echo ">> $b ${args[$b]:-}"
  if ! "$dir/bench/$b" ${args[$b]:-} | tee -a "$log"; then
    echo "!! $b did not complete" | tee -a "$log"
    estado=1
  fi
done

echo
echo "== Summary ($(date '+%Y-%m-%d %H:%M'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)) =="
grep -E '^(RESULT|!!)' "$log" | sed 's/^RESULT //'
exit "$estado"
