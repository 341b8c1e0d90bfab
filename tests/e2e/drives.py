"""Runs the real drives_mpi under mpirun and checks what a user sees.

The expected report is written out here line by line, console and result
file each with its own wording; numbers are captured by name and then held
against each other (spent x rate = count, totals, gains, means).
"""

import atexit
import contextlib
import glob
import json
import math
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
from unittest import SkipTest

HERE = os.path.dirname(os.path.abspath(__file__))
import launched  # noqa: E402
from drives_tools import mpis  # noqa: E402,F401  (the tests use drives.mpis)

# The count divisor of the binary under test (1: full size), as CTest tells.
SCALE = int(os.environ.get("DRIVES_SCALE", "1"))
FIRST_PASS = 16777216 // SCALE
SECOND_PASS = 8388608 // SCALE
FILE_CYCLES = 131072 // SCALE
MB = 1048576.0
TEST_BYTE = b"\x0b"
# Six significant digits on every printed value; a relation of a few of them
# may be off by a few units in the last digit.
TOLERANCE = 3e-5

TITLE = "Velkora :: Quorvalent Benchmark Drives for MacOS Clusters on Mx system 2023.02.20."
STOP_TITLE = "Velkora ::  Quorvalent Benchmark Drives for MacOS Clusters on Mx system 2023.02.20."
RIGHTS = "Free software: use, study, share and change it as you like; it comes with no warranty."
SUPPORT = "Questions and bug reports: open an issue where you got this program."
UNABLE = "Unable to open file"
SINGLE_TEMP = "data64-macos-mx-single.tmp"
SINGLE_BLOCK = "data64-macos-mx-single"
RESULT_NAME = "results_drives_macos_clusters_mx @ {} @ local date "

NUMBER = r"-?(?:inf|nan|\d+(?:\.\d*)?(?:e[-+]\d+)?)"


# ---------------------------------------------------------------- running


def scratch_dir(prefix):
    """A fresh working directory, removed when the test process exits."""
    path = tempfile.mkdtemp(prefix=prefix)
    atexit.register(shutil.rmtree, path, True)
    return os.path.realpath(path)


def build_of(binary):
    """The build directory a binary was made in."""
    build = os.path.dirname(os.path.abspath(binary))
    while not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        build = os.path.dirname(build)
    return build


def call(args, timeout=300, **options):
    """Runs a command with standard input empty; its status, output and standard error."""
    options = dict(stdin=subprocess.DEVNULL, capture_output=True, text=True, **options)
    return subprocess.run(args, timeout=timeout, **options)


def installed(opts):
    """The build installed as a user installs it, in a fresh prefix."""
    prefix = scratch_dir("prefix-")
    call(["cmake", "--install", build_of(opts.binary), "--prefix", prefix], check=True)
    return prefix


def run(opts, np, workdir, app_contexts=None, shim_env=None, apart=False, timeout=1200):
    """Runs the launcher; returns its status, what it printed (with `apart`,
    a list of what each rank printed) and its standard error."""
    outdir = scratch_dir("drives-out-") if apart else None
    done = call(command(opts, np, app_contexts, shim_env, outdir), timeout, cwd=workdir)
    check_no_sanitizer_report(done.stderr)
    keep_stderr(done.stderr)
    out = [launched.rank_output(outdir, rank) for rank in range(np)] if apart else done.stdout
    return done.returncode, out, done.stderr


def scenario():
    """The test file that runs, as pytest names it ("test_two_ranks")."""
    current = os.environ.get("PYTEST_CURRENT_TEST", sys.argv[0])
    return os.path.basename(current.split("::")[0])[: -len(".py")]


def keep_stderr(text):
    """What the ranks said on standard error, kept for the docs' test, which
    holds the docs' quotes of it against what the ranks really print."""
    runs = os.environ.get("DRIVES_RUNS_DIR")
    if runs and text:
        os.makedirs(os.path.join(runs, "stderr"), exist_ok=True)
        name = scenario() + ".txt"
        with open(
            os.path.join(runs, "stderr", name), "a" if KEPT else "w", encoding="utf-8"
        ) as stream:
            stream.write(text)
        KEPT.append(name)


KEPT = []  # this test's standard error is kept anew, then added to


def check_no_sanitizer_report(stderr):
    found = SANITIZER_REPORT.search(stderr)
    assert not found, "sanitizer report:\n" + stderr[max(0, found.start() - 200) :][:4000]


