#!/usr/bin/env bash
# Starts the benchmark under mpirun: run.sh BINARY NP DIR [HOSTFILE].
# Adds only what Open MPI needs as root and for more ranks than cores.
set -euo pipefail

binary=$(realpath "$1")
np=$2
dir=$3
hostfile=${4:-}

flags=()
[ "$(id -u)" -eq 0 ] && flags+=(--allow-run-as-root)
if [ -n "$hostfile" ]; then
  flags+=(--hostfile "$(realpath "$hostfile")")
elif [ "$np" -gt "$(nproc)" ]; then
  flags+=(--oversubscribe)
fi

# mpirun hands its standard input to rank 0; were it closed, Open MPI would
# reuse the descriptor and the root would wait for Enter forever.
[ -e /proc/self/fd/0 ] || exec </dev/null

mkdir -p "$dir"
cd "$dir"
exec mpirun "${flags[@]}" -np "$np" "$binary"
