// Every worker's file-handling cycles on a temporary file of its own.
#include "multi/aggregation.h"
#include "multi/exchange.h"
#include "multi/multi_tests.h"
#include "run/state.h"
#include "single/file_cycle.h"

namespace {

void stream_cycles() {
  const int r = iproc;
  iprocs[r] = r;
  Failures failures = stream_cycle_attempts();
  start_x[r] = MPI_Wtime();
  for (int cycle = 0; cycle < kFileCycles; ++cycle) {
    format_rank_file(filename, sizeof filename, kTempSuffix);
    stream_file_cycle(fout_temp_x_m[r], fin_temp_x_m[r], filename, failures);
  }
  end_x[r] = MPI_Wtime();
  spent_x[r] = end_x[r] - start_x[r];
  results_x[r] = kFileCycles / spent_x[r];
  report_failures(kLowerHeading, failures);
  send_result_set(results_x, spent_x);
}

void descriptor_cycles() {
  const int r = iproc;
  iprocs[r] = r;
  Failures failures = descriptor_cycle_attempts();
  start_xx[r] = MPI_Wtime();
  for (int cycle = 0; cycle < kFileCycles; ++cycle) {
    format_rank_file(filenamex, sizeof filenamex, kTempSuffix);
    descriptor_file_cycle(handle0[r], filenamex, failures);
  }
  end_xx[r] = MPI_Wtime();
  spent_xx[r] = end_xx[r] - start_xx[r];
  results_xx[r] = kFileCycles / spent_xx[r];
  report_failures(kHigherHeading, failures);
  send_result_set(results_xx, spent_xx);
}

}  // namespace

void multi_file_handling_worker() {
  stream_cycles();
  descriptor_cycles();
}

void multi_file_handling_root() {
  report_same({kMultiHeading});
  report_multi_block(kLowerHeading, results_x_temp, spent_x_temp, procname1_temp,
                     results_overall_x, results_mean, result_single_x);
  report_multi_block(kHigherHeading, results_x_tempx, spent_x_tempx, procname2_temp,
                     results_overall_xx, results_meanx, result_single_x1);
}
