"""The fixed texts of drives_mpi's report that the tools look for, each
under the name of its constant in the benchmark's constants.h (kTitle is
TITLE here), the few exceptions named in the test that holds them against
it: the results reader builds every line it expects from these, the status
line and the record follow a run by them."""

# The report's lines, in the order they come.
TITLE = "Velkora :: Quorvalent Benchmark Drives for MacOS Clusters on Mx system 2023.02.20."
STOP_TITLE = "Velkora ::  Quorvalent Benchmark Drives for MacOS Clusters on Mx system 2023.02.20."
RIGHTS = "Free software: use, study, share and change it as you like; it comes with no warranty."
SUPPORT = "Questions and bug reports: open an issue where you got this program."
THREADS = "Thread(s): "
SINGLE_HEADING = "Force to be single thread."
MULTI_HEADING = "Multi-Thread Enabled:"
LOWER_HEADING = "Power of Handling Files -- Lower"
HIGHER_HEADING = "Power of Handling Files -- Higher"
HIGHER_HEADING_CONSOLE = "Power of Handling Files -- Hihger"
LOW_HEADING = "Low writing and reading speeds:"
HIGH_HEADING = "High writing and reading speeds:"

# The pieces of the result lines, around their figures.
SPENT = "The system spent: "
SECS = " Secs."
SECS_TO_WRITE = " Secs. to Write."
SECS_TO_READ_SINGLE = " Secs. to Read:"
SECS_TO_READ_MULTI = " Secs. to Read."
COULD_PROCESS = "The system could process "
COULD_PROCESS_FILE = "The system could process  "
FILES_PER_SEC = " Files/sec."
IT_WAS = "It was: "
MILLIONS_ACCESSES = " Millions Accesses/sec."
MILLIONS_ACCESS = " Millions Access/sec."
CONVENTIONALLY = "Conventionally, it was: "
MB_PER_SEC = " MB/sec."
MB_PER_SEC_WIDE = "  MB/sec."
UNABLE = "Unable to open file"

# The workers' lines and their summaries.
THREAD = "Thread:"
AT = " @"
SPACE = " "
OVERALL_FILES = "Overall, The system could process: "
IMPROVEMENTS = "Multi-Thread Improvements: "
TIMES = " times."
AVERAGE_FILES = "Among all nodes, the average process per thread was: "
OVERALL_ACCESSES = "Overall, It was: "
TO_WRITE = " Millions Accesses/sec.to Write"
TO_READ = " Millions Accesses/sec.to Read"
TOTAL_WRITING = "Conventionally, total writing speed was: "
TOTAL_READING = "Conventionally, total reading speed was: "
AVERAGE_LOW_WRITING = "Among all nodes, the average low writing process per thread was: "
AVERAGE_LOW_READING = "Among all nodes, the average low reading process per thread was: "
AVERAGE_HIGH_WRITING = "Among all nodes, the average high writing process per thread was: "
AVERAGE_HIGH_READING = "Among all nodes, the average high reading process per thread was: "

# The console's end lines.
SAVED = "Results have been saved in a file and you can find it at: "
NOT_SAVED = "Results could not be saved in a file at: "
PRESS_ENTER = "Press Enter to Exit."

# The result file's name: strftime's fields in the second %s.
RESULT_FILE_PATTERN = "results_drives_macos_clusters_mx @ %s @ %s"
TIMESTAMP_PATTERN = "local date %Y.%m.%d time %H.%M.%S.txt"

# Lines on standard error. Every "drives_mpi: " line tells of calls that
# failed, but the root's about workers on its host (PROGRAM, ": ", a count,
# WORKERS_OF, a count, RAN_ON_THIS_HOST) and a test build's (PROGRAM,
# TEST_BUILD).
PROGRAM = "drives_mpi"
WORKERS_OF = " of "
RAN_ON_THIS_HOST = " workers ran on this host ("
TEST_BUILD = ": a test build: every count and size is divided by "

MAX_RANKS = 4096
