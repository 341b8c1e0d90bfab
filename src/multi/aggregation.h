// The root's multi-process reports: each worker's lines in rank order as
// its set arrives, then the workers' total, its gain over the root's own
// rate and the mean per worker.
#pragma once

#include <string>

#include "run/wording.h"

// A file-handling block: heading, collection loop, total, gain and mean.
void report_multi_block(const char* heading, double* results, double* spent, std::string* names,
                        double& total, double& mean, double reference);

// Where one speed measurement's sets land on the root, the total and mean
// it keeps, the root's own rate the gain divides by, and how its time line
// ends.
struct SpeedCollection {
  double* results;
  double* spent;
  std::string* names;
  double& total;
  double& mean;
  double reference;
  const char* secs_suffix;
};

// A speed test: "Multi-Thread Enabled:" and its heading, both measurements'
// worker lines in the order the workers send them, then the summary, which
// gives the write direction first.
void report_speed_test(const char* heading, const SpeedCollection& first,
                       const SpeedCollection& second, bool write_first,
                       const SpeedSummaryTexts& texts);
