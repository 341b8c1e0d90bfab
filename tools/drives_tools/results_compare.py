"""summary and compare: each figure over several runs (count, min, median,
max), and the changes from one set of runs to another.
"""

import statistics
import sys

from .results_formats import Report, rank_name
from .results_read import figures, order

WORSE, BETTER, IN_SPREAD = "WORSE", "better", "within spread"


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
    values = sorted((entry["value"], entry["text"]) for _, entry in found
                    if entry["value"] is not None)
    side = {"count": len(values), "left_out": len(found) - len(values), "min": None,
            "median": None, "max": None, "hosts": hosts}
    if values:
        median = statistics.median(value for value, _ in values)
        text = values[len(values) // 2][1] if len(values) % 2 else f"{median:.6g}"
        side.update(min={"value": values[0][0], "text": values[0][1]},
                    median={"value": median, "text": text},
                    max={"value": values[-1][0], "text": values[-1][1]})
    return side


def text_of(side, found):
    """A side's median as printed; its inf or nan where it has no other."""
    if side["median"]:
        return side["median"]["text"]
    return "/".join(dict.fromkeys(entry["text"] for _, entry in found)) or "-"


def runs_fields(runs):
    return [{"run": run["run"], "source": run["source"]} for run in runs]


def summary(runs):
    """Count, min, median and max of every figure over the runs."""
    ranks = sorted({run["ranks"] or 0 for run in runs})
    if len(ranks) > 1:
        print("drives-results: the runs have different numbers of ranks "
              f"({', '.join(map(str, ranks))}); each worker's figures count only its own runs",
              file=sys.stderr)
    groups = gather(runs)
    records, rows = [], []
    for key in sorted(groups, key=order):
        unit, found = groups[key]
        side = over_runs(found)
        records.append({"test": key[0], "quantity": key[2], "rank": key[1], "unit": unit, **side})
        cells = [side[name]["text"] if side["count"] else "-" for name in ("min", "median", "max")]
        rows.append([key[0], key[2], rank_name(key[1]), str(side["count"])] + cells
                    + [unit, " / ".join(side["hosts"])])
    foot = []
    if any(record["left_out"] for record in records):
        foot.append("Figures printed as inf or nan are left out of count, min, median and max.")
    return Report({"runs": runs_fields(runs)}, records, runs_heading(runs, "run"),
                  ["test", "quantity", "rank", "count", "min", "median", "max", "unit", "host"],
                  rows, foot)


def runs_heading(runs, name):
    return [f"{name}: {run['run']}  ({run['source']})" for run in runs]


def judge(quantity, old, new, threshold):
    """The mark of one figure's change from the old runs to the new: worse
    or better where the medians differ by more than the threshold and the
    two sides' ranges do not overlap, every new run beyond every old one."""
    change = new["median"]["value"] / old["median"]["value"]
    if abs(change - 1) <= threshold:
        return change, ""
    higher = change > 1
    apart = (new["min"]["value"] > old["max"]["value"] if higher
             else new["max"]["value"] < old["min"]["value"])
    if not apart:
        return change, IN_SPREAD
    return change, WORSE if higher == worse_when_higher(quantity) else BETTER


def compare_figure(key, before, after, threshold):
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
    record = {"test": test, "quantity": quantity, "rank": rank, "unit": unit, "old": old,
              "new": new, "ratio": None if change is None else float(f"{change:.6g}"),
              "mark": mark}
    hosts = [" / ".join(side["hosts"]) for side in (old, new)]
    cells = {"test": test, "quantity": quantity, "rank": rank_name(rank), "unit": unit,
             "old": text_of(old, olds), "new": text_of(new, news), "mark": mark,
             "old range": range_text(old), "new range": range_text(new),
             "new/old": "-" if not (olds and news) else
                        "n/a" if change is None else f"{change:.3f}",
             "host": " -> ".join(dict.fromkeys(h for h in hosts if h))}
    return record, cells


def range_text(side):
    return f"{side['min']['text']}\u2013{side['max']['text']}" if side["count"] else "-"


def compare(old, new, threshold):
    """The comparison of the old runs with the new, and whether a figure got
    worse beyond the threshold (a fraction). With one run a side it is that
    run's figures; with several, their medians and ranges."""
    several = len(old) > 1 or len(new) > 1
    sides = ["old", "old range", "new", "new range"] if several else ["old", "new"]
    header = ["test", "quantity", "rank"] + sides + ["new/old", "mark", "unit", "host"]
    before, after = gather(old), gather(new)
    records, rows = [], []
    for key in sorted(set(before) | set(after), key=order):
        record, cells = compare_figure(key, before, after, threshold)
        records.append(record)
        rows.append([cells[name] for name in header])
    marks = [record["mark"] for record in records]
    counts = {mark: marks.count(mark) for mark in (WORSE, BETTER, IN_SPREAD)}
    percent = f"{threshold * 100:g}%"
    head = runs_heading(old, "old") + runs_heading(new, "new") + [
        f"threshold: {percent}; worse means more seconds, or a lower rate, total, mean or gain"]
    foot = f"{len(rows)} figures: {counts[WORSE]} worse, {counts[BETTER]} better beyond {percent}"
    if several:
        head.append("old, new: the medians of each side's runs; range: their min\u2013max; a "
                    "change is marked only where the two ranges do not overlap")
        foot += f" and the runs' spread; {counts[IN_SPREAD]} more beyond {percent} within it"
    fields = {"threshold_percent": float(f"{threshold * 100:g}"), "old": runs_fields(old),
              "new": runs_fields(new), "worse": counts[WORSE], "better": counts[BETTER],
              "within_spread": counts[IN_SPREAD]}
    return Report(fields, records, head, header, rows, [foot]), counts[WORSE] > 0
