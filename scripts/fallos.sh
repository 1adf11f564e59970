#!/usr/bin/env bash
# Plants known faults one at a time in a scratch copy of the working tree and
# checks that the test suite catches each one:
#   scripts/fallos.sh                      every tests/fallos/*.diff
#   scripts/fallos.sh tests/fallos/x.diff  only those named
# Each .diff is a patch against the tree, preceded by header lines:
#   # fallo: what the fault does
#   # prueba: the ctest names that must fail (a -R regular expression)
#   # objetivo: the build targets those tests need (optional; default all)
# A fault is "cazado" when the tests fail and "NO CAZADO" when they pass; a
# diff that no longer applies or builds counts as not caught. The scratch
# copy and its build are kept in ${KALVEROSTIN_FALLOS:-/tmp/kalverostin-fallos}
# so later runs build less.
# Exit status: 0 when every fault was caught, 1 otherwise.
set -uo pipefail
raiz=$(cd "$(dirname "$0")/.." && pwd)
dir=${KALVEROSTIN_FALLOS:-/tmp/kalverostin-fallos}
src=$dir/src

[ $# -gt 0 ] && fallos=("$@") || fallos=("$raiz"/tests/fallos/*.diff)

# The copy takes only the files that differ from the working tree, so the
# build redoes only what changed since the last run.
mkdir -p "$src"
(cd "$raiz" && git ls-files -co --exclude-standard -z) | while IFS= read -r -d '' archivo; do
    cmp -s "$raiz/$archivo" "$src/$archivo" && continue
    # A fresh time stamp: an older one than the scratch build's outputs would skip the rebuild.
    mkdir -p "$src/$(dirname "$archivo")" && cp "$raiz/$archivo" "$src/$archivo"
done
cmake -S "$src" -B "$src/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1

cabecera() { sed -n "s/^# $1: *//p" "$2" | head -n 1; }

sin_cazar=0
for f in "${fallos[@]}"; do
    f=$(cd "$(dirname "$f")" && pwd)/$(basename "$f")
    nombre=$(basename "$f" .diff)
    prueba=$(cabecera prueba "$f")
    objetivos=$(cabecera objetivo "$f")
    if ! (cd "$src" && patch -p1 -s -N --no-backup-if-mismatch <"$f" >/dev/null); then
        echo "$nombre: el parche no se aplica"
        sin_cazar=1
        continue
    fi
    if ! cmake --build "$src/build" -j"$(nproc)" ${objetivos:+--target $objetivos} >"$dir/$nombre.log" 2>&1; then
        resultado="no compila: el fallo no llega a probarse (ver $dir/$nombre.log)"
        sin_cazar=1
    elif (cd "$src/build" && QT_QPA_PLATFORM=offscreen "$raiz/scripts/pg-test.sh" \
              ctest -R "$prueba" --output-on-failure --timeout 600 >>"$dir/$nombre.log" 2>&1); then
        resultado="NO CAZADO"
        sin_cazar=1
    else
        # The first check that failed says which rule caught it.
        caza=$(grep -m 1 -oE '^FAIL! +: [^( ]+(\([^)]*\))?' "$dir/$nombre.log" | sed 's/^FAIL! *: //')
        [ -n "$caza" ] || caza=$(grep -m 1 -oE '[^ ]+ \.+\**Failed' "$dir/$nombre.log" | cut -d ' ' -f 1)
        resultado="cazado por ${caza:-?}"
    fi
    (cd "$src" && patch -p1 -s -R <"$f" >/dev/null)
    echo "$nombre: $resultado — $(cabecera fallo "$f")"
done
exit $sin_cazar
