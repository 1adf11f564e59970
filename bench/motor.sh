#!/usr/bin/env bash
# shellcheck disable=SC2317  # the parts are called by name (parte_$p)
# Figures of the collection engine: the store's cost per punch on an emulated
# slow disk and on a distant PostgreSQL, a serial download against its wire
# time, the program's memory with 200 terminals, one polling run with silent
# terminals. Every figure is printed beside a baseline measured in the same
# run, and hardware-independent counts (syncs, round trips, exchanges) beside
# the times.
#
#   bench/motor.sh [sqlite] [pg] [serie] [memoria] [carriles]    (default: all, in this order)
#
#   BUILD_DIR=build-x     build folder (default build); the targets a part needs
#                         are built there first unless NO_BUILD=1
#   FSYNC_MS=2            delay added to every fsync/fdatasync (bench/fsync_lento.c)
#   KALVEROSTIN_BENCH_DIR where the SQLite files go (default /dev/shm, so that
#                         the emulated delay is the whole disk cost)
#   PG_MARCAJES=500       punches of the PostgreSQL download (fewer than 4499:
#                         new punches, mode 0)
#   PG_RETRASO=10         round-trip time the proxy adds, ms
#   SERIE_MARCAJES=500    punches of the RS-232 download
#   MEM_TERMINALES=200 MEM_PASADAS=3 MEM_PERIODO=0.25 (minutes)
#   CARRILES_PROGRAMA=1   carriles: time the program itself even when bench_carriles is there
#   STRACE=1              sqlite: count the syncs again with strace -f -c (its
#                         time figures are then not comparable)
#
# Packages: sqlite3 (memoria, carriles without bench_carriles), postgresql
# (pg), strace (STRACE=1); installed with apt-get when missing and root.
# Output: one "FIGURE" line per figure (part, name, value, unit, then the
# baseline or ratio and the goal), and all of them again at the end.
set -euo pipefail
raiz="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-build}"
case "$build" in /*) ;; *) build="$raiz/$build" ;; esac
fsync_ms="${FSYNC_MS:-2}"
scratch="${KALVEROSTIN_BENCH_DIR:-}"
[ -n "$scratch" ] || { [ -d /dev/shm ] && [ -w /dev/shm ] && scratch=/dev/shm || scratch="${TMPDIR:-/tmp}"; }
export KALVEROSTIN_BENCH_DIR="$scratch"

partes=("$@")
[ ${#partes[@]} -gt 0 ] || partes=(sqlite pg serie memoria carriles)

# The pg part calls this script again under scripts/pg-test.sh, in the same work dir.
if [ "${1:-}" = __pg_servidor ]; then W="$MOTOR_W"; else W="$(mktemp -d /tmp/motor.XXXXXX)"; fi
resumen="$W/resumen.txt"
pids=()
limpiar() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap limpiar EXIT

# part, name, value, unit, baseline/ratio/goal text
figura() {
  local l
  l=$(printf 'FIGURE %-9s %-50s %12s %-9s %s' "$1" "$2" "$3" "$4" "$5")
  echo "$l"
  echo "$l" >>"$resumen"
}
# The number after `what` on the RESULT line that holds it.
valor() {
  awk -v w="$2" '/^RESULT/ && index($0, w) { s = substr($0, index($0, w) + length(w));
    if (match(s, /-?[0-9]+(\.[0-9]+)?/)) { print substr(s, RSTART, RLENGTH); exit } }' "$1"
}
calc() { awk "BEGIN { printf \"%.${2:-3}f\", $1 }"; }
si() { awk "BEGIN { exit !($1) }"; }

necesita() {
  local faltan=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || faltan+=("$p")
  done
  [ ${#faltan[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "motor: missing packages: ${faltan[*]} (apt-get install them)" >&2
    return 1
  fi
  echo "motor: installing ${faltan[*]}" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${faltan[@]}" >/dev/null \
    || { DEBIAN_FRONTEND=noninteractive apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
           apt-get install -y -qq --no-install-recommends "${faltan[@]}" >/dev/null; }
}

construir() {
  [ "${NO_BUILD:-0}" = 1 ] && return 0
  [ -f "$build/CMakeCache.txt" ] || cmake -S "$raiz" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j"$(nproc)" --target "$@" >"$W/build.log" 2>&1 \
    || { tail -30 "$W/build.log" >&2; return 1; }
}

shim="$build/bench/libfsync_lento.so"
emulado() { env LD_PRELOAD="$shim" FSYNC_MS="$fsync_ms" "$@"; }

# --- a. Full retrieval into SQLite on the emulated disk ----------------------
parte_sqlite() {
  construir bench_descarga fsync_lento
  local o="$W/sqlite.txt"
  echo ">> sqlite: bench_descarga --solo, full ring over TCP, fsync + ${fsync_ms} ms, files in $scratch"
  FSYNC_CUENTA="$W/sqlite-syncs.txt" emulado "$build/bench/bench_descarga" --solo | tee "$o"
  local ps base ratio spp
  ps=$(valor "$o" "download, punches per second")
  base=$(valor "$o" "bare exchanges per second")
  ratio=$(valor "$o" "download time / bare exchange time")
  spp=$(valor "$o" "disk syncs per stored punch")
  local cumple=MISSED
  if si "$ps >= 1500 || $ratio <= 1.2"; then cumple=met; fi
  figura sqlite "full retrieval 4499 punches, TCP, ${fsync_ms} ms/sync" "$ps" "punches/s" \
    "bare exchanges $base/s, ratio ${ratio}x; goal >= 1500/s or <= 1.2x: $cumple"
  cumple=MISSED; si "$spp <= 0.02" && cumple=met
  figura sqlite "disk syncs per stored punch (shim count)" "$spp" "" \
    "$(awk '{ n = $NF } END { print n + 0 }' "$W/sqlite-syncs.txt") in the whole process; goal <= 0.02: $cumple"
  if [ "${STRACE:-0}" = 1 ]; then
    necesita strace
    strace -f -c -e trace=fsync,fdatasync -o "$W/strace.txt" "$build/bench/bench_descarga" --solo >"$W/sqlite-strace.txt"
    local n
    n=$(awk '/fsync|fdatasync/ && $NF != "total" { s += $4 } END { print s + 0 }' "$W/strace.txt")
    figura sqlite "disk syncs per stored punch (strace, whole process)" "$(calc "$n / 4499")" "" \
      "$n calls; strace slows the exchanges, so batches close on time, not size"
  fi
}

# --- b. PostgreSQL, direct and through the delay proxy -----------------------
parte_pg() {
  necesita postgresql || return 1
  construir bench_descarga proxy_retraso
  echo ">> pg: throwaway server (scripts/pg-test.sh), ${PG_MARCAJES:-500} punches, proxy +${PG_RETRASO:-10} ms"
  MOTOR_W="$W" BUILD_DIR="$build" "$raiz/scripts/pg-test.sh" bash "$raiz/bench/motor.sh" __pg_servidor
}

# Runs inside scripts/pg-test.sh, which gives KALVEROSTIN_PG_URL.
pg_servidor() {
  local url="${KALVEROSTIN_PG_URL:-}" n="${PG_MARCAJES:-500}" retraso="${PG_RETRASO:-10}"
  [ -n "$url" ] || { echo "motor: no PostgreSQL server" >&2; return 1; }
  local psql
  psql=$(command -v psql || printf '%s\n' /usr/lib/postgresql/*/bin/psql | sort -V | tail -1)
  vaciar() { "$psql" "$url" -q -v ON_ERROR_STOP=1 -c 'SET client_min_messages = warning; DROP SCHEMA public CASCADE; CREATE SCHEMA public' >/dev/null; }
  local hostport="${url#*@}"; hostport="${hostport%%/*}"
  local puerto="${hostport##*:}"

  vaciar
  echo "-- direct"
  "$build/bench/bench_descarga" --solo --marcajes "$n" --bd "$url" | tee "$W/pg-directo.txt"
  vaciar
  "$build/bench/proxy_retraso" 0 "127.0.0.1:$puerto" "$retraso" --cuenta "$W/pg-idas.txt" >"$W/pg-proxy.out" &
  local proxy=$!
  for _ in $(seq 50); do grep -qs READY "$W/pg-proxy.out" && break; sleep 0.1; done
  local lp
  lp=$(awk '/^LISTEN/ { print $2 }' "$W/pg-proxy.out")
  [ -n "$lp" ] || { echo "motor: the proxy did not start" >&2; kill "$proxy"; return 1; }
  echo "-- through the proxy (127.0.0.1:$lp, +$retraso ms a round trip)"
  "$build/bench/bench_descarga" --solo --marcajes "$n" --bd "${url/:$puerto\//:$lp/}" --idas "$W/pg-idas.txt" \
    | tee "$W/pg-proxy.txt"
  kill -TERM "$proxy"; wait "$proxy" 2>/dev/null || true
  local directo proxy_ps rpp base tiempo_rt cumple=MISSED
  directo=$(valor "$W/pg-directo.txt" "download, punches per second")
  proxy_ps=$(valor "$W/pg-proxy.txt" "download, punches per second")
  base=$(valor "$W/pg-directo.txt" "bare exchanges per second")
  rpp=$(valor "$W/pg-proxy.txt" "database round trips per stored punch")
  # What the added latency cost, in round trips: a check on the count.
  tiempo_rt=$(calc "(1 / $proxy_ps - 1 / $directo) * 1000 / $retraso" 2)
  si "$rpp <= 0.2" && cumple=met
  figura pg "round trips per stored punch ($n punches)" "$rpp" "" \
    "proxy total $(awk '/^ROUNDTRIPS/ { print $2 }' "$W/pg-proxy.out") in the whole run (with the tables set up); (proxy - direct time) / RTT: $tiempo_rt a punch; goal <= 0.2: $cumple"
  figura pg "download, direct" "$directo" "punches/s" "bare exchanges $base/s, download / bare time $(calc "$base / $directo" 2)x"
  figura pg "download, through the proxy (+$retraso ms RTT)" "$proxy_ps" "punches/s" \
    "direct / proxy $(calc "$directo / $proxy_ps" 2)x; $(calc "1000 / $proxy_ps" 2) ms a punch"
}

