"""The nodes of a run, from a hostfile, a host list or the Slurm allocation
drives-run runs in, and how many ranks each one runs."""

import ipaddress
import os
import re
import subprocess
from typing import Callable, Dict, List, Optional, Sequence, Tuple, Union

from .report import MAX_RANKS
from .statuses import ExitStatus, Failure

# A host name as ssh and the launchers take it: no option-like leading '-',
# nothing a shell or a host list would split.
HOST_NAME = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_.-]*\Z")
SLOTS = re.compile(r"[0-9]+\Z")
# The keys of Open MPI's hostfile lines; max_slots is taken and not needed:
# drives-run never puts more ranks on a node than its slots.
KEYS = ("slots", "max_slots", "max-slots")


Nodes = List[Tuple[str, int]]


class NodeError(ValueError):
    """What is wrong with one host or hostfile line."""


def host_name(text: str) -> str:
    """A host name or an IP address; IPv6 addresses bare or in brackets."""
    if text.startswith("[") and text.endswith("]"):
        text = text[1:-1]
        if ":" not in text:
            raise NodeError(f"brackets are for IPv6 addresses, found {text!r}")
    if ":" in text:
        try:
            ipaddress.IPv6Address(text.split("%", 1)[0])
        except ValueError:
            raise NodeError(f"{text!r} is not an IPv6 address") from None
        return text
    if text.startswith("-"):
        raise NodeError(f"a host name cannot start with '-': {text!r}")
    if not HOST_NAME.match(text):
        raise NodeError(f"not a host name: {text!r}")
    return text


def slot_count(text: str, what: str = "slots") -> int:
    if not SLOTS.match(text) or not 1 <= int(text) <= MAX_RANKS:
        raise NodeError(f"{what} must be a whole number from 1 to {MAX_RANKS}, found {text!r}")
    return int(text)


def parse_item(text: str) -> Tuple[str, int]:
    """(host, slots) from `host`, `host:N`, `[IPv6]`, `[IPv6]:N`, a bare
    IPv6 address (no count: its colons would be read as one) or Open MPI's
    `host slots=N`."""
    first, *attributes = text.split()
    slots = None
    found = re.fullmatch(r"(\[[^\]]*\]|[^:\[\]]+):([^:]*)", first)
    if found:
        first, slots = found[1], slot_count(found[2])
    host = host_name(first)
    for attribute in attributes:
        key, equals, value = attribute.partition("=")
        if not equals:
            raise NodeError(f"expected key=value after the host, found {attribute!r}")
        if key not in KEYS:
            raise NodeError(f"unknown key {key!r} (known: {', '.join(KEYS)})")
        if slots is not None and key == "slots":
            raise NodeError(f"two slot counts for {host}")
        number = slot_count(value, key)
        slots = number if key == "slots" else slots
    return host.strip("[]"), slots or 1


def parse_hosts(items: Sequence[Union[str, bytes]], where: Callable[[int], str]) -> Nodes:
    """[(host, slots)] from hostfile lines or --hosts items; a host named
    again gets more slots. `where(n)` names item n in messages."""
    nodes: Dict[str, int] = {}
    for number, item in enumerate(items, 1):
        if isinstance(item, bytes):
            try:
                item = item.decode("utf-8")
            except UnicodeDecodeError:
                raise Failure(f"{where(number)}: not UTF-8 text", ExitStatus.USAGE) from None
        item = item.split("#", 1)[0].strip()
        if not item:
            continue
        try:
            host, slots = parse_item(item)
        except NodeError as error:
            raise Failure(f"{where(number)}: {error}", ExitStatus.USAGE) from None
        nodes[host] = nodes.get(host, 0) + slots
    return list(nodes.items())


def read_hostfile(path: str) -> Nodes:
    try:
        with open(path, "rb") as stream:
            lines = stream.read().split(b"\n")
    except OSError as error:
        raise Failure(f"{path}: {error.strerror}", ExitStatus.USAGE) from None
    nodes = parse_hosts(lines, lambda number: f"{path}, line {number}")
    if not nodes:
        raise Failure(f"{path} names no host", ExitStatus.USAGE)
    return nodes


