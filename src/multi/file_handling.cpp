// Every worker's file-handling cycles on a temporary file of its own.
#include "base/names.h"
#include "base/report.h"
#include "base/span.h"
#include "base/state.h"
#include "io/file_cycle.h"
#include "multi/aggregation.h"
#include "multi/exchange.h"
#include "multi/multi_tests.h"

namespace {

// kFileCycles cycles of one kind, timed, then told and sent; each cycle
// notes its failures in `failures`. Each formats the worker's file name
// anew inside the span: the name is part of the work this measurement
// times, on every worker alike, and a short snprintf costs far less than a
// create and a delete.
template <typename Cycle>
void timed_cycles(const char* test, Failures& failures, double* start, double* end, double* spent,
                  double* results, Cycle cycle) {
  const int r = iproc;
  iprocs[r] = r;
  start[r] = MPI_Wtime();
  for (int count = 0; count < kFileCycles; ++count) cycle(r, failures);
  close_span(start[r], end[r], spent[r], results[r], kFileCycles);
  send_measurement(test, failures, results, spent);
}

}  // namespace

void multi_file_handling_worker() {
  Failures streams = stream_cycle_attempts();
  timed_cycles(kLowerHeading, streams, start_x, end_x, spent_x, results_x,
               [](int r, Failures& failures) {
                 name_rank_file(r, proc_name, kTempSuffix, filename);
                 stream_file_cycle(fout_temp_x_m[r], fin_temp_x_m[r], filename, failures);
               });
  Failures descriptors = descriptor_cycle_attempts();
  timed_cycles(kHigherHeading, descriptors, start_xx, end_xx, spent_xx, results_xx,
               [](int r, Failures& failures) {
                 name_rank_file(r, proc_name, kTempSuffix, filenamex);
                 descriptor_file_cycle(handle0[r], filenamex, failures);
               });
}

void multi_file_handling_root() {
  report(same({kMultiHeading}));
  report_multi_block(kLowerHeading, results_x_temp, spent_x_temp, procname1_temp, results_overall_x,
                     results_mean, result_single_x);
  report_multi_block(kHigherHeading, results_x_tempx, spent_x_tempx, procname2_temp,
                     results_overall_xx, results_meanx, result_single_x1);
}
