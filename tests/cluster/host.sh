#!/bin/bash
# host.sh HOSTNAME HOSTDIR WORKDIR HOSTS_FILE COMMAND...: makes the fresh
# namespaces it starts in one host of the cluster, then becomes its sshd
# (COMMAND): ssh sessions land here; the namespaces live as long as the sshd.
set -eu
name=$1 hostdir=$2 workdir=$3 hosts_file=$4
shift 4
# The hostname utility refuses names a desktop user may well have chosen
# (blanks, for one); the system call does not.
python3 -c 'import socket, sys; socket.sethostname(sys.argv[1])' "$name"
# Its own disk at the common path, home (where Open MPI starts a rank whose
# directory is missing), /tmp, /dev/shm, /run (sockets) and /etc/hosts.
mount --bind "$hostdir/work" "$workdir"
mount --bind "$hostdir/home" /root
mount --bind "$hostdir/tmp" /tmp
mount -t tmpfs -o size=256m,mode=1777 shm /dev/shm
mount -t tmpfs -o size=16m,mode=755 run /run && mkdir -m 755 /run/sshd /run/munge
mount --bind "$hosts_file" /etc/hosts
exec "$@"
