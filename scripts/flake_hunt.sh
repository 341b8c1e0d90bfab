#!/usr/bin/env bash
# Reruns every test of .ci/run, in every configuration, while a busy loop
# per core keeps the machine loaded, and prints how often each passed: a
# test that fails here now and then will fail CI now and then. Not part of
# CI; it takes an hour or more.
#   bash scripts/flake_hunt.sh [E2E_RUNS [UNIT_RUNS] ]   (default 5 and 20)
# End-to-end and cluster tests run E2E_RUNS times, the tests labelled unit
# UNIT_RUNS times. The log of every failed run is kept in OUT (default
# ./flake-hunt).
set -uo pipefail
cd "$(dirname "$0")/.."
e2e_runs=${1:-5}
unit_runs=${2:-20}
out=$(mkdir -p "${OUT:-flake-hunt}" && cd "${OUT:-flake-hunt}" && pwd)

# configuration | how make builds it | its build directory | the label .ci/run runs there
configs=(
  "g++, libstdc++, Open MPI|build-test|build|"
  "ASan and UBSan|build-sanitize|build-asan|sanitize"
  "clang++, libc++, Open MPI|build-test STDLIB=libc++|build-libc++|matrix"
  "g++, libstdc++, MPICH|build-test MPI=mpich|build-mpich|matrix"
)

for config in "${configs[@]}"; do
  IFS='|' read -r _ target _ _ <<<"$config"
  # shellcheck disable=SC2086 # the target carries make's variables
  make $target >"$out/build.log" 2>&1 || { echo "flake_hunt: make $target failed (see $out/build.log)"; exit 1; }
done

busy=()
for _ in $(seq "$(getconf _NPROCESSORS_ONLN)"); do
  (while :; do :; done) &
  busy+=($!)
done
trap 'kill "${busy[@]}" 2>/dev/null' EXIT

rows=()
bad=0
for config in "${configs[@]}"; do
  IFS='|' read -r name _ dir label <<<"$config"
  units=$(ctest --test-dir "$dir" -N -L unit ${label:+-L "$label"} | awk '/Test +#/ {print $3}')
  for test in $(ctest --test-dir "$dir" -N ${label:+-L "$label"} | awk '/Test +#/ {print $3}'); do
    runs=$e2e_runs
    grep -qx "$test" <<<"$units" && runs=$unit_runs
    passed=0 skipped=0
    for run in $(seq "$runs"); do
      log="$out/$dir-$test-$run.log"
      # Fixture set-ups are left out: the results tool reads the runs the
      # end-to-end tests of this directory kept last time.
      if ctest --test-dir "$dir" -R "^$test\$" -FS e2e_runs --no-tests=error \
           --output-on-failure >"$log" 2>&1; then
        grep -q '\*\*\*Skipped' "$log" && skipped=$((skipped + 1)) || passed=$((passed + 1))
        rm -f "$log"
      fi
    done
    [ "$passed" -eq "$runs" ] || bad=1
    note=""
    [ "$skipped" -eq 0 ] || note=" ($skipped skipped)"
    rows+=("| $test | $name | $passed of $runs$note |")
    echo "flake_hunt: $test, $name: $passed of $runs passed" >&2
  done
done

echo "| test | configuration | passed |"
echo "|---|---|---|"
printf '%s\n' "${rows[@]}"
exit "$bad"
