#!/usr/bin/env bash
# Builds the Debian package into a folder of its own (build-paquete unless
# given): installed under /usr, the unit naming /usr/bin/kalverostin.
set -euo pipefail
cd "$(dirname "$0")/.."
carpeta="${1:-build-paquete}"
# Only the three programs: the package does not wait for tests and benchmarks.
# Hardened as Debian builds its packages: checked buffer functions, and
# relocations resolved at start and then read-only.
cmake -S . -B "$carpeta" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
      -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
      -DCMAKE_CXX_FLAGS="-D_FORTIFY_SOURCE=2" -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro,-z,now"
cmake --build "$carpeta" -j2 --target kalverostin kora-sim kalverostin-importar
(cd "$carpeta" && cpack -G DEB)
ls -1 "$carpeta"/kalverostin_*.deb
