#!/usr/bin/env bash
# Soak run: the real program, unattended (offscreen), polls a simulated fleet
# with faults for a while; new punches keep arriving meanwhile. At the end every
# punch the simulators generated is looked up in marcajes.
#
#   bench/soak.sh [--perfil diez|cinco] [minutes] [terminals]
#       diez (default): 10 terminals (or the given number, cycling the profiles):
#            TCP and RS-485, one- and two-slot rings, each with a fault profile
#       cinco: 5 terminals, two of them faulty (the terminal count is ignored)
#   BUILD_DIR=build-x   where kalverostin and kora-sim are (default build)
#   GENERAR=S           a new punch in every terminal every S seconds (default 20)
#   TIMEOUT=S           the program's reply timeout (default 5, the program's own)
#   SANOS=N             N more healthy TCP terminals (one-slot) besides the profiles
#
# Punches stop arriving 3 minutes before the end (1 minute in runs of 3 minutes
# or less), so the last polling runs collect what is left. Exit status 0 when no
# terminal that answered at least once lost or duplicated a punch.
set -euo pipefail
raiz="$(cd "$(dirname "$0")/.." && pwd)"
perfil=diez
if [ "${1:-}" = --perfil ]; then perfil="$2"; shift 2; fi
minutos="${1:-20}"
terminales="${2:-10}"
generar="${GENERAR:-20}"
timeout="${TIMEOUT:-5}"
build="${BUILD_DIR:-build}"
case "$build" in /*) ;; *) build="$raiz/$build" ;; esac
for b in kalverostin kora-sim; do
  [ -x "$build/$b" ] || { echo "missing $build/$b (build it first)" >&2; exit 2; }
done

# Profiles: transport, slots per punch, kora-sim faults, label. "ventana" makes
# the terminal silent from 25% to 50% of the run, then healthy again.
perfil_diez=(
  "tcp 1 - sano"
  "tcp 1 drop=13 cada-13-sin-respuesta"
  "tcp 1 delay=1500 respuesta-tardia-1.5s"
  "tcp 2 corrupt=11 checksum-erroneo-cada-11"
  "tcp 2 ventana callado-25%-50%"
  "tcp 2 silent muerto"
  "485 1 - sano"
  "485 1 nostepback no-retrocede-puntero"
  "485 1 noecho sin-eco"
  "485 2 loseread=17,extra=19 lectura-perdida+byte-extra"
)
perfil_cinco=(
  "tcp 1 - sano"
  "tcp 2 drop=7 cada-7-sin-respuesta"
  "485 1 - sano"
  "485 2 corrupt=9 checksum-erroneo-cada-9"
  "tcp 2 - sano"
)
case "$perfil" in
  diez) tabla=("${perfil_diez[@]}") ;;
  cinco) tabla=("${perfil_cinco[@]}"); terminales=5 ;;
  *) echo "unknown profile $perfil (diez, cinco)" >&2; exit 2 ;;
esac
[ "$terminales" -ge 1 ] && [ "$terminales" -le 100 ] || { echo "terminals: 1..100" >&2; exit 2; }

segundos=$((minutos * 60))
if [ "$minutos" -le 3 ]; then generar_durante=$((segundos - 120)); else generar_durante=$((segundos - 180)); fi
[ "$generar_durante" -ge 30 ] || generar_durante=30

W="$(mktemp -d /tmp/soak.XXXXXX)"
mkdir -p "$W/bin/datos" "$W/home" "$W/tmp"
cp "$build/kalverostin" "$build/kora-sim" "$W/bin/"
pids=()
limpiar() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap limpiar EXIT

# Terminal table and simulator groups.
declare -A grupo_args grupo_slots
sql="CREATE TABLE terminales_1 (ID INTEGER PRIMARY KEY AUTOINCREMENT, codigo INTEGER, descripcion TEXT, IP TEXT, Tipo INTEGER, Com TEXT);
CREATE TABLE marcajes (id INTEGER PRIMARY KEY AUTOINCREMENT, fechahora TEXT NOT NULL, numero_terminal INTEGER NOT NULL, codigo_incidencia INTEGER, entrada_salida INTEGER, tarjeta INTEGER, subcodigo INTEGER, tipo INTEGER, habilitado INTEGER);
CREATE INDEX marcajes_terminal_fechahora ON marcajes (numero_terminal, fechahora);
CREATE TABLE Incidencias (codigo INTEGER PRIMARY KEY, descripcion TEXT);"
slots_arg=""; perfiles_arg=""
sanos="${SANOS:-0}"
for ((i = 1; i <= terminales + sanos; i++)); do
  if [ "$i" -le "$terminales" ]; then
    read -r trans slots fallo nombre <<<"${tabla[$(((i - 1) % ${#tabla[@]}))]}"
  else
    trans=tcp slots=1 fallo=- nombre=sano-extra
  fi
  codigo=$((10 + i))
  g="${trans}_${slots}"
  if [ "$trans" = tcp ]; then
    ip="127.77.$((i / 200)).$((i % 200 + 1))"
    grupo_args[$g]+=" --tcp $codigo@$ip"
    sql+="INSERT INTO terminales_1 (codigo, descripcion, IP, Tipo, Com) VALUES ($codigo, 'T$codigo $nombre', '$ip', 2, '1');"
  else
    com=$([ "$slots" = 1 ] && echo 1 || echo 2)
    grupo_args[$g]+=" --terminal $codigo"
    sql+="INSERT INTO terminales_1 (codigo, descripcion, IP, Tipo, Com) VALUES ($codigo, 'T$codigo $nombre', '', 1, '$com');"
  fi
  case "$fallo" in
    -) ;;
    ventana) grupo_args[$g]+=" --fault-at $((segundos / 4))@$codigo:silent --fault-at $((segundos / 2))@$codigo:none" ;;
    *) grupo_args[$g]+=" --fault $codigo:$fallo" ;;
  esac
  grupo_slots[$g]=$slots
  slots_arg+="$codigo=$slots,"; perfiles_arg+="$codigo=$trans/${slots}slot/$nombre,"
done
sqlite3 "$W/bin/datos/zeb.db" "$sql"

cat >"$W/bin/config.ini" <<EOF
[inicio]
autoarranque=0
[datos]
bd=$W/bin/datos/zeb.db
[comunicaciones]
timeout=$timeout
lectura=1
[Incidencias]
timeout=0
[puertos]
EOF

# One simulator per transport and ring kind; each pseudo-terminal bus is a port.
salidas=(); logs=()
for g in "${!grupo_args[@]}"; do
  args="${grupo_args[$g]}"
  [[ "$g" == 485_* ]] && args="--pty rs485 $args"
  [ "${grupo_slots[$g]}" = 2 ] && args+=" --two-slot"
  # shellcheck disable=SC2086
  "$W/bin/kora-sim" $args --punches 30 --generate "$generar" --generate-for "$generar_durante" \
    --record "$W/generados.txt" --log "$W/wire-$g.log" >"$W/sim-$g.out" 2>"$W/sim-$g.err" &
  pids+=($!)
  salidas+=("$W/sim-$g.out"); logs+=("$W/wire-$g.log")
  for _ in $(seq 100); do grep -qs READY "$W/sim-$g.out" && break; sleep 0.1; done
  grep -q READY "$W/sim-$g.out" || { echo "kora-sim ($g) did not start:" >&2; cat "$W/sim-$g.err" >&2; exit 2; }
  pty=$(awk '/^PTY /{print $2}' "$W/sim-$g.out")
  [ -n "$pty" ] && echo "com$([ "$g" = 485_1 ] && echo 1 || echo 2)=$pty" >>"$W/bin/config.ini"
done

rss() { awk '/^VmRSS/{print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }
cpu() { awk -v t="$(getconf CLK_TCK)" '{printf "%.2f", ($14 + $15) / t}' "/proc/$1/stat" 2>/dev/null || echo "?"; }

echo "soak: profile $perfil, $terminales terminals + $sanos healthy, $minutos min, punch every $generar s for $generar_durante s, work dir $W"
(cd "$W/bin" && exec env QT_QPA_PLATFORM=offscreen HOME="$W/home" XDG_CONFIG_HOME="$W/home/.config" \
  TMPDIR="$W/tmp" ./kalverostin >"$W/programa.out" 2>"$W/programa.err") &
prog=$!
pids+=("$prog")
sleep 5
kill -0 "$prog" 2>/dev/null || { echo "the program did not stay up:" >&2; cat "$W/programa.err" >&2; exit 2; }
rss_inicio=$(rss $prog)
rss_max=$rss_inicio
rss_tras_primera=""
inicio=$(date +%s)
while :; do
  ahora=$(($(date +%s) - inicio + 5))
  [ "$ahora" -ge $((segundos + 30)) ] && break
  kill -0 "$prog" 2>/dev/null || { echo "the program died after $ahora s" >&2; cat "$W/programa.err" >&2; break; }
  r=$(rss $prog); [ "$r" -gt "$rss_max" ] && rss_max=$r
  [ -z "$rss_tras_primera" ] && [ "$ahora" -ge 110 ] && rss_tras_primera=$r
  echo "$ahora $r" >>"$W/rss.txt"
  sleep 10
done
# Let the run in progress finish: wait for 10 s without traffic (at most 2 min).
for _ in $(seq 24); do
  reciente=$(find "${logs[@]}" -newermt '-10 seconds' 2>/dev/null | wc -l)
  [ "$reciente" -eq 0 ] && break
  sleep 5
done
vivo=si; kill -0 "$prog" 2>/dev/null || vivo=no
rss_fin=$(rss $prog); cpu_fin=$(cpu $prog)
kill "$prog" 2>/dev/null || true
wait "$prog" 2>/dev/null || true
for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
wait 2>/dev/null || true
pids=()

echo "program alive at the end: $vivo; stderr lines: $(wc -l <"$W/programa.err")"
echo "RSS kB: start $rss_inicio, after first run ${rss_tras_primera:-?}, end $rss_fin, max $rss_max," \
  "growth $((rss_fin - rss_inicio)) (since first run $((rss_fin - ${rss_tras_primera:-$rss_fin})))"
echo "CPU time: $cpu_fin s over $((segundos + 5)) s of wall time"
estado=0
python3 "$raiz/bench/soak/comparar.py" "$W/bin/datos/zeb.db" "$W/generados.txt" "${salidas[@]}" \
  --logs "${logs[@]}" --slots "$slots_arg" --perfiles "$perfiles_arg" || estado=1
[ "$vivo" = si ] || estado=1
echo "work dir (logs, database): $W"
exit $estado
