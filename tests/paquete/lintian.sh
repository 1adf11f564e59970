#!/usr/bin/env bash
# lintian.sh <source folder> <package folder>
# The Debian package built as scripts/paquete.sh builds it, with no compiler
# warning, and no error or warning from lintian, pedantic checks included.
set -euo pipefail
fuente=$1 carpeta=$2
if ! command -v lintian >/dev/null; then
    echo "lintian no está instalado (scripts/setup.sh lo instala): el paquete no se comprueba"
    exit 77
fi
rm -f "$carpeta"/kalverostin_*.deb
if ! salida=$("$fuente/scripts/paquete.sh" "$carpeta" 2>&1); then
    echo "$salida" | tail -n 40
    echo "FALLO: scripts/paquete.sh no construye el paquete" >&2
    exit 1
fi
if grep 'warning:' <<<"$salida"; then
    echo "FALLO: avisos del compilador al construir el paquete" >&2
    exit 1
fi
paquete=$(ls "$carpeta"/kalverostin_*.deb)
lintian --pedantic --fail-on error,warning "$paquete" || { echo "FALLO: lintian rechaza $paquete" >&2; exit 1; }
