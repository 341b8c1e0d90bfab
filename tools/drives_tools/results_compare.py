"""summary and compare: each figure over several runs (count, min, median,
max), and the changes from one set of runs to another.
"""

import statistics
import sys

from .results_formats import Report, rank_name
from .results_read import InputError, figures, order
from .results_record import NOT_RECORDED, differences, node_line, nodes_of

WORSE, BETTER, IN_SPREAD = "WORSE", "better", "within spread"
SHARED = "root shared its node"


def worse_when_higher(quantity):
    """Seconds are worse when they grow; every other figure (rates, totals,
    means, gains) when it shrinks."""
    return quantity == "seconds"


def gather(runs):
    """{(test, rank, quantity): (unit, [(host, figure) of each run])}."""
    groups = {}
    for run in runs:
        for test, rank, host, quantity, entry in figures(run):
            groups.setdefault((test, rank, quantity), (entry["unit"], []))[1].append((host, entry))
    return groups


def over_runs(found):
    """Count, min, median and max of one figure's values over runs, those
    printed as inf or nan left out (and counted), and the hosts it was
    measured on. A median of an even count is printed to 6 digits."""
    hosts = list(dict.fromkeys(host for host, _ in found if host))
    values = sorted(
        (entry["value"], entry["text"]) for _, entry in found if entry["value"] is not None
    )
    side = {
        "count": len(values),
        "left_out": len(found) - len(values),
        "min": None,
        "median": None,
        "max": None,
        "hosts": hosts,
    }
    if values:
        median = statistics.median(value for value, _ in values)
        text = values[len(values) // 2][1] if len(values) % 2 else f"{median:.6g}"
        side.update(
            min={"value": values[0][0], "text": values[0][1]},
            median={"value": median, "text": text},
            max={"value": values[-1][0], "text": values[-1][1]},
        )
    return side


def text_of(side, found):
    """A side's median as printed; its inf or nan where it has no other."""
    if side["median"]:
        return side["median"]["text"]
    return "/".join(dict.fromkeys(entry["text"] for _, entry in found)) or "-"


def runs_fields(runs, counted):
    return [
        {
            "run": run["run"],
            "source": run["source"],
            "valid": run["valid"],
            "invalid_because": run["invalid_because"],
            "root_shared_node": run["root_shared_node"],
            "counted": id(run) in counted,
            "nodes": run["record"] and run["record"]["nodes"],
        }
        for run in runs
    ]


def counted_runs(runs, include_invalid):
    """The runs whose figures count, and the ids of those: the valid ones,
    or all where asked, as a benchmark's rules set aside a run whose calls
    failed."""
    counted = [run for run in runs if include_invalid or run["valid"]]
    return counted, {id(run) for run in counted}


def runs_heading(runs, counted, name):
    """A line per run: what it is, or why it is left out."""
    lines = []
    for run in runs:
        where = f"{run['run']}  ({run['source']})"
        if run["valid"]:
            lines.append(f"{name}: {where}")
        elif id(run) in counted:
            lines.append(
                f"{name}: {where}  [invalid, counted as --include-invalid asks: "
                f"{run['invalid_because']}]"
            )
        else:
            lines.append(f"{name}, left out as invalid: {where}: {run['invalid_because']}")
    return lines


def unrecorded(runs, name=""):
    """Which runs lack a record, in words; None where none does."""
    missing = sum(not run["record"] for run in runs)
    if not missing:
        return None
    if missing == len(runs):
        return f"the {name}run" if missing == 1 else f"the {missing} {name}runs"
    return f"{missing} of the {len(runs)} {name}runs"


def shared_legend(sides):
    """The line that explains the gains' mark, where a side's root shared
    its node: then a worker's load is in every gain."""
    found = [
        f"{sum(bool(run['root_shared_node']) for run in runs)} of {len(runs)} {name}runs"
        for name, runs in sides
        if any(run["root_shared_node"] for run in runs)
    ]
    if not found:
        return []
    return [
        f"{SHARED}: in {' and '.join(found)} workers ran on the root's node, so the gains "
        "(and the root's own figures) include a worker's load"
    ]


def spread_of(side):
    """How far apart the runs lie: (max - min) / median, in percent; None
    for fewer than two runs or a median of 0."""
    if side["count"] < 2 or not side["median"]["value"]:
        return None
    return round(
        (side["max"]["value"] - side["min"]["value"]) / abs(side["median"]["value"]) * 100, 1
    )


def summary(runs, include_invalid=False):
    """Count, min, median and max of every figure over the runs; invalid
    runs left out unless `include_invalid`."""
    counted, ids = counted_runs(runs, include_invalid)
    invalid = gather([run for run in runs if id(run) not in ids])
    shared = any(run["root_shared_node"] for run in counted)
    ranks = sorted({run["ranks"] or 0 for run in counted})
    if len(ranks) > 1:
        print(
            "drives-results: the runs have different numbers of ranks "
            f"({', '.join(map(str, ranks))}); each worker's figures count only its own runs",
            file=sys.stderr,
        )
    groups = gather(counted)
    records, rows = [], []
    for key in sorted(groups, key=order):
        unit, found = groups[key]
        side = over_runs(found)
        marked = shared and key[2] == "gain"
        spread = spread_of(side)
        records.append(
            {
                "test": key[0],
                "quantity": key[2],
                "rank": key[1],
                "unit": unit,
                **side,
                "invalid_left_out": len(invalid.get(key, (None, ()))[1]),
                "root_shared": marked,
                "spread_percent": spread,
            }
        )
        cells = [side[name]["text"] if side["count"] else "-" for name in ("min", "median", "max")]
        rows.append(
            [key[0], key[2], rank_name(key[1]), str(side["count"])]
            + cells
            + ["-" if spread is None else f"{spread:.1f}%", unit, " / ".join(side["hosts"])]
            + ([SHARED if marked else ""] * shared)
        )
    foot = ["spread: (max - min) / median of the counted runs."] if len(counted) > 1 else []
    if any(record["left_out"] for record in records):
        foot.append("Figures printed as inf or nan are left out of count, min, median and max.")
    if not counted:
        foot.append("No run is counted: every one is invalid; --include-invalid counts them.")
    head = runs_heading(runs, ids, "run") + [
        node_line(node, free) for node, free in nodes_of(counted)
    ]
    if unrecorded(counted):
        head.append(f"nodes: {NOT_RECORDED} for {unrecorded(counted)}")
    header = ["test", "quantity", "rank", "count", "min", "median", "max", "spread", "unit", "host"]
    return Report(
        {"runs": runs_fields(runs, ids), "include_invalid": include_invalid},
        records,
        head + shared_legend([("", counted)]),
        header + ["note"] * shared,
        rows,
        foot,
    )


def judge(quantity, old, new, threshold):
    """The mark of one figure's change from the old runs to the new: worse
    or better where the medians differ by more than the threshold and the
    two sides' ranges do not overlap, every new run beyond every old one."""
    change = new["median"]["value"] / old["median"]["value"]
    if abs(change - 1) <= threshold:
        return change, ""
    higher = change > 1
    apart = (
        new["min"]["value"] > old["max"]["value"]
        if higher
        else new["max"]["value"] < old["min"]["value"]
    )
    if not apart:
        return change, IN_SPREAD
    return change, WORSE if higher == worse_when_higher(quantity) else BETTER


def compare_figure(key, before, after, threshold, notes):
    """The record of one figure of a comparison, and its table's cells."""
    test, rank, quantity = key
    unit = (before.get(key) or after[key])[0]
    olds, news = (side.get(key, (unit, []))[1] for side in (before, after))
    old, new = over_runs(olds), over_runs(news)
    change, mark = None, ""
    if not olds or not news:
        mark = "only in new" if not olds else "only in old"
    elif old["count"] and new["count"] and old["median"]["value"] != 0:
        change, mark = judge(quantity, old, new, threshold)
    elif {e["text"] for _, e in olds} != {e["text"] for _, e in news}:
        mark = "changed"
    shared = {name: quantity == "gain" and notes[name]["shared"] for name in ("old", "new")}
    record = {
        "test": test,
        "quantity": quantity,
        "rank": rank,
        "unit": unit,
        "old": old,
        "new": new,
        "ratio": None if change is None else float(f"{change:.6g}"),
        "mark": mark,
        "invalid_left_out": {
            name: len(notes[name]["invalid"].get(key, (None, ()))[1]) for name in ("old", "new")
        },
        "root_shared": shared,
    }
    sides = [name for name in ("old", "new") if shared[name]]
    hosts = [" / ".join(side["hosts"]) for side in (old, new)]
    cells = {
        "test": test,
        "quantity": quantity,
        "rank": rank_name(rank),
        "unit": unit,
        "old": text_of(old, olds),
        "new": text_of(new, news),
        "mark": mark,
        "old range": range_text(old),
        "new range": range_text(new),
        "new/old": "-" if not (olds and news) else "n/a" if change is None else f"{change:.3f}",
        "host": " -> ".join(dict.fromkeys(h for h in hosts if h)),
        "note": f"{SHARED} ({', '.join(sides)})" if sides else "",
    }
    return record, cells


def range_text(side):
    return f"{side['min']['text']}\u2013{side['max']['text']}" if side["count"] else "-"


def facts_heading(old, new, found):
    """What the records tell apart between the sides (`found`, from
    differences), said before the figures, since a change of disk or
    kernel explains more than any mark."""
    if not any(run["record"] for run in old + new):
        return [f"facts: {NOT_RECORDED} for any run"]
    missing = [
        unrecorded(runs, name) for name, runs in (("old ", old), ("new ", new)) if unrecorded(runs)
    ]
    lines = [f"facts: {NOT_RECORDED} for {' and '.join(missing)}"] if missing else []
    if found is None:
        return lines
    for fact, olds, news in found:
        lines.append(f"differs: {fact}: {' / '.join(olds)} (old) -> {' / '.join(news)} (new)")
    if not found:
        lines.append(
            "facts: the recorded facts match (node count, MPI, drives_mpi version, and "
            "every node's file system type, device and kernel)"
        )
    return lines


def compare(old, new, threshold, include_invalid=False):
    """The comparison of the old runs with the new, and whether a figure got
    worse beyond the threshold (a fraction). With one run a side it is that
    run's figures; with several, their medians and ranges. Invalid runs are
    left out unless `include_invalid`."""
    all_old, all_new = old, new
    (old, old_ids), (new, new_ids) = (counted_runs(runs, include_invalid) for runs in (old, new))
    notes = {}
    for name, runs, every, ids in (("old", old, all_old, old_ids), ("new", new, all_new, new_ids)):
        if not runs:
            raise InputError(
                f"{name}: no valid run, every one is left out ("
                f"{every[0]['invalid_because']}); --include-invalid counts them"
            )
        notes[name] = {
            "shared": any(run["root_shared_node"] for run in runs),
            "invalid": gather([run for run in every if id(run) not in ids]),
        }
    several = len(old) > 1 or len(new) > 1
    sides = ["old", "old range", "new", "new range"] if several else ["old", "new"]
    shared = notes["old"]["shared"] or notes["new"]["shared"]
    header = (
        ["test", "quantity", "rank"]
        + sides
        + ["new/old", "mark", "unit", "host"]
        + ["note"] * shared
    )
    before, after = gather(old), gather(new)
    records, rows = [], []
    for key in sorted(set(before) | set(after), key=order):
        record, cells = compare_figure(key, before, after, threshold, notes)
        records.append(record)
        rows.append([cells[name] for name in header])
    marks = [record["mark"] for record in records]
    counts = {mark: marks.count(mark) for mark in (WORSE, BETTER, IN_SPREAD)}
    percent = f"{threshold * 100:g}%"
    found = differences(old, new)
    head = (
        facts_heading(old, new, found)
        + runs_heading(all_old, old_ids, "old")
        + runs_heading(all_new, new_ids, "new")
        + [
            f"threshold: {percent}; worse means more seconds, or a lower rate, total, mean "
            "or gain"
        ]
    )
    foot = f"{len(rows)} figures: {counts[WORSE]} worse, {counts[BETTER]} better beyond {percent}"
    if several:
        head.append(
            "old, new: the medians of each side's runs; range: their min\u2013max; a "
            "change is marked only where the two ranges do not overlap"
        )
        foot += f" and the runs' spread; {counts[IN_SPREAD]} more beyond {percent} within it"
    head += shared_legend([("old ", old), ("new ", new)])
    fields = {
        "threshold_percent": float(f"{threshold * 100:g}"),
        "old": runs_fields(all_old, old_ids),
        "new": runs_fields(all_new, new_ids),
        "worse": counts[WORSE],
        "better": counts[BETTER],
        "within_spread": counts[IN_SPREAD],
        "include_invalid": include_invalid,
        "differences": None
        if found is None
        else [{"fact": fact, "old": olds, "new": news} for fact, olds, news in found],
    }
    return Report(fields, records, head, header, rows, [foot]), counts[WORSE] > 0
