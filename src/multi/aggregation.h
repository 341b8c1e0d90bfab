// The root's multi-process report blocks: per-worker lines in rank order,
// the workers' total, its gain over the root's own rate and the mean.
#pragma once

#include <string>

#include "run/report.h"

// "Thread:<rank> @<name>" of a received worker.
std::string worker_label(int source, const std::string* names);

// A file-handling block: heading, collection loop, total, gain and mean.
void report_multi_block(const char* heading, double* results, double* spent, std::string* names,
                        double& total, double& mean, double reference);

// "Multi-Thread Enabled:" and the heading of a speed test.
void report_speed_heading(const char* heading);

// The collection loop of a speed measurement with the three lines each
// worker gets on the console and in the file; then the mean per worker.
void collect_speed_lines(double* results, double* spent, std::string* names, double& total,
                         double& mean, const char* secs_suffix);

// How the closing lines of the low-speed and the high-speed tests differ.
struct SpeedSummaryTexts {
  int opening_blanks;
  const char* write_average;
  const char* write_average_unit;
  const char* read_average;
  bool closing_blank;
};

// Totals, gains and means of a write and a read measurement, write first.
void report_speed_summary(const SpeedSummaryTexts& texts, double write_total, double read_total,
                          double write_reference, double read_reference, double write_mean,
                          double read_mean);
