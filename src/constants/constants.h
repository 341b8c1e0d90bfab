// Every fixed count, size, unit and text of the benchmark, in one place.
#pragma once

#include <cstdint>

// Start-up.
constexpr int kRequiredThreadLevel = 3;  // MPI_THREAD_MULTIPLE
constexpr int kRankLimit = 4096;
constexpr int kSlots = kRankLimit;  // every per-rank table has one slot per accepted rank
constexpr int kMultiProcessThreshold = 2;
constexpr int kRootRank = 0;
constexpr int kStopStatus = 1;  // a stop measured nothing: never report it as success
constexpr int kNotSavedStatus = 1;
constexpr int kFailedOperationsStatus = 3;  // figures stand, but some timed calls failed

// Buffer sizes of the state.
constexpr int kProcNameSize = 256;
constexpr int kTimestampSize = 1024;
constexpr int kResultFileSize = 2048;
constexpr int kFileNameSize = 4096;

// Counts and sizes. A test build (CMake's DRIVES_TEST_SCALE, a power of two
// up to 4096) divides every count and size by its scale, and the rates'
// counts with them, so that its figures stay consistent with one another;
// a release build's scale is 1. It says so at every run.
#ifndef DRIVES_TEST_SCALE
#define DRIVES_TEST_SCALE 1
#endif
constexpr int kTestScale = DRIVES_TEST_SCALE;
static_assert(kTestScale >= 1 && kTestScale <= 4096 && (kTestScale & (kTestScale - 1)) == 0,
              "DRIVES_TEST_SCALE is a power of two from 1 to 4096");

// File-handling test.
constexpr int kFileCycles = 131072 / kTestScale;
constexpr unsigned kCreateMode = 0777;

// One-byte test.
constexpr std::int64_t kFirstPassBytes = 16777216 / kTestScale;
constexpr std::int64_t kSecondPassBytes = 8388608 / kTestScale;
constexpr double kLowAccesses = kFirstPassBytes + kSecondPassBytes;
constexpr char kTestByte = 0x0B;

// Block test.
constexpr double kBlockFactor = 1.5;

// Units.
constexpr double kMillion = 1000000.0;
constexpr double kPerKibi = 0.0009765625;  // 1/1024; applied twice for MB

// Files.
constexpr const char* kResultFilePattern = "results_drives_macos_clusters_mx @ %s @ %s";
constexpr const char* kTimestampPattern = "local date %Y.%m.%d time %H.%M.%S.txt";
constexpr const char* kSingleTempFile = "data64-macos-mx-single.tmp";
constexpr const char* kSingleBlockFile = "data64-macos-mx-single";
constexpr const char* kRankFilePrefix = "data64-macos-mx-";
constexpr const char* kTempSuffix = ".tmp";

// Banners and headings.
constexpr const char* kTitle =
    "Velkora :: Quorvalent Benchmark Drives for MacOS Clusters on Mx system 2023.02.20.";
constexpr const char* kStopTitle =
    "Velkora ::  Quorvalent Benchmark Drives for MacOS Clusters on Mx system 2023.02.20.";
constexpr const char* kRightsLine =
    "Free software: use, study, share and change it as you like; it comes with no warranty.";
constexpr const char* kSupportLine =
    "Questions and bug reports: open an issue where you got this program.";
constexpr const char* kThreads = "Thread(s): ";
constexpr const char* kRankLimitReached =
    "The number of threads has reached the limits, the program terminates.";
constexpr const char* kNoMultipleThread = "MPI do not Support Multiple thread";
constexpr const char* kSingleHeading = "Force to be single thread.";
constexpr const char* kMultiHeading = "Multi-Thread Enabled:";
constexpr const char* kLowerHeading = "Power of Handling Files -- Lower";
constexpr const char* kHigherHeading = "Power of Handling Files -- Higher";
constexpr const char* kHigherHeadingConsole = "Power of Handling Files -- Hihger";
constexpr const char* kLowHeading = "Low writing and reading speeds:";
constexpr const char* kHighHeading = "High writing and reading speeds:";

// Result lines.
constexpr const char* kSpent = "The system spent: ";
constexpr const char* kSecs = " Secs.";
constexpr const char* kSecsToWrite = " Secs. to Write.";
constexpr const char* kSecsToReadSingle = " Secs. to Read:";
constexpr const char* kSecsToReadMulti = " Secs. to Read.";
constexpr const char* kCouldProcess = "The system could process ";
constexpr const char* kCouldProcessFile = "The system could process  ";
constexpr const char* kFilesPerSec = " Files/sec.";
constexpr const char* kItWas = "It was: ";
constexpr const char* kMillionsAccesses = " Millions Accesses/sec.";
constexpr const char* kMillionsAccess = " Millions Access/sec.";
constexpr const char* kConventionally = "Conventionally, it was: ";
constexpr const char* kMBPerSec = " MB/sec.";
constexpr const char* kMBPerSecWide = "  MB/sec.";
constexpr const char* kUnableToOpen = "Unable to open file";

