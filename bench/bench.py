"""Compares drives_mpi's single-process figures with drives_reference's.

Run through bench/run_bench.sh, which checks the tools first.  Standard
library only, so that the bench needs nothing the build machine lacks.
"""

import ctypes
import os
import re
import shutil
import statistics
import struct
import subprocess
import sys
import threading
import time

TMP_NAME = "data64-macos-mx-single.tmp"
DATA_NAME = "data64-macos-mx-single"
RESULT_PREFIX = "results_drives_macos_clusters_mx @ "
PRESS_ENTER = "Press Enter to Exit."
BLOCK_BYTES = 16777216

FIGURES = [
    # name, count the rate divides, unit of the rate
    ("stream_cycle", 131072.0, "files/s"),
    ("descriptor_cycle", 131072.0, "files/s"),
    ("byte_write", 25165824.0, "accesses/s"),
    ("byte_read", 25165824.0, "accesses/s"),
    ("block_read", 1.5 * BLOCK_BYTES, "bytes/s"),
    ("block_write", 1.5 * BLOCK_BYTES, "bytes/s"),
]


class Load:
    """CPU used by processes other than the bench's during a span, in cores.

    The figures are only comparable on an otherwise idle machine; this says
    how far from idle it was.
    """

    def __enter__(self):
        self.t0, self.busy0, self.ours0 = time.monotonic(), self._busy(), self._ours()
        return self

    def __exit__(self, *exc):
        wall = time.monotonic() - self.t0
        busy = self._busy() - self.busy0
        ours = self._ours() - self.ours0
        self.cores = max(0.0, (busy - ours) / wall) if wall > 0 else 0.0
        return False

    @staticmethod
    def _busy():
        with open("/proc/stat") as f:
            v = [int(x) for x in f.readline().split()[1:]]
        idle = v[3] + v[4]
        return (sum(v[:8]) - idle) / os.sysconf("SC_CLK_TCK")

    @staticmethod
    def _ours():
        import resource
        c = resource.getrusage(resource.RUSAGE_CHILDREN)
        me = resource.getrusage(resource.RUSAGE_SELF)
        return c.ru_utime + c.ru_stime + me.ru_utime + me.ru_stime


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def mpirun_cmd(ranks, binary):
    cmd = ["mpirun"]
    if os.getuid() == 0:
        cmd.append("--allow-run-as-root")
    if ranks > (os.cpu_count() or 1):
        cmd.append("--oversubscribe")
    return cmd + ["-np", str(ranks), binary]


def clean(scratch):
    # Only the files a run leaves, so that a DIR= pointing at a directory
    # with other contents loses nothing else.
    for name in os.listdir(scratch):
        if name.startswith("data64-macos-mx-") or name.startswith(RESULT_PREFIX):
            path = os.path.join(scratch, name)
            if os.path.isfile(path):
                os.unlink(path)


def result_files(scratch):
    return sorted(n for n in os.listdir(scratch) if n.startswith(RESULT_PREFIX))


SPENT_RE = re.compile(r"^The system spent: (\S+) Secs\.(?: to (Write\.|Read:))?$")


def parse_result_file(path):
    """Spent seconds of the six single-process figures, from the report."""
    section = None
    spent = {}
    with open(path, encoding="utf-8", errors="replace") as f:
        for raw in f:
            line = raw.rstrip("\n")
            if line == "Power of Handling Files -- Lower":
                section = "lower"
            elif line == "Power of Handling Files -- Higher":
                section = "higher"
            elif line == "Low writing and reading speeds:":
                section = "low"
            elif line == "High writing and reading speeds:":
                section = "high"
            elif line == "Multi-Thread Enabled:":
                break
            m = SPENT_RE.match(line)
            if not m or section is None:
                continue
            value = float(m.group(1))
            kind = m.group(2)
            key = {
                ("lower", None): "stream_cycle",
                ("higher", None): "descriptor_cycle",
                ("low", "Write."): "byte_write",
                ("low", "Read:"): "byte_read",
                ("high", "Read:"): "block_read",
                ("high", "Write."): "block_write",
            }.get((section, kind))
            if key and key not in spent:
                spent[key] = value
    missing = [n for n, _, _ in FIGURES if n not in spent]
    if missing:
        raise RuntimeError("%s: no spent time for %s" % (path, ", ".join(missing)))
    return spent


