// Every worker's one-byte write and read passes on a data file of its own.
#include "base/names.h"
#include "base/report.h"
#include "base/span.h"
#include "base/state.h"
#include "io/one_byte.h"
#include "multi/aggregation.h"
#include "multi/exchange.h"
#include "multi/multi_tests.h"

namespace {

// The second pass shrinks with the rank, so that workers finish apart.
std::int64_t second_pass(int rank) { return kFirstPassBytes / (rank + 1); }

void write_sub_test() {
  const int r = iproc;
  iprocs[r] = r;
  Failures failures = one_byte_write_attempts(second_pass(r));
  start_0[r] = MPI_Wtime();
  name_rank_file(r, proc_name, kTempSuffix, filename_data);
  position_0[r] = second_pass(r);
  write_one_byte_passes(fout_temp1[r], filename_data, position_0[r], failures);
  close_span(start_0[r], end_0[r], spent_0[r], results_0[r], kFirstPassBytes + position_0[r]);
  send_measurement(kLowName, failures, results_0, spent_0);
}

void read_sub_test() {
  const int r = iproc;
  Failures failures = one_byte_read_attempts(second_pass(r));
  start1[r] = MPI_Wtime();
  position1[r] = second_pass(r);
  char ignored = 0;
  read_one_byte_passes(fin_data1[r], filename_data, position1[r], ignored, failures);
  fin_data1[r].close();
  close_span(start1[r], end1[r], spent1[r], results1[r], kFirstPassBytes + position1[r]);
  report_console(unable_to_open(failures));
  send_measurement(kLowName, failures, results1, spent1);
}

}  // namespace

void multi_low_speed_worker() {
  write_sub_test();
  read_sub_test();
}

void multi_low_speed_root() {
  report_speed_test(kLowHeading, kLowWriteSet, kLowReadSet, kLowSummary);
}
