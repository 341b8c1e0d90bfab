#!/bin/bash
# run_cluster.sh OUTDIR [PROGRAM [ARG...] | --drives-run BUILD | --slurm BUILD COMMAND...]:
# three to five hosts on this machine, reached over OpenSSH (docs/development.md), then
# PROGRAM (by default only the probe) under mpirun on them; or BUILD installed
# where all hosts see it and its drives-run on host a, into $WORK/new/dir; or
# Slurm on the hosts (slurm.sh) and COMMAND on host a. Status: the launcher's
# or COMMAND's; 77 after "SKIPPED:"; 1 when the cluster fails. Knobs:
# DRIVES_CLUSTER_HOSTS (3 to 5, default 3), DRIVES_CLUSTER_SLOTS (slots of
# each host but a, default 1), DRIVES_CLUSTER_NAME_A to _E,
# DRIVES_CLUSTER_BINARY (installed as BUILD's drives_mpi: a test-scale one),
# DRIVES_CLUSTER_TIMEOUT (s, default 1800), DRIVES_CLUSTER_FAULT=sshd:H|
# hostkey:H|rodir:H (no sshd key, a wrong known_hosts key, the working path
# read-only on H).
set -u

# The cluster: its hosts, their names and addresses, the run's id and files.
ALL=(a b c d e)
HOSTS=("${ALL[@]:0:${DRIVES_CLUSTER_HOSTS:-3}}")
SLOTS=${DRIVES_CLUSTER_SLOTS:-1}
declare -A NAME=([a]=${DRIVES_CLUSTER_NAME_A:-node-a}
                 [b]=${DRIVES_CLUSTER_NAME_B:-node-b.cluster.lan}
                 [c]=${DRIVES_CLUSTER_NAME_C:-node-c}
                 [d]=${DRIVES_CLUSTER_NAME_D:-node-d}
                 [e]=${DRIVES_CLUSTER_NAME_E:-node-e})
declare -A ADDR=([a]=10.77.0.11 [b]=10.77.0.12 [c]=10.77.0.13 [d]=10.77.0.14 [e]=10.77.0.15) PID=()
# Every name a run creates carries its id: runs can overlap, and a run tells
# what dead runs left (swept away at its start) from what live ones own.
PREFIX=drvc
ID=$PREFIX$$
S=/var/tmp/$ID          # not under /tmp, which each host replaces with its own
WORK=$S/work            # each host mounts its own disk here
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
FAULT=${DRIVES_CLUSTER_FAULT:-}

log() { printf 'cluster: %s\n' "$*" >&2; }
skip() { echo "SKIPPED: $*"; exit 77; }
die() { log "ERROR: $*"; exit 1; }
# wait_until SECONDS COMMAND...: true as soon as COMMAND is, false if never.
wait_until() { local n=$(($1 * 10)); until "${@:2}"; do ((n-- > 0)) || return 1; sleep 0.1; done; }

OUTDIR=${1:?usage: $0 OUTDIR [PROGRAM [ARG...] | --drives-run BUILD | --slurm BUILD COMMAND...]}
MODE=${2:-} PROGRAM='' BUILD=''
if [[ $MODE == --drives-run || $MODE == --slurm ]]; then
    BUILD=${3:-} && [ -d "$BUILD" ] || die "no build directory: $BUILD"
    shift 3
