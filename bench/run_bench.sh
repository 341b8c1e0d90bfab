#!/usr/bin/env bash
# Compares drives_mpi's single-process figures with the system-call floor
# measured by drives_reference, and reports start-up, unmeasured time and
# peak memory.  Usage: bash bench/run_bench.sh BUILD_DIR
#   DIR=   scratch directory (default: a fresh one under /dev/shm, removed at the end)
#   PAIRS= reference/drives_mpi pairs (default 3)
#   KEEP=1 keep the fresh scratch directory and its logs
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$(cd "${1:-build}" && pwd)
pairs=${PAIRS:-3}

die() { echo "run_bench.sh: $*" >&2; exit 1; }

command -v python3 >/dev/null || die "python3 is missing (Debian package python3)"
command -v mpirun >/dev/null || die "mpirun is missing (Debian package openmpi-bin)"
command -v strace >/dev/null || die "strace is missing (Debian package strace)"
[[ -x $build/drives_mpi ]] || die "$build/drives_mpi is not built"
[[ -x $build/bench/drives_reference || -x $build/drives_reference ]] \
  || die "drives_reference is not built in $build (target drives_reference)"
[[ $pairs =~ ^[1-9][0-9]*$ ]] || die "PAIRS must be a positive integer"

if [[ -n ${DIR:-} ]]; then
  mkdir -p "$DIR"
  scratch=$(cd "$DIR" && pwd)
  fresh=0
else
  scratch=$(mktemp -d /dev/shm/drives-bench.XXXXXX)
  fresh=1
fi
logs=$scratch/bench-log
mkdir -p "$logs"
if [[ $fresh == 1 && ${KEEP:-0} != 1 ]]; then
  trap 'rm -rf -- "$scratch"' EXIT
fi

python3 "$here/bench.py" "$build" "$scratch" "$pairs" "$logs"
