"""summary and compare: each figure over several runs (count, min, median,
max), and the changes from one set of runs to another, as a Report with
the notes a reader must hear.
"""

import dataclasses
import os
import statistics
from typing import Any, Dict, List, Optional, Sequence, Set, Tuple

from .results_formats import Cell, Column, Line, Report, compact, rank_name
from .results_read import FILE_NAME, Figure, InputError, Key, Run, figures, order
from .results_record import NOT_RECORDED, Facts, differences, load_of, load_words, node_line
from .results_record import nodes_of, spans

WORSE, BETTER, IN_SPREAD = "WORSE", "better", "within spread"
SHARED = "root shared its node"
MARK = "*"  # a gain's, in the narrow table, where the root shared its node
# The narrow table's names of the tests and units.
TEST_NAMES = {
    "stream_cycle": "stream",
    "descriptor_cycle": "descriptor",
    "low_write": "low_write",
    "low_read": "low_read",
    "high_read": "high_read",
    "high_write": "high_write",
}
UNIT_NAMES = {
    "s": "s",
    "files/s": "files/s",
    "million accesses/s": "M acc/s",
    "million bytes/s": "M bytes/s",
    "MiB/s": "MiB/s",
    "times": "x",
}
UNITS = Line(
    "units: M acc/s and M bytes/s are millions of accesses and of bytes a second; MiB/s is "
    "1048576 bytes a second, the report's MB/sec.; x is times.",
    "",
)
WIDE = Line("--wide shows every column, and each figure as the report printed it.", "")


def worse_when_higher(quantity: str) -> bool:
    """Seconds are worse when they grow; every other figure (rates, totals,
    means, gains) when it shrinks."""
    return quantity == "seconds"


Found = List[Tuple[Optional[str], Figure]]  # a figure of each run, with its host


def gather(runs: Sequence[Run]) -> Dict[Key, Tuple[str, Found]]:
    """{(test, rank, quantity): (unit, [(host, figure) of each run])}."""
    groups: Dict[Key, Tuple[str, Found]] = {}
    for run in runs:
        for test, rank, host, quantity, figure in figures(run):
            groups.setdefault((test, rank, quantity), (figure.unit, []))[1].append((host, figure))
    return groups


@dataclasses.dataclass
class Point:
    value: float
    text: str


@dataclasses.dataclass
class Over:
    """One figure over runs: count, min, median and max, those printed as
    inf or nan left out (and counted), and the hosts it was measured on."""

    count: int
    left_out: int
    min: Optional[Point]
    median: Optional[Point]
    max: Optional[Point]
    hosts: List[str]

    def json(self) -> Dict[str, Any]:
        return dataclasses.asdict(self)

    def spread(self) -> Optional[float]:
        """How far apart the runs lie: (max - min) / median, in percent; None
        for fewer than two runs or a median of 0."""
        if self.count < 2 or not (self.median and self.median.value):
            return None
        assert self.min and self.max
        return round((self.max.value - self.min.value) / abs(self.median.value) * 100, 1)


