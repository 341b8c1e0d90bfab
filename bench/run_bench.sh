#!/usr/bin/env bash
# Compares drives_mpi's single-process figures with the system-call floor
# measured by drives_reference, bare and inside an MPI process, and reports
# start-up, unmeasured time and peak memory.  Usage: bash bench/run_bench.sh BUILD_DIR
#   DIR=   scratch directory (default: a fresh one under /dev/shm, removed at the end)
#   PAIRS= rounds of the three (default 3)
#   MPI=   openmpi (default) or mpich, as the build
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$(cd "${1:-build}" && pwd)
pairs=${PAIRS:-3}

die() { echo "run_bench.sh: $*" >&2; exit 1; }

command -v python3 >/dev/null || die "python3 is missing (Debian package python3)"
[[ -d /proc/self ]] || die "the bench reads /proc: it runs on Linux only"
for program in drives_mpi bench/drives_reference bench/drives_reference_mpi bench/mpi_idle; do
  [[ -x $build/$program ]] || die "$build/$program is not built"
done
[[ $pairs =~ ^[1-9][0-9]*$ ]] || die "PAIRS must be a positive integer"

if [[ -n ${DIR:-} ]]; then
  mkdir -p "$DIR"
  scratch=$(cd "$DIR" && pwd)
else
  scratch=$(mktemp -d /dev/shm/drives-bench.XXXXXX)
  trap 'rm -rf -- "$scratch"' EXIT
fi

"${PYTHON:-python3}" "$here/bench.py" "$build" "$scratch" "$pairs"