// Between a rank and its processor name, in a worker's lines, in a line on
// standard error and in a worker's file names.
constexpr const char* kAt = " @";
constexpr const char* kSpace = " ";

// Multi-process lines.
constexpr const char* kThread = "Thread:";
constexpr const char* kOverallFiles = "Overall, The system could process: ";
constexpr const char* kImprovements = "Multi-Thread Improvements: ";
constexpr const char* kTimes = " times.";
constexpr const char* kAverageFiles = "Among all nodes, the average process per thread was: ";
constexpr const char* kOverallAccesses = "Overall, It was: ";
constexpr const char* kToWrite = " Millions Accesses/sec.to Write";
constexpr const char* kToRead = " Millions Accesses/sec.to Read";
constexpr const char* kTotalWriting = "Conventionally, total writing speed was: ";
constexpr const char* kTotalReading = "Conventionally, total reading speed was: ";
constexpr const char* kAverageLowWriting =
    "Among all nodes, the average low writing process per thread was: ";
constexpr const char* kAverageLowReading =
    "Among all nodes, the average low reading process per thread was: ";
constexpr const char* kAverageHighWriting =
    "Among all nodes, the average high writing process per thread was: ";
constexpr const char* kAverageHighReading =
    "Among all nodes, the average high reading process per thread was: ";

// Lines on standard error that tell what failed in a measurement.
constexpr const char* kProgram = "drives_mpi";
constexpr const char* kLowName = "Low writing and reading speeds";
constexpr const char* kHighName = "High writing and reading speeds";

// What a measurement counts as failed, and the name each is told by. The
// table lists them in the order of the enum, which the compiler checks, so
// that an operation's entry is found by its value and "also failed:" tells
// them in that order.
enum class Operation {
  kOpenForWriting,
  kOpenForReading,
  kOpen,
  kClose,
  kDelete,
  kByteWrite,
  kByteRead,
  kBlockRead,
  kBlockWrite,
  kSeek,  // a block pass's positionings, its length query and input syncs among them
  kBlockAllocation,
  kCount
};
constexpr int kOperationCount = static_cast<int>(Operation::kCount);
struct OperationName {
  Operation operation;
  const char* name;
};
constexpr OperationName kOperationNames[] = {
    {Operation::kOpenForWriting, "opens for writing"},
    {Operation::kOpenForReading, "opens for reading"},
    {Operation::kOpen, "opens"},
    {Operation::kClose, "closes"},
    {Operation::kDelete, "deletes"},
    {Operation::kByteWrite, "one-byte writes"},
    {Operation::kByteRead, "one-byte reads"},
    {Operation::kBlockRead, "block reads"},
    {Operation::kBlockWrite, "block writes"},
    {Operation::kSeek, "seeks"},
    {Operation::kBlockAllocation, "block allocations"},
};
constexpr bool every_operation_named_in_order() {
  int next = 0;
  for (const OperationName& each : kOperationNames) {
    if (static_cast<int>(each.operation) != next++) return false;
  }
  return next == kOperationCount;
}
static_assert(every_operation_named_in_order(),
              "kOperationNames names every Operation once, in the order of the enum");
constexpr const char* operation_name(Operation operation) {
  return kOperationNames[static_cast<int>(operation)].name;
}
constexpr const char* kEndOfFile = "end of file";
constexpr const char* kWroteNothing = "nothing was written";

// The line on standard error of a run whose workers shared the root's host.
constexpr const char* kWorkersOf = " of ";
constexpr const char* kRanOnThisHost = " workers ran on this host (";
constexpr const char* kTheirLoad =
    ") while its single-process tests ran; those figures and every \"Multi-Thread "
    "Improvements\" gain include their load.";
constexpr const char* kRanksHere = " The ";
constexpr const char* kSharedProcessors = " ranks on this host also shared its ";
constexpr const char* kProcessorsOnline = " processors online.";

// The line on standard error of a test build, before anything is measured.
constexpr const char* kTestBuild = ": a test build: every count and size is divided by ";
constexpr const char* kNotComparable =
    " (DRIVES_TEST_SCALE); its figures are not comparable with a release build's.";

// The line on standard error of a root that cannot read the local time,
// which names the result file.
constexpr const char* kUnknownTime =
    ": the local time cannot be read, and the result file is named by it: the report goes to "
    "the console only.";

// End lines.
constexpr const char* kSaved = "Results have been saved in a file and you can find it at: ";
constexpr const char* kNotSaved = "Results could not be saved in a file at: ";
constexpr const char* kPressEnter = "Press Enter to Exit.";
