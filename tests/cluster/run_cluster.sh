#!/bin/bash
# Runs an MPI program with three ranks on a three-host cluster built on this
# one machine, the ranks talking over TCP as on a small LAN of desktops.
#
#   run_cluster.sh BINARY OUTDIR      run BINARY on the cluster
#   run_cluster.sh --probe OUTDIR     only build the cluster and run the probe
#
# Each host is a network namespace of its own, cabled by a veth pair to a
# bridge that lives in a further namespace (the switch), so nothing is added
# to the machine's own network. Each host also has its own UTS namespace
# (its own host name, hence its own MPI processor name) and mount namespace.
# mpirun starts on the first host and reaches the others through agent.sh,
# which stands in for ssh.
#
# Working directory: every host has a working directory of its OWN, mounted
# at the same path on all three (like a local disk at the same place on each
# real node). The benchmark measures the local file system of each machine,
# and a worker's files are meant to show up on the worker's machine, not on
# the root's; a shared directory (NFS style) would hide a file written on the
# wrong host and would make three "machines" fight over one directory. The
# per-host contents are copied to OUTDIR/host-a, host-b and host-c.
#
# Names: mpirun is given the hosts by address (hostfile), and agent.sh knows
# each host by address, name and short name, so launching needs no resolver
# and a host may bear a name no hostfile accepts (blanks, quotes). Each host
# still gets an /etc/hosts of its own listing the others, as on a small LAN,
# for anything that looks a peer up by name.
#
# Standard input of mpirun is /dev/null: the program's final wait for Enter
# then ends at once.
#
# Output in OUTDIR:
#   console.txt   combined console of mpirun (stdout and stderr) for BINARY
#   names.txt     the three processor names, one per line, in rank order
#   probe.txt     the probe's report (rank, name, namespaces, ...)
#   host-a/ host-b/ host-c/   copies of each host's working directory
#
# Exit status: that of mpirun running BINARY; 77 when this machine cannot
# build the cluster (no root, no namespaces, no Open MPI), so that CTest
# counts the test as skipped; 1 when the cluster or the probe misbehaves.
#
# Everything is torn down on exit, also on failure or interruption; a run
# after a crash first removes what the crashed run left behind.
#
# Knobs (environment): DRIVES_CLUSTER_NAME_A/_B/_C host names,
# DRIVES_CLUSTER_TIMEOUT seconds for BINARY (default 1800),
# DRIVES_CLUSTER_STATE scratch directory (default /var/tmp/drives-cluster,
# must not lie under /tmp, which every host replaces with its own).

set -u

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
STATE=${DRIVES_CLUSTER_STATE:-/var/tmp/drives-cluster}
export DRIVES_CLUSTER_STATE=$STATE

# Namespace and link names carry one fixed prefix so that leftovers of a
# crashed run can be found again without guessing.
NSP=drvc
SWITCH_NS=$NSP-sw
IFACE=${NSP}0
SUBNET=10.77.0
HOSTS=(a b c)
declare -A NAME=(
    [a]=${DRIVES_CLUSTER_NAME_A:-node-a}
    [b]=${DRIVES_CLUSTER_NAME_B:-node-b.cluster.lan}
    [c]=${DRIVES_CLUSTER_NAME_C:-node-c}
)
declare -A ADDR=([a]=$SUBNET.11 [b]=$SUBNET.12 [c]=$SUBNET.13)
declare -A KEEPER=()
TIMEOUT=${DRIVES_CLUSTER_TIMEOUT:-1800}
WORK=$STATE/work

launcher_pid=
torn_down=0

log() { printf 'cluster: %s\n' "$*" >&2; }
skip() { log "SKIP: $*"; exit 77; }
die() { log "ERROR: $*"; exit 1; }

usage() {
    echo "usage: $0 BINARY|--probe OUTDIR" >&2
    exit 2
}

