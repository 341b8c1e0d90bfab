// Every worker's block read and write of its own data file.
#include "base/names.h"
#include "base/span.h"
#include "base/state.h"
#include "io/block.h"
#include "multi/aggregation.h"
#include "multi/exchange.h"
#include "multi/multi_tests.h"

namespace {

void read_sub_test() {
  const int r = iproc;
  Failures failures = block_read_attempts();
  start0[r] = MPI_Wtime();
  size_h[r] = open_and_size(fin_data1h[r], filename_data, failures);
  buffer1[r] = allocate_block(size_h[r], failures);
  if (buffer1[r] == nullptr) size_h[r] = 0;  // nothing to read into, nor to write from
  half_h[r] = size_h[r] / (r + 1);
  read_block_passes(fin_data1h[r], buffer1[r], size_h[r], half_h[r], failures);
  close_span(start0[r], end0[r], spent0[r], results0[r], size_h[r] + half_h[r]);
  send_measurement(kHighName, failures, results0, spent0);
}

void write_sub_test() {
  const int r = iproc;
  Failures failures = block_write_attempts();
  start2[r] = MPI_Wtime();
  name_rank_file(r, proc_name, "", filename_block);
  write_block_passes(fout_data1[r], filename_block, buffer1[r], size_h[r], half_h[r], failures);
  close_span(start2[r], end2[r], spent2[r], results2[r], size_h[r] + half_h[r]);
  send_measurement(kHighName, failures, results2, spent2);
}

}  // namespace

void multi_high_speed_worker() {
  read_sub_test();
  write_sub_test();
}

void multi_high_speed_root() {
  report_speed_test(kHighHeading, kHighReadSet, kHighWriteSet, kHighSummary);
}
