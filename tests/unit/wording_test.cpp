// The report's wording: a rate's three figures in the default number format,
// the result file's name, and the arithmetic of the speed summaries; the
// lines themselves are checked end to end.
#include "base/wording.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <limits>

#include "base/names.h"
#include "base/report.h"

namespace {

TEST(SpeedLines, GiveTimeMillionsAndMegabytesOfOneRate) {
  // A one-byte phase of 25165824 accesses that took 3 seconds.
  EXPECT_EQ(speed_result(3, 25165824.0 / 3, " Secs. to Write.", 0).file,
            Lines({"The system spent: 3 Secs. to Write.", "It was: 8.38861 Millions Accesses/sec.",
                   "Conventionally, it was: 8 MB/sec."}));
  EXPECT_EQ(worker_speed_lines(2, "n 1", 3, 25165824.0 / 3, " Secs. to Read.").console,
            Lines({"Thread:2 @n 1 The system spent: 3 Secs. to Read.",
                   "Thread:2 @n 1 It was: 8.38861 Millions Access/sec.",
                   "Conventionally, it was: 8 MB/sec."}));
}

TEST(ResultFileName, CarriesProcessorNameAndLocalStartTimeOrNothing) {
  setenv("TZ", "UTC0", 1);
  tzset();
  char stamp[kTimestampSize];
  char name[kResultFileSize];
  // The longest processor name the runtime can hand over still fits whole.
  const std::string longest(kProcNameSize - 1, 'x');
  EXPECT_TRUE(name_result_file(longest.c_str(), 1678785813, stamp, name));  // 2023-03-14 09:23:33
  EXPECT_EQ(std::string(name), "results_drives_macos_clusters_mx @ " + longest +
                                   " @ local date 2023.03.14 time 09.23.33.txt");
  // A clock that failed, and a time no std::tm holds, give no name at all.
  for (const std::time_t unknown : {std::time_t{-1}, std::numeric_limits<std::time_t>::max()}) {
    EXPECT_FALSE(name_result_file("n1", unknown, stamp, name)) << unknown;
    EXPECT_EQ(std::string(name), "") << unknown;
  }
}

TEST(SpeedSummary, GivesEachDirectionItsOwnTotalGainAndMean) {
  const Direction write{4194304, 2097152, 1048576};  // 4 MB/s over 2 workers, root 1 MB/s
  const Direction read{8388608, 4194304, 16777216};
  testing::internal::CaptureStdout();
  report(speed_summary(kHighSummary, write, read));  // the console's lines, as printed
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\n"
            "Overall, It was: 4.1943 Millions Accesses/sec.to Write\n"
            "Conventionally, total writing speed was: 4 MB/sec.\n"
            "Multi-Thread Improvements: 4 times.\n"
            "Overall, It was: 8.38861 Millions Accesses/sec.to Read\n"
            "Conventionally, total reading speed was: 8 MB/sec.\n"
            "Multi-Thread Improvements: 0.5 times.\n"
            "\n\n"
            "Among all nodes, the average high writing process per thread was: 2  MB/sec.\n"
            "\n"
            "Among all nodes, the average high reading process per thread was: 4  MB/sec.\n");
  const Blocks low = speed_summary(kLowSummary, write, read);
  EXPECT_EQ(low.front().console.size(), 4u) << "two blank lines open the low summary";
  EXPECT_EQ(low.back().console, Lines({""})) << "and one closes it";
  EXPECT_EQ(low[5].file[1],
            "Among all nodes, the average low writing process per thread was: 2 MB/sec.");
}

}  // namespace
