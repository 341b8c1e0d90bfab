"""The check every node passes before any rank starts: the binary there,
the working directory writable, room for the run's files, the directory
made where missing; and what the node is (its system, processor, memory, disk), for
the run's record. One process per node, started through the launcher, as
the ranks will be; a run on this machine alone goes the same way.
"""

import re
from typing import Callable, Dict, List, Optional, Tuple

from . import process
from .statuses import ExitStatus, Failure

CHECK_SECONDS = 120  # default limit for every node's answer
MARKER = "drives-run-check"
# The check's script reaches every node once, in this variable of the
# launcher's environment, not once per node on its command line.
VARIABLE = "DRIVES_RUN_CHECK"
# What a rank leaves in its working directory: its one-byte file and its
# block copy, 16 MiB each in a release build (a second pass never reaches
# past the first), divided like every size in a test build.
RANK_KIB = 2 * 16384
# The root's result file, and room for the file system's own blocks.
MARGIN_KIB = 1024
# The files a rank holds at once (its two, the cycled one), and the root's
# result file and record with room to spare.
RANK_INODES = 3
MARGIN_INODES = 8

SCRIPT = r'''index=$1 dir=$2 bin=$3 need=$4 inodes=$5; shift 5
tab=$(printf '\t') facts=
fact() { facts="$facts$tab$1=$(printf '%s' "$2" | tr '\t\n' '  ')"; }
at=$dir
while [ ! -e "$at" ]; do at=$(dirname -- "$at"); done
free=$(df -Pk -- "$at" 2>/dev/null | awk 'NR == 2 { print $4 }')
ifree=$(df -Pi -- "$at" 2>/dev/null | awk 'NR == 2 && $4 ~ /^[0-9]+$/ && $2 > 0 { print $4 }')
reuse=0
for rank in "$@"; do
  if [ "$rank" = 0 ]; then set -- "$dir/data64-macos-mx-single" "$dir/data64-macos-mx-single.tmp"
  else set -- "$dir/data64-macos-mx-$rank @"*; fi
  for file in "$@"; do
    # A file another run removes meanwhile counts as none.
    [ -f "$file" ] && size=$(wc -c 2>/dev/null < "$file") && reuse=$((reuse + size / 1024))
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
elif [ -n "$ifree" ] && [ "$ifree" -lt "$inodes" ]; then
  said="not enough free inodes in $dir: the run needs $inodes files there, $ifree can be made"
elif ! err=$(mkdir -p -- "$dir" 2>&1); then
  said="cannot create the working directory $dir: ${err##*: }"
elif [ ! -w "$dir" ]; then said="cannot write in the working directory $dir"
else said=ok; fi
system=$(uname -s)
fact host "$(uname -n)"
fact kernel "$system $(uname -r)"
fact machine "$(uname -m)"
fact free_kib "$free"
fact free_inodes "$ifree"
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
  fact mount_options "$(findmnt -nr -o OPTIONS -T "$at" 2>/dev/null | head -n 1)"
  disk=$(lsblk -nro PKNAME -- "$device" 2>/dev/null | head -n 1)
  disk=${disk:-${device#/dev/}}
  fact device_model "$(lsblk -ndro MODEL -- "/dev/$disk" 2>/dev/null)"
  queue=/sys/block/$disk/queue
  [ -n "$disk" ] && [ -r "$queue/rotational" ] && fact rotational "$(cat "$queue/rotational")"
  [ -n "$disk" ] && [ -r "$queue/scheduler" ] &&
    fact io_scheduler "$(sed -n 's/.*\[\(.*\)\].*/\1/p' "$queue/scheduler")"
  fact dirty_ratio "$(cat /proc/sys/vm/dirty_ratio 2>/dev/null)"
  fact dirty_background_ratio "$(cat /proc/sys/vm/dirty_background_ratio 2>/dev/null)"
  fact transparent_hugepages "$(sed -n 's/.*\[\(.*\)\].*/\1/p' \
    /sys/kernel/mm/transparent_hugepage/enabled 2>/dev/null)"
  fact cpu_governor "$(cat /sys/devices/system/cpu/cpu0/cpufreq/scaling_governor 2>/dev/null)"
fi
printf '%s\t%s\t%s%s\n' drives-run-check "$index" "$said" "$facts"'''
ANSWER = re.compile(MARKER + r"\t(\d+)\t([^\t\n]*)((?:\t[^\t\n]*)*)")


def need_kib(ranks: List[int], scale: int) -> int:
    """The room a node's ranks need, in KiB; `scale` is the binary's count divisor."""
    return RANK_KIB * len(ranks) // max(scale, 1) + MARGIN_KIB


def contexts(
    placed: List[Optional[str]], ranks: List[List[int]], directory: str, binary: str, scale: int
) -> List[Tuple[Optional[str], int, List[str]]]:
    """One check process per node, with its index, its ranks and the room
    they need; the same sh on this machine where there are no nodes. The
    script comes from the environment (VARIABLE)."""
    found = []
    for index, host in enumerate(placed):
        args = ["sh", "-c", f'eval "${VARIABLE}"', MARKER, str(index), directory, binary]
        args += [str(need_kib(ranks[index], scale))]
        args += [str(RANK_INODES * len(ranks[index]) + MARGIN_INODES)]
        found.append((host, 1, args + [str(rank) for rank in ranks[index]]))
    return found


