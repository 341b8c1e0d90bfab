"""Holds drives_mpi's single-process figures against the system-call floor:
drives_reference bare, and drives_reference_mpi, the same loop inside a
running MPI process. The stream file cycle, which times the C++ library's
stream opens and closes on purpose, is also held against those same opens
and closes in a bare loop. Also reports the run's unmeasured time, the time
from process start to the first timed span, and the peak memory.

Run through bench/run_bench.sh, which checks the tools first.
"""

import ctypes
import os
import statistics
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(
    0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "e2e")
)
import launched  # noqa: E402  (also puts the tools on the path)
from drives_tools import results_read  # noqa: E402

TMP_NAME = "data64-macos-mx-single.tmp"
PRESS_ENTER = "Press Enter to Exit."
BLOCK_BYTES = 16777216
MPI = os.environ.get("MPI", "openmpi")
FIGURES = [  # name, count the rate divides, unit of the rate
    ("stream_cycle", 131072.0, "files/s"),
    ("descriptor_cycle", 131072.0, "files/s"),
    ("low_write", 25165824.0, "accesses/s"),
    ("low_read", 25165824.0, "accesses/s"),
    ("high_read", 1.5 * BLOCK_BYTES, "bytes/s"),
    ("high_write", 1.5 * BLOCK_BYTES, "bytes/s"),
]
UNITS = {name: unit for name, _, unit in FIGURES}
ROWS = [  # label, the references' floor, drives_mpi's figure held against it
    ("stream_cycle", "stream_cycle", "stream_cycle"),
    ("stream_cycle (streams)", "stream_cycle_streams", "stream_cycle"),
] + [(name, name, name) for name, _, _ in FIGURES if name != "stream_cycle"]


def log(message):
    print(message, file=sys.stderr, flush=True)


class Load:
    """CPU used by processes other than the bench's during a span, in cores:
    the figures are only comparable on an otherwise idle machine."""

    def __enter__(self):
        self.start, self.busy, self.ours = time.monotonic(), self._busy(), self._ours()
        return self

    def __exit__(self, *exc):
        wall = time.monotonic() - self.start
        others = (self._busy() - self.busy) - (self._ours() - self.ours)
        self.cores = max(0.0, others / wall) if wall > 0 else 0.0
        return False

    @staticmethod
    def _busy():
        with open("/proc/stat") as stat:
            ticks = [int(x) for x in stat.readline().split()[1:]]
        return (sum(ticks[:8]) - ticks[3] - ticks[4]) / os.sysconf("SC_CLK_TCK")

    @staticmethod
    def _ours():
        import resource

        return sum(
            getattr(resource.getrusage(who), field)
            for who in (resource.RUSAGE_CHILDREN, resource.RUSAGE_SELF)
            for field in ("ru_utime", "ru_stime")
        )


def clean(scratch):
    # Only what a run leaves, so that a DIR= with other contents loses nothing.
    for name in os.listdir(scratch):
        if name.startswith(("data64-macos-mx-", "results_drives_macos_clusters_mx @ ")):
            os.unlink(os.path.join(scratch, name))


def rates_from_spent(spent):
    # Both are printed with six digits; the fixed count over the printed
    # time keeps the rate as precise as the time.
    return {
        name: count / spent[name] if spent[name] > 0 else float("inf") for name, count, _ in FIGURES
    }


def run_reference(command, scratch):
    clean(scratch)
    out = subprocess.run(
        command + [scratch],
        cwd=scratch,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        check=True,
        text=True,
    ).stdout
    return {name: float(rate) for name, rate, _ in (row.split() for row in out.splitlines())}


def status_kb(pid, field):
    try:
        with open(f"/proc/{pid}/status") as status:
            for row in status:
                if row.startswith(field + ":"):
                    return int(row.split()[1])
    except OSError:
        pass
    return None


class Run:
    """One launch of a program that ends waiting for Enter: when its console
    shows "Press Enter to Exit.", each rank's peak memory, and, if asked,
    when the first test file appears (seconds after rank 0's start)."""

    def __init__(self, binary, ranks, scratch, watch_create=False):
        self.binary, self.ranks, self.scratch = binary, ranks, scratch
        self.hwm, self.start_to_create, self._stop = {}, None, False
        self.watch_create = watch_create

    def _sample(self):
        for rank, pid in launched.ranks(self.binary, MPI).items():
            kb = status_kb(pid, "VmHWM")
            if kb is not None:
                self.hwm[rank] = max(kb, self.hwm.get(rank, 0))

    def _poll_memory(self):
        # Workers may be gone before the root waits, so the whole run is followed.
        while not self._stop:
            self._sample()
            time.sleep(0.2)

    def _watch(self):
        libc = ctypes.CDLL(None, use_errno=True)
        fd = libc.inotify_init1(os.O_CLOEXEC)
        libc.inotify_add_watch(fd, self.scratch.encode(), 0x100)  # IN_CREATE
        while self.start_to_create is None:
            data = os.read(fd, 4096)
            now = time.clock_gettime(time.CLOCK_BOOTTIME)
            while len(data) >= 16:
                size = struct.unpack("iIII", data[:16])[3]
                if data[16 : 16 + size].split(b"\0", 1)[0].decode() == TMP_NAME:
                    with open(f"/proc/{launched.ranks(self.binary, MPI)[0]}/stat") as stat:
                        started = int(stat.read().rsplit(")", 1)[1].split()[19])
                    self.start_to_create = now - started / os.sysconf("SC_CLK_TCK")
                data = data[16 + size :]
        os.close(fd)

    def run(self):
        helpers = [self._poll_memory] + ([self._watch] if self.watch_create else [])
        for helper in helpers:
            threading.Thread(target=helper, daemon=True).start()
        self.launched = time.monotonic()
        self.pressed = None
        proc = subprocess.Popen(
            launched.command(self.binary, self.ranks, MPI),
            cwd=self.scratch,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            text=True,
        )
        for row in proc.stdout:
            if row.rstrip("\n") == PRESS_ENTER and self.pressed is None:
                self.pressed = time.monotonic()
                self._sample()
                proc.stdin.write("\n")
                proc.stdin.close()
        self._stop = True
        if proc.wait() != 0 or self.pressed is None:
            raise RuntimeError(f"{self.binary} with {self.ranks} ranks failed: {proc.returncode}")
        return self