def rate_from_spent(spent):
    # The report prints 6 significant digits of both; dividing the fixed
    # count by the printed time keeps the rate as precise as the time.
    return {n: (c / spent[n] if spent[n] > 0 else float("inf")) for n, c, _ in FIGURES}


def run_reference(reference, scratch):
    clean(scratch)
    out = subprocess.run([reference, scratch], cwd=scratch, stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, check=True, text=True).stdout
    rates, spent = {}, {}
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 3:
            rates[parts[0]] = float(parts[1])
            spent[parts[0]] = float(parts[2])
    return rates, spent


# --- process discovery -----------------------------------------------------

def ranks_of(binary):
    """pid -> rank of every live process running `binary`."""
    found = {}
    real = os.path.realpath(binary)
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.readlink("/proc/%s/exe" % entry) != real:
                continue
            with open("/proc/%s/environ" % entry, "rb") as f:
                env = f.read().split(b"\0")
        except OSError:
            continue
        rank = 0
        for kv in env:
            if kv.startswith(b"OMPI_COMM_WORLD_RANK="):
                rank = int(kv.split(b"=", 1)[1] or 0)
        found[int(entry)] = rank
    return found


def status_kb(pid, field):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def start_boottime(pid):
    """Process start in CLOCK_BOOTTIME seconds (kernel tick resolution)."""
    with open("/proc/%d/stat" % pid) as f:
        stat = f.read()
    fields = stat[stat.rindex(")") + 2:].split()
    return int(fields[19]) / os.sysconf("SC_CLK_TCK")


# --- one run of drives_mpi (or the idle MPI program) ------------------------

class Run:
    """Launches a binary under mpirun and watches it.

    Records the launch, the moment the console shows "Press Enter to Exit.",
    the peak resident memory of each rank while it waits there, and, if asked,
    when the first test file appears in the scratch directory.
    """

    def __init__(self, binary, ranks, scratch, hold=False, watch_create=False):
        self.binary = binary
        self.ranks = ranks
        self.scratch = scratch
        self.hold = hold
        self.watch_create = watch_create
        self.console = []
        self.t_launch = None
        self.t_press = None
        self.hwm = {}        # rank -> VmHWM kB, last seen
        self.start_to_create = None
        self.launch_to_create = None
        self._stop = False

    def _sample(self):
        for pid, rank in ranks_of(self.binary).items():
            v = status_kb(pid, "VmHWM")
            if v is not None:
                self.hwm[rank] = max(v, self.hwm.get(rank, 0))

    def _poll_memory(self):
        # Workers may be gone before the root reaches its wait, so the peak
        # is followed during the whole run, not only at the end.
        while not self._stop:
            self._sample()
            time.sleep(0.2)

    def _watch(self):
        libc = ctypes.CDLL(None, use_errno=True)
        fd = libc.inotify_init1(os.O_CLOEXEC)
        IN_CREATE = 0x100
        libc.inotify_add_watch(fd, self.scratch.encode(), IN_CREATE)
        self._watch_fd = fd
        buf = b""
        while not self._stop:
            try:
                data = os.read(fd, 4096)
            except OSError:
                return
            t = time.clock_gettime(time.CLOCK_BOOTTIME)
            t_mono = time.monotonic()
            buf += data
            while len(buf) >= 16:
                _, _, _, ln = struct.unpack("iIII", buf[:16])
                name = buf[16:16 + ln].split(b"\0", 1)[0].decode(errors="replace")
                buf = buf[16 + ln:]
                if name == TMP_NAME and self.start_to_create is None:
                    self.launch_to_create = t_mono - self.t_launch
                    for pid, rank in ranks_of(self.binary).items():
                        if rank == 0:
                            self.start_to_create = t - start_boottime(pid)
                    return

    def run(self):
        threads = [threading.Thread(target=self._poll_memory, daemon=True)]
        if self.watch_create:
            threads.append(threading.Thread(target=self._watch, daemon=True))
        for t in threads:
            t.start()
        time.sleep(0.05)
        self.t_launch = time.monotonic()
        proc = subprocess.Popen(mpirun_cmd(self.ranks, self.binary), cwd=self.scratch,
                                stdin=subprocess.PIPE if self.hold else subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True, bufsize=1)
        for line in proc.stdout:
            self.console.append(line.rstrip("\n"))
            if line.rstrip("\n") == PRESS_ENTER and self.t_press is None:
                self.t_press = time.monotonic()
                if self.hold:
                    self._sample()
                    proc.stdin.write("\n")
                    proc.stdin.close()
        rc = proc.wait()
        self._stop = True
        if self.watch_create and hasattr(self, "_watch_fd"):
            os.close(self._watch_fd)
        if rc != 0:
            raise RuntimeError("%s exited with %d:\n%s" % (
                " ".join(mpirun_cmd(self.ranks, self.binary)), rc, "\n".join(self.console[-20:])))
        if self.t_press is None:
            raise RuntimeError("no %r on the console of %s" % (PRESS_ENTER, self.binary))
        return self