# --- c. New punches over paced RS-232 on the emulated disk -------------------
parte_serie() {
  construir bench_nuevos_232 fsync_lento
  local o="$W/serie.txt" n="${SERIE_MARCAJES:-500}"
  echo ">> serie: bench_nuevos_232 $n, paced RS-232, fsync + ${fsync_ms} ms"
  FSYNC_CUENTA="$W/serie-syncs.txt" emulado "$build/bench/bench_nuevos_232" "$n" | tee "$o"
  local ratio spp alambre cumple=MISSED
  ratio=$(valor "$o" "download time / wire time")
  spp=$(valor "$o" "disk syncs per stored punch")
  alambre=$(awk '/ wire time/ { print $(NF-1); exit }' "$o")
  si "$ratio <= 1.15" && cumple=met
  figura serie "new punches, RS-232, ${fsync_ms} ms/sync / wire time" "$ratio" "x" \
    "wire time $alambre s for $n punches; goal <= 1.15x: $cumple"
  figura serie "disk syncs per stored punch" "$spp" "" \
    "$(awk '/exchanges made/ { printf "%d", $NF; exit }' "$o") exchanges, $(awk '{ n = $NF } END { print n + 0 }' "$W/serie-syncs.txt") syncs in the whole process"
}

# --- Shared by memoria and carriles: the real program on a simulated fleet ---
# flota DIR TERMINALS SILENT PERIOD: kora-sim serving TERMINALS TCP terminals
# (codes 1..N on 127.91.x.y, 5 punches each, every (N/SILENT)th one silent)
# and a program folder in DIR/bin with config.ini and the terminal table.
flota() {
  local d="$1" n="$2" mudos="$3" periodo="$4" i args="" sql paso=0
  mkdir -p "$d/bin/datos" "$d/home" "$d/tmp"
  cp "$build/kalverostin" "$d/bin/"
  sql="CREATE TABLE terminales_1 (ID INTEGER PRIMARY KEY AUTOINCREMENT, codigo INTEGER, descripcion TEXT, IP TEXT, Tipo INTEGER, Com TEXT);
CREATE TABLE marcajes (id INTEGER PRIMARY KEY AUTOINCREMENT, fechahora TEXT NOT NULL, numero_terminal INTEGER NOT NULL, codigo_incidencia INTEGER, entrada_salida INTEGER, tarjeta INTEGER, subcodigo INTEGER, tipo INTEGER, habilitado INTEGER);
CREATE INDEX marcajes_terminal_fechahora ON marcajes (numero_terminal, fechahora);
CREATE TABLE Incidencias (codigo INTEGER PRIMARY KEY, descripcion TEXT);
BEGIN;"
  [ "$mudos" -gt 0 ] && paso=$((n / mudos))
  for ((i = 1; i <= n; i++)); do
    local ip="127.91.$((i / 250)).$((i % 250 + 1))"
    args+=" --tcp $i@$ip"
    if [ "$paso" -gt 0 ] && [ $((i % paso)) -eq 0 ] && [ $((i / paso)) -le "$mudos" ]; then args+=" --fault $i:silent"; fi
    sql+="INSERT INTO terminales_1 (codigo, descripcion, IP, Tipo, Com) VALUES ($i, 'T$i', '$ip', 2, '1');"
  done
  sqlite3 "$d/bin/datos/zeb.db" "$sql COMMIT;"
  printf '[inicio]\nautoarranque=0\n[datos]\nbd=%s\n[comunicaciones]\ntimeout=5\nlectura=%s\n[Incidencias]\ntimeout=0\n' \
    "$d/bin/datos/zeb.db" "$periodo" >"$d/bin/config.ini"
  # shellcheck disable=SC2086
  "$build/kora-sim" $args --punches 5 --log "$d/wire.log" >"$d/sim.out" 2>"$d/sim.err" &
  pids+=($!)
  for _ in $(seq 100); do grep -qs READY "$d/sim.out" && break; sleep 0.1; done
  grep -qs READY "$d/sim.out" || { echo "motor: kora-sim did not start" >&2; cat "$d/sim.err" >&2; return 1; }
}

