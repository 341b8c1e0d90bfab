"""The fixed lines of drives_mpi's report that the tools look for: the
results reader matches whole reports against them, the status line follows
a run by them. A test holds each against the benchmark's own text."""

TITLE = "Velkora :: Quorvalent Benchmark Drives for MacOS Clusters on Mx system 2023.02.20."
STOP_TITLE = "Velkora ::  Quorvalent Benchmark Drives for MacOS Clusters on Mx system 2023.02.20."
RIGHTS = "Free software: use, study, share and change it as you like; it comes with no warranty."
SUPPORT = "Questions and bug reports: open an issue where you got this program."
UNABLE = "Unable to open file"
SINGLE_HEADING = "Force to be single thread."
MULTI_HEADING = "Multi-Thread Enabled:"
LOWER_HEADING = "Power of Handling Files -- Lower"
HIGHER_HEADING = "Power of Handling Files -- Higher"
HIGHER_HEADING_CONSOLE = "Power of Handling Files -- Hihger"
LOW_HEADING = "Low writing and reading speeds:"
HIGH_HEADING = "High writing and reading speeds:"
SPENT = "The system spent: "
SAVED = "Results have been saved in a file and you can find it at: "
NOT_SAVED = "Results could not be saved in a file at: "
PRESS_ENTER = "Press Enter to Exit."
MAX_RANKS = 4096
PROGRAM = "drives_mpi"
# The start of the root's first line on standard error in a test build
# (after PROGRAM): no failure.
TEST_BUILD = ": a test build: every count and size is divided by "
