#!/usr/bin/env bash
# Installs what is needed, builds Harvox and runs it in a working directory
# (default ./run), which holds HARVOX.INI, USERS.INI, TEXT/ and HARVOX.LOG.
# A new working directory is seeded from examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh
scripts/build.sh
workdir=${1:-$root/run}
mkdir -p "$workdir"
[ -e "$workdir/HARVOX.INI" ] || cp examples/HARVOX.INI "$workdir/"
[ -e "$workdir/USERS.INI" ] || cp examples/USERS.INI "$workdir/"
[ -e "$workdir/TEXT" ] || cp -r examples/TEXT "$workdir/"
cd "$workdir"
echo "Harvox runs in $workdir (log: HARVOX.LOG); Ctrl-C stops it."
exec "$root/build/harvox"