# programa DIR [--servicio]: starts the copied program; its stdout lines get
# the epoch time in front (DIR/programa.out). Sets $prog.
programa() {
  local d="$1"; shift
  (cd "$d/bin" && exec env QT_QPA_PLATFORM=offscreen HOME="$d/home" XDG_CONFIG_HOME="$d/home/.config" \
    TMPDIR="$d/tmp" ./kalverostin "$@" 2>"$d/programa.err" \
    > >(while IFS= read -r l; do printf '%s %s\n' "$EPOCHREALTIME" "$l"; done >"$d/programa.out")) &
  prog=$!
  pids+=("$prog")
}
parar_flota() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  pids=()
}
lineas_ok() { grep -c ', OK, ' "$1/programa.out" 2>/dev/null || true; }
rss() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }

# memoria_una N servicio|ventana [seconds]: sets $resultado to "RSS kB after
# the first run, RSS kB at the end, seconds, OK lines". The service is watched
# until MEM_PASADAS runs have logged every terminal; the window (whose log is
# not on stdout) for the seconds given.
memoria_una() {
  local n="$1" modo="$2" d="$W/mem-$1-$2" pasadas="${MEM_PASADAS:-3}" periodo="${MEM_PERIODO:-0.25}" espera="${3:-}"
  flota "$d" "$n" 0 "$periodo"
  if [ "$modo" = servicio ]; then programa "$d" --servicio; else programa "$d"; fi
  local inicio primera="" fin t
  inicio=$(date +%s)
  if [ -z "$espera" ]; then
    # Until `pasadas` runs have logged every terminal (at most 10 minutes).
    while [ $(($(date +%s) - inicio)) -lt 600 ]; do
      t=$(lineas_ok "$d")
      [ -z "$primera" ] && [ "$t" -ge "$n" ] && primera=$(rss "$prog")
      [ "$t" -ge $((n * pasadas)) ] && break
      kill -0 "$prog" 2>/dev/null || { echo "motor: the program died" >&2; cat "$d/programa.err" >&2; parar_flota; return 1; }
      sleep 0.5
    done
  else
    sleep "$espera"
    primera=$(rss "$prog")
  fi
  fin=$(rss "$prog")
  resultado="${primera:-0} $fin $(($(date +%s) - inicio)) $(lineas_ok "$d")"
  parar_flota
}

