// Number formatting, the result file's name and the end lines.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <limits>
#include <sstream>

#include "run/report.h"
#include "run/state.h"

namespace {

TEST(Line, NumbersPrintInTheDefaultSixDigitForm) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {262144, "262144"},       {1234567.8, "1.23457e+06"},
      {0.123456789, "0.123457"}, {12.0, "12"},
      {0.000012, "1.2e-05"},    {131072 / 0.1, "1.31072e+06"},
      {std::numeric_limits<double>::infinity(), "inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(line(c.value), c.text) << c.value;
}

TEST(Line, PiecesAreJoinedWithNothingBetweenThem) {
  EXPECT_EQ(line("Thread:", 12, " @", "n1", "The system spent: ", 2.0, " Secs."),
            "Thread:12 @n1The system spent: 2 Secs.");
  EXPECT_EQ(line(std::int64_t{-25165824}), "-25165824");
}

TEST(Megabytes, ConvertsByTwoFactorsOf1024) {
  // A one-byte phase of 25165824 accesses that took 3 seconds.
  const double rate = 25165824.0 / 3;
  EXPECT_EQ(line(rate / 1000000.0), "8.38861");
  EXPECT_EQ(line(megabytes(rate)), "8");
  EXPECT_EQ(line(megabytes(25165824.0 / 0.02)), "1200");
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
  name_result_file("node07", start, stamp, name);
  EXPECT_STREQ(stamp, "local date 2023.03.14 time 09.26.53.txt");
  EXPECT_STREQ(name,
               "results_drives_macos_clusters_mx @ node07 @ local date 2023.03.14 time 09.26.53.txt");

  // The longest processor name the runtime can hand over still fits whole.
  const std::string longest(kProcNameSize - 1, 'x');
  name_result_file(longest.c_str(), start, stamp, name);
  EXPECT_EQ(std::string(name),
            "results_drives_macos_clusters_mx @ " + longest + " @ " + stamp);
}

TEST(SharedHost, IsToldWithTheWorkersAndProcessorsThatShared) {
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

// Runs report_end_lines with the console captured.
std::string end_lines(bool& saved) {
  std::ostringstream console;
  std::streambuf* const original = std::cout.rdbuf(console.rdbuf());
  saved = report_end_lines();
  std::cout.rdbuf(original);
  return console.str();
}

class EndLines : public ::testing::Test {
 protected:
  void SetUp() override {
    newbuffer = "/a/b";
    std::snprintf(resultfile, sizeof resultfile, "%s", "result.txt");
  }
  void TearDown() override {
    fout.close();
    fout.clear();
  }
};

TEST_F(EndLines, SayWhereTheSavedResultsAre) {
  const std::string path = ::testing::TempDir() + "end_lines_result.txt";
  fout.open(path);
  fout << "x" << std::endl;
  bool saved = false;
  EXPECT_EQ(end_lines(saved),
            "\n\nResults have been saved in a file and you can find it at: /a/b/result.txt\n\n\n"
            "Press Enter to Exit.\n");
  EXPECT_TRUE(saved);
  EXPECT_FALSE(fout.is_open());
}

TEST_F(EndLines, ReportAResultFileThatNeverOpened) {
  fout << "lost" << std::endl;
  bool saved = true;
  EXPECT_NE(end_lines(saved).find("Results could not be saved in a file at: /a/b/result.txt\n"),
            std::string::npos);
  EXPECT_FALSE(saved);
}

TEST_F(EndLines, ReportALostWrite) {
  fout.open("/dev/full");
  fout << "lost" << std::endl;
  bool saved = true;
  EXPECT_NE(end_lines(saved).find("Results could not be saved"), std::string::npos);
  EXPECT_FALSE(saved);
}

TEST_F(EndLines, ShowAWorkingDirectoryOfAnyLength) {
  newbuffer = "/" + std::string(5000, 'd');
  bool saved = false;
  const std::string console = end_lines(saved);
  EXPECT_NE(console.find(newbuffer + "/result.txt\n"), std::string::npos);
}

}  // namespace