def run_drives(drives, scratch, **options):
    clean(scratch)
    run = Run(drives, 1, scratch, **options).run()
    result = next(n for n in os.listdir(scratch) if n.startswith("results_drives_"))
    tests = results_read.read_run(os.path.join(scratch, result)).tests
    spent = {name: tests[name].single["seconds"].value for name, _, _ in FIGURES}
    run.rates = rates_from_spent(spent)
    run.unmeasured = (run.pressed - run.launched) - sum(spent.values())
    return run


def spread(values):
    return "%.3f [%.3f, %.3f]" % (statistics.median(values), min(values), max(values))


def main():
    build, scratch, pairs = sys.argv[1], sys.argv[2], int(sys.argv[3])
    drives = os.path.join(build, "drives_mpi")
    bare = [os.path.join(build, "bench", "drives_reference")]
    in_mpi = launched.command(os.path.join(build, "bench", "drives_reference_mpi"), 1, MPI)
    sides = {
        "reference": lambda: run_reference(bare, scratch),
        "in MPI": lambda: run_reference(in_mpi, scratch),
        "drives_mpi": lambda: run_drives(drives, scratch).rates,
    }
    results = {side: [] for side in sides}
    busiest, unmeasured = 0.0, []
    for index in range(pairs):
        # Rotate who goes first, so that a drift of the machine does not
        # always favour the same side.
        order = list(sides)[index % 3 :] + list(sides)[: index % 3]
        for side in order:
            with Load() as load:
                results[side].append(sides[side]())
            busiest = max(busiest, load.cores)
            log(
                f"round {index + 1}/{pairs} {side}: "
                + " ".join(f"{name}={rate:.4g}" for name, rate in results[side][-1].items())
            )

    print(f"\nSingle-process figures, {pairs} rounds, scratch {scratch}")
    print(
        "%-22s %-11s %10s %10s %10s   %-22s %-22s"
        % (
            "figure",
            "unit",
            "reference",
            "in MPI",
            "drives_mpi",
            "ratio to reference",
            "ratio to in MPI",
        )
    )
    floors = ("reference", "in MPI")
    for label, floor, figure in ROWS:
        medians = [statistics.median(r[floor] for r in results[side]) for side in floors]
        medians.append(statistics.median(r[figure] for r in results["drives_mpi"]))
        ratios = [
            [b[figure] / a[floor] for a, b in zip(results[side], results["drives_mpi"])]
            for side in floors
        ]
        print(
            "%-22s %-11s %10.4g %10.4g %10.4g   %-22s %-22s"
            % (label, UNITS[figure], *medians, spread(ratios[0]), spread(ratios[1]))
        )
    print(
        "stream_cycle (streams) holds the stream file cycle against the standard streams' "
        "own opens and closes; stream_cycle, against their system calls alone."
    )
    print(
        f"CPU used by other processes during the runs: {busiest:.2f} cores at most"
        + ("" if busiest < 0.2 else "   (machine not idle: figures are disturbed)")
    )

    for _ in range(3):
        unmeasured.append(run_drives(drives, scratch).unmeasured)
    print(
        f"\nUnmeasured time of a one-rank run (launch to {PRESS_ENTER!r} minus the six spans): "
        f"{statistics.median(unmeasured):.3f} s median of 3"
    )
    started = run_drives(drives, scratch, watch_create=True).start_to_create
    print(f"Process start to the first timed span (inotify, tick resolution): {started:.3f} s")

    print("\nPeak resident memory (VmHWM), kB:")
    idle = os.path.join(build, "bench", "mpi_idle")
    for ranks in (1, 2):
        clean(scratch)
        program, runtime = Run(drives, ranks, scratch).run(), Run(idle, ranks, scratch).run()
        for rank in range(ranks):
            print(
                f"  rank {rank} of a {ranks}-rank run: {program.hwm.get(rank)} "
                f"(the MPI runtime alone: {runtime.hwm.get(rank)})"
            )
    clean(scratch)


if __name__ == "__main__":
    main()