# --- d. Resident memory with 200 terminals -----------------------------------
parte_memoria() {
  necesita sqlite3
  construir kalverostin kora-sim
  local n="${MEM_TERMINALES:-200}" pasadas="${MEM_PASADAS:-3}" m1 mfin mseg mlin u1 ufin useg ulin vfin
  echo ">> memoria: service mode, $n TCP terminals vs 1, $pasadas runs every ${MEM_PERIODO:-0.25} min"
  memoria_una "$n" servicio
  read -r m1 mfin mseg mlin <<<"$resultado"
  echo "   $n terminals: RSS after the first run $m1 kB, after $pasadas runs $mfin kB ($mseg s, $mlin OK lines)"
  memoria_una 1 servicio
  read -r u1 ufin useg ulin <<<"$resultado"
  echo "   1 terminal: RSS after the first run $u1 kB, after $pasadas runs $ufin kB ($useg s, $ulin OK lines)"
  local cumple=MISSED
  si "$mfin < 65536" && cumple=met
  figura memoria "RSS, service, $n terminals, after $pasadas runs" "$(calc "$mfin / 1024" 1)" "MB" \
    "1 terminal: $(calc "$ufin / 1024" 1) MB, ratio $(calc "$mfin / $ufin" 2)x, $(calc "($mfin - $ufin) / ($n - 1)" 1) kB a terminal; after the first run $(calc "$m1 / 1024" 1) MB; goal < 64 MB: $cumple"
  echo ">> memoria: window (offscreen), $n terminals, for the same $mseg s"
  memoria_una "$n" ventana "$mseg"
  read -r _ vfin _ _ <<<"$resultado"
  cumple=MISSED; si "$vfin < 65536" && cumple=met
  figura memoria "RSS, window (offscreen), $n terminals, after ${mseg} s" "$(calc "$vfin / 1024" 1)" "MB" \
    "service $(calc "$mfin / 1024" 1) MB; goal < 64 MB: $cumple"
}

