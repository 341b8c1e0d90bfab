#!/usr/bin/env bash
# Instructions per access in user space, drives_mpi's own paths against their
# floors, counted by valgrind's callgrind: exact and repeatable for one binary
# and one build of the C and C++ libraries, whatever else the machine runs.
# Usage: bash bench/run_instructions.sh BUILD_DIR
#   COUNT= accesses (file cycles) per counted run (default 2000)
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
count=${COUNT:-2000}
probe=$build/bench/drives_instructions

die() { echo "run_instructions.sh: $*" >&2; exit 1; }

if ! command -v valgrind >/dev/null; then
  echo "run_instructions.sh: valgrind is not installed (Debian package valgrind): no instruction counts" >&2
  exit 0
fi
[[ -x $probe ]] || die "$probe is not built"
[[ $count =~ ^[1-9][0-9]*$ ]] || die "COUNT must be a positive integer"

scratch=$(mktemp -d)
trap 'rm -rf -- "$scratch"' EXIT
(cd "$scratch" && valgrind --tool=callgrind --dump-before=instructions_boundary \
   --callgrind-out-file="$scratch/part" "$probe" "$count" >"$scratch/paths" 2>"$scratch/log") ||
  { cat "$scratch/log" >&2; die "the probe failed under valgrind"; }

# The probe's path i (from 0) ran as parts 3i+1 (warm-up), 3i+2 (COUNT
# times) and 3i+3 (2 COUNT times); the last two differ by COUNT accesses.
declare -A per
i=0
while read -r path; do
  per[$path]=$(awk -v count="$count" '/^totals:/ { total[FILENAME] = $2 }
    END { printf "%.1f", (total[ARGV[2]] - total[ARGV[1]]) / count }' \
    "$scratch/part.$((3 * i + 2))" "$scratch/part.$((3 * i + 3))")
  i=$((i + 1))
done <"$scratch/paths"

format="%-22s %11s %13s %8s %17s\n"
# A row: label, drives_mpi's path, its system-call floor, and the streams'
# floor where there is one, which is then the closest floor.
row() {
  local streams=- closest=${per[$3]}
  if [[ -n ${4:-} ]]; then
    streams=${per[$4]}
    closest=$streams
  fi
  printf "$format" "$1" "${per[$2]}" "${per[$3]}" "$streams" \
    "$(awk -v a="${per[$2]}" -v b="$closest" 'BEGIN { printf "%+.1f", a - b }')"
}

echo "Instructions per access in user space, ${1:-build}/bench/drives_instructions"
echo "(callgrind; runs of $count and $((2 * count)) accesses, the difference over $count)"
printf "$format" "path" "drives_mpi" "system calls" "streams" "drives_mpi extra"
row "one-byte write" byte_write byte_write_floor
row "one-byte read" byte_read byte_read_floor
row "stream file cycle" stream_cycle stream_cycle_floor stream_cycle_streams_floor
row "descriptor file cycle" descriptor_cycle descriptor_cycle_floor
echo "The extra is over the closest floor: for the stream file cycle, the streams' own."
