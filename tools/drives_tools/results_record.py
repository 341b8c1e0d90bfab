"""The record drives-run leaves beside a result file: read and checked
against drives_run_record.schema.json, and its facts put in words for
summary's node lines and compare's list of what differs between two sides.
"""

import functools
import json
import os

SCHEMA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "drives_run_record.schema.json")
SUFFIX = ".record.json"
NOT_RECORDED = "not recorded"
# The largest record drives-run writes is a few kilobytes a node; a file far
# beyond that is not one, and is not read whole to find that out.
MAX_BYTES = 16 << 20


class RecordError(Exception):
    """Why a record file cannot be read as one."""


def path_for(result_path):
    """The record's path beside a result file: `.txt` replaced."""
    stem = result_path[:-4] if result_path.endswith(".txt") else result_path
    return stem + SUFFIX


@functools.lru_cache(maxsize=1)
def schema():
    with open(SCHEMA, encoding="utf-8") as stream:
        return json.load(stream)


def load(path):
    """The record at `path`; None where there is no file; RecordError where
    the file is not a record of a format this tool reads."""
    try:
        with open(path, "rb") as stream:
            data = stream.read(MAX_BYTES + 1)
    except FileNotFoundError:
        return None
    except OSError as error:
        raise RecordError(error.strerror) from None
    if len(data) > MAX_BYTES:
        raise RecordError(f"larger than {MAX_BYTES >> 20} MiB")
    try:
        record = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as error:
        raise RecordError(f"not JSON ({error})") from None
    try:
        format_schema = schema()
    except (OSError, ValueError) as error:
        raise RecordError(f"{SCHEMA} cannot be read ({error})") from None
    problem = shape_problem(record, format_schema, format_schema, "the record")
    if problem:
        raise RecordError(problem)
    return record


TYPES = {"object": dict, "array": list, "string": str, "null": type(None), "boolean": bool}


def is_type(value, name):
    # JSON has no booleans among its numbers, Python has.
    if name in ("integer", "number"):
        wanted = int if name == "integer" else (int, float)
        return isinstance(value, wanted) and not isinstance(value, bool)
    return isinstance(value, TYPES[name])


def shape_problem(value, part, whole, where):
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
            return f"{where} is {json.dumps(value)[:40]}, not {' or '.join(types)}"
    if "const" in part and value != part["const"]:
        return f"{where} is {json.dumps(value)[:40]}, not {json.dumps(part['const'])}"
    if "enum" in part and value not in part["enum"]:
        return f"{where} is {json.dumps(value)[:40]}, not one of {json.dumps(part['enum'])}"
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
    if isinstance(value, list) and "items" in part:
        for number, item in enumerate(value):
            problem = shape_problem(item, part["items"], whole, f"{where}[{number}]")
            if problem:
                return problem
    return None


# ---------------------------------------------------------------- in words


def gib(count):
    """Bytes in GiB to a tenth, the unit df -h and free -h print."""
    return f"{count / (1 << 30):.1f}"


def size(count):
    return NOT_RECORDED if count is None else gib(count) + " GiB"


def known(value):
    return NOT_RECORDED if value is None else value


def device(node):
    model = node["device_model"]
    return known(node["device"]) + (f" ({model})" if model else "")


def either(value, name):
    return f"{name} {NOT_RECORDED}" if value is None else value


def node_line(node, free=None):
    """One node's facts on a line; `free` its free space over several runs."""
    host = "" if node["host"] in (None, node["name"]) else f" (host {node['host']})"
    if not free and node["free_bytes"] is not None:
        free = size(node["free_bytes"])
    kernel = either(node["kernel"], "kernel") + (f" {node['machine']}" if node["machine"] else "")
    cores = f", {node['cores']} cores" if node["cores"] else ""
    return f"node {node['name']}{host}: " + "; ".join(
        [
            either(node["os"], "system"),
            kernel,
            either(node["cpu"], "processor") + cores,
            f"memory {size(node['memory_bytes'])}",
            f"{either(node['fs_type'], 'file system')} on {either(node['device'], 'a device')}"
            + (f" ({node['device_model']})" if node["device_model"] else ""),
            f"{free} free" if free else f"free space {NOT_RECORDED}",
            "ranks " + ", ".join(map(str, node["ranks"])),
        ]
    )


def nodes_of(runs):
    """The nodes of runs with records, each once, as (node, free space over
    the runs): a node counts again only where something but its free space
    and load changed."""
    found = {}
    for run in runs:
        for node in (run["record"] or {}).get("nodes", ()):
            key = json.dumps(
                {k: v for k, v in node.items() if k not in ("free_bytes", "load")}, sort_keys=True
            )
            found.setdefault(key, (node, []))[1].append(node["free_bytes"])
    result = []
    for node, frees in found.values():
        frees = sorted(free for free in frees if free is not None)
        free = None
        if frees and gib(frees[0]) != gib(frees[-1]):
            free = f"{gib(frees[0])}\u2013{gib(frees[-1])} GiB"
        result.append((node, free))
    return result


# The facts compare names where the two sides differ: the run's, then each
# node's.
RUN_FACTS = (
    ("node count", lambda record: str(len(record["nodes"]))),
    (
        "MPI",
        lambda record: " ".join(filter(None, (record["mpi"]["name"], record["mpi"]["version"]))),
    ),
    ("drives_mpi version", lambda record: record["drives_mpi_version"]),
)
NODE_FACTS = (
    ("file system type", lambda node: known(node["fs_type"])),
    ("device", device),
    ("kernel", lambda node: known(node["kernel"])),
)


def distinct(items):
    return list(dict.fromkeys(items))


def differences(old, new):
    """[(fact, old values, new values)] of the facts the records of two
    sides disagree on: per node, by its place in the records, where every
    record has as many nodes; else over all nodes of a side. Each side's
    values are those of all its runs, so runs that differ among themselves
    show as several. None where a side has no record at all."""
    olds, news = ([run["record"] for run in side if run["record"]] for side in (old, new))
    if not (olds and news):
        return None
    found = []

    def differ(name, pick):
        pair = [
            distinct(value for record in side for value in pick(record)) for side in (olds, news)
        ]
        if set(pair[0]) != set(pair[1]):
            found.append((name, pair[0], pair[1]))

    for name, fact in RUN_FACTS:
        differ(name, lambda record: [fact(record)])
    counts = {len(record["nodes"]) for record in olds + news}
    places = range(counts.pop()) if len(counts) == 1 else None
    for name, fact in NODE_FACTS:
        if places is None:
            differ(name, lambda record: [fact(node) for node in record["nodes"]])
            continue
        for place in places:
            names = distinct(record["nodes"][place]["name"] for record in olds + news)
            differ(
                f"{name} of node {' / '.join(names)}", lambda record: [fact(record["nodes"][place])]
            )
    return found