# --- e. One polling run, 40 TCP terminals, 5 silent, timeout 5 s -------------
parte_carriles() {
  local n=40 mudos=5 timeout=5 cumple=MISSED limite
  limite=$((2 * timeout + 5))
  if [ "${CARRILES_PROGRAMA:-0}" != 1 ] && construir bench_carriles 2>/dev/null && [ -x "$build/bench/bench_carriles" ]; then
    echo ">> carriles: bench_carriles $n $mudos $timeout"
    "$build/bench/bench_carriles" "$n" "$mudos" "$timeout" | tee "$W/carriles.txt"
    local t r
    t=$(awk '/ run time / && !/timeout/ { print $(NF-1); exit }' "$W/carriles.txt")
    r=$(valor "$W/carriles.txt" "run time / timeout")
    si "$t <= $limite" && cumple=met
    figura carriles "one poll, $n TCP terminals, $mudos silent" "$t" "s" \
      "timeout $timeout s, ratio ${r}x; goal <= $limite s: $cumple"
    return
  fi
  # Without bench_carriles: the program itself, its first run timed from the
  # first request on the wire to its last terminal's log line.
  necesita sqlite3
  construir kalverostin kora-sim
  echo ">> carriles: kalverostin --servicio, $n TCP terminals, $mudos silent, timeout $timeout s"
  local d="$W/carriles"
  flota "$d" "$n" "$mudos" 0.1
  programa "$d" --servicio
  local inicio
  inicio=$(date +%s)
  while [ $(($(date +%s) - inicio)) -lt 300 ]; do
    [ "$(grep -c -e ', OK, ' -e 'error en comunicaciones' "$d/programa.out" 2>/dev/null || true)" -ge "$n" ] && break
    sleep 0.5
  done
  local primera ultima t errores
  primera=$(date -d "$(awk '{ print $1; exit }' "$d/wire.log")" +%s.%N)
  ultima=$(grep -e ', OK, ' -e 'error en comunicaciones' "$d/programa.out" | sed -n "${n}p" | awk '{ print $1 }')
  errores=$(grep -c 'error en comunicaciones' "$d/programa.out" || true)
  t=$(calc "$ultima - $primera" 1)
  si "$t <= $limite" && cumple=met
  figura carriles "one poll, $n TCP terminals, $mudos silent (program)" "$t" "s" \
    "timeout $timeout s, ratio $(calc "$t / $timeout" 2)x, $errores error lines; goal <= $limite s: $cumple"
  parar_flota
}

if [ "${1:-}" = __pg_servidor ]; then
  pg_servidor
  exit
fi

# The commit measured: taken now, others may commit while this runs.
commit=$(git -C "$raiz" rev-parse --short HEAD 2>/dev/null || echo '?')
git -C "$raiz" diff --quiet HEAD -- 2>/dev/null || commit+=" with local changes"
estado=0
for p in "${partes[@]}"; do
  case "$p" in
    sqlite | pg | serie | memoria | carriles) "parte_$p" || { echo "!! $p did not complete" | tee -a "$resumen"; estado=1; } ;;
    *) echo "unknown part $p (sqlite, pg, serie, memoria, carriles)" >&2; exit 2 ;;
  esac
done
echo
echo "== Figures ($(date '+%Y-%m-%d %H:%M'), $commit," \
  "$(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)) =="
sed 's/^FIGURE //' "$resumen" 2>/dev/null || true
echo "work dir: $W"
exit "$estado"
