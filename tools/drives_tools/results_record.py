"""The record drives-run leaves beside a result file: read and checked
against drives_run_record.schema.json into a run_record.Record, and its
facts put in words for summary's node lines and compare's list of what
differs between two sides.
"""

import dataclasses
import functools
import json
import os
import stat
from typing import Any, BinaryIO, Callable, Dict, List, Optional, Sequence, Tuple, Union

from .run_record import Node, Record

SCHEMA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "drives_run_record.schema.json")
SUFFIX = ".record.json"
NOT_RECORDED = "not recorded"
# The largest record drives-run writes is a few kilobytes a node; a file far
# beyond that is not one, and is not read whole to find that out.
MAX_BYTES = 16 << 20


class RecordError(Exception):
    """Why a record file cannot be read as one."""


class NotRegularFile(OSError):
    """A path that names a FIFO, a device or a directory where a file's
    contents are looked for."""


def open_regular(path: str) -> BinaryIO:
    """A regular file opened for reading. Anything else is never opened (a
    FIFO would wait for a writer for ever, a device may act on an open);
    what is opened is checked again, in case it was swapped in between."""
    if not stat.S_ISREG(os.stat(path).st_mode):
        raise NotRegularFile(f"{path}: not a regular file")
    handle = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    try:
        if not stat.S_ISREG(os.fstat(handle).st_mode):
            raise NotRegularFile(f"{path}: not a regular file")
        return os.fdopen(handle, "rb")
    except BaseException:
        os.close(handle)
        raise


def path_for(result_path: str) -> str:
    """The record's path beside a result file: `.txt` replaced."""
    stem = result_path[:-4] if result_path.endswith(".txt") else result_path
    return stem + SUFFIX


@functools.lru_cache(maxsize=1)
def schema() -> Dict[str, Any]:
    with open(SCHEMA, encoding="utf-8") as stream:
        data: Dict[str, Any] = json.load(stream)
        return data


def not_json(name: str) -> float:
    raise ValueError(f"{name} is not a JSON number")


def finite(text: str) -> float:
    value = float(text)
    if value in (float("inf"), float("-inf")):
        raise ValueError(f"{text} is out of range")
    return value


def load(path: str) -> Optional[Record]:
    """The record at `path`; None where there is no file; RecordError where
    the file is not a record of a format this tool reads."""
    try:
        with open_regular(path) as stream:
            data = stream.read(MAX_BYTES + 1)
    except FileNotFoundError:
        return None
    except NotRegularFile:
        raise RecordError("not a regular file") from None
    except OSError as error:
        raise RecordError(error.strerror) from None
    if len(data) > MAX_BYTES:
        raise RecordError(f"larger than {MAX_BYTES >> 20} MiB")
    try:
        record = json.loads(data.decode("utf-8"), parse_constant=not_json, parse_float=finite)
    except RecursionError:
        raise RecordError("not JSON this tool reads (nested too deeply)") from None
    except (UnicodeDecodeError, ValueError) as error:
        raise RecordError(f"not JSON ({error})") from None
    try:
        format_schema = schema()
    except (OSError, ValueError) as error:
        raise RecordError(f"{SCHEMA} cannot be read ({error})") from None
    problem = shape_problem(record, format_schema, format_schema, "the record")
    if problem:
        raise RecordError(problem)
    try:
        return Record.from_json(record)
    except (TypeError, ValueError, KeyError) as error:
        raise RecordError(f"not a record ({error})") from None


TYPES: Dict[str, type] = {
    "object": dict,
    "array": list,
    "string": str,
    "null": type(None),
    "boolean": bool,
}


def is_type(value: Any, name: str) -> bool:
    # JSON has no booleans among its numbers, Python has.
    if name in ("integer", "number"):
        wanted: Tuple[type, ...] = (int,) if name == "integer" else (int, float)
        return isinstance(value, wanted) and not isinstance(value, bool)
    return isinstance(value, TYPES[name])


def shown(value: Any) -> str:
    try:
        return json.dumps(value)[:40]
    except (ValueError, RecursionError):
        return type(value).__name__


