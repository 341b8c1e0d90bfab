// The report's wording: numbers, names, the lines whose console and file
// copies differ, the arithmetic of the summaries, and the end lines.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <sstream>

#include "run/names.h"
#include "run/report.h"
#include "run/state.h"

namespace {

TEST(Line, NumbersPrintInTheDefaultSixDigitFormJoinedWithNothingBetween) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {262144, "262144"},        {1234567.8, "1.23457e+06"},
      {0.123456789, "0.123457"}, {12.0, "12"},
      {0.000012, "1.2e-05"},     {std::numeric_limits<double>::infinity(), "inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(line(c.value), c.text) << c.value;
  EXPECT_EQ(line("Thread:", 12, " @", "n1", std::int64_t{-25165824}), "Thread:12 @n1-25165824");
  // A one-byte phase of 25165824 accesses that took 3 seconds.
  EXPECT_EQ(line(megabytes(25165824.0 / 3)), "8");
}

TEST(ResultFileName, CarriesProcessorNameAndLocalStartTime) {
  std::tm start = {};
  start.tm_year = 2023 - 1900;
  start.tm_mon = 2;
  start.tm_mday = 14;
  start.tm_hour = 9;
  start.tm_min = 26;
  start.tm_sec = 53;
  char stamp[kTimestampSize];
  char name[kResultFileSize];
  // The longest processor name the runtime can hand over still fits whole.
  const std::string longest(kProcNameSize - 1, 'x');
  name_result_file(longest.c_str(), start, stamp, name);
  EXPECT_EQ(std::string(name), "results_drives_macos_clusters_mx @ " + longest +
                                   " @ local date 2023.03.14 time 09.26.53.txt");
  iproc = 12;
  std::snprintf(proc_name, sizeof proc_name, "%s", "n 1");
  format_rank_file(name, sizeof name, ".tmp");
  EXPECT_STREQ(name, "data64-macos-mx-12 @n 1.tmp");
}

TEST(WorkerLines, TheConsoleHasABlankAfterTheHostInFileLinesTheFileNot) {
  const Block lines = worker_file_lines(2, "n1", 1.5, 87381.3);
  EXPECT_EQ(lines.console, Lines({"Thread:2 @n1 The system spent: 1.5 Secs.",
                                  "Thread:2 @n1 The system could process 87381.3 Files/sec."}));
  EXPECT_EQ(lines.file, Lines({"Thread:2 @n1The system spent: 1.5 Secs.",
                               "Thread:2 @n1The system could process 87381.3 Files/sec."}));
  EXPECT_EQ(worker_speed_lines(1, "n1", 2, 3e6, " Secs. to Read.").file[1],
            "Thread:1 @n1 It was: 3 Millions Accesses/sec.");
}

std::string printed(const Blocks& blocks) {
  std::string text;
  for (const Block& block : blocks) {
    for (const std::string& row : block.console) text += row + "\n";
  }
  return text;
}

TEST(SpeedSummary, GivesEachDirectionItsOwnTotalGainAndMean) {
  const Direction write{4194304, 2097152, 1048576};  // 4 MB/s over 2 workers, root 1 MB/s
  const Direction read{8388608, 4194304, 16777216};
  EXPECT_EQ(printed(speed_summary(kHighSummary, write, read)),
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

TEST(StandardError, TellsFailuresAndSharedHostsOnOneLineEach) {
  Failures failures = Failures{{kOpenForWriting, 131072}, {kDelete, 131072}};
  failures.note(kOpenForWriting, EROFS, 131072);
  failures.note(kDelete, ENOENT, 7);
  EXPECT_EQ(failure_line(3, "node b.lan", kLowerHeading, failures),
            "drives_mpi: rank 3 @node b.lan: Power of Handling Files -- Lower: 131072 of 131072 "
            "opens for writing failed (Read-only file system); also failed: 7 of 131072 deletes");
  EXPECT_EQ(shared_host_line(0, 3, "vm", 1), "");
  const std::string load =
      " while its single-process tests ran; those figures and every \"Multi-Thread "
      "Improvements\" gain include their load.";
  EXPECT_EQ(shared_host_line(1, 3, "node a.lan", 2),
            "drives_mpi: 1 of 3 workers ran on this host (node a.lan)" + load);
  EXPECT_EQ(shared_host_line(2, 2, "vm", 2),
            "drives_mpi: 2 of 2 workers ran on this host (vm)" + load +
                " The 3 ranks on this host also shared its 2 processors online.");
}

// report_end_lines, with the console captured, in a directory of its own.
class EndLines : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "drives-end-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    newbuffer = "/a/b";
    std::snprintf(resultfile, sizeof resultfile, "%s", "result.txt");
  }
  void TearDown() override {
    fout.close();
    fout.clear();
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  std::string end_lines(bool& saved) {
    std::ostringstream console;
    std::streambuf* const original = std::cout.rdbuf(console.rdbuf());
    saved = report_end_lines();
    std::cout.rdbuf(original);
    return console.str();
  }

  std::string dir_;
};

TEST_F(EndLines, SayWhereTheSavedResultsAre) {
  fout.open(dir_ + "/result.txt");
  fout << "x" << std::endl;
  bool saved = false;
  EXPECT_EQ(end_lines(saved),
            "\n\nResults have been saved in a file and you can find it at: /a/b/result.txt\n\n\n"
            "Press Enter to Exit.\n");
  EXPECT_TRUE(saved);
  EXPECT_FALSE(fout.is_open());
}

TEST_F(EndLines, ReportAResultFileThatNeverOpenedOrLostAWrite) {
  fout << "lost" << std::endl;
  bool saved = true;
  newbuffer = "/" + std::string(5000, 'd');  // a working directory of any length
  EXPECT_NE(end_lines(saved).find("Results could not be saved in a file at: " + newbuffer +
                                  "/result.txt\n"),
            std::string::npos);
  EXPECT_FALSE(saved);
  fout.clear();
  fout.open("/dev/full");
  fout << "lost" << std::endl;
  saved = true;
  EXPECT_NE(end_lines(saved).find("Results could not be saved"), std::string::npos);
  EXPECT_FALSE(saved);
}

}  // namespace
