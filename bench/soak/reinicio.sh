#!/usr/bin/env bash
# Crash and restart: the program is killed with SIGKILL at random points of long
# downloads, started again each time, and finally left to poll until the
# terminals are empty. Then every punch is looked up in marcajes and the
# database's integrity is checked.
#
#   bench/soak/reinicio.sh [kills]          (default 5)
#   BUILD_DIR=build-x   where kalverostin and kora-sim are (default build)
#   PUNCHES=N           punches preloaded in each terminal (default 2000)
#
# Two terminals: TCP with answers 20 ms late (one-slot ring) and RS-485 on a
# paced pseudo-terminal, 10 ms late (two-slot ring). The first polling run
# comes a minute after each start; the kill falls 2 to 40 s into it, always
# while the wire log shows traffic.
set -euo pipefail
raiz="$(cd "$(dirname "$0")/../.." && pwd)"
muertes="${1:-5}"
marcajes="${PUNCHES:-2000}"
build="${BUILD_DIR:-build}"
case "$build" in /*) ;; *) build="$raiz/$build" ;; esac

W="$(mktemp -d /tmp/reinicio.XXXXXX)"
mkdir -p "$W/bin/datos" "$W/home" "$W/tmp"
cp "$build/kalverostin" "$build/kora-sim" "$W/bin/"
pids=()
limpiar() { for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap limpiar EXIT

"$W/bin/kora-sim" --tcp 31@127.77.1.1 --punches "$marcajes" --fault 31:delay=20 \
  --record "$W/generados.txt" --log "$W/wire-tcp.log" >"$W/sim-tcp.out" 2>&1 &
pids+=($!)
"$W/bin/kora-sim" --pty rs485 --terminal 32 --two-slot --paced --punches "$marcajes" --fault 32:delay=10 \
  --record "$W/generados.txt" --log "$W/wire-485.log" >"$W/sim-485.out" 2>&1 &
pids+=($!)
for f in sim-tcp.out sim-485.out; do
  for _ in $(seq 100); do grep -qs READY "$W/$f" && break; sleep 0.1; done
done
pty=$(awk '/^PTY /{print $2}' "$W/sim-485.out")
[ -n "$pty" ] || { echo "kora-sim did not start" >&2; exit 2; }

sqlite3 "$W/bin/datos/zeb.db" "
CREATE TABLE terminales_1 (ID INTEGER PRIMARY KEY AUTOINCREMENT, codigo INTEGER, descripcion TEXT, IP TEXT, Tipo INTEGER, Com TEXT);
INSERT INTO terminales_1 (codigo, descripcion, IP, Tipo, Com) VALUES (31, 'TCP lento', '127.77.1.1', 2, '1');
INSERT INTO terminales_1 (codigo, descripcion, IP, Tipo, Com) VALUES (32, 'RS485 lento', '', 1, '1');"
printf '[inicio]\nautoarranque=0\n[datos]\nbd=%s\n[comunicaciones]\ntimeout=5\nlectura=1\n[puertos]\ncom1=%s\n' \
  "$W/bin/datos/zeb.db" "$pty" >"$W/bin/config.ini"

arrancar() {
  (cd "$W/bin" && exec env QT_QPA_PLATFORM=offscreen HOME="$W/home" XDG_CONFIG_HOME="$W/home/.config" \
    TMPDIR="$W/tmp" ./kalverostin >>"$W/programa.out" 2>>"$W/programa.err") &
  prog=$!
}
filas() { sqlite3 "$W/bin/datos/zeb.db" "PRAGMA busy_timeout=5000; SELECT count(*) FROM marcajes" 2>/dev/null | tail -1; }

echo "crash/restart: $muertes kills, $marcajes punches per terminal, work dir $W"
for ((k = 1; k <= muertes; k++)); do
  arrancar
  espera=$((60 + 2 + RANDOM % 39))
  sleep "$espera"
  activo=$(find "$W"/wire-*.log -newermt '-2 seconds' 2>/dev/null | wc -l)
  kill -9 "$prog" 2>/dev/null || true
  wait "$prog" 2>/dev/null || true
  echo "kill $k at $espera s after start (traffic in the last 2 s: $([ "$activo" -gt 0 ] && echo yes || echo no)); rows so far: $(filas)"
done

# Final start: poll until the terminals have nothing left (no traffic for 20 s after a run).
arrancar
pids+=("$prog")
sleep 70
for _ in $(seq 120); do
  [ "$(find "$W"/wire-*.log -newermt '-20 seconds' | wc -l)" -eq 0 ] && break
  sleep 5
done
kill "$prog" 2>/dev/null || true
wait "$prog" 2>/dev/null || true
for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
wait 2>/dev/null || true
pids=()
python3 "$raiz/bench/soak/comparar.py" "$W/bin/datos/zeb.db" "$W/generados.txt" "$W/sim-tcp.out" "$W/sim-485.out" \
  --logs "$W"/wire-*.log --slots "31=1,32=2" --perfiles "31=tcp/1slot/delay20ms,32=485/2slot/paced+delay10ms"