else
    PROGRAM=${2:+$(command -v "$2")}
    [ $# -lt 2 ] || [ -x "$PROGRAM" ] || die "no such program: $2"
    shift $(($# < 2 ? 1 : 2))
fi

# Apart from the harness, every process of a run lives in its namespaces:
# the sshds, their sessions, mpirun, orted and the ranks.
pids_in() { local n; for n in /run/netns/"$1"-*; do [ -e "$n" ] && ip netns pids "${n##*/}"; done; }
none_in() { [ -z "$(pids_in "$1")" ]; }
kill_in() { kill "-$2" $(pids_in "$1") 2>/dev/null; }

teardown() {
    local id=$1 ns
    kill_in "$id" TERM
    wait_until 5 none_in "$id" || { kill_in "$id" KILL; wait_until 5 none_in "$id"; }
    # Interfaces go with their namespaces, the hosts' mounts with their processes.
    for ns in /run/netns/"$id"-*; do [ -e "$ns" ] && ip netns del "${ns##*/}"; done
    rm -rf --one-file-system "/var/tmp/$id"
    # Undo the mount point `ip netns add` makes of /run/netns once it is empty
    # (under the lock taken around each `ip netns add` too).
    flock /run sh -c 'mountpoint -q /run/netns && [ -z "$(ls -A /run/netns)" ] &&
        umount /run/netns && rmdir /run/netns' 2>/dev/null
}

# Any run's leftovers whose harness is gone, whatever their id.
sweep() {
    local path id
    for path in /run/netns/"$PREFIX"* /var/tmp/"$PREFIX"*; do
        id=${path##*/} && id=${id%%-*}
        [[ -e $path && $id =~ ^${PREFIX}[0-9]+$ ]] || continue
        [ "$id" != "$ID" ] && grep -qs run_cluster "/proc/${id#"$PREFIX"}/cmdline" && continue
        log "removing what the dead run $id left behind"
        teardown "$id"
    done
}

# A second Ctrl-C must not cut the teardown short.
on_exit() { local rc=$?; trap '' INT TERM HUP PIPE; log "tearing down $ID"; teardown "$ID"; exit "$rc"; }

[ "$(id -u)" = 0 ] || skip "the cluster needs root (network, UTS and mount namespaces)"
SLURM=(munged mungekey slurmctld slurmd sbatch)
for t in ip unshare nsenter setsid flock python3 mpirun ssh ssh-keygen ${BUILD:+cmake} \
         $([ "$MODE" = --slurm ] && echo "${SLURM[@]}"); do
    command -v "$t" >/dev/null || skip "'$t' is not installed"
done
[ -x /usr/sbin/sshd ] || skip "no /usr/sbin/sshd: apt-get install openssh-server"
err=$(unshare --uts --mount true 2>&1) || skip "cannot create UTS and mount namespaces: $err"

log "run $ID, scratch directory $S"
sweep
trap on_exit EXIT
# SIGPIPE too: a reader that went away (| head) must not skip the teardown.
for sig in INT:130 TERM:143 HUP:129 PIPE:141; do trap "exit ${sig#*:}" "${sig%:*}"; done
mkdir -p "$OUTDIR" && OUTDIR=$(realpath "$OUTDIR") || die "cannot create $OUTDIR"
mkdir -m 700 "$S" && mkdir "$S/bin" "$WORK" || die "cannot create $S"
# Installed as on each node, at one path all hosts see.
[ -z "$BUILD" ] || cmake --install "$BUILD" --prefix "$S/prefix" >"$OUTDIR/install.log" 2>&1 ||
    die "cannot install $BUILD: $(cat "$OUTDIR/install.log")"
# prefix-test: the same with a test-scale drives_mpi in place, where given.
TEST_PREFIX=$S/prefix
if [ -n "${DRIVES_CLUSTER_BINARY:-}" ]; then
    TEST_PREFIX=$S/prefix-test
    cp -a "$S/prefix" "$TEST_PREFIX" && install -m 755 "$DRIVES_CLUSTER_BINARY" \
        "$TEST_PREFIX/bin/drives_mpi" || die "cannot install $DRIVES_CLUSTER_BINARY"
fi

# What a user sets up once for a cluster: a client key authorized on every
# node, and the nodes' host keys in known_hosts, checked strictly.
keygen() { ssh-keygen -q -t ed25519 -N '' -C "$2" -f "$1" || die "ssh-keygen failed"; }
keygen "$S/id" "drives cluster client"
cp "$S/id.pub" "$S/authorized_keys"
printf '%s\n' "Host *" "User root" "IdentityFile $S/id" "IdentitiesOnly yes" \
    "UserKnownHostsFile $S/known_hosts" "GlobalKnownHostsFile /dev/null" \
    "StrictHostKeyChecking yes" "BatchMode yes" > "$S/ssh_config"
echo "127.0.0.1 localhost" > "$S/hosts.txt"

# Network commands fail only for want of privileges or kernel support.
net() { "$@" 2>"$S/net.err" || skip "cannot build the cluster network: '$*': $(cat "$S/net.err")"; }
log "building the switch and hosts ${HOSTS[*]} on 10.77.0.0/24"
net flock /run ip netns add "$ID-sw"
net ip -n "$ID-sw" link add "$ID-br" type bridge
net ip -n "$ID-sw" link set "$ID-br" up
ARGS=()
for h in "${HOSTS[@]}"; do
    ARGS+=("$h" "${NAME[$h]}")
    net flock /run ip netns add "$ID-$h"
    net ip -n "$ID-sw" link add "$ID-$h" type veth peer name "$ID" netns "$ID-$h"
    net ip -n "$ID-sw" link set "$ID-$h" master "$ID-br" up
    net ip -n "$ID-$h" link set lo up
    net ip -n "$ID-$h" addr add "${ADDR[$h]}/24" dev "$ID"
    net ip -n "$ID-$h" link set "$ID" up
    keygen "$S/$h.key" "${NAME[$h]}"
    known=$S/$h.key.pub hostkey=$S/$h.key
    [ "$FAULT" = "hostkey:$h" ] && known=$S/id.pub
    [ "$FAULT" = "sshd:$h" ] && hostkey=$S/missing.key
    echo "${ADDR[$h]} $(cut -d' ' -f1,2 "$known")" >> "$S/known_hosts"
    # Hosts by address (names may hold what no hostfile takes); a offers two
    # slots, which drives-run must leave to the root alone. /etc/hosts,
    # appended to, gets the names it can.
    echo "${ADDR[$h]} slots=$([ "$h" = a ] && echo 2 || echo "$SLOTS")" >> "$S/hostfile"
    [[ ${NAME[$h]} =~ [[:space:]] ]] ||
        echo "${ADDR[$h]} ${NAME[$h]} ${NAME[$h]%%.*}" >> "$S/hosts.txt"
    # sshd listens only on its host's address, unreachable from outside.
    # StrictModes would refuse keys under the world-writable /var/tmp.
    hd=$S/hosts/$h
    mkdir -p "$hd/work" "$hd/home" "$hd/tmp" && chmod 1777 "$hd/tmp"
    setsid ip netns exec "$ID-$h" unshare --uts --mount --propagation slave -- \
        "$HERE/host.sh" "${NAME[$h]}" "$hd" "$WORK" "$S/hosts.txt" \
        /usr/sbin/sshd -D -e -f /dev/null -o "ListenAddress=${ADDR[$h]}" -o "HostKey=$hostkey" \
        -o "AuthorizedKeysFile=$S/authorized_keys" -o StrictModes=no -o PidFile=none \
        -o PasswordAuthentication=no -o KbdInteractiveAuthentication=no \
        </dev/null >"$OUTDIR/sshd-$h.log" 2>&1 &
    PID[$h]=$!
done
up() { grep -q "Server listening" "$OUTDIR/sshd-$1.log" && kill -0 "${PID[$1]}" 2>/dev/null; }
for h in "${HOSTS[@]}"; do
    wait_until 10 eval "up $h || ! kill -0 ${PID[$h]} 2>/dev/null"
    up "$h" || die "sshd on host $h (${ADDR[$h]}) did not start: $(cat "$OUTDIR/sshd-$h.log")"
done

# Open MPI's parameters for this cluster: TCP over its interface only (no
# shared memory, as between real nodes). No binding: the hosts share the
# cores, and each one's rank bound to its first core would pile all onto one.
# No tree spawn: a starts b and c.
MCA=("plm_rsh_args=-F $S/ssh_config" plm_rsh_no_tree_spawn=1 pml=ob1 btl=tcp,self
     "btl_tcp_if_include=$ID" "oob_tcp_if_include=$ID" orte_keep_fqdn_hostnames=1
     hwloc_base_binding_policy=none)
MPI_OPTS=()
for kv in "${MCA[@]}"; do MPI_OPTS+=(--mca "${kv%%=*}" "${kv#*=}"); done
MPIRUN=(mpirun --allow-run-as-root -np ${#HOSTS[@]} --hostfile "$S/hostfile" --map-by node
        "${MPI_OPTS[@]}")
TIMEOUT=${DRIVES_CLUSTER_TIMEOUT:-1800}

# launch [-on HOST] FILE COMMAND...: COMMAND in the working directory of
# HOST (default a), logged into like a node; setsid: a Ctrl-C is this
# script's to handle.
launch() {
    local h=a && [ "$1" = -on ] && h=$2 && shift 2
    setsid ip netns exec "$ID-$h" ssh -F "$S/ssh_config" "${ADDR[$h]}" \
        "cd $(printf %q "$WORK") && exec $(printf '%q ' "${@:2}")" </dev/null >"$1" 2>&1 &
    wait $!
}

# The probe: each rank says where it runs, tab separated (a processor name
# may hold blanks); the launcher's own variables give rank, ranks and ranks
# on the node.
PROBE='printf "probe\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n" "$OMPI_COMM_WORLD_RANK" \
    "$OMPI_COMM_WORLD_SIZE" "$(uname -n)" "$(readlink /proc/self/ns/net)" \
    "$(readlink /proc/self/ns/uts)" "$(readlink /proc/self/ns/mnt)" \
    "$OMPI_COMM_WORLD_LOCAL_SIZE" "$PWD"'
log "probe: one rank per host"
launch "$OUTDIR/probe.txt" "${MPIRUN[@]}" --timeout 120 sh -c "$PROBE" ||
    { rc=$?; cat "$OUTDIR/probe.txt" >&2; die "the probe failed (status $rc)"; }

# One rank on each host in every respect the tests rely on, none in the
# machine's namespaces, started through the hosts' sshds: host a's log shows
# the harness's login, the others' those of mpirun on host a.
python3 - "$OUTDIR" "$WORK" "${ADDR[a]}" "${ARGS[@]}" <<'EOF' || die "probe check failed"
import os, sys
outdir, work, first, *rest = sys.argv[1:]
hosts, want = rest[::2], rest[1::2]
machine = {os.readlink("/proc/self/ns/" + kind) for kind in ("net", "uts", "mnt")}
rows = sorted((line.rstrip("\n").split("\t") for line in open(outdir + "/probe.txt", errors="replace")
               if line.startswith("probe\t")), key=lambda row: int(row[1]))
bad = [] if [r[1] for r in rows] == [str(i) for i in range(len(hosts))] else ["wrong ranks"]
for r, (_, _, n, name, net, uts, mnt, local, cwd) in enumerate(rows[:len(hosts)]):
    print(f"cluster: rank {r} on {name!r} {net} {uts} {mnt} cwd={cwd}", file=sys.stderr)
    bad += [f"rank {r} {what}" for fault, what in (
        (n != str(len(hosts)), f"sees {n} ranks"), ({net, uts, mnt} & machine, "is not on a host"),
        (local != "1", f"has {local} on its node"), (cwd != work, f"works in {cwd}"),
        (name != want[r], f"is named {name!r}, not {want[r]!r}")) if fault]
bad += [f"ranks share {what}" for col, what in ((3, "a name"), (4, "a network"), (5, "a UTS"),
        (6, "a mount namespace")) if len({row[col] for row in rows}) != len(rows)]
bad += [f"the sshd log of host {h} shows no key login from host a" for h in hosts
        if f"Accepted publickey for root from {first} " not in open(f"{outdir}/sshd-{h}.log").read()]
print("".join(f"cluster: probe: {line}\n" for line in bad), end="", file=sys.stderr)
with open(outdir + "/names.txt", "w") as out:
    out.writelines(f"{h}\t{row[3]}\n" for h, row in zip(hosts, rows))
sys.exit(1 if bad else 0)
EOF

rc=0 from=()
if [ "$MODE" = --slurm ]; then
    . "$HERE/slurm.sh"  # sets rc
elif [ -n "$PROGRAM$BUILD" ]; then
    if [ "$MODE" = --drives-run ]; then
        # From host b, the second node: the root must still run on a, alone.
        from=(-on b)
        [[ $FAULT != rodir:* ]] || nsenter -t "${PID[${FAULT#*:}]}" -m mount -o remount,ro,bind \
            "$WORK" || die "cannot make $WORK read-only on host ${FAULT#*:}"
        set -- "$TEST_PREFIX/bin/drives-run" --hostfile "$S/hostfile" --dir "$WORK/new/dir" \
            -- --timeout "$TIMEOUT" "${MPI_OPTS[@]}"
    else
        # Installed as on each node: the original may lie under a /tmp hosts do not see.
        cp "$PROGRAM" "$S/bin/" || die "cannot copy $PROGRAM"
        set -- "${MPIRUN[@]}" --timeout "$TIMEOUT" "$S/bin/${PROGRAM##*/}" "$@"
    fi
    name=${1##*/}
    log "running ${PROGRAM##*/}${BUILD:+drives_mpi} on ${#HOSTS[@]} hosts through $name"
    launch "${from[@]}" "$OUTDIR/console.txt" "$@"
    rc=$?
    log "$name finished with status $rc (run time ${SECONDS}s)"
    # Whatever the launcher started ends with it: ranks, orteds, sessions.
    others() { pids_in "$ID" | grep -vxF "$(printf '%s\n' "${PID[@]}")" | xargs -r ps -o pid=,args=; }
    wait_until 30 eval '[ -z "$(others)" ]' || log "left running after $name: $(others)"
fi
for h in "${HOSTS[@]}"; do
    rm -rf "$OUTDIR/host-$h" && mkdir "$OUTDIR/host-$h" &&
        cp -a "$S/hosts/$h/"{work,home} "$OUTDIR/host-$h/"
done
exit "$rc"