def run_drives(drives, scratch, **kw):
    clean(scratch)
    r = Run(drives, 1, scratch, **kw).run()
    files = result_files(scratch)
    if not files:
        raise RuntimeError("drives_mpi left no result file in %s" % scratch)
    spent = parse_result_file(os.path.join(scratch, files[-1]))
    r.spent = spent
    r.rates = rate_from_spent(spent)
    r.unmeasured = (r.t_press - r.t_launch) - sum(spent.values())
    return r


# --- start-up under strace ---------------------------------------------------

def strace_startup(drives, scratch, log_dir):
    """Seconds from drives_mpi's execve to its first open of the test file."""
    clean(scratch)
    trace = os.path.join(log_dir, "startup.strace")
    cmd = ["strace", "-f", "-ttt", "--seccomp-bpf", "-e", "trace=execve,openat",
           "-o", trace] + mpirun_cmd(1, drives)
    subprocess.run(cmd, cwd=scratch, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)
    base = os.path.basename(drives)
    exec_pid = exec_t = None
    with open(trace) as f:
        for line in f:
            parts = line.split(None, 2)
            if len(parts) < 3:
                continue
            pid, t, call = int(parts[0]), float(parts[1]), parts[2]
            if exec_pid is None and call.startswith("execve(") and base in call.split(",")[0] \
                    and call.rstrip().endswith("= 0"):
                exec_pid, exec_t = pid, t
            elif pid == exec_pid and call.startswith("openat(") and ('"%s"' % TMP_NAME) in call:
                return t - exec_t
    return None


# --- report ------------------------------------------------------------------

def fmt_rate(v):
    return "%.4g" % v


def median_min_max(values):
    return statistics.median(values), min(values), max(values)