def shape_problem(
    value: Any, part: Dict[str, Any], whole: Dict[str, Any], where: str
) -> Optional[str]:
    """The first way `value` breaks the part of the schema it must meet, or
    None. Only what a reader relies on is checked, the keywords the record's
    schema uses for it: types, required keys, constants, choices, bounds and
    lengths. Keys it does not know are let through, so that a later
    drives-run may add some."""
    if "$ref" in part:
        part = whole["$defs"][part["$ref"].rsplit("/", 1)[1]]
    types = part.get("type")
    if types is not None:
        types = [types] if isinstance(types, str) else types
        if not any(is_type(value, name) for name in types):
            return f"{where} is {shown(value)}, not {' or '.join(types)}"
    if "const" in part and value != part["const"]:
        return f"{where} is {shown(value)}, not {json.dumps(part['const'])}"
    if "enum" in part and value not in part["enum"]:
        return f"{where} is {shown(value)}, not one of {json.dumps(part['enum'])}"
    if is_type(value, "number"):
        if value < part.get("minimum", value) or value > part.get("maximum", value):
            return f"{where} is {value}, out of range"
    if isinstance(value, (str, list)):
        if len(value) < part.get("minLength", part.get("minItems", 0)):
            return f"{where} is too short"
        if len(value) > part.get("maxItems", len(value)):
            return f"{where} is too long"
    if isinstance(value, dict):
        missing = [key for key in part.get("required", ()) if key not in value]
        if missing:
            return f"{where} lacks {', '.join(missing)}"
        for key, inner in part.get("properties", {}).items():
            if key in value:
                problem = shape_problem(value[key], inner, whole, f"{where}'s {key}")
                if problem:
                    return problem
        extra = part.get("additionalProperties")
        if isinstance(extra, dict):
            for key, item in value.items():
                problem = shape_problem(item, extra, whole, f"{where}'s {key}")
                if problem:
                    return problem
    if isinstance(value, list) and "items" in part:
        for number, item in enumerate(value):
            problem = shape_problem(item, part["items"], whole, f"{where}[{number}]")
            if problem:
                return problem
    return None


# ---------------------------------------------------------------- in words


def gib(count: int) -> str:
    """Bytes in GiB to a tenth, the unit df -h and free -h print."""
    return f"{count / (1 << 30):.1f}"


def size(count: Optional[int]) -> str:
    return NOT_RECORDED if count is None else gib(count) + " GiB"


def either(value: Optional[str], name: str) -> str:
    return f"{name} {NOT_RECORDED}" if value is None else value


def device(node: Node) -> Optional[str]:
    if node.device is None:
        return None
    return node.device + (f" ({node.device_model})" if node.device_model else "")


def disk_words(node: Node) -> List[str]:
    """The facts of a node's disk and page cache it was found to have."""
    words = []
    if node.mount_options:
        words.append(f"mounted {node.mount_options}")
    if node.rotational is not None:
        words.append("rotational" if node.rotational else "not rotational")
    if node.io_scheduler:
        words.append(f"scheduler {node.io_scheduler}")
    if node.dirty_ratio is not None or node.dirty_background_ratio is not None:
        words.append(f"dirty ratio {node.dirty_ratio}%, background {node.dirty_background_ratio}%")
    if node.transparent_hugepages:
        words.append(f"huge pages {node.transparent_hugepages}")
    if node.cpu_governor:
        words.append(f"governor {node.cpu_governor}")
    return words


def node_line(node: Node, free: Optional[str] = None) -> str:
    """One node's facts on a line; `free` its free space over several runs."""
    host = "" if node.host in (None, node.name) else f" (host {node.host})"
    if not free and node.free_bytes is not None:
        free = size(node.free_bytes)
    kernel = either(node.kernel, "kernel") + (f" {node.machine}" if node.machine else "")
    cores = f", {node.cores} cores" if node.cores else ""
    return f"node {node.name}{host}: " + "; ".join(
        [
            either(node.os, "system"),
            kernel,
            either(node.cpu, "processor") + cores,
            f"memory {size(node.memory_bytes)}",
            f"{either(node.fs_type, 'file system')} on {either(device(node), 'a device')}",
        ]
        + disk_words(node)
        + [f"{free} free" if free else f"free space {NOT_RECORDED}", "ranks " + spans(node.ranks)]
    )


