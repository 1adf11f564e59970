#!/usr/bin/env bash
# Installs every Debian package the build, the program and the tests need.
set -euo pipefail
paquetes=(build-essential cmake pkg-config
          qt6-base-dev qt6-serialport-dev
          libqt6sql6-sqlite libqt6sql6-psql libqt6sql6-odbc
          qt6-translations-l10n tzdata
          sqlite3 openssl
          postgresql unixodbc libsqliteodbc mdbtools
          dpkg-dev systemd desktop-file-utils lintian patch)
faltan=()
for p in "${paquetes[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || faltan+=("$p")
done
[ ${#faltan[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${faltan[@]}"
