# shellcheck shell=bash disable=SC2034
# Sourced by run_cluster.sh once the hosts are up: Slurm on them, then
# COMMAND ("$@") on host a; rc is its status. munged on each host (one key),
# slurmctld on a, a slurmd on each (the host's short name), in the hosts'
# namespaces so that the teardown ends them; all their files under $SL.
SL=$S/slurm
export SLURM_CONF=$SL/slurm.conf
declare -A NODE=()
for h in "${HOSTS[@]}"; do NODE[$h]=${NAME[$h]%%.*}; done
mkdir "$SL" "$SL/state" "${NODE[@]/#/$SL/spool-}" && mungekey -c -k "$SL/munge.key" ||
    die "cannot make a munge key in $SL"
cat >"$SLURM_CONF" <<EOF
ClusterName=$ID
SlurmctldHost=${NODE[a]}(${ADDR[a]})
SlurmUser=root
StateSaveLocation=$SL/state
SlurmdSpoolDir=$SL/spool-%n
SlurmctldPidFile=$SL/slurmctld.pid
SlurmdPidFile=$SL/slurmd-%n.pid
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
# Kills 5 s after a cancel; finished jobs shown for an hour (no database); a
# silent slurmd down after 30 s, never in the middle of a loaded benchmark.
KillWait=5
MinJobAge=3600
SlurmdTimeout=30
$(for h in "${HOSTS[@]}"; do echo "NodeName=${NODE[$h]} NodeAddr=${ADDR[$h]} CPUs=$(nproc)"; done)
PartitionName=all Nodes=ALL Default=YES
EOF
# Slurm 22.05 loads a cgroup plugin whatever the rest says, and autodetection
# fails on the hosts' /sys; v1 touches nothing until asked, and nothing asks.
echo "CgroupPlugin=cgroup/v1" >"$SL/cgroup.conf"

on() { nsenter -t "${PID[$1]}" -n -u -m -- "${@:2}"; }
munge_up() { [ -S "/proc/${PID[$1]}/root/run/munge/munge.socket.2" ]; }
ctld_up() { on a scontrol ping >/dev/null 2>&1; }
node_up() { [ "$(on a sinfo -h -n "${NODE[$1]}" -o %t 2>/dev/null)" = idle ]; }

# daemon HOST NAME READY COMMAND...: NAME runs COMMAND on HOST, logging to
# $SL/NAME-HOST.log; unless READY holds within 60 s, the run fails, naming it.
daemon() {
    local log=$SL/$2-$1.log pid
    setsid nsenter -t "${PID[$1]}" -n -u -m -- "${@:4}" </dev/null >"$log" 2>&1 &
    pid=$!
    wait_until 60 eval "$3 || ! kill -0 $pid 2>/dev/null"
    kill -0 $pid 2>/dev/null && eval "$3" || die "$2 on host $1 did not start: $(tail -n 20 "$log")"
}

log "starting Slurm: munged and slurmd on each host, slurmctld on host a"
for h in "${HOSTS[@]}"; do
    daemon "$h" munged "munge_up $h" munged -F --key-file="$SL/munge.key" \
        --pid-file="$SL/munged-$h.pid" --seed-file="$SL/munged-$h.seed"
done
daemon a slurmctld ctld_up slurmctld -D -f "$SLURM_CONF"
for h in "${HOSTS[@]}"; do
    daemon "$h" slurmd "node_up $h" slurmd -D -f "$SLURM_CONF" -N "${NODE[$h]}"
done

# The jobs' scripts from a copy host a sees: a checkout under /tmp (a CI
# clone, say) is not there, each host having a /tmp of its own.
ROOT=$(cd "$HERE/../.." && pwd) && mkdir -p "$S/checkout/tests" || die "no $S/checkout"
cp -r "$ROOT/tests/cluster" "$ROOT/tests/e2e" "$S/checkout/tests/" && cp -r "$ROOT/examples" \
    "$ROOT/tools" "$S/checkout/" && set -- "${@//"$ROOT"/$S/checkout}" || die "cannot copy $ROOT"
log "running ${1##*/} on host a"
launch "$OUTDIR/console.txt" env "SLURM_CONF=$SLURM_CONF" "CLUSTER_SCRATCH=$S" \
    "DRIVES_SCALE=${DRIVES_SCALE:-1}" "${MCA[@]/#/OMPI_MCA_}" "$@"
rc=$?
cp "$SL"/*.log "$OUTDIR/"