def spans(ranks: Sequence[int], name: Callable[[int], str] = str) -> str:
    """Rank numbers as runs of consecutive ones, the root apart: 0, 1-3, 7
    (`name` names a rank alone: root, 1, 7)."""
    found: List[List[int]] = []
    for rank in sorted(ranks):
        if found and found[-1][-1] and rank == found[-1][-1] + 1:
            found[-1].append(rank)
        else:
            found.append([rank])
    return ", ".join(
        f"{group[0]}-{group[-1]}" if len(group) > 2 else ", ".join(map(name, group))
        for group in found
    )


# What changes from run to run on the same node, and so never makes it
# another node.
PASSING = ("free_bytes", "free_inodes", "load", "load_end")


def nodes_of(records: Sequence[Record]) -> List[Tuple[Node, Optional[str]]]:
    """The nodes of the records, each once, as (node, free space over the
    runs): a node counts again only where something but its free space and
    load changed."""
    found: Dict[str, Tuple[Node, List[Optional[int]]]] = {}
    for record in records:
        for node in record.nodes:
            facts = {k: v for k, v in dataclasses.asdict(node).items() if k not in PASSING}
            key = json.dumps(facts, sort_keys=True)
            found.setdefault(key, (node, []))[1].append(node.free_bytes)
    result = []
    for node, frees in found.values():
        known = sorted(free for free in frees if free is not None)
        free = None
        if known and gib(known[0]) != gib(known[-1]):
            free = f"{gib(known[0])}\u2013{gib(known[-1])} GiB"
        result.append((node, free))
    return result


def load_words(record: Optional[Record]) -> str:
    """The 1-minute load at the start and at the end of a run: of its node,
    or the highest of its nodes."""
    if record is None:
        return NOT_RECORDED
    start, end = load_of(record)
    if start is None and end is None:
        return f"load {NOT_RECORDED}"
    before = "?" if start is None else f"{start:.2f}"
    after = " at the start" if end is None else f" -> {end:.2f}"
    several = f" (highest of {len(record.nodes)} nodes)" if len(record.nodes) > 1 else ""
    return f"load {before}{after}{several}"


def load_of(record: Optional[Record]) -> Tuple[Optional[float], Optional[float]]:
    """The highest 1-minute load of a run's nodes at its start and its end."""
    if record is None:
        return None, None
    starts = [node.load[0] for node in record.nodes if node.load]
    ends = [node.load_end[0] for node in record.nodes if node.load_end]
    return (max(starts) if starts else None, max(ends) if ends else None)


# ---------------------------------------------------------------- what differs


def maybe(value: Any, form: str = "{}") -> Optional[str]:
    return None if value is None else form.format(value)


def mpi_words(record: Record) -> str:
    """The MPI and its version, less the launcher's name its version line
    starts with: mpirun, mpiexec and mpirun.openmpi of one Open MPI are the
    same MPI."""
    version = record.mpi.version or ""
    first, _, rest = version.partition(" ")
    if rest and first.startswith(("mpirun", "mpiexec", os.path.basename(record.mpi.launcher))):
        version = rest
    return " ".join(filter(None, (record.mpi.name, version)))


def mpi_settings(record: Record) -> Optional[str]:
    if record.record < 2:
        return None
    settings = record.mpi.settings
    return " ".join(f"{key}={value}" for key, value in sorted(settings.items())) or "none"


def binary_fact(name: str) -> Callable[[Record], Optional[str]]:
    def fact(record: Record) -> Optional[str]:
        value = getattr(record.binary, name, None) if record.binary else None
        return None if value is None else str(value)[:12] if name == "sha256" else str(value)

    return fact


def version_of(record: Record) -> Optional[str]:
    if record.binary and record.binary.version:
        return record.binary.version
    return record.drives_mpi_version


