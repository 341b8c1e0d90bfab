"""How fast drives-results converts many large result files.

Builds 100 result files of 64 workers each from a real two-rank result file
(its worker lines repeated under other ranks and host names, each worker's
figures scaled by a factor of its own, totals, gains and means made to
match), then times `drives-results json` and `csv` over all of them, as a
user would run them (a fresh process each time, start-up included).

    python3 bench/results_speed.py 'RUN/results_drives_macos_clusters_mx @ ... .txt'
"""

import argparse
import os
import random
import re
import statistics
import subprocess
import tempfile
import time

TOOL = os.path.join(
    os.path.dirname(os.path.abspath(__file__)), os.pardir, "tools", "drives-results"
)
NUMBER = re.compile(r"-?(?:inf|nan|\d+(?:\.\d*)?(?:e[-+]\d+)?)")


def rescale(line, factor):
    """The line with its one figure multiplied by `factor`, printed the way
    the report prints (six significant digits)."""
    found = list(NUMBER.finditer(line))[-1]
    value = float(found.group()) * factor
    return line[: found.start()] + f"{value:.6g}" + line[found.end() :]


def synthesize(text, workers, spread=0.4, seed=0, name="node-{:02d}.cluster.lan"):
    """A result file of `workers` workers from one of exactly one worker.
    Worker r's rates are rank 1's times a factor in [1-spread, 1+spread]
    (spread >= 1: factors spread evenly on a log scale over that many
    orders of magnitude); its seconds are divided by the same factor."""
    rng = random.Random(seed)
    if spread >= 1:
        factors = [10 ** (-spread * r / max(1, workers - 1)) for r in range(workers)]
    else:
        factors = [rng.uniform(1 - spread, 1 + spread) for _ in range(workers)]
    lines = text.split("\n")
    if not any(line == "Thread(s): 2" for line in lines):
        raise SystemExit("needs the result file of a two-rank run")
    out, group = [], []

    def flush():
        for rank, factor in enumerate(factors, 1):
            for line in group:
                line = re.sub(
                    r"\AThread:1 @.*?(?=\s?The system|\sIt was)",
                    f"Thread:{rank} @{name.format(rank)}",
                    line,
                )
                out.append(rescale(line, 1 / factor if "spent:" in line else factor))
        group.clear()

    for line in lines:
        if line.startswith("Thread:1 @") or (group and line.startswith("Conventionally, it was:")):
            if "spent:" in line and group:
                flush()
            group.append(line)
            continue
        if group:
            flush()
        if line == "Thread(s): 2":
            line = f"Thread(s): {workers + 1}"
        elif line.startswith(("Overall,", "Conventionally, total", "Multi-Thread Improvements")):
            line = rescale(line, sum(factors))
        elif line.startswith("Among all nodes"):
            line = rescale(line, sum(factors) / workers)
        out.append(line)
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("result_file", help="result file of a real two-rank run")
    parser.add_argument("--files", type=int, default=100)
    parser.add_argument("--workers", type=int, default=64)
    parser.add_argument("--repeat", type=int, default=5)
    opts = parser.parse_args()
    with open(opts.result_file, encoding="utf-8") as stream:
        text = stream.read()
    with tempfile.TemporaryDirectory(prefix="results-speed-") as scratch:
        paths = []
        for index in range(opts.files):
            path = os.path.join(
                scratch,
                "results_drives_macos_clusters_mx @ bench root @ "
                f"local date 2026.01.{index // 60 + 1:02d} time "
                f"12.{index % 60:02d}.00.txt",
            )
            with open(path, "w", encoding="utf-8") as stream:
                stream.write(synthesize(text, opts.workers, seed=index))
            paths.append(path)
        size = sum(os.path.getsize(p) for p in paths)
        print(f"{opts.files} result files of {opts.workers} workers, {size / 1e6:.1f} MB")
        # Wall time is what a user waits; CPU time (user + system) shows the
        # tool's own cost when other work shares the machine.
        for command in ("json", "csv"):
            walls, cpus = [], []
            for _ in range(opts.repeat):
                before, start = os.times(), time.perf_counter()
                subprocess.run(
                    [TOOL, command, "-o", os.path.join(scratch, "out." + command)] + paths,
                    check=True,
                )
                walls.append(time.perf_counter() - start)
                after = os.times()
                cpus.append(
                    after.children_user
                    + after.children_system
                    - before.children_user
                    - before.children_system
                )
            size = os.path.getsize(os.path.join(scratch, "out." + command)) / 1e6
            print(
                f"drives-results {command}: wall median {statistics.median(walls):.3f} s "
                f"[{min(walls):.3f}, {max(walls):.3f}], CPU median "
                f"{statistics.median(cpus):.3f} s [{min(cpus):.3f}, {max(cpus):.3f}] "
                f"over {opts.repeat} runs; output {size:.1f} MB"
            )
        print(f"load average at the end: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