# For a sanitizer build: the shim is preloaded ahead of the ASan runtime, and
# Open MPI's own allocations at exit are not the benchmark's leaks. Keeping
# its components loaded lets the suppressions name them.
SANITIZER_ENV = {
    "ASAN_OPTIONS": "verify_asan_link_order=0:detect_leaks=1:abort_on_error=0",
    "LSAN_OPTIONS": f"suppressions={HERE}/lsan.supp:print_suppressions=0:fast_unwind_on_malloc=0",
    "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
    "OMPI_MCA_mca_base_component_disable_dlclose": "1",
}
SANITIZER_REPORT = re.compile(r"ERROR: (Address|Leak)Sanitizer|runtime error:")


def command(opts, np, app_contexts=None, shim_env=None, outdir=None):
    """The launcher's command line, as `make run` builds it, with the
    sanitizer settings and, if `shim_env` is given, the shim preloaded.
    app_contexts: list of argv lists, one rank each."""
    env = dict(SANITIZER_ENV)
    if shim_env:
        env.update(shim_env, LD_PRELOAD=opts.shim)
    return launched.command(
        opts.binary, np, opts.mpi, contexts=app_contexts, env=env, outdir=outdir
    )


def with_hostname(opts, name):
    """An app context running the binary under a host name of its own, in a
    UTS namespace of its own (skips the test where there are none). The
    hostname utility refuses names with blanks; the system call does not."""
    probe = subprocess.run(["unshare", "--uts", "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        raise SkipTest("no UTS namespaces here: " + probe.stderr.strip())
    become = (
        "import os, socket, sys; socket.sethostname(sys.argv[1]); "
        "os.execv(sys.argv[2], sys.argv[2:])"
    )
    return ["unshare", "--uts", sys.executable, "-c", become, name, opts.binary]


# The longest host name the system allows, with dots, and one with spaces.
LONG_NAME = "node-0123.rack-4567.row-89.hall-b.site-x.example.lan.abcdefghijk"
SPACED_NAME = "bench node two"
HOST = os.uname().nodename


# ---------------------------------------------------------------- matching


def compile_template(template):
    """'It was: {m} Millions' -> regex with a named group per placeholder."""
    if isinstance(template, re.Pattern):
        return template
    parts = re.split(r"\{(\w+)\}", template)
    pattern = ""
    for index, part in enumerate(parts):
        pattern += f"(?P<{part}>{NUMBER})" if index % 2 else re.escape(part)
    return re.compile(pattern + r"\Z")


def match_lines(actual, expected, what):
    """Matches every line against its template; returns the captured numbers."""
    values = {}
    for number, (got, template) in enumerate(zip(actual, expected), 1):
        found = compile_template(template).match(got)
        assert found, f"{what} line {number}: got {got!r}, expected {template!r}"
        for key, value in found.groupdict().items():
            assert key not in values, f"template reuses {key}"
            values[key] = value
    assert len(actual) == len(expected), (
        f"{what}: {len(actual)} lines, expected {len(expected)}; "
        f"first extra/missing: {(actual + expected)[min(len(actual), len(expected))]!r}"
    )
    return values


def close(a, b, what):
    assert (
        math.isclose(a, b, rel_tol=TOLERANCE) or math.isnan(a) and math.isnan(b)
    ), f"{what}: {a} vs {b}"


# ---------------------------------------------------------------- report


def speed_block(prefix, suffix):
    return [
        f"The system spent: {{{prefix}_s}}{suffix}",
        f"It was: {{{prefix}_m}} Millions Accesses/sec.",
        f"Conventionally, it was: {{{prefix}_mb}} MB/sec.",
    ]


def single_phase(console, root_unable=False):
    """The single-process phase on one stream, from its heading on."""
    could = "The system could process " if console else "The system could process  "
    higher = "Power of Handling Files -- Hihger" if console else "Power of Handling Files -- Higher"
    lines = [
        "Force to be single thread.",
        "",
        "Power of Handling Files -- Lower",
        "",
        "The system spent: {sx_s} Secs.",
        could + "{sx_r} Files/sec.",
        "",
        higher,
        "",
        "The system spent: {sx1_s} Secs.",
        could + "{sx1_r} Files/sec.",
        "",
        "Low writing and reading speeds:",
        "",
    ]
    lines += speed_block("s0", " Secs. to Write.")
    if console and root_unable:
        lines.append(UNABLE)
    lines += speed_block("s2", " Secs. to Read:") + [""]
    lines += ["High writing and reading speeds:", ""]
    lines += speed_block("s", " Secs. to Read:")
    lines += speed_block("s1", " Secs. to Write.") + ["", ""]
    return lines


def file_block(console, heading, key, workers):
    lines = [heading, ""]
    gap = " " if console else ""
    for rank, name in workers:
        at = f"Thread:{rank} @{name}{gap}"
        lines += [
            at + f"The system spent: {{{key}{rank}_s}} Secs.",
            at + f"The system could process {{{key}{rank}_r}} Files/sec.",
        ]
    lines += [
        f"Overall, The system could process: {{{key}_total}} Files/sec.",
        f"Multi-Thread Improvements: {{{key}_gain}} times.",
        "",
    ]
    lines += ["", ""] if console else [""]
    lines += [f"Among all nodes, the average process per thread was: {{{key}_mean}} Files/sec.", ""]
    return lines


def worker_speed_lines(console, key, secs, workers):
    unit = " Millions Access/sec." if console else " Millions Accesses/sec."
    lines = []
    for rank, name in workers:
        lines += [
            f"Thread:{rank} @{name} The system spent: {{{key}{rank}_s}}{secs}",
            f"Thread:{rank} @{name} It was: {{{key}{rank}_m}}{unit}",
            f"Conventionally, it was: {{{key}{rank}_mb}} MB/sec.",
        ]
    return lines


def speed_summary(key, blanks, low):
    level = "low" if low else "high"
    write_unit = " MB/sec." if low else "  MB/sec."
    lines = [""] * blanks
    lines += [
        f"Overall, It was: {{{key}w_total}} Millions Accesses/sec.to Write",
        f"Conventionally, total writing speed was: {{{key}w_mb}} MB/sec.",
        f"Multi-Thread Improvements: {{{key}w_gain}} times.",
        f"Overall, It was: {{{key}r_total}} Millions Accesses/sec.to Read",
        f"Conventionally, total reading speed was: {{{key}r_mb}} MB/sec.",
        f"Multi-Thread Improvements: {{{key}r_gain}} times.",
        "",
        "",
        f"Among all nodes, the average {level} writing process per thread was: "
        f"{{{key}w_mean}}{write_unit}",
        "",
        f"Among all nodes, the average {level} reading process per thread was: "
        f"{{{key}r_mean}}  MB/sec.",
    ]
    return lines + ([""] if low else [])


def multi_phase(console, workers):
    """The workers' phase, if there are any."""
    if not workers:
        return []
    lines = ["Multi-Thread Enabled:"]
    lines += file_block(console, "Power of Handling Files -- Lower", "mx", workers)
    lines += file_block(console, "Power of Handling Files -- Higher", "mxx", workers)
    lines += ["Multi-Thread Enabled:", "Low writing and reading speeds:", ""]
    lines += worker_speed_lines(console, "lw", " Secs. to Write.", workers)
    lines += worker_speed_lines(console, "lr", " Secs. to Read.", workers)
    lines += speed_summary("l", 2, True)
    lines += ["Multi-Thread Enabled:", "High writing and reading speeds:", ""]
    lines += worker_speed_lines(console, "hr", " Secs. to Read.", workers)
    lines += worker_speed_lines(console, "hw", " Secs. to Write.", workers)
    lines += speed_summary("h", 1, False)
    return lines


def expected_console(nproc, workers, end_line, root_unable=False):
    lines = ["", TITLE, RIGHTS, SUPPORT, "", "", "", f"Thread(s): {nproc}", ""]
    lines += single_phase(True, root_unable) + multi_phase(True, workers)
    return lines + ["", "", end_line, "", "", "Press Enter to Exit."]


def expected_file(nproc, workers):
    return (
        [TITLE, "", f"Thread(s): {nproc}", ""] + single_phase(False) + multi_phase(False, workers)
    )


def split_lines(text):
    return text.split("\n")[:-1] if text.endswith("\n") else text.split("\n")


def check_relations(values, workers, counts):
    """Every printed figure against the others. counts[rank] = (one-byte
    count, block count) of each worker; counts[0] for the root."""
    v = {key: float(text.replace("-nan", "nan")) for key, text in values.items()}
    low, block = counts[0]
    close(v["sx_s"] * v["sx_r"], FILE_CYCLES, "stream cycle")
    close(v["sx1_s"] * v["sx1_r"], FILE_CYCLES, "descriptor cycle")
    for key, count in (("s0", low), ("s2", low), ("s", block), ("s1", block)):
        if count:
            close(v[key + "_s"] * v[key + "_m"] * 1e6, count, key)
    if not workers:
        return
    for key, single in (("mx", "sx_r"), ("mxx", "sx1_r")):
        total = 0.0
        for rank, _ in workers:
            rate = v[f"{key}{rank}_r"]
            close(v[f"{key}{rank}_s"] * rate, FILE_CYCLES, f"{key} worker {rank}")
            total += rate
        close(v[key + "_total"], total, key + " total")
        close(v[key + "_gain"], total / v[single], key + " gain")
        close(v[key + "_mean"], total / len(workers), key + " mean")
    for key, single, which in (("lw", "s0", 0), ("lr", "s2", 0), ("hw", "s1", 1), ("hr", "s", 1)):
        total = 0.0
        for rank, _ in workers:
            rate = v[f"{key}{rank}_m"] * 1e6
            count = counts[rank][which]
            if count:
                close(v[f"{key}{rank}_s"] * rate, count, f"{key} worker {rank}")
            total += rate
        summary = key[0] + key[1]
        close(v[summary + "_total"] * 1e6, total, key + " total")
        reference = v[single + "_m"] * 1e6
        gain = total / reference if reference else (math.nan if total == 0 else math.inf)
        close(v[summary + "_gain"], gain, key + " gain")
        close(v[summary + "_mean"] * MB, total / len(workers), key + " mean")


def normal_counts(nproc, blocks=True):
    """One-byte and block counts of every rank of an undisturbed run;
    without `blocks`, block counts of 0: not known, not checked."""
    counts = {}
    for rank in range(nproc):
        low = FIRST_PASS + (SECOND_PASS if rank == 0 else FIRST_PASS // (rank + 1))
        counts[rank] = (low, low if blocks else 0)
    return counts


def result_file(workdir, root_name):
    found = glob.glob(
        os.path.join(
            glob.escape(workdir),
            RESULT_NAME.format(glob.escape(root_name)) + "????.??.?? time ??.??.??.txt",
        )
    )
    assert len(found) == 1, f"result files in {workdir}: {found}"
    return found[0]


def check_report(
    console_text, workdir, nproc, workers, root_name, counts=None, saved=True, root_unable=False,
    shown_dir=None,
):  # fmt: skip
    """Console and result file of a run against what a user must see; returns
    the captured values. `saved`: whether there is a result file. `shown_dir`:
    where the root, on a host of its own, saw what is `workdir` here."""
    if saved:
        path = result_file(workdir, root_name)
        shown = os.path.join(shown_dir, os.path.basename(path)) if shown_dir else path
        end_line = "Results have been saved in a file and you can find it at: " + shown
    else:  # the result file's name is known but for its time of day
        unsaved = f"Results could not be saved in a file at: {workdir}/"
        stamp = r"\d{4}\.\d\d\.\d\d time \d\d\.\d\d\.\d\d\.txt\Z"
        end_line = re.compile(re.escape(unsaved + RESULT_NAME.format(root_name)) + stamp)
    console = expected_console(nproc, workers, end_line, root_unable)
    console_values = match_lines(split_lines(console_text), console, "console")
    if saved:
        with open(path, encoding="utf-8", newline="") as stream:
            file_text = stream.read()
        assert file_text.endswith("\n") and "\r" not in file_text
        file_values = match_lines(
            split_lines(file_text), expected_file(nproc, workers), "result file"
        )
        assert console_values == file_values, "console and result file disagree"
    check_relations(console_values, workers, counts or normal_counts(nproc))
    runs = os.environ.get("DRIVES_RUNS_DIR")
    if runs:  # the run kept for the results tool's tests
        keep = os.path.join(runs, f"{scenario()}-{nproc}")
        shutil.rmtree(keep, ignore_errors=True)
        os.makedirs(keep)
        if saved:
            shutil.copy(path, keep)
        kept = {"nproc": nproc, "root": root_name, "workers": workers, "values": console_values}
        for name, text in (("console.txt", console_text), ("values.json", json.dumps(kept))):
            pathlib.Path(keep, name).write_text(text, encoding="utf-8")
    return console_values


# ---------------------------------------------------------------- files


def check_test_file(path):
    with open(path, "rb") as stream:
        assert stream.read() == TEST_BYTE * FIRST_PASS, f"{path}: not {FIRST_PASS} bytes of 0x0B"


def rank_files(rank, name):
    base = f"data64-macos-mx-{rank} @{name}"
    return [base + ".tmp", base]


def check_left_files(workdir, workers):
    """Exactly the test files a run leaves, each 16777216 bytes of 0x0B."""
    expected = [SINGLE_TEMP, SINGLE_BLOCK] + [f for w in workers for f in rank_files(*w)]
    for name in expected:
        check_test_file(os.path.join(workdir, name))
    left = sorted(f for f in os.listdir(workdir) if not f.startswith("results_drives_"))
    assert left == sorted(expected), f"files left: {left}"


# Call counts come from /proc, into ranks the shim is preloaded into: Linux's.
LINUX = sys.platform.startswith("linux")


def counting(iodir):
    """Shim settings that copy the ranks' call counts into `iodir`; None off Linux."""
    if LINUX:
        return {"DRIVES_SHIM_IO_DIR": iodir}
    print("SKIPPED: call counts: /proc and LD_PRELOAD are Linux's")
    return None


def check_rank_io(iodir, ranks, nproc):
    """From the counts `counting` kept of some ranks of an undisturbed run:
    every one-byte access was its own system call, and no read fetched more
    than it needed (but for at most 4 MiB of the runtime's own)."""
    if not LINUX:
        return
    for rank in ranks:
        one_byte, block = normal_counts(nproc)[rank]
        counts, what = launched.io_counts(os.path.join(iodir, f"io.{rank}")), f"rank {rank}"
        assert counts["syscw"] >= one_byte, f"{what}: {counts['syscw']} write calls < {one_byte}"
        assert counts["syscr"] >= one_byte + 1, f"{what}: {counts['syscr']} read calls"
        needed = one_byte + block
        assert needed <= counts["rchar"] <= needed + 4 * MB, f"{what}: read {counts['rchar']} bytes"


def require_linux(what):
    if not LINUX:
        raise SkipTest(f"{what} is Linux's")


@contextlib.contextmanager
def tmpfs(size, files=(), read_only=False):
    """A tmpfs of `size` holding empty `files`, read-only if asked: root ignores
    file permissions, so a read-only mount is what makes a directory unwritable."""
    path = os.path.realpath(tempfile.mkdtemp(prefix="drives-mnt-"))
    atexit.register(os.rmdir, path)
    mounted = call(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", path])
    if mounted.returncode != 0:
        raise SkipTest("cannot mount a tmpfs here: " + mounted.stderr.strip())
    try:
        for name in files:
            open(os.path.join(path, name), "wb").close()
        if read_only:
            subprocess.run(["mount", "-o", "remount,ro", path], check=True)
        yield path
    finally:
        subprocess.run(["umount", "-l", path], check=False)


def failures(stderr, rank, host):
    """What `rank` on `host` told of its failed calls, in order, from the test name on."""
    prefix = f"drives_mpi: rank {rank} @{host}: "
    return [row[len(prefix) :] for row in split_lines(stderr) if row.startswith(prefix)]


def shared_host_line(workers_here, workers):
    """What the root says on standard error when workers shared its host."""
    text = (
        f"drives_mpi: {workers_here} of {workers} workers ran on this host ({HOST}) "
        'while its single-process tests ran; those figures and every "Multi-Thread '
        'Improvements" gain include their load.'
    )
    processors = os.sysconf("SC_NPROCESSORS_ONLN")
    if workers_here + 1 > processors:
        text += (
            f" The {workers_here + 1} ranks on this host also shared its {processors} "
            "processors online."
        )
    return text


def scale_note():
    """What the root of a test build says first on standard error."""
    return "" if SCALE == 1 else (
        f"drives_mpi: a test build: every count and size is divided by {SCALE} "
        "(DRIVES_TEST_SCALE); its figures are not comparable with a release build's.\n"
    )  # fmt: skip


@contextlib.contextmanager
def started(opts, nproc, workdir, until):
    """Yields a run in a session of its own and its console up to the line
    `until`; kills the whole session on the way out."""
    launcher = subprocess.Popen(
        command(opts, nproc),
        cwd=workdir,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )
    try:
        console = []
        for row in launcher.stdout:
            console.append(row)
            if row == until + "\n":
                break
        yield launcher, console
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(launcher.pid, signal.SIGKILL)
