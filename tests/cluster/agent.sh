#!/bin/bash
# Remote-shell stand-in for mpirun (plm_rsh_agent): called like ssh, as
#   agent.sh [options] HOST COMMAND...
# it enters HOST's network, UTS and mount namespaces and runs COMMAND there
# through a login-like shell, the way sshd would on a real node.
#
# The host table is written by run_cluster.sh while it builds the cluster;
# every alias of a host (name, short name, address) maps to the pid of the
# process that keeps that host's namespaces alive.
set -u

state=${DRIVES_CLUSTER_STATE:-/var/tmp/drives-cluster}
map=$state/agent.map

# ssh-style options are meaningless here; Open MPI only passes them to agents
# it knows as ssh/rsh, but skip any that arrive so HOST is found either way.
while [ $# -gt 0 ] && [ "${1#-}" != "$1" ]; do
    shift
done
if [ $# -lt 2 ]; then
    echo "agent.sh: usage: agent.sh HOST COMMAND..." >&2
    exit 255
fi
host=$1
shift

pid=
if [ -r "$map" ]; then
    while IFS=$'\t' read -r alias hpid; do
        if [ "$alias" = "$host" ]; then
            pid=$hpid
            break
        fi
    done < "$map"
fi
if [ -z "$pid" ] || [ ! -d "/proc/$pid" ]; then
    # Same wording and status as ssh for an unknown host, so mpirun reports
    # it as a failed launch rather than hanging.
    echo "agent.sh: $host: host not in cluster (map: $map)" >&2
    exit 255
fi

# ssh hands the remote side a fresh environment, not the caller's; keep only
# what a login on the node would have, plus where to find this table again
# (orted may launch further daemons through this agent).
exec nsenter --target "$pid" --net --uts --mount -- \
    env -i \
        PATH="/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin" \
        HOME="${HOME:-/root}" \
        USER="$(id -un)" \
        LOGNAME="$(id -un)" \
        SHELL=/bin/bash \
        LANG="${LANG:-C.UTF-8}" \
        DRIVES_CLUSTER_STATE="$state" \
    /bin/bash -c 'cd "$HOME" 2>/dev/null || cd /; eval "$1"' agent-shell "$*"
