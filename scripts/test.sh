#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
cd build
# The PostgreSQL tests run against a throwaway server on loopback.
QT_QPA_PLATFORM=offscreen ../scripts/pg-test.sh ctest --output-on-failure -j2 --timeout 600
