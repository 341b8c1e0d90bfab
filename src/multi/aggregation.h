// The root's multi-process reports: each worker's lines in rank order as
// its set arrives, then the workers' total, its gain over the root's own
// rate and the mean per worker.
#pragma once

#include <string>

#include "base/wording.h"

// A file-handling block: heading, collection loop, total, gain and mean.
void report_multi_block(const char* heading, double* results, double* spent, std::string* names,
                        double& total, double& mean, double reference);

// The speed measurements' result sets on the root, as state.h keys them:
// sets 3 and 4 (one-byte write and read), 5 and 6 (block read and write).
enum SpeedSet { kLowWriteSet, kLowReadSet, kHighReadSet, kHighWriteSet };

// A speed test: "Multi-Thread Enabled:" and its heading, the worker lines
// of both measurements in the order the workers send them, then the
// summary, which gives the write direction first.
void report_speed_test(const char* heading, SpeedSet first, SpeedSet second,
                       const SpeedSummaryTexts& texts);
