"""make bench-scale: a test-scale build at 2 to 256 ranks on this machine, and
what its growth costs beside the timed spans: the root's and a worker's peak
memory, the time outside the root's six timed spans (start-up, the exchange
and report, the end), the bytes the root receives, the longest a worker waits
in its sends, and each one's growth per rank. Then 32 ranks over TCP, as
between nodes, with Open MPI's eager limit as set and below the size of a
result message: what a message the MPI sends by rendezvous does to the
workers, who then wait in their sends for the root.

    scale.py BUILD [RANKS...]    (BUILD holds a drives_mpi built with DRIVES_TEST_SCALE)

Every rank runs on this machine, oversubscribed: the figures are a machine's
cost of many ranks, not a cluster's, and a busy machine disturbs the times.
"""

import os
import re
import subprocess
import sys
import tempfile
import time
from typing import Dict, List, Sequence, Tuple

sys.path.insert(
    0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "e2e")
)
import launched  # noqa: E402  (also puts the tools on the path)

RANKS = (2, 8, 32, 128, 256)
MPI = os.environ.get("MPI", "openmpi")
SPENT = re.compile(r"^The system spent: (\S+) Secs", re.M)
SCALE = re.compile(rb"drives_mpi build: version [^;]+; commit [^;]+; test scale (\d+)")
# Over TCP, as between nodes; then with every result message (N doubles)
# above the eager limit, sent by rendezvous.
TCP = ["--mca", "btl", "self,tcp"]
RENDEZVOUS = TCP + [
    "--mca",
    "btl_tcp_eager_limit",
    "128",
    "--mca",
    "btl_tcp_rndv_eager_limit",
    "64",
]
COLUMNS = (  # key, heading, unit shown, divisor from the measured unit
    ("root_mib", "root peak", "MiB", 1024.0),
    ("worker_mib", "worker peak", "MiB", 1024.0),
    ("start_up", "start-up", "s", 1.0),
    ("exchange", "exchange+report", "s", 1.0),
    ("end", "end", "s", 1.0),
    ("outside", "outside spans", "s", 1.0),
    ("received", "root received", "KiB", 1024.0),
    ("send_wait", "worker send wait", "s", 1.0),
)


def facts(path: str) -> Dict[str, float]:
    with open(path, encoding="utf-8") as stream:
        return {key: float(value) for key, value in (line.split() for line in stream)}


def run(binary: str, shim: str, ranks: int, extra: Sequence[str] = ()) -> Dict[str, float]:
    """One run of `ranks` ranks; its costs, in KiB, seconds and bytes."""
    with tempfile.TemporaryDirectory() as work, tempfile.TemporaryDirectory() as kept:
        env = {"LD_PRELOAD": shim, "DRIVES_SCALE_DIR": kept}
        args = launched.command(binary, ranks, MPI, env=env)
        args[1:1] = list(extra)
        start = time.time()
        done = subprocess.run(
            args, cwd=work, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=3600
        )
        end = time.time()
        if done.returncode != 0:
            sys.exit(f"{ranks} ranks: status {done.returncode}: {done.stderr[-2000:]}")
        spans = sum(float(value) for value in SPENT.findall(done.stdout)[:6])
        ranked = [facts(os.path.join(kept, f"rank.{rank}")) for rank in range(ranks)]
    root, workers = ranked[0], ranked[1:]
    return {
        "root_mib": root["hwm_kib"],
        "worker_mib": max(worker["hwm_kib"] for worker in workers),
        "start_up": root["init"] - start,
        "exchange": root["finalize"] - root["init"] - spans,
        "end": end - root["finalize"],
        "outside": (end - start) - spans,
        "received": root["received"],
        "send_wait": max(worker["send_wait"] for worker in workers),
    }


def table(rows: List[Tuple[str, Dict[str, float]]]) -> str:
    header = ["ranks"] + [f"{heading} ({unit})" for _, heading, unit, _ in COLUMNS]
    cells = [header] + [
        [label] + [f"{row[key] / divisor:.4g}" for key, _, _, divisor in COLUMNS]
        for label, row in rows
    ]
    widths = [max(len(row[i]) for row in cells) for i in range(len(header))]
    return "".join(
        "  ".join(cell.rjust(width) for cell, width in zip(row, widths)) + "\n" for row in cells
    )


def growth(
    low: Tuple[int, Dict[str, float]], high: Tuple[int, Dict[str, float]]
) -> Dict[str, float]:
    """Each cost's growth per added rank between two rank counts."""
    (n0, first), (n1, last) = low, high
    return {key: (last[key] - first[key]) / (n1 - n0) for key, _, _, _ in COLUMNS}


def main(argv: List[str]) -> int:
    build, counts = os.path.abspath(argv[0]), [int(count) for count in argv[1:]] or list(RANKS)
    binary, shim = os.path.join(build, "drives_mpi"), os.path.join(
        build, "bench", "libscale_shim.so"
    )
    with open(binary, "rb") as stream:
        found = SCALE.search(stream.read())
    scale = int(found[1]) if found else 1
    print(
        f"drives_mpi at 1/{scale} of its counts, {MPI}, on {os.cpu_count()} processors", flush=True
    )
    measured = []
    for ranks in counts:
        print(f"  {ranks} ranks...", file=sys.stderr, flush=True)
        measured.append((ranks, run(binary, shim, ranks)))
    rows = [(str(ranks), row) for ranks, row in measured]
    if len(measured) >= 2:
        rows.append(("per rank", growth(measured[-2], measured[-1])))
    print(table(rows))
    last, row = measured[-1]
    print(
        f"The root received {row['received'] / (last * (last - 1)):.4g} bytes per worker and rank "
        f"at {last} ranks: six result sets a worker, each of two tables of {last} doubles, "
        f"{last} ints and its name."
    )
    print(f"\n32 ranks {' '.join(TCP)}, then with {' '.join(RENDEZVOUS[len(TCP):])}:")
    print(
        table(
            [
                ("32 eager", run(binary, shim, 32, TCP)),
                ("32 rndv", run(binary, shim, 32, RENDEZVOUS)),
            ]
        )
    )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