[ $# -eq 2 ] || usage
BINARY=$1
OUTDIR=$2

case $STATE in
    /tmp|/tmp/*|/|"") die "DRIVES_CLUSTER_STATE=$STATE is not usable (absolute, not / and not under /tmp)";;
    /*) ;;
    *) die "DRIVES_CLUSTER_STATE must be an absolute path";;
esac

if [ "$BINARY" != "--probe" ]; then
    [ -f "$BINARY" ] && [ -x "$BINARY" ] || die "not an executable file: $BINARY"
    BINARY=$(realpath "$BINARY")
fi

# ---------------------------------------------------------------- teardown

# Every process that lives in one of the cluster's network namespaces is
# ours: the host keepers, mpirun, the orted daemons and the ranks.
kill_cluster_procs() {
    local sig=$1 ns pids
    for ns in "$NSP-a" "$NSP-b" "$NSP-c" "$SWITCH_NS"; do
        [ -e "/run/netns/$ns" ] || continue
        pids=$(ip netns pids "$ns" 2>/dev/null)
        [ -n "$pids" ] && kill "-$sig" $pids 2>/dev/null
    done
}

cluster_procs_left() {
    local ns
    for ns in "$NSP-a" "$NSP-b" "$NSP-c" "$SWITCH_NS"; do
        [ -e "/run/netns/$ns" ] || continue
        [ -n "$(ip netns pids "$ns" 2>/dev/null)" ] && return 0
    done
    return 1
}

# True when every process other than this one that has this script open
# lives inside the cluster's namespaces: then no harness is running, only
# what a killed one left behind.
lock_held_only_by_cluster() {
    local self script fd p net cluster_nets="" ns found=1
    script=$(realpath "${BASH_SOURCE[0]}")
    for ns in "$NSP-a" "$NSP-b" "$NSP-c" "$SWITCH_NS"; do
        [ -e "/run/netns/$ns" ] || continue
        cluster_nets+=" $(stat -L -c %i "/run/netns/$ns")"
    done
    [ -n "$cluster_nets" ] || return 1
    for fd in /proc/[0-9]*/fd/*; do
        [ "$(readlink "$fd" 2>/dev/null)" = "$script" ] || continue
        p=${fd#/proc/}
        p=${p%%/*}
        [ "$p" = "$$" ] && continue
        net=$(stat -L -c %i "/proc/$p/ns/net" 2>/dev/null) || continue
        case " $cluster_nets " in
            *" $net "*) found=0;;
            *) return 1;;
        esac
    done
    return $found
}

teardown() {
    local i ns
    set +e
    if [ -n "$launcher_pid" ] && kill -0 "$launcher_pid" 2>/dev/null; then
        kill -TERM -- "-$launcher_pid" 2>/dev/null || kill -TERM "$launcher_pid" 2>/dev/null
    fi
    kill_cluster_procs TERM
    for i in $(seq 50); do
        cluster_procs_left || break
        sleep 0.1
    done
    kill_cluster_procs KILL
    for i in $(seq 50); do
        cluster_procs_left || break
        sleep 0.1
    done
    [ -n "$launcher_pid" ] && wait "$launcher_pid" 2>/dev/null
    launcher_pid=

    # Deleting a namespace takes its veth ends (and the bridge) with it.
    for ns in "$NSP-a" "$NSP-b" "$NSP-c" "$SWITCH_NS"; do
        [ -e "/run/netns/$ns" ] && ip netns del "$ns"
    done

    # `ip netns add` turns /run/netns into a mount point the first time it is
    # used; undo that only if this harness was the one that did it and no
    # other namespace has been registered there since.
    if [ -f "$STATE/created-run-netns" ] && mountpoint -q /run/netns &&
        [ -z "$(ls -A /run/netns 2>/dev/null)" ]; then
        umount /run/netns && rmdir /run/netns 2>/dev/null
    fi
    # The host mounts live only in the hosts' own mount namespaces, which are
    # gone with their processes; the directory tree is all that is left.
    rm -rf --one-file-system "$STATE"
}

on_exit() {
    local rc=$?
    trap - EXIT INT TERM HUP
    trap '' PIPE
    if [ "$torn_down" = 0 ]; then
        torn_down=1
        log "tearing down"
        teardown
    fi
    exit "$rc"
}

# ------------------------------------------------------------ preconditions

for tool in ip unshare nsenter setsid mountpoint python3 mpirun mpicc realpath flock; do
    command -v "$tool" >/dev/null 2>&1 || skip "'$tool' is not installed"
done
[ "$(id -u)" = 0 ] || skip "building network namespaces needs root (CAP_NET_ADMIN, CAP_SYS_ADMIN)"

# One cluster at a time: the names are fixed. The lock is held on this
# script itself, so no lock file is left lying around; long-lived children
# must not inherit it (9<&-), or a crash would leave it held by orphans.
exec 9<"${BASH_SOURCE[0]}"
waited=0
until flock -n 9; do
    if lock_held_only_by_cluster; then
        # A run that was killed outright: its orphans still hold the lock
        # but nothing drives them any more.
        log "the lock is held by orphans of a crashed run; ending them"
        kill_cluster_procs KILL
        sleep 1
        continue
    fi
    [ "$waited" = 0 ] && log "waiting for another cluster run to finish"
    [ "$waited" -ge 900 ] && die "another cluster run is still going on"
    sleep 2
    waited=$((waited + 2))
done

trap on_exit EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
# A reader that went away (`| head`) must not kill us before the teardown.
trap 'exit 141' PIPE

# Leftovers of a crashed run (same names, same state directory).
if [ -e "$STATE" ] || ls /run/netns/"$NSP"-* >/dev/null 2>&1; then
    log "removing leftovers of an earlier run"
    teardown
fi

mkdir -p "$OUTDIR" || die "cannot create $OUTDIR"
OUTDIR=$(realpath "$OUTDIR")
mkdir -p "$STATE/bin" "$WORK" || die "cannot create $STATE"
# mpirun calls the agent from inside host a, whose /tmp is its own: a
# checkout under /tmp would not be found there.
cp "$HERE/agent.sh" "$STATE/bin/agent.sh" || die "cannot copy agent.sh"

unshare --uts --mount true 2>/dev/null || skip "cannot create UTS/mount namespaces here (unshare --uts --mount failed)"

if ! mountpoint -q /run/netns 2>/dev/null; then
    : > "$STATE/created-run-netns"
fi
ip netns add "$SWITCH_NS" 2>"$STATE/netns.err" ||
    skip "cannot create network namespaces: $(cat "$STATE/netns.err")"

# ----------------------------------------------------------------- network

log "building the switch and three hosts on $SUBNET.0/24"
# These fail only for want of privileges or kernel support (bridge, veth),
# i.e. on machines where the cluster cannot exist at all.
net() {
    "$@" 2>"$STATE/net.err" || skip "cannot build the cluster network: '$*': $(cat "$STATE/net.err")"
}
net ip -n "$SWITCH_NS" link set lo up
net ip -n "$SWITCH_NS" link add br0 type bridge
net ip -n "$SWITCH_NS" link set br0 up
for h in "${HOSTS[@]}"; do
    net ip netns add "$NSP-$h"
    net ip -n "$SWITCH_NS" link add "port-$h" type veth peer name "$IFACE" netns "$NSP-$h"
    net ip -n "$SWITCH_NS" link set "port-$h" master br0 up
    net ip -n "$NSP-$h" link set lo up
    net ip -n "$NSP-$h" addr add "${ADDR[$h]}/24" dev "$IFACE"
    net ip -n "$NSP-$h" link set "$IFACE" up
done

# Names a hosts file can carry (no blanks); hosts whose names have blanks are
# still reachable: the hostfile below names hosts by address.
{
    echo "127.0.0.1	localhost"
    echo "::1	localhost ip6-localhost ip6-loopback"
    for h in "${HOSTS[@]}"; do
        n=${NAME[$h]}
        case $n in *[[:space:]]*) continue;; esac
        if [ "${n%%.*}" != "$n" ]; then
            echo "${ADDR[$h]}	$n ${n%%.*}"
        else
            echo "${ADDR[$h]}	$n"
        fi
    done
} > "$STATE/hosts.txt"

# ------------------------------------------------------------------- hosts

for h in "${HOSTS[@]}"; do
    hd=$STATE/hosts/$h
    mkdir -p "$hd/work" "$hd/tmp"
    chmod 1777 "$hd/tmp"
    setsid ip netns exec "$NSP-$h" \
        unshare --uts --mount --propagation private -- \
        "$HERE/host.sh" "${NAME[$h]}" "$hd" "$WORK" "$STATE/hosts.txt" "$hd/ready" \
        </dev/null >"$hd/keeper.log" 2>&1 9<&- &
done
for h in "${HOSTS[@]}"; do
    hd=$STATE/hosts/$h
    for i in $(seq 100); do
        [ -s "$hd/ready" ] && break
        sleep 0.1
    done
    [ -s "$hd/ready" ] || die "host $h did not come up: $(cat "$hd/keeper.log")"
    KEEPER[$h]=$(cat "$hd/ready")
done

# Table for agent.sh: every way mpirun may spell a host -> its keeper.
{
    for h in "${HOSTS[@]}"; do
        n=${NAME[$h]}
        printf '%s\t%s\n' "${ADDR[$h]}" "${KEEPER[$h]}" "$n" "${KEEPER[$h]}"
        [ "${n%%.*}" != "$n" ] && printf '%s\t%s\n' "${n%%.*}" "${KEEPER[$h]}"
    done
} > "$STATE/agent.map"

# Hosts by address: a processor name is whatever the machine's owner chose,
# and may hold characters no hostfile accepts. One slot per host, so ranks
# 0, 1, 2 land on hosts a, b, c.
for h in "${HOSTS[@]}"; do
    echo "${ADDR[$h]} slots=1"
done > "$STATE/hostfile"

# ------------------------------------------------------------------ launch

# TCP between hosts only (no shared-memory transport, which would be a
# shortcut no real cluster has), over the cluster interface only. Binding is
# off: each "host" sees the same cores, and Open MPI binding every host's
# single rank to the first core would pile all ranks onto one.
MPIRUN_OPTS=(
    --allow-run-as-root
    -np 3
    --hostfile "$STATE/hostfile"
    --map-by node
    --bind-to none
    --wdir "$WORK"
    --mca plm_rsh_agent "$STATE/bin/agent.sh"
    --mca plm_rsh_no_tree_spawn 1
    --mca pml ob1
    --mca btl tcp,self
    --mca btl_tcp_if_include "$IFACE"
    --mca oob_tcp_if_include "$IFACE"
    --mca orte_keep_fqdn_hostnames 1
)

# Runs mpirun on host a with PROGRAM, console to FILE; leaves its status in
# $launch_rc. mpirun gets a session of its own so a terminal's Ctrl-C reaches
# only this script, which then tears down the whole job.
launch() {
    local file=$1 timeout=$2
    shift 2
    setsid nsenter --target "${KEEPER[a]}" --net --uts --mount -- \
        /bin/bash -c 'cd "$1" || exit 1; shift; exec "$@"' launch "$WORK" \
        mpirun "${MPIRUN_OPTS[@]}" --timeout "$timeout" "$@" \
        </dev/null >"$file" 2>&1 9<&- &
    launcher_pid=$!
    wait "$launcher_pid"
    launch_rc=$?
    launcher_pid=
}

# ------------------------------------------------------------------- probe

log "building the probe"
mpicc -O1 -o "$STATE/bin/probe" "$HERE/probe.c" 2>"$STATE/mpicc.err" ||
    die "mpicc failed: $(cat "$STATE/mpicc.err")"

log "probe: one rank per host"
launch "$OUTDIR/probe.txt" 120 "$STATE/bin/probe"
if [ "$launch_rc" != 0 ]; then
    cat "$OUTDIR/probe.txt" >&2
    die "the probe failed (mpirun status $launch_rc)"
fi

# Check that three ranks run on three different hosts in every respect we
# rely on, and none in the machine's own namespaces.
python3 - "$OUTDIR/probe.txt" "$OUTDIR/names.txt" "$(readlink /proc/self/ns/net)" \
    "$(readlink /proc/self/ns/uts)" "$WORK" "${NAME[a]}" "${NAME[b]}" "${NAME[c]}" <<'EOF' || die "probe check failed (see $OUTDIR/probe.txt)"
import sys
probe, names_out, my_net, my_uts, work = sys.argv[1:6]
want = sys.argv[6:9]
rows = {}
for line in open(probe, encoding="utf-8", errors="replace"):
    f = line.rstrip("\n").split("\t")
    if len(f) == 10 and f[0] == "probe":
        rows[int(f[1])] = f
ok = True
def bad(msg):
    global ok
    ok = False
    print("cluster: probe: " + msg, file=sys.stderr)
if sorted(rows) != [0, 1, 2]:
    bad("expected ranks 0, 1, 2, got %s" % sorted(rows))
else:
    for r in range(3):
        _, _, n, name, net, uts, mnt, prov, lsize, cwd = rows[r]
        print("cluster: rank %d on %r net=%s uts=%s local_size=%s cwd=%s"
              % (r, name, net, uts, lsize, cwd), file=sys.stderr)
        if n != "3": bad("rank %d sees %s ranks" % (r, n))
        if net == my_net: bad("rank %d runs in the machine's own network namespace" % r)
        if uts == my_uts: bad("rank %d runs in the machine's own UTS namespace" % r)
        if prov != "3": bad("rank %d was granted thread level %s, not 3" % (r, prov))
        if lsize != "1": bad("rank %d shares its node with %s ranks" % (r, lsize))
        if cwd != work: bad("rank %d works in %s, not %s" % (r, cwd, work))
        if name != want[r]: bad("rank %d is named %r, expected %r" % (r, name, want[r]))
    for col, what in ((3, "processor names"), (4, "network namespaces"),
                      (5, "UTS namespaces"), (6, "mount namespaces")):
        if len({rows[r][col] for r in range(3)}) != 3:
            bad("the ranks do not have three different " + what)
with open(names_out, "w", encoding="utf-8") as out:
    for r in sorted(rows):
        out.write(rows[r][3] + "\n")
sys.exit(0 if ok else 1)
EOF

if [ "$BINARY" = "--probe" ]; then
    cp "$OUTDIR/probe.txt" "$OUTDIR/console.txt"
    rc=0
else
    # The program gets the hosts' disks as they would be on a fresh cluster.
    for h in "${HOSTS[@]}"; do
        find "$STATE/hosts/$h/work" -mindepth 1 -delete
    done
    # Installed on the cluster like on every node of a real one: the original
    # path may lie under a /tmp that the hosts do not see.
    cp "$BINARY" "$STATE/bin/" || die "cannot copy $BINARY"
    prog=$STATE/bin/$(basename "$BINARY")
    log "running $(basename "$BINARY") with 3 ranks (timeout ${TIMEOUT}s)"
    start=$(date +%s)
    launch "$OUTDIR/console.txt" "$TIMEOUT" "$prog"
    rc=$launch_rc
    log "mpirun finished with status $rc after $(( $(date +%s) - start ))s"
fi

for h in "${HOSTS[@]}"; do
    rm -rf "$OUTDIR/host-$h"
    mkdir -p "$OUTDIR/host-$h"
    cp -a "$STATE/hosts/$h/work/." "$OUTDIR/host-$h/"
done
log "results in $OUTDIR"
exit "$rc"