def answers(text: str) -> Dict[int, Tuple[str, Dict[str, str]]]:
    """{index: (said, facts)} from the launcher's output, wherever on a line
    the marker stands (a launcher may tag or time-stamp every line)."""
    found = {}
    for line in text.splitlines():
        match = ANSWER.search(line)
        if match:
            facts = dict(item.partition("=")[::2] for item in match[3].split("\t")[1:])
            found[int(match[1])] = (match[2], facts)
    return found


def last_words(stderr: str) -> str:
    """The launcher's line that says the most: the first naming an error (a
    node's shell that finds no orted comes before Open MPI's own help texts,
    one of which calls itself "an internal programming error"), else its last."""
    lines = [line.strip() for line in stderr.splitlines() if line.strip().strip("-")]
    errors = [
        line
        for line in lines
        if re.search(
            r"error|refused|denied|resolve|failed|verification|unreachable|unknown|filled"
            r"|not found|no such file",
            line,
            re.I,
        )
    ]
    return (errors or lines or ["it said nothing"])[0]


class Waiting:
    """Follows the check's answers as they come, for the status line: how
    many nodes answered, and which are still awaited."""

    def __init__(self, names: List[str], show: Optional[Callable[[str], None]]) -> None:
        self.names, self.show = names, show
        self.answered: Dict[int, bool] = {}
        self.pending = ""

    def __call__(self, data: bytes) -> None:
        self.pending += data.decode("utf-8", "replace")
        *lines, self.pending = self.pending.split("\n")
        for index in answers("\n".join(lines)):
            self.answered[index] = True
        if self.show is not None:
            self.show(self.text())

    def text(self) -> str:
        awaited = [name for index, name in enumerate(self.names) if index not in self.answered]
        if not awaited:
            return "check: every node answered; the launcher is ending"
        shown = ", ".join(awaited[:3]) + (", ..." if len(awaited) > 3 else "")
        if not self.answered:
            return f"check: waiting for the launcher to start it on {len(awaited)} nodes ({shown})"
        return (
            f"check: {len(self.answered)} of {len(self.names)} nodes answered; waiting for {shown}"
        )


def check(
    args: List[str],
    placed: List[Optional[str]],
    timeout: float,
    env: Dict[str, str],
    signals: process.Signals,
    hints: List[str],
    show: Optional[Callable[[str], None]] = None,
) -> Dict[int, Dict[str, str]]:
    """Runs the check (`args`, its launcher's command) on every node;
    {index: facts} of the nodes, or a Failure (status 4) naming each node
    that failed or did not answer. On a hint's system, the hints follow
    a node that did not answer."""
    name = [host or "" for host in placed]
    waiting = Waiting([host or "this machine" for host in placed], show)
    status, out, err = process.collect(
        args, dict(env, **{VARIABLE: SCRIPT}), signals, timeout, waiting=waiting
    )
    said = answers(out)
    # Nodes that say the same are named together, so that a cluster whose
    # every node lacks the binary gets one line, not one per node.
    grouped: Dict[str, List[str]] = {}
    for index in sorted(said):
        if said[index][0] != "ok":
            grouped.setdefault(said[index][0], []).append(name[index])
    told = [f"{listed(names)}: {text}" if any(names) else text for text, names in grouped.items()]
    silent = [name[index] or "this machine" for index in range(len(placed)) if index not in said]
    if silent and status is None:
        none = "; the launcher started the check on none of them" if not said else ""
        told.append(f"{listed(silent)}: no answer within {timeout:g} s (--check-timeout){none}")
    elif silent and said:
        told.append(
            f"{listed(silent)}: not reached through {args[0]} (status {status}): "
            f"{last_words(err)}"
        )
    elif silent and status == 0:
        # The launcher ran, but what it printed was not the check's (--xml).
        told.append(
            f"{args[0]} ended (status 0) with no node's answer to the check in its output; "
            f"an option after -- may change what it prints"
            + (f"; it said: {last_words(err)}" if err.strip() else "")
        )
    elif silent:
        # No node answered: the launcher itself stopped, and says why.
        told.append(f"{args[0]} stopped before the check ran (status {status}): {last_words(err)}")
    if told:
        raise Failure("\n".join(told + [hint for hint in hints if silent]), ExitStatus.NODE_FAILED)
    return {index: facts for index, (_, facts) in said.items()}


def listed(names: List[str], most: int = 20) -> str:
    """Names for a message: all of a few, the first `most` of many."""
    if len(names) <= most:
        return ", ".join(names)
    return ", ".join(names[:most]) + f" and {len(names) - most} more"


# Run on a node after the run: its index and its load, one line.
LOAD = "printf 'drives-run-load\\t%s\\t%s\\n' \"$1\" \"$(cut -d ' ' -f 1-3 /proc/loadavg 2>/dev/null)\""
LOAD_LINE = re.compile(r"drives-run-load\t(\d+)\t([^\t\n]*)")


def load_contexts(hosts: Dict[int, str]) -> List[Tuple[Optional[str], int, List[str]]]:
    """One process on each of `hosts` ({index: host}) that tells its load."""
    return [
        (host, 1, ["sh", "-c", LOAD, "drives-run-load", str(index)])
        for index, host in hosts.items()
    ]


def loads_of(text: str) -> Dict[int, str]:
    return {int(found[1]): found[2] for found in LOAD_LINE.finditer(text)}
