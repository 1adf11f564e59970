#!/bin/sh
# Stands in for mdbtools' mdb-export in the importer's tests: prints the CSV
# kept beside it for the table asked, as mdb-export would. Checks the options
# the importer must pass; a file whose name contains "roto" cannot be read.
# Usage as mdb-export: mdb-export -D <fmt> -T <fmt> <file> <table>
datos=$(cat "$(dirname "$0")/datos")
if [ "$1" != "-D" ] || [ "$2" != "%Y-%m-%d %H:%M:%S" ] || [ "$3" != "-T" ] || [ "$4" != "%Y-%m-%d %H:%M:%S" ]; then
  echo "mdb-export falso: opciones inesperadas: $*" >&2
  exit 3
fi
case "$5" in
  *roto*) echo "Couldn't open database." >&2; exit 1 ;;
esac
if [ ! -f "$datos/$6.csv" ]; then
  echo "Error: Table $6 does not exist in this database." >&2
  exit 1
fi
cat "$datos/$6.csv"
