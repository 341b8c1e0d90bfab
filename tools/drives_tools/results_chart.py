"""chart: a panel per measurement, a bar per worker and run, the root's
single-process rate as a dashed line; PNG, SVG or PDF, by matplotlib. Each
panel shows the report's own figure in the report's unit: files a second,
millions of one-byte accesses a second, and for the block tests the
report's "MB/sec.", which is MiB a second.
"""

import math
import os
import sys
from typing import Any, Dict, List, Optional, Sequence, Tuple

from .results_formats import write_output
from .results_read import MIB, RATE_UNITS, TESTS, Figure, Run, Test
from .statuses import ExitStatus, Failure

TITLES = {
    "stream_cycle": "Stream file cycle (Power of Handling Files -- Lower)",
    "descriptor_cycle": "Descriptor file cycle (Power of Handling Files -- Higher)",
    "low_write": "Low (one-byte) writing speed",
    "low_read": "Low (one-byte) reading speed",
    "high_read": "High (block) reading speed",
    "high_write": "High (block) writing speed",
}
KINDS = (".png", ".svg", ".pdf")
# No date stamped in the vector files, so that the same runs draw the same file.
UNDATED = {"svg": {"Date": None}, "pdf": {"CreationDate": None}}
# Homebrew's Python refuses pip installs of its own (externally managed).
INSTALL = (
    "apt-get install python3-matplotlib (Debian), brew install python-matplotlib "
    "(Homebrew), or pip install matplotlib in a virtual environment"
)


# The figure each panel draws, and its unit's name on the axis.
PLOTTED = {test: "rate_mib" if test.startswith("high") else "rate" for test in TESTS}
AXIS = {test: RATE_UNITS[test] for test in TESTS}
AXIS.update({test: f"{MIB} (the report's MB/sec.)" for test in TESTS if PLOTTED[test] != "rate"})


class MissingMatplotlib(Failure):
    """chart's one need beyond the standard library is not installed."""

    def __init__(self, message: str) -> None:
        super().__init__(message, ExitStatus.NO_MATPLOTLIB)


# An invalid run is drawn all the same, since its bars may show where it
# went wrong, but never without saying so.
INVALID = " (invalid)"