# The facts compare tells apart, in the order it names them: a run's
# (of its record) and a node's, where a node fact is compared node by node.
RunFact = Callable[[Record], Optional[str]]
NodeFact = Callable[[Node], Optional[str]]
FACTS: List[Tuple[str, Optional[RunFact], Optional[NodeFact]]] = [
    ("ranks per node", None, lambda node: str(len(node.ranks))),
    ("node count", lambda record: str(len(record.nodes)), None),
    ("MPI", mpi_words, None),
    ("MPI settings", mpi_settings, None),
    ("drives_mpi version", version_of, None),
    ("commit", binary_fact("commit"), None),
    ("drives-run version", lambda record: record.tools_version, None),
    ("binary (SHA-256)", binary_fact("sha256"), None),
    ("CPU model", None, lambda node: node.cpu),
    ("cores", None, lambda node: maybe(node.cores)),
    ("memory", None, lambda node: None if node.memory_bytes is None else size(node.memory_bytes)),
    ("OS", None, lambda node: node.os),
    ("kernel", None, lambda node: node.kernel),
    ("architecture", None, lambda node: node.machine),
    ("host", None, lambda node: node.host),
    ("file system type", None, lambda node: node.fs_type),
    ("device", None, device),
    ("mount options", None, lambda node: node.mount_options),
    (
        "rotational",
        None,
        lambda node: None if node.rotational is None else "yes" if node.rotational else "no",
    ),
    ("I/O scheduler", None, lambda node: node.io_scheduler),
    ("dirty ratio", None, lambda node: maybe(node.dirty_ratio, "{}%")),
    ("dirty background ratio", None, lambda node: maybe(node.dirty_background_ratio, "{}%")),
    ("transparent huge pages", None, lambda node: node.transparent_hugepages),
    ("CPU governor", None, lambda node: node.cpu_governor),
    ("test scale", binary_fact("test_scale"), None),
]


@dataclasses.dataclass
class Difference:
    fact: str
    old: List[str]
    new: List[str]


@dataclasses.dataclass
class Facts:
    """What the records of two sides say: the facts that differ (with each
    side's values), those compared and found the same, and those not
    compared since a side's records lack them."""

    differ: List[Difference]
    same: List[str]
    not_recorded: List[str]


SAME, UNKNOWN = "same", "not recorded"
# A fact's values in one record: one, or one a node.
Picker = Callable[[Record], List[Optional[str]]]


def run_picker(fact: RunFact) -> Picker:
    return lambda record: [fact(record)]


def nodes_picker(fact: NodeFact) -> Picker:
    return lambda record: [fact(node) for node in record.nodes]


def node_picker(fact: NodeFact, place: int) -> Picker:
    return lambda record: [fact(record.nodes[place])]


def differences(olds: Sequence[Record], news: Sequence[Record]) -> Facts:
    """The facts of two sides' records, each compared over all records of a
    side: per node, by its place in the records, where every record has as
    many nodes; else over all nodes of a side. A side whose runs differ
    among themselves shows several values."""
    facts = Facts([], [], [])
    counts = {len(record.nodes) for record in list(olds) + list(news)}
    places = range(counts.pop()) if len(counts) == 1 else None
    for name, of_run, of_node in FACTS:
        pairs: List[Tuple[str, Picker]] = []
        if of_run is not None:
            pairs.append((name, run_picker(of_run)))
        elif of_node is not None and places is None:
            pairs.append((name, nodes_picker(of_node)))
        elif of_node is not None and places is not None:
            for place in places:
                names = list(dict.fromkeys(r.nodes[place].name for r in list(olds) + list(news)))
                label = name if len(places) == 1 else f"{name} of node {' / '.join(names)}"
                pairs.append((label, node_picker(of_node, place)))
        verdicts = [compare_fact(label, pick, olds, news) for label, pick in pairs]
        differ = [verdict for verdict in verdicts if isinstance(verdict, Difference)]
        facts.differ += differ
        if not differ:
            (facts.not_recorded if UNKNOWN in verdicts else facts.same).append(name)
    return facts


def compare_fact(
    label: str, pick: Picker, olds: Sequence[Record], news: Sequence[Record]
) -> Union[Difference, str]:
    """A Difference where both sides know the fact and their values differ;
    else UNKNOWN where a record lacks it, else SAME."""
    sides = [[value for record in side for value in pick(record)] for side in (olds, news)]
    known = [list(dict.fromkeys(v for v in values if v is not None)) for values in sides]
    if known[0] and known[1] and set(known[0]) != set(known[1]):
        return Difference(label, known[0], known[1])
    return UNKNOWN if any(None in values for values in sides) else SAME
