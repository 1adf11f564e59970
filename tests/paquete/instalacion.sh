#!/usr/bin/env bash
# instalacion.sh <build folder> <deploy folder> <bindir> <datadir> <docdir> <unit folder>
set -euo pipefail
construccion=$1 deploy=$2 bindir=$3 datadir=$4 docdir=$5 unidades=$6
raiz=$(mktemp -d)
trap 'rm -rf "$raiz"' EXIT
DESTDIR="$raiz" cmake --install "$construccion" >/dev/null

fallos=0
falla() { echo "FALLO: $*" >&2; fallos=1; }
for programa in kalverostin kora-sim kalverostin-importar; do
    [ -x "$raiz$bindir/$programa" ] || falla "no se instala $programa"
done
"$raiz$bindir/kalverostin" --version | grep -q '^kalverostin ' || falla "el programa instalado no arranca"

escritorio="$raiz$datadir/applications/kalverostin.desktop"
desktop-file-validate "$escritorio" || falla "entrada de menú no válida"
icono=$(sed -n 's/^Icon=//p' "$escritorio")
[ -s "$raiz$datadir/icons/hicolor/scalable/apps/$icono.svg" ] || falla "falta el icono $icono"
orden=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$escritorio")
[ -x "$raiz$bindir/$orden" ] || falla "el menú abre $orden, que no se instala"
[ -s "$raiz$docdir/README.md" ] && [ -s "$raiz$docdir/servicio.md" ] || falla "falta la documentación"

# Every folder of the service the docs name is the unit's state folder.
estado=/var/lib/$(sed -n 's/^StateDirectory=//p' "$deploy/kalverostin.service")
for doc in "$deploy/README.md" "$deploy/../README.md"; do
    for ruta in $(grep -ohE '/(opt|var|srv)/[^ `)"]*kalverostin[^ `)"/]*' "$doc" | sort -u); do
        [ "$ruta" = "$estado" ] || falla "$doc nombra $ruta, pero el servicio guarda sus archivos en $estado"
    done
done

for guion in postinst prerm postrm; do
    sh -n "$deploy/$guion" || falla "$guion no es un guion válido"
done

unidad="$raiz$unidades/kalverostin.service"
[ -s "$unidad" ] || falla "no se instala la unidad"
if command -v systemd-analyze >/dev/null; then
    # ExecStart must name the installed program; verified inside the scratch root.
    grep -qx "ExecStart=$bindir/kalverostin --servicio" "$unidad" || falla "ExecStart no apunta a $bindir"
    mkdir "$raiz/verificar"
    sed "s|^ExecStart=|ExecStart=$raiz|" "$unidad" >"$raiz/verificar/kalverostin.service"
    salida=$(systemd-analyze verify --man=no "$raiz/verificar/kalverostin.service" 2>&1) || falla "systemd-analyze verify: $salida"
    [ -z "$salida" ] || falla "systemd-analyze verify: $salida"
else
    echo "systemd-analyze no está instalado: la unidad no se comprueba"
fi
exit $fallos