def chart(runs: Sequence[Run], path: str, title: Optional[str] = None) -> None:
    """The runs' rates drawn into `path`, of the kind its extension names."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.lines import Line2D
        from matplotlib.patches import Patch
    except ImportError:
        raise MissingMatplotlib(
            f"chart needs matplotlib, which {sys.executable} cannot "
            f"import; install it: {INSTALL}"
        ) from None
    hosts: Dict[int, List[str]] = {}
    for run in runs:
        for measured in run.tests.values():
            for worker in measured.workers:
                names = hosts.setdefault(worker.rank, [])
                if worker.host not in names:
                    names.append(worker.host)
    slots = sorted(hosts)
    bars = max(1, len(slots) * len(runs))
    longest = max((len(" / ".join(names)) for names in hosts.values()), default=0)
    rotate = len(slots) > 6 or (len(slots) > 3 and longest > 12)
    labels = [tick_label(rank, hosts[rank], rotate) for rank in slots]
    label_lines = max([label.count("\n") + 1 for label in labels] or [1])
    # Two columns of panels until the bars get too many to stay readable.
    columns = 2 if bars <= 20 else 1
    rows = math.ceil(len(TESTS) / columns)
    width = min(16.0, max(6.0, 0.3 * bars + 3))
    height = 3.3 + (1.0 if rotate else 0.16 * label_lines)
    fig, axes = plt.subplots(
        rows, columns, squeeze=False, figsize=(width * columns, height * rows + 1.1)
    )
    colours = plt.get_cmap("tab10").colors
    for index, test in enumerate(TESTS):
        ax = axes[index // columns][index % columns]
        draw_panel(ax, test, runs, slots, colours)
        ax.set_xticks(range(len(slots)))
        ax.set_xticklabels(
            labels,
            fontsize=8,
            rotation=35 if rotate else 0,
            ha="right" if rotate else "center",
            rotation_mode="anchor" if rotate else "default",
        )
        ax.set_xlim(-0.6, max(len(slots), 1) - 0.4)
        if index // columns == rows - 1:
            ax.set_xlabel("worker: rank @host", fontsize=9)
    if len(runs) == 1:
        run = runs[0]
        handles = [
            Patch(color=colours[0], label="each worker, all at once"),
            Line2D([], [], color="black", linestyle="--", label="root alone (single process)"),
        ]
        when = f", {run.start.replace('T', ' ')}" if run.start else ""
        ranks = run.ranks or 0
        count = (
            f"{ranks} ranks ({ranks - 1} worker{'s' if ranks > 2 else ''})"
            if ranks > 1
            else "1 rank"
            if ranks
            else "? ranks"
        )
        heading = title or f"drives_mpi on {run.host or run.label}{when}, {count}"
        heading += INVALID * (not run.valid)
    else:
        handles = [
            Patch(color=colours[number % len(colours)], label=run.label + INVALID * (not run.valid))
            for number, run in enumerate(runs)
        ]
        handles.append(
            Line2D(
                [],
                [],
                color="dimgray",
                linestyle="--",
                label="root alone (single process), in its run's colour",
            )
        )
        heading = title or f"drives_mpi, {len(runs)} runs"
    inches = fig.get_figheight()
    fig.suptitle(heading, fontsize=13, y=1 - 0.15 / inches, va="top")
    fig.legend(
        handles=handles,
        loc="upper center",
        bbox_to_anchor=(0.5, 1 - 0.5 / inches),
        ncol=min(len(handles), 3),
        fontsize=9,
        frameon=False,
    )
    legend_rows = math.ceil(len(handles) / 3)
    fig.tight_layout(rect=(0, 0, 1, 1 - (0.5 + 0.25 * legend_rows) / inches), h_pad=1.2)
    kind = os.path.splitext(path)[1].lower().lstrip(".")
    options = {"format": kind, "dpi": 110, "metadata": UNDATED.get(kind)}
    write_output(path, lambda stream: fig.savefig(stream, **options))
    plt.close(fig)


def draw_panel(ax: Any, test: str, runs: Sequence[Run], slots: List[int], colours: Any) -> None:
    """One measurement: a bar per worker and run (runs side by side within
    a worker's slot), each run's root rate as a dashed line."""
    from matplotlib.ticker import FuncFormatter

    plotted = PLOTTED[test]
    panel = [run.tests.get(test, Test()) for run in runs]
    workers = [
        value
        for data in panel
        for w in data.workers
        for value in [known(w.figures.get(plotted))]
        if value is not None
    ]
    roots = [
        value for data in panel for value in [known(data.single.get(plotted))] if value is not None
    ]
    positive = [value for value in workers + roots if value > 0]
    # Workers an order and a half of magnitude apart would leave the small
    # ones as slivers on a linear axis.
    log = bool(workers) and min(workers) > 0 and max(workers) / min(workers) > 10**1.5
    if log:
        ax.set_yscale("log")
        bottom, top = min(positive) / 2, max(positive) * 3
    else:
        bottom, top = 0, max(positive or [1]) * 1.15
    ax.set_ylim(bottom, top)
    width = 0.8 / len(runs)
    bars = len(slots) * len(runs)
    for number, (run, data) in enumerate(zip(runs, panel)):
        colour = colours[number % len(colours)]
        for worker in data.workers:
            figure = worker.figures.get(plotted)
            if figure is None:
                continue
            x = slots.index(worker.rank) + (number - (len(runs) - 1) / 2) * width
            value = figure.value
            height = value if value is not None and value > 0 else bottom
            bar = ax.bar(x, height, width * 0.9, color=colour, zorder=2)[0]
            bar.set_gid(f"bar-{test}-run{number}-rank{worker.rank}")
            # Values on the bars while they fit; a bar of nothing is named.
            if (len(runs) == 1 and bars <= 8) or height == bottom:
                note = short(value, 4) if value is not None else figure.text
                label_bar(ax, x, height, note, bottom, top, log, rotate=bars > 4)
        root = data.single.get(plotted)
        if root and root.value is not None and (root.value > 0 or not log):
            line = ax.axhline(
                root.value,
                linestyle="--",
                linewidth=1.6,
                zorder=3,
                color=darker(colour) if len(runs) > 1 else "black",
            )
            line.set_gid(f"root-{test}-run{number}")
    heading = TITLES[test]
    root = panel[0].single.get(plotted) if len(runs) == 1 else None
    if root:
        shown = short(root.value, 4) if root.value is not None else root.text
        heading += f"\nroot alone: {shown}"
    ax.set_title(heading, fontsize=10)
    ax.set_ylabel(AXIS[test] + (", log scale" if log else ""))
    ax.yaxis.set_major_formatter(FuncFormatter(lambda value, _: short(value, 3)))
    ax.grid(axis="y", alpha=0.3)
    ax.set_axisbelow(True)
    if not slots:
        ax.text(
            0.5, 0.5, "one rank: no workers", transform=ax.transAxes, ha="center", color="dimgray"
        )


def known(figure: Optional[Figure]) -> Optional[float]:
    return None if figure is None else figure.value


def label_bar(
    ax: Any, x: float, height: float, note: str, bottom: float, top: float, log: bool, rotate: bool
) -> None:
    """The value inside a tall bar, half-way up (clear of the root's line,
    which runs near the bars' tops), or just above a short one."""
    share = (
        (math.log(height / bottom) / math.log(top / bottom) if log else height / top)
        if height > bottom
        else 0
    )
    if share > 0.3:
        where = math.sqrt(height * bottom) if log else height / 2
        ax.annotate(
            note,
            (x, where),
            ha="center",
            va="center",
            fontsize=8,
            color="white",
            rotation=90 if rotate else 0,
        )
    else:
        ax.annotate(
            note,
            (x, height),
            xytext=(0, 2),
            textcoords="offset points",
            ha="center",
            va="bottom",
            fontsize=8,
            rotation=90 if rotate else 0,
        )


def short(value: float, digits: int) -> str:
    """A tick or bar label: `digits` significant digits, k, M and G for the
    large ones (26.77k), no exponents."""
    for limit, size, suffix in ((1e9, 1e9, "G"), (1e6, 1e6, "M"), (1e4, 1e3, "k"), (1e3, 1, "")):
        if abs(value) >= limit:
            text = f"{value / size:.{digits}g}"
            return (f"{value / size:.0f}" if "e" in text else text) + suffix
    return f"{value:.{digits}g}"


def tick_label(rank: int, hosts: List[str], rotate: bool) -> str:
    name = " / ".join(hosts)
    if rotate:
        return f"{rank} @{elide(name, 28)}"
    return f"{rank}\n@" + "\n".join(wrap(name, 22)[:4])


def wrap(text: str, size: int) -> List[str]:
    """Lines of at most `size` characters, broken after a dot or a blank
    where one is near."""
    lines = []
    while len(text) > size:
        cut = max(text.rfind(".", 0, size), text.rfind(" ", 0, size)) + 1
        cut = cut if cut > size // 2 else size
        lines.append(text[:cut].rstrip())
        text = text[cut:]
    return lines + [text]


def elide(text: str, size: int) -> str:
    if len(text) <= size:
        return text
    return text[: size // 2 - 1] + "\u2026" + text[-(size - size // 2) :]


def darker(colour: Sequence[float]) -> Tuple[float, ...]:
    return tuple(c * 0.6 for c in colour[:3])
