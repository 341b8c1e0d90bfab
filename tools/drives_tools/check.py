"""The check every node passes before any rank starts: the binary there,
the working directory writable, room for the run's files, the directory
made where missing; and what the node is (its system, processor, memory, disk), for
the run's record. One process per node, started through the launcher, as
the ranks will be; a run on this machine alone goes the same way.
"""

import re

from . import process
from .statuses import ExitStatus, Failure

CHECK_SECONDS = 120  # default limit for every node's answer
MARKER = "drives-run-check"
# What a rank leaves in its working directory: its one-byte file and its
# block copy, 16 MiB each (a second pass never reaches past the first).
RANK_KIB = 2 * 16384
# The root's result file, and room for the file system's own blocks.
MARGIN_KIB = 1024

# Run by sh on each node with: index, directory, binary, KiB needed, and
# the ranks it runs. Prints one line, written at once so that no other
# node's output cuts into it: the marker, the index, "ok" or what is wrong,
# then the node's facts as key=value, tab-separated.
SCRIPT = r'''index=$1 dir=$2 bin=$3 need=$4; shift 4
tab=$(printf '\t') facts=
fact() { facts="$facts$tab$1=$(printf '%s' "$2" | tr '\t\n' '  ')"; }
at=$dir
while [ ! -e "$at" ]; do at=$(dirname -- "$at"); done
free=$(df -Pk -- "$at" 2>/dev/null | awk 'NR == 2 { print $4 }')
reuse=0
for rank in "$@"; do
  if [ "$rank" = 0 ]; then set -- "$dir/data64-macos-mx-single" "$dir/data64-macos-mx-single.tmp"
  else set -- "$dir/data64-macos-mx-$rank @"*; fi
  for file in "$@"; do
    [ -f "$file" ] && reuse=$((reuse + $(wc -c < "$file") / 1024))
  done
done
if [ ! -f "$bin" ] || [ ! -x "$bin" ]; then said="$bin is missing or not executable"
elif [ -e "$dir" ] && [ ! -d "$dir" ]; then said="the working directory $dir is a file"
elif [ ! -w "$at" ] && [ "$at" = "$dir" ]; then said="cannot write in the working directory $dir"
elif [ ! -w "$at" ] && ! err=$(mkdir -p -- "$dir" 2>&1); then
  said="cannot create the working directory $dir: ${err##*: }"
elif [ -n "$free" ] && [ $((free + reuse)) -lt "$need" ]; then
  said="not enough room in $dir: the run needs $((need / 1024)) MiB there,"
  said="$said $((free / 1024)) MiB is free"
elif ! err=$(mkdir -p -- "$dir" 2>&1); then
  said="cannot create the working directory $dir: ${err##*: }"
elif [ ! -w "$dir" ]; then said="cannot write in the working directory $dir"
else said=ok; fi
system=$(uname -s)
fact host "$(uname -n)"
fact kernel "$system $(uname -r)"
fact machine "$(uname -m)"
fact free_kib "$free"
if [ "$system" = Darwin ]; then
  fact os "$(sw_vers -productName 2>/dev/null) $(sw_vers -productVersion 2>/dev/null)"
  fact cpu "$(sysctl -n machdep.cpu.brand_string 2>/dev/null)"
  fact cores "$(sysctl -n hw.ncpu 2>/dev/null)"
  fact memory_bytes "$(sysctl -n hw.memsize 2>/dev/null)"
  fact load "$(sysctl -n vm.loadavg 2>/dev/null | tr -d '{}')"
  device=$(df -P -- "$at" 2>/dev/null | awk 'NR == 2 { print $1 }')
  info=$(diskutil info "$device" 2>/dev/null)
  fact fs_type "$(printf '%s\n' "$info" | sed -n 's/^ *Type (Bundle): *//p')"
  fact device "$device"
  fact device_model "$(printf '%s\n' "$info" | sed -n 's/^ *Device \/ Media Name: *//p')"
else
  fact os "$( (. /etc/os-release && printf '%s' "$PRETTY_NAME") 2>/dev/null)"
  fact cpu "$(sed -n 's/^model name[^:]*: *//p' /proc/cpuinfo 2>/dev/null | head -n 1)"
  fact cores "$(getconf _NPROCESSORS_ONLN 2>/dev/null)"
  fact memory_kib "$(awk '/^MemTotal:/ { print $2 }' /proc/meminfo 2>/dev/null)"
  fact load "$(cut -d ' ' -f 1-3 /proc/loadavg 2>/dev/null)"
  set -- $(findmnt -nr -o FSTYPE,SOURCE -T "$at" 2>/dev/null | head -n 1)
  fact fs_type "${1:-$(stat -f -c %T -- "$at" 2>/dev/null)}"
  device=${2:-$(df -P -- "$at" 2>/dev/null | awk 'NR == 2 { print $1 }')}
  fact device "$device"
  disk=$(lsblk -nro PKNAME -- "$device" 2>/dev/null | head -n 1)
  fact device_model "$(lsblk -ndro MODEL -- "/dev/${disk:-${device#/dev/}}" 2>/dev/null)"
fi
printf '%s\t%s\t%s%s\n' drives-run-check "$index" "$said" "$facts"'''
ANSWER = re.compile(MARKER + r"\t(\d+)\t([^\t\n]*)((?:\t[^\t\n]*)*)")


