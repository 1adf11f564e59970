#!/usr/bin/env bash
# Database faults under the real program, one per polling run, while a TCP
# terminal keeps recording punches:
#   run 2: another process holds SQLite's write lock for 10 s
#   run 3: the database file is made read-only (immutable attribute as root,
#          mode 0444 otherwise)
#   run 4: the database file is removed (the program makes a new one; the old
#          file is kept aside and counted with the new one)
# then punches stop and two more runs collect what is left. Every generated
# punch must be stored exactly once across the two files.
#
#   bench/soak/basedatos.sh          BUILD_DIR=build-x as in bench/soak.sh
set -euo pipefail
raiz="$(cd "$(dirname "$0")/../.." && pwd)"
build="${BUILD_DIR:-build}"
case "$build" in /*) ;; *) build="$raiz/$build" ;; esac
W="$(mktemp -d /tmp/basedatos.XXXXXX)"
mkdir -p "$W/bin/datos" "$W/home" "$W/tmp"
cp "$build/kalverostin" "$build/kora-sim" "$W/bin/"
db="$W/bin/datos/zeb.db"
pids=()
limpiar() { chattr -i "$db" 2>/dev/null || true; for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap limpiar EXIT

"$W/bin/kora-sim" --tcp 41@127.77.2.1 --punches 10 --generate 7 --generate-for 290 \
  --record "$W/generados.txt" --log "$W/wire.log" >"$W/sim.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -qs READY "$W/sim.out" && break; sleep 0.1; done
sqlite3 "$db" "CREATE TABLE terminales_1 (ID INTEGER PRIMARY KEY AUTOINCREMENT, codigo INTEGER, descripcion TEXT, IP TEXT, Tipo INTEGER, Com TEXT);
INSERT INTO terminales_1 (codigo, descripcion, IP, Tipo, Com) VALUES (41, 'Puerta', '127.77.2.1', 2, '1');"
printf '[inicio]\nautoarranque=0\n[datos]\nbd=%s\n[comunicaciones]\ntimeout=5\nlectura=1\n' "$db" >"$W/bin/config.ini"

(cd "$W/bin" && exec env QT_QPA_PLATFORM=offscreen HOME="$W/home" XDG_CONFIG_HOME="$W/home/.config" \
  TMPDIR="$W/tmp" ./kalverostin >"$W/programa.out" 2>"$W/programa.err") &
prog=$!
pids+=("$prog")
t0=$(date +%s)
hasta() { while [ $(($(date +%s) - t0)) -lt "$1" ]; do sleep 0.5; done; }
filas() { sqlite3 "file:$1?mode=ro" "SELECT count(*) FROM marcajes" 2>/dev/null || echo "?"; }
lecturas() { grep -c ' T41 <- 29 F1 03' "$W/wire.log" || true; }

echo "database faults: work dir $W"
hasta 117
echo "run 2: write lock held for 10 s by another process (rows before: $(filas "$db"))"
sqlite3 "$db" "BEGIN IMMEDIATE; INSERT INTO terminales_1 (codigo) SELECT NULL WHERE 0;" ".shell sleep 10" "COMMIT;" &
hasta 172
if [ "$(id -u)" = 0 ]; then chattr +i "$db"; else chmod 0444 "$db"; fi
echo "run 3: database read-only (rows before: $(filas "$db"), pointer requests so far: $(lecturas))"
hasta 195
if [ "$(id -u)" = 0 ]; then chattr -i "$db"; else chmod 0644 "$db"; fi
hasta 232
echo "run 4: database removed (rows before: $(filas "$db"), pointer requests so far: $(lecturas))"
mv "$db" "$W/retirada.db"
for s in -wal -shm; do [ -e "$db$s" ] && mv "$db$s" "$W/retirada.db$s"; done
hasta 395
vivo=si; kill -0 "$prog" 2>/dev/null || vivo=no
kill "$prog" "${pids[0]}" 2>/dev/null || true
wait 2>/dev/null || true
pids=()
echo "program alive at the end: $vivo; pointer requests (runs): $(lecturas); rows in the removed file: $(filas "$W/retirada.db"), in the new one: $(filas "$db")"
# Each file on its own must hold no punch twice. The punch just before the
# read pointer is re-read as a guard at every download, so the new file may
# repeat the last punch of the removed one: counted apart, then both files
# are taken together for the comparison.
for f in "$W/retirada.db" "$db"; do
  echo "$(basename "$f"): rows $(filas "$f"), same punch twice: $(sqlite3 "$f" "SELECT count(*) - (SELECT count(*) FROM (SELECT DISTINCT numero_terminal, fechahora, tarjeta FROM marcajes)) FROM marcajes")"
done
cp "$db" "$W/juntas.db"
sqlite3 "$W/juntas.db" "ATTACH '$W/retirada.db' AS r;
SELECT 'in both files (guard re-read into the new file): ' || count(*) FROM r.marcajes o WHERE EXISTS (SELECT 1 FROM main.marcajes n WHERE n.numero_terminal = o.numero_terminal AND n.fechahora = o.fechahora AND n.tarjeta = o.tarjeta);
CREATE TEMP TABLE viejas AS SELECT * FROM r.marcajes o WHERE NOT EXISTS (SELECT 1 FROM main.marcajes n WHERE n.numero_terminal = o.numero_terminal AND n.fechahora = o.fechahora AND n.tarjeta = o.tarjeta);
INSERT INTO marcajes (fechahora, numero_terminal, codigo_incidencia, entrada_salida, tarjeta, subcodigo, tipo, habilitado) SELECT fechahora, numero_terminal, codigo_incidencia, entrada_salida, tarjeta, subcodigo, tipo, habilitado FROM viejas;"
python3 "$raiz/bench/soak/comparar.py" "$W/juntas.db" "$W/generados.txt" "$W/sim.out" --logs "$W/wire.log" \
  --perfiles "41=tcp/1slot/fallos-de-base"
