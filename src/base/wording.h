// Every line the program prints, built here and nowhere else, by pure
// functions: given the figures, they return the lines, and report.cpp
// prints them. Where the console and the result file word a line
// differently, a Block carries both.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "constants/constants.h"
#include "io/failures.h"

using Lines = std::vector<std::string>;

// One report block: written whole to the console, then whole to the file.
struct Block {
  Lines console;
  Lines file;
};
using Blocks = std::vector<Block>;

// Joins literal pieces and values into one line in the streams' default
// number format (six significant digits, %g style, inf for an infinite rate).
template <typename... Pieces>
std::string line(const Pieces&... pieces) {
  std::ostringstream text;
  (text << ... << pieces);
  return text.str();
}

// A rate in MB: multiplied twice by 1/1024.
double megabytes(double rate);

// The same lines on both streams.
Block same(const Lines& lines);

// Banners, headings and the end.
Block start_banner(int ranks);
Lines stop_banner();
Block heading(const char* text);  // the text and a blank line
Block higher_heading();           // the console spells it "Hihger"
Lines end_lines(bool saved, const std::string& path);
// The console's line after a one-byte read pass whose file did not open;
// none when it opened.
Lines unable_to_open(const Failures& failures);

// The root's own figures: a file cycle's two lines, and the three lines of
// a one-byte or block phase (time, millions, MB) with `blanks` after them.
Block file_cycle_result(double spent, double rate);
Block speed_result(double spent, double rate, const char* secs_suffix, int blanks);

// A worker's lines, "Thread:<rank> @<host>" first.
Block worker_file_lines(int rank, const std::string& host, double spent, double rate);
Block worker_speed_lines(int rank, const std::string& host, double spent, double rate,
                         const char* secs_suffix);

// After a file cycle's workers: total, gain over the root's rate, mean.
Blocks file_summary(double total, double gain, double mean);

// A direction of a speed test: the workers' total and mean rates and the
// root's own rate that the gain divides by.
struct Direction {
  double total;
  double mean;
  double reference;
};

// How the closing lines of the low-speed and the high-speed tests differ.
struct SpeedSummaryTexts {
  int opening_blanks;
  const char* write_average;
  const char* write_average_unit;
  const char* read_average;
  bool closing_blank;
};
constexpr SpeedSummaryTexts kLowSummary{2, kAverageLowWriting, kMBPerSec, kAverageLowReading, true};
constexpr SpeedSummaryTexts kHighSummary{1, kAverageHighWriting, kMBPerSecWide, kAverageHighReading,
                                         false};

// Totals, gains and means of a speed test, the write direction first.
Blocks speed_summary(const SpeedSummaryTexts& texts, const Direction& write, const Direction& read);

// Standard error: the calls that failed in one measurement of a rank, and
// the workers that shared the root's host (empty when none did).
std::string failure_line(int rank, const char* host, const char* test, const Failures& failures);
std::string shared_host_line(int workers_here, int workers, const char* host, long processors);
// Standard error: that this is a test build (empty for a release build).
std::string test_build_line(int scale);
// Standard error: that the result file has no name, the local time unknown.
std::string unknown_time_line();
