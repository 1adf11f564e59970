#!/usr/bin/env bash
# Builds the four libFuzzer targets with clang into build-fuzz and runs each
# for the given number of seconds (default 600), two at a time, at low
# priority. Each run starts from the committed corpus (tests/fuzz/corpus/<t>,
# read only) and keeps what it finds in build-fuzz/corpus/<t>; crashes go to
# build-fuzz/hallazgos/<t>/. Minimise with `<binary> -merge=1 NEW OLD` before
# committing new inputs.
set -euo pipefail
segundos=${1:-600}
cd "$(dirname "$0")/.."
raiz=$PWD

# What the fuzz build needs on top of scripts/setup.sh: clang and its runtimes
# (libFuzzer and the sanitizers live in libclang-rt-14-dev on Debian 12).
paquetes_fuzz=(clang libclang-rt-14-dev)
scripts/setup.sh
faltan=()
for p in "${paquetes_fuzz[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || faltan+=("$p")
done
if [ ${#faltan[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${faltan[@]}"
fi

objetivos=(fuzz_respuesta fuzz_registro fuzz_ini fuzz_numero)
declare -A largo=([fuzz_respuesta]=256 [fuzz_registro]=128 [fuzz_ini]=1024 [fuzz_numero]=256)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DKALVEROSTIN_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
nice -n 10 cmake --build build-fuzz --target "${objetivos[@]}" -j2

ejecutar() {
  local t=$1
  local bin
  bin=$(find "$raiz/build-fuzz" -type f -name "$t" -perm -u+x | head -n1)
  mkdir -p "build-fuzz/corpus/$t" "build-fuzz/hallazgos/$t"
  local estado=0
  nice -n 10 "$bin" -max_total_time="$segundos" -max_len="${largo[$t]}" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="build-fuzz/hallazgos/$t/" \
    "build-fuzz/corpus/$t" "tests/fuzz/corpus/$t" >"build-fuzz/$t.log" 2>&1 || estado=$?
  local ejecuciones cobertura
  ejecuciones=$(grep -o 'stat::number_of_executed_units: [0-9]*' "build-fuzz/$t.log" | grep -o '[0-9]*$' || true)
  cobertura=$(grep -o 'cov: [0-9]* ft: [0-9]*' "build-fuzz/$t.log" | tail -n1 || true)
  if [ "$estado" -eq 0 ]; then
    echo "$t: ${ejecuciones:-?} ejecuciones, $cobertura, sin fallos"
  else
    echo "$t: FALLO (código $estado) tras ${ejecuciones:-?} ejecuciones; registro en build-fuzz/$t.log"
    grep -E 'ERROR: |invariante|runtime error|SUMMARY' "build-fuzz/$t.log" | head -n 5 || true
    ls "build-fuzz/hallazgos/$t" || true
  fi
  return "$estado"
}

# Two at a time: the machine's cores are shared.
fallos=0
for ((i = 0; i < ${#objetivos[@]}; i += 2)); do
  pids=()
  for t in "${objetivos[@]:i:2}"; do
    ejecutar "$t" &
    pids+=($!)
  done
  for p in "${pids[@]}"; do
    wait "$p" || fallos=$((fallos + 1))
  done
done
exit $((fallos > 0))
