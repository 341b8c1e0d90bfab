#!/usr/bin/env python3
"""A stand-in for drives_mpi's root: its result file made at its start, named as the
root names it, the report's first lines, then either a line every tenth of a second for
ever (FAKE_TICKS set; FAKE_TICKS=N: from the Nth run in this directory on) or the end
lines, the wait for Enter, and what was typed ("typed: ...") on standard error.
FAKE_RESULT names another result file in the end line."""

import os
import sys
import time

TITLE = "Velkora :: Quorvalent Benchmark Drives for MacOS Clusters on Mx system 2023.02.20."
print(TITLE, "Force to be single thread.", "Power of Handling Files -- Lower", sep="\n", flush=True)
with open(".fake-runs", "a+") as runs:
    runs.write("run\n")
    runs.seek(0)
    run = len(runs.readlines())
made = f"{os.getcwd()}/results_drives_macos_clusters_mx @ fake @ local date 2026.01.01 time 00.00.{run:02d}.txt"
with open(made, "w") as result:
    result.write(TITLE + "\n")
if os.environ.get("FAKE_TICKS") and run >= int(os.environ["FAKE_TICKS"]):
    while True:
        print("The system spent: 1 Secs.", flush=True)
        time.sleep(0.1)
result = os.environ.get("FAKE_RESULT", made)
print(
    f"Results have been saved in a file and you can find it at: {result}",
    "Press Enter to Exit.",
    sep="\n",
    flush=True,
)
print(f"typed: {sys.stdin.readline()!r}", file=sys.stderr, flush=True)
