#!/bin/bash
# Keeper of one cluster host. run_cluster.sh starts it already inside the
# host's own network namespace and fresh UTS and mount namespaces; it gives
# the host its identity and its private file system view, reports ready, and
# then only sleeps so the namespaces stay alive for agent.sh to enter. It is
# killed (by pid) on teardown, and with it the host's mounts disappear.
#
#   host.sh HOSTNAME HOSTDIR WORKDIR HOSTS_FILE READY_FILE
set -eu

name=$1 hostdir=$2 workdir=$3 hosts_file=$4 ready=$5

# Mounts made here must never leak back into the machine's own namespace.
mount --make-rprivate /

# The hostname utility refuses names a desktop user may well have chosen
# (blanks, for one); the system call itself does not.
python3 -c 'import socket, sys; socket.sethostname(sys.argv[1])' "$name"

# The host's "local disk": the same path on every host, different contents.
mount --bind "$hostdir/work" "$workdir"

# Open MPI keeps its session directory and rendezvous files in /tmp and
# shared memory segments in /dev/shm; private ones per host so nothing of one
# host's runtime is visible to another's, as on separate machines.
mount --bind "$hostdir/tmp" /tmp
mount -t tmpfs -o size=256m,mode=1777 shm-"$$" /dev/shm

# Name resolution of the cluster, like a shared /etc/hosts on a small LAN.
mount --bind "$hosts_file" /etc/hosts

echo "$$" > "$ready"
exec sleep infinity