def main():
    build, scratch, pairs, log_dir = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    drives = os.path.join(build, "drives_mpi")
    reference = next(p for p in (os.path.join(build, "bench", "drives_reference"),
                                 os.path.join(build, "drives_reference")) if os.path.exists(p))
    idle = next((p for p in (os.path.join(build, "bench", "mpi_idle"),
                             os.path.join(build, "mpi_idle")) if os.path.exists(p)), None)

    ref_runs, bench_runs, loads = [], [], []
    for i in range(pairs):
        # Alternate who goes first so that a drift of the machine over the
        # run does not always favour the same side.
        order = ("ref", "bench") if i % 2 == 0 else ("bench", "ref")
        for who in order:
            if who == "ref":
                with Load() as load:
                    rates, _ = run_reference(reference, scratch)
                ref_runs.append(rates)
                loads.append(load.cores)
                log("pair %d/%d reference: %s other-load=%.2f cores" % (i + 1, pairs, " ".join(
                    "%s=%s" % (n, fmt_rate(rates[n])) for n, _, _ in FIGURES), load.cores))
            else:
                with Load() as load:
                    r = run_drives(drives, scratch)
                bench_runs.append(r)
                loads.append(load.cores)
                shutil.copy(os.path.join(scratch, result_files(scratch)[-1]),
                            os.path.join(log_dir, "result-pair%d.txt" % (i + 1)))
                log("pair %d/%d drives_mpi: %s unmeasured=%.3fs other-load=%.2f cores" % (
                    i + 1, pairs, " ".join("%s=%s" % (n, fmt_rate(r.rates[n])) for n, _, _ in FIGURES),
                    r.unmeasured, load.cores))

    print()
    print("Single-process figures, %d pairs, scratch %s" % (pairs, scratch))
    print("%-17s %-11s %12s %12s   %-22s" % ("figure", "unit", "reference", "drives_mpi",
                                              "ratio median [min, max]"))
    for name, _, unit in FIGURES:
        ref = [r[name] for r in ref_runs]
        ben = [r.rates[name] for r in bench_runs]
        ratios = [b / a for a, b in zip(ref, ben)]
        med, lo, hi = median_min_max(ratios)
        print("%-17s %-11s %12s %12s   %.3f [%.3f, %.3f]%s" % (
            name, unit, fmt_rate(statistics.median(ref)), fmt_rate(statistics.median(ben)),
            med, lo, hi, "" if med >= 0.98 else "   < 0.98"))

    print("CPU used by other processes during the runs: %.2f cores at most%s" % (
        max(loads), "" if max(loads) < 0.2 else "   (machine not idle: figures are disturbed)"))

    um = [r.unmeasured for r in bench_runs]
    med, lo, hi = median_min_max(um)
    print()
    print("Unmeasured time of a one-rank run (launch to %r minus the six spans):" % PRESS_ENTER)
    print("  %.3f s median [%.3f, %.3f]%s" % (med, lo, hi, "" if med <= 1.0 else "   > 1 s"))

    # Start-up: untraced (process start from /proc, first create by inotify)
    # and traced (strace timestamps, slower because every open is stopped).
    r = run_drives(drives, scratch, watch_create=True)
    print()
    print("Start of drives_mpi to its first timed span:")
    if r.start_to_create is not None:
        print("  untraced (proc start, tick resolution -> inotify create): %.3f s%s" % (
            r.start_to_create, "" if r.start_to_create <= 0.2 else "   > 0.2 s"))
    if r.launch_to_create is not None:
        print("  launch of mpirun -> first create (untraced, includes mpirun's start): %.3f s" %
              r.launch_to_create)
    if shutil.which("strace"):
        st = strace_startup(drives, scratch, log_dir)
        if st is not None:
            print("  traced (strace execve -> openat %s): %.3f s" % (TMP_NAME, st))

    print()
    print("Peak resident memory (VmHWM):")
    one = Run(drives, 1, scratch, hold=True).run()
    clean(scratch)
    two = Run(drives, 2, scratch, hold=True).run()
    clean(scratch)
    base1 = base2 = None
    if idle:
        base1 = Run(idle, 1, scratch, hold=True).run()
        base2 = Run(idle, 2, scratch, hold=True).run()
    block_kb = BLOCK_BYTES // 1024

    def line(label, total, base, blocks):
        if total is None:
            print("  %-32s not sampled" % label)
            return
        s = "  %-32s %7d kB" % (label, total)
        if base is not None:
            own = total - base - blocks * block_kb
            s += "  = MPI runtime alone %d kB + 16 MiB blocks %d kB + program state %d kB" % (
                base, blocks * block_kb, own)
        print(s)

    line("root, one-rank run", one.hwm.get(0), base1.hwm.get(0) if base1 else None, 1)
    line("worker (rank 1), two-rank run", two.hwm.get(1),
         base2.hwm.get(1) if base2 else None, 1)
    line("root, two-rank run", two.hwm.get(0), base2.hwm.get(0) if base2 else None, 1)


if __name__ == "__main__":
    main()