def need_kib(ranks):
    return RANK_KIB * len(ranks) + MARGIN_KIB


def contexts(opts, placed, ranks):
    """One check process per node, with its index, its ranks and the room
    they need; the same sh on this machine where there are no nodes."""
    found = []
    for index, host in enumerate(placed):
        args = [
            "sh",
            "-c",
            SCRIPT,
            MARKER,
            str(index),
            opts.dir,
            opts.binary,
            str(need_kib(ranks[index])),
        ] + [str(rank) for rank in ranks[index]]
        found.append((host, 1, args))
    return found


def answers(text):
    """{index: (said, facts)} from the launcher's output, wherever on a line
    the marker stands (a launcher may tag or time-stamp every line)."""
    found = {}
    for line in text.splitlines():
        match = ANSWER.search(line)
        if match:
            facts = dict(item.partition("=")[::2] for item in match[3].split("\t")[1:])
            found[int(match[1])] = (match[2], facts)
    return found


def last_words(stderr):
    """The launcher's line that says the most: one naming an error, else its last."""
    lines = [line.strip() for line in stderr.splitlines() if line.strip().strip("-")]
    errors = [
        line
        for line in lines
        if re.search(
            r"error|refused|denied|resolve|failed|" r"verification|unreachable|unknown", line, re.I
        )
    ]
    return (errors or lines or ["it said nothing"])[0]


def check(opts, args, env, signals, hints=()):
    """Runs the check (`args`, its launcher's command) on every node;
    {index: facts} of the nodes, or a Failure (status 4) naming each node
    that failed or did not answer. On a hint's system, the hints follow
    a node that did not answer."""
    status, out, err = process.collect(args, env, signals, opts.check_timeout)
    said = answers(out)
    placed = [host for host, _ in opts.placed]
    name = [host or "" for host in placed]
    told = [
        f"{name[index]}{': ' if name[index] else ''}{said[index][0]}"
        for index in sorted(said)
        if said[index][0] != "ok"
    ]
    silent = [name[index] or "this machine" for index in range(len(placed)) if index not in said]
    if silent and status is None:
        told.append(
            f"{', '.join(silent)}: no answer within {opts.check_timeout:g} s " f"(--check-timeout)"
        )
    elif silent:
        told.append(
            f"{', '.join(silent)}: not reached through {args[0]} (status {status}): "
            f"{last_words(err)}"
        )
    if told:
        raise Failure("\n".join(told + [hint for hint in hints if silent]), ExitStatus.NODE_FAILED)
    return {index: facts for index, (_, facts) in said.items()}