def over_runs(found: Found) -> Over:
    """A median of an even count is printed to 6 digits."""
    hosts = list(dict.fromkeys(host for host, _ in found if host))
    values = sorted((f.value, f.text) for _, f in found if f.value is not None)
    side = Over(len(values), len(found) - len(values), None, None, None, hosts)
    if values:
        median = statistics.median(value for value, _ in values)
        text = values[len(values) // 2][1] if len(values) % 2 else f"{median:.6g}"
        side.min, side.median = Point(*values[0]), Point(median, text)
        side.max = Point(*values[-1])
    return side


def text_of(side: Over, found: Found) -> str:
    """A side's median as printed; its inf or nan where it has no other."""
    if side.median:
        return side.median.text
    return "/".join(dict.fromkeys(figure.text for _, figure in found)) or "-"


def figure_cell(text: str) -> Cell:
    return text, compact(text)


def counted_runs(runs: Sequence[Run], include_invalid: bool) -> Tuple[List[Run], Set[int]]:
    """The runs whose figures count, and the ids of those: the valid ones,
    or all where asked, as a benchmark's rules set aside a run that did not
    end well."""
    counted = [run for run in runs if include_invalid or run.valid]
    return counted, {id(run) for run in counted}


def runs_fields(runs: Sequence[Run], counted: Set[int]) -> List[Dict[str, Any]]:
    fields = []
    for run in runs:
        start, end = load_of(run.record)
        fields.append(
            {
                "run": run.label,
                "source": run.source,
                "valid": run.valid,
                "invalid_because": run.invalid_because,
                "root_shared_node": run.root_shared_node,
                "counted": id(run) in counted,
                "nodes": None if run.record is None else run.record.to_json()["nodes"],
                "load_start": start,
                "load_end": end,
            }
        )
    return fields


def where(run: Run) -> str:
    """A run's file, short: a result file by its directory, since its label
    names the rest."""
    name = os.path.basename(run.source)
    if FILE_NAME.match(name) and run.host and run.start:
        return (os.path.dirname(run.source) or ".") + "/"
    return run.source


def runs_heading(runs: Sequence[Run], counted: Set[int], name: str) -> List[Line]:
    """A line per run: what it is and its load, or why it is left out."""
    lines = []
    for run in runs:
        load = load_words(run.record)
        short, wide = f"{run.label} ({where(run)})", f"{run.label}  ({run.source})"
        if run.valid:
            lines.append(Line(f"{name}: {short}, {load}", f"{name}: {wide}  {load}"))
        elif id(run) in counted:
            said = f"[invalid, counted as --include-invalid asks: {run.invalid_because}]"
            lines.append(Line(f"{name}: {short}, {load} {said}", f"{name}: {wide}  {load}  {said}"))
        else:
            lines.append(
                Line(
                    f"{name}, left out as invalid: {short}, {load}: {run.invalid_because}",
                    f"{name}, left out as invalid: {wide}  {load}: {run.invalid_because}",
                )
            )
    return lines


def unrecorded(runs: Sequence[Run], name: str = "") -> Optional[str]:
    """Which runs lack a record, in words; None where none does."""
    missing = sum(run.record is None for run in runs)
    if not missing:
        return None
    if missing == len(runs):
        return f"the {name}run" if missing == 1 else f"the {missing} {name}runs"
    return f"{missing} of the {len(runs)} {name}runs"


def shared_legend(sides: Sequence[Tuple[str, Sequence[Run]]]) -> List[Line]:
    """The line that explains the gains' mark, where a side's root shared
    its node: then a worker's load is in every gain."""
    found = [
        f"{sum(bool(run.root_shared_node) for run in runs)} of {len(runs)} {name}runs"
        for name, runs in sides
        if any(run.root_shared_node for run in runs)
    ]
    if not found:
        return []
    text = (
        f"in {' and '.join(found)} workers ran on the root's node, so the gains (and the "
        "root's own figures) include a worker's load"
    )
    return [Line(f"{MARK} {SHARED}: {text}", f"{SHARED}: {text}")]


def hosts_legend(runs: Sequence[Run]) -> List[Line]:
    """Which ranks ran on which host, for the narrow table, which has no
    host column: "vm: root, 1-3"."""
    ranks: Dict[str, List[int]] = {}
    for run in runs:
        for _, rank, host, _, _ in figures(run):
            if host is not None and rank is not None and rank not in ranks.setdefault(host, []):
                ranks[host].append(rank)
    if not ranks:
        return []
    return [
        Line("hosts: " + "; ".join(f"{h}: {spans(r, rank_name)}" for h, r in ranks.items()), "")
    ]


def file_systems(runs: Sequence[Run]) -> List[str]:
    """A note where the runs' records tell of different file systems, whose
    figures a summary would sum up together."""
    seen: Dict[str, int] = {}
    for run in runs:
        if run.record is not None:
            nodes = run.record.nodes
            said = ", ".join(
                f"{node.fs_type or 'file system ' + NOT_RECORDED} on "
                f"{node.device or 'a device ' + NOT_RECORDED}"
                for node in nodes
            )
            seen[said] = seen.get(said, 0) + 1
    if len(seen) < 2:
        return []
    kinds = "; ".join(f"{said}: {count} run{'s' * (count > 1)}" for said, count in seen.items())
    return [
        f"the runs were made on different file systems ({kinds}), and are summed up together "
        "here; compare tells them apart"
    ]


def summary(runs: Sequence[Run], include_invalid: bool = False) -> Report:
    """Count, min, median and max of every figure over the runs; invalid
    runs left out unless `include_invalid`."""
    counted, ids = counted_runs(runs, include_invalid)
    invalid = gather([run for run in runs if id(run) not in ids])
    shared = any(run.root_shared_node for run in counted)
    notes = file_systems(counted)
    ranks = sorted({run.ranks or 0 for run in counted})
    if len(ranks) > 1:
        notes.append(
            f"the runs have different numbers of ranks ({', '.join(map(str, ranks))}); each "
            "worker's figures count only its own runs"
        )
    groups = gather(counted)
    records, rows = [], []
    for key in sorted(groups, key=order):
        unit, found = groups[key]
        side = over_runs(found)
        marked = shared and key[2] == "gain"
        spread = side.spread()
        records.append(
            {
                "test": key[0],
                "quantity": key[2],
                "rank": key[1],
                "unit": unit,
                **side.json(),
                "invalid_left_out": len(invalid.get(key, ("", []))[1]),
                "root_shared": marked,
                "spread_percent": spread,
            }
        )
        points = (side.min, side.median, side.max)
        rows.append(
            [
                (key[0], TEST_NAMES[key[0]]),
                (key[2], key[2] + MARK * marked),
                (rank_name(key[1]),) * 2,
                (str(side.count),) * 2,
            ]
            + [figure_cell(point.text) if point else ("-", "-") for point in points]
            + [
                ("-", "-") if spread is None else (f"{spread:.1f}%", percent(spread)),
                (unit, UNIT_NAMES[unit]),
                (" / ".join(side.hosts),) * 2,
            ]
            + [(SHARED if marked else "",) * 2] * shared
        )
    foot = [Line("spread: (max - min) / median of the counted runs.")] * (len(counted) > 1)
    if any(record["left_out"] for record in records):
        foot.append(
            Line("Figures printed as inf or nan are left out of count, min, median and max.")
        )
    if not counted:
        foot.append(Line("No run is counted: every one is invalid; --include-invalid counts them."))
    head = runs_heading(runs, ids, "run")
    head += [Line(node_line(node, free)) for node, free in nodes_of(recorded(counted))]
    if unrecorded(counted):
        head.append(Line(f"nodes: {NOT_RECORDED} for {unrecorded(counted)}"))
    head += hosts_legend(counted) + shared_legend([("", counted)])
    columns = [
        Column("test", "test"),
        Column("quantity", "quantity"),
        Column("rank", "rank"),
        Column("count", "n"),
        Column("min", "min"),
        Column("median", "median"),
        Column("max", "max"),
        Column("spread", "spread"),
        Column("unit", "unit"),
        Column("host", None),
    ] + [Column("note", None)] * shared
    return Report(
        {"runs": runs_fields(runs, ids), "include_invalid": include_invalid},
        records,
        head,
        columns,
        rows,
        foot + [UNITS, WIDE],
        notes,
    )


def recorded(runs: Sequence[Run]) -> List[Any]:
    return [run.record for run in runs if run.record is not None]


def percent(value: float) -> str:
    return f"{value:.1f}%" if abs(value) < 10 else f"{value:.0f}%"


def judge(quantity: str, old: Over, new: Over, threshold: float) -> Tuple[float, str]:
    """The mark of one figure's change from the old runs to the new: worse
    or better where the medians differ by more than the threshold and the
    two sides' ranges do not overlap, every new run beyond every old one."""
    assert old.median and new.median and old.min and old.max and new.min and new.max
    change = new.median.value / old.median.value
    if abs(change - 1) <= threshold:
        return change, ""
    higher = change > 1
    apart = new.min.value > old.max.value if higher else new.max.value < old.min.value
    if not apart:
        return change, IN_SPREAD
    return change, WORSE if higher == worse_when_higher(quantity) else BETTER


@dataclasses.dataclass
class Side:
    """What compare knows of one side: its counted runs' figures, the
    invalid runs' left out, whether its root shared its node."""

    figures: Dict[Key, Tuple[str, Found]]
    invalid: Dict[Key, Tuple[str, Found]]
    shared: bool


def compare_figure(
    key: Key, old: Side, new: Side, threshold: float, several: bool
) -> Tuple[Dict[str, Any], List[Cell]]:
    """The record of one figure of a comparison, and its table's cells."""
    test, rank, quantity = key
    unit = (old.figures.get(key) or new.figures[key])[0]
    olds, news = (side.figures.get(key, (unit, []))[1] for side in (old, new))
    before, after = over_runs(olds), over_runs(news)
    change, mark = None, ""
    if not olds or not news:
        mark = "only in new" if not olds else "only in old"
    elif before.count and after.count and before.median and before.median.value != 0:
        change, mark = judge(quantity, before, after, threshold)
    elif {f.text for _, f in olds} != {f.text for _, f in news}:
        mark = "changed"
    shared = {
        name: quantity == "gain" and side.shared for name, side in (("old", old), ("new", new))
    }
    record = {
        "test": test,
        "quantity": quantity,
        "rank": rank,
        "unit": unit,
        "old": before.json(),
        "new": after.json(),
        "ratio": None if change is None else float(f"{change:.6g}"),
        "mark": mark,
        "invalid_left_out": {
            name: len(side.invalid.get(key, ("", []))[1])
            for name, side in (("old", old), ("new", new))
        },
        "root_shared": shared,
    }
    sides = [name for name in ("old", "new") if shared[name]]
    hosts = [" / ".join(side.hosts) for side in (before, after)]
    ratio = "-" if not (olds and news) else "n/a" if change is None else f"{change:.3f}"
    cells = [
        (test, TEST_NAMES[test]),
        (quantity, quantity + MARK * bool(sides)),
        (rank_name(rank),) * 2,
        figure_cell(text_of(before, olds)),
    ]
    cells += [(range_text(before),) * 2] * several + [figure_cell(text_of(after, news))]
    cells += [(range_text(after),) * 2] * several
    cells += [
        (ratio, ratio if change is None else compact(f"{change:.3f}", 3)),
        (mark,) * 2,
        (unit, UNIT_NAMES[unit]),
        (" -> ".join(dict.fromkeys(h for h in hosts if h)),) * 2,
    ]
    cells += [(f"{SHARED} ({', '.join(sides)})" if sides else "",) * 2] * (old.shared or new.shared)
    return record, cells


def range_text(side: Over) -> str:
    if not (side.count and side.min and side.max):
        return "-"
    return f"{side.min.text}\u2013{side.max.text}"


def facts_heading(old: Sequence[Run], new: Sequence[Run], facts: Optional[Facts]) -> List[Line]:
    """What the records tell apart between the sides, said before the
    figures, since a change of disk or kernel explains more than any mark;
    then what they found the same, and what they could not compare."""
    if not any(run.record for run in list(old) + list(new)):
        return [Line(f"facts: {NOT_RECORDED} for any run")]
    said = (unrecorded(runs, name) for name, runs in (("old ", old), ("new ", new)))
    missing = [text for text in said if text]
    lines = [Line(f"facts: {NOT_RECORDED} for {' and '.join(missing)}")] if missing else []
    if facts is None:
        return lines
    for found in facts.differ:
        lines.append(
            Line(
                f"differs: {found.fact}: {' / '.join(found.old)} (old) -> {' / '.join(found.new)} (new)"
            )
        )
    if facts.same:
        lines.append(Line(f"same on both sides: {', '.join(facts.same)}"))
    if facts.not_recorded:
        lines.append(
            Line(f"not compared, a side's record lacks them: {', '.join(facts.not_recorded)}")
        )
    return lines


def compare(
    old: Sequence[Run], new: Sequence[Run], threshold: float, include_invalid: bool = False
) -> Tuple[Report, bool]:
    """The comparison of the old runs with the new, and whether a figure got
    worse beyond the threshold (a fraction), a gain of runs whose root
    shared its node aside. With one run a side it is that run's figures;
    with several, their medians and ranges. Invalid runs are left out
    unless `include_invalid`."""
    counted = {}
    sides = {}
    for name, runs in (("old", old), ("new", new)):
        kept, ids = counted_runs(runs, include_invalid)
        if not kept:
            raise InputError(
                f"{name}: no valid run, every one is left out ({runs[0].invalid_because}); "
                "--include-invalid counts them"
            )
        counted[name] = (kept, ids)
        sides[name] = Side(
            gather(kept),
            gather([run for run in runs if id(run) not in ids]),
            any(run.root_shared_node for run in kept),
        )
    (olds, old_ids), (news, new_ids) = counted["old"], counted["new"]
    several = len(olds) > 1 or len(news) > 1
    shared = sides["old"].shared or sides["new"].shared
    columns = [Column("test", "test"), Column("quantity", "quantity"), Column("rank", "rank")]
    columns += [Column("old", "old")] + [Column("old range", None)] * several
    columns += [Column("new", "new")] + [Column("new range", None)] * several
    columns += [Column("new/old", "new/old"), Column("mark", "mark"), Column("unit", "unit")]
    columns += [Column("host", None)] + [Column("note", None)] * shared
    keys = set(sides["old"].figures) | set(sides["new"].figures)
    records, rows = [], []
    for key in sorted(keys, key=order):
        record, cells = compare_figure(key, sides["old"], sides["new"], threshold, several)
        records.append(record)
        rows.append(cells)
    marks = [record["mark"] for record in records]
    counts = {mark: marks.count(mark) for mark in (WORSE, BETTER, IN_SPREAD)}
    aside = sum(
        record["mark"] == WORSE and any(record["root_shared"].values()) for record in records
    )
    percent_text = f"{threshold * 100:g}%"
    old_records, new_records = recorded(olds), recorded(news)
    facts = differences(old_records, new_records) if old_records and new_records else None
    head = (
        facts_heading(olds, news, facts)
        + runs_heading(old, old_ids, "old")
        + runs_heading(new, new_ids, "new")
        + [
            Line(
                f"threshold: {percent_text}; worse means more seconds, or a lower rate, total, "
                "mean or gain"
            )
        ]
    )
    foot = (
        f"{len(rows)} figures: {counts[WORSE]} worse, {counts[BETTER]} better beyond {percent_text}"
    )
    if several:
        head.append(
            Line(
                "old, new: the medians of each side's runs; a change is marked only where the "
                "two sides' ranges (min\u2013max) do not overlap",
                "old, new: the medians of each side's runs; range: their min\u2013max; a "
                "change is marked only where the two ranges do not overlap",
            )
        )
        foot += f" and the runs' spread; {counts[IN_SPREAD]} more beyond {percent_text} within it"
    head += hosts_legend(list(olds) + list(news))
    head += shared_legend([("old ", olds), ("new ", news)])
    foot_lines = [Line(foot)]
    if aside:
        foot_lines.append(
            Line(
                f"{aside} of the worse {'are gains' if aside > 1 else 'is a gain'} of runs whose "
                "root shared its node, which a worker's load moves: reported, but no reason "
                "for a failing status."
            )
        )
    fields = {
        "threshold_percent": float(f"{threshold * 100:g}"),
        "old": runs_fields(old, old_ids),
        "new": runs_fields(new, new_ids),
        "worse": counts[WORSE] - aside,
        "worse_shared_gains": aside,
        "better": counts[BETTER],
        "within_spread": counts[IN_SPREAD],
        "include_invalid": include_invalid,
        "differences": None
        if facts is None
        else [dataclasses.asdict(found) for found in facts.differ],
        "facts_same": None if facts is None else facts.same,
        "facts_not_recorded": None if facts is None else facts.not_recorded,
    }
    report = Report(fields, records, head, columns, rows, foot_lines + [UNITS, WIDE])
    return report, counts[WORSE] > aside