def host_list(text: str) -> Nodes:
    nodes = parse_hosts(text.split(","), lambda number: f"--hosts, host {number}")
    if not nodes:
        raise Failure("--hosts names no host", ExitStatus.USAGE)
    return nodes


def expand_counts(text: str, name: str) -> List[int]:
    """Slurm's per-node counts: '2(x3),1' -> [2, 2, 2, 1]."""
    counts = []
    for item in text.split(","):
        found = re.fullmatch(r"([0-9]+)(?:\(x([0-9]+)\))?", item.strip())
        if not found or int(found[1]) < 1:
            raise Failure(f"cannot read Slurm's {name}={text!r}", ExitStatus.USAGE)
        counts += [int(found[1])] * int(found[2] or 1)
    return counts


def slurm_nodes() -> Optional[Nodes]:
    """The nodes and task slots of the Slurm allocation this runs in, or
    None outside one."""
    job, nodelist = os.environ.get("SLURM_JOB_ID"), os.environ.get("SLURM_JOB_NODELIST")
    if not (job and nodelist):
        return None
    try:
        done = subprocess.run(
            ["scontrol", "show", "hostnames", nodelist],
            capture_output=True,
            text=True,
            errors="replace",
        )
    except OSError as error:
        raise Failure(
            f"cannot list the nodes of Slurm job {job} with scontrol: {error.strerror}",
            ExitStatus.USAGE,
        ) from None
    if done.returncode != 0:
        said = (done.stderr.strip().splitlines() or [f"status {done.returncode}"])[-1]
        raise Failure(
            f"cannot list the nodes of Slurm job {job} with scontrol: {said}", ExitStatus.USAGE
        )
    names = done.stdout.split()
    for name in ("SLURM_TASKS_PER_NODE", "SLURM_JOB_CPUS_PER_NODE"):
        if os.environ.get(name):
            counts = expand_counts(os.environ[name], name)
            break
    else:
        counts = [1] * len(names)
    if len(counts) != len(names):
        raise Failure(
            f"Slurm's {name} gives {len(counts)} counts for the {len(names)} nodes of "
            f"SLURM_JOB_NODELIST={nodelist}",
            ExitStatus.USAGE,
        )
    try:
        return [(host_name(host), count) for host, count in zip(names, counts)]
    except NodeError as error:
        raise Failure(f"Slurm job {job}: {error}", ExitStatus.USAGE) from None


def root_alone(nodes: Nodes, root_shares_node: bool) -> Nodes:
    """The nodes and their slots for the run: where there are two nodes or
    more, the root's node gives it one slot, alone (unless it may share)."""
    if len(nodes) >= 2 and not root_shares_node:
        return [(nodes[0][0], 1)] + nodes[1:]
    return nodes


def place(nodes: Nodes, np: int, root_shares_node: bool) -> List[Tuple[Optional[str], int]]:
    """[(host, ranks)] in rank order: the root on the first node, alone
    (see root_alone); the workers fill the slots in order."""
    nodes = root_alone(nodes, root_shares_node)
    slots = sum(count for _, count in nodes)
    if np > slots:
        alone = len(nodes) >= 2 and not root_shares_node
        raise Failure(
            f"{np} ranks, but the nodes give {slots} slots"
            + (" (the root's node gives one, for the root alone)" if alone else ""),
            ExitStatus.USAGE,
        )
    placed: List[Tuple[Optional[str], int]] = []
    left = np
    for host, count in nodes:
        if left:
            placed.append((host, min(count, left)))
            left -= placed[-1][1]
    return placed


def rank_limit(np: int) -> int:
    if not 1 <= np <= MAX_RANKS:
        raise Failure(f"{np} ranks: drives_mpi takes 1 to {MAX_RANKS}", ExitStatus.USAGE)
    return np
