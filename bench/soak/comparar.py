#!/usr/bin/env python3
"""Compares what the simulators put into their rings with what the program
stored, and summarises the wire logs.

    comparar.py DB RECORD_FILE SIM_STDOUT... [--logs LOG...] [--codes N,N,...]

RECORD_FILE: kora-sim --record lines, code;yyyy-MM-dd HH:mm:ss;card;subcode;flags
SIM_STDOUT: kora-sim standard output (GENERATED / UNREAD lines).
Prints one line per terminal and a RESULT line; exit status 1 when a terminal
that answered at least once lost or duplicated a punch, or when a stored punch
matches none generated.
"""
import argparse
import collections
import datetime
import re
import sqlite3
import sys


def leer_generados(ruta):
    gen = collections.defaultdict(list)
    with open(ruta, encoding="utf-8") as f:
        for linea in f:
            partes = linea.strip().split(";")
            if len(partes) != 5:
                continue
            c, fh, tarj, sub, flags = partes
            gen[int(c)].append((fh, int(tarj), int(sub), int(flags) & 1))
    return gen


def leer_pendientes(rutas):
    pend = {}
    for r in rutas:
        with open(r, encoding="utf-8", errors="replace") as f:
            for linea in f:
                m = re.match(r"UNREAD (\d+) (\d+)", linea)
                if m:
                    pend[int(m.group(1))] = int(m.group(2))
    return pend


LOG = re.compile(r"^(\S+) T(\d+) (<-|->|<=|xx) ((?:[0-9A-F]{2} ?)*)")


def leer_logs(rutas):
    """Per terminal: pointer requests, answers. Overall: runs (clusters of traffic)."""
    punteros = collections.Counter()
    respuestas = collections.Counter()
    momentos = []
    for r in rutas:
        with open(r, encoding="utf-8", errors="replace") as f:
            for linea in f:
                m = LOG.match(linea)
                if not m:
                    continue
                try:
                    t = datetime.datetime.fromisoformat(m.group(1))
                except ValueError:
                    continue
                term = int(m.group(2))
                momentos.append((t, term))
                bytes_ = m.group(4).split()
                if m.group(3) == "<-" and len(bytes_) == 4 and bytes_[1] == "F1" and bytes_[2] == "03":
                    punteros[term] += 1
                elif m.group(3) == "->":
                    respuestas[term] += 1
    momentos.sort()
    # Runs visit the terminals in table order (ascending codes here): a run
    # begins where the code goes back down, or after a pause of 30 s.
    corridas = []
    anterior = None
    for t, term in momentos:
        if corridas and term >= anterior and (t - corridas[-1][1]).total_seconds() < 30:
            corridas[-1][1] = t
        else:
            corridas.append([t, t])
        anterior = term
    return punteros, respuestas, corridas


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("db")
    ap.add_argument("registro")
    ap.add_argument("salidas", nargs="*")
    ap.add_argument("--logs", nargs="*", default=[])
    ap.add_argument("--slots", default="", help="code=slots per punch, comma-separated")
    ap.add_argument("--perfiles", default="", help="code=profile, comma-separated")
    a = ap.parse_args()

    slots = {int(k): int(v) for k, v in (p.split("=") for p in a.slots.split(",") if p)}
    perfiles = dict((int(k), v) for k, v in (p.split("=", 1) for p in a.perfiles.split(",") if p))
    gen = leer_generados(a.registro)
    pend = leer_pendientes(a.salidas)
    punteros, respuestas, corridas = leer_logs(a.logs)

    db = sqlite3.connect(f"file:{a.db}?mode=ro", uri=True)
    filas = collections.defaultdict(list)
    for c, fh, tarj, sub, es in db.execute(
            "SELECT numero_terminal, fechahora, tarjeta, subcodigo, entrada_salida FROM marcajes"):
        filas[c].append((fh, tarj, sub, (es or 0) & 1))
    integridad = db.execute("PRAGMA integrity_check").fetchone()[0]

    fallo = False
    print(f"{'term':>4} {'profile':<28} {'gen':>6} {'stored':>6} {'lost':>5} {'dup':>4} {'alien':>5} "
          f"{'unread':>6} {'ptr-req':>7} {'answers':>7}")
    tot = collections.Counter()
    for c in sorted(set(gen) | set(filas)):
        g = collections.Counter(gen.get(c, []))
        s = collections.Counter(filas.get(c, []))
        almacenadas = sum(s.values())
        duplicadas = sum(n - 1 for n in s.values() if n > 1)  # same punch stored more than once
        ajenas = sum(n for k, n in s.items() if k not in g)
        faltan = sum(1 for k in g if k not in s)
        sin_leer = pend.get(c, 0) // max(1, slots.get(c, 1))
        perdidas = max(0, faltan - sin_leer)
        respondio = respuestas[c] > 0
        nota = "" if respondio else "  (never answered: not counted)"
        if respondio and (perdidas or duplicadas or ajenas):
            fallo = True
            nota = "  <-- FAULT"
        print(f"{c:>4} {perfiles.get(c, ''):<28} {sum(g.values()):>6} {almacenadas:>6} {perdidas:>5} "
              f"{duplicadas:>4} {ajenas:>5} {sin_leer:>6} {punteros[c]:>7} {respuestas[c]:>7}{nota}")
        if respondio:
            tot.update(gen=sum(g.values()), stored=almacenadas, lost=perdidas, dup=duplicadas, alien=ajenas, unread=sin_leer)

    if corridas:
        duraciones = [(b - a_).total_seconds() for a_, b in corridas]
        i = max(range(len(duraciones)), key=duraciones.__getitem__)
        print(f"runs (from the wire logs): {len(corridas)}; longest {duraciones[i]:.1f} s "
              f"(started {corridas[i][0].time()}); median {sorted(duraciones)[len(duraciones) // 2]:.1f} s")
    print(f"integrity_check: {integridad}")
    print(f"RESULT answering terminals: generated {tot['gen']} stored {tot['stored']} lost {tot['lost']} "
          f"duplicated {tot['dup']} alien {tot['alien']} still in the terminals {tot['unread']} -> {'FAIL' if fallo or integridad != 'ok' else 'OK'}")
    return 1 if fallo or integridad != "ok" else 0


if __name__ == "__main__":
    sys.exit(main())
