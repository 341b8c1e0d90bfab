// How many files per second one process can create, open, close and delete,
// through buffered streams and through bare descriptors.
#include "base/report.h"
#include "base/span.h"
#include "base/state.h"
#include "io/file_cycle.h"
#include "single/single_tests.h"

namespace {

void stream_cycles() {
  report(heading(kLowerHeading));
  Failures failures = stream_cycle_attempts();
  start_single_x = MPI_Wtime();
  for (int cycle = 0; cycle < kFileCycles; ++cycle) {
    stream_file_cycle(fout_temp_x, fin_temp_x, kSingleTempFile, failures);
  }
  close_span(start_single_x, end_single_x, spent_single_x, result_single_x, kFileCycles);
  report(file_cycle_result(spent_single_x, result_single_x));
  tell_failures(kLowerHeading, failures);
  if (failures.any()) ++failed_measurements;
}

void descriptor_cycles() {
  report(higher_heading());
  Failures failures = descriptor_cycle_attempts();
  start_single_x1 = MPI_Wtime();
  for (int cycle = 0; cycle < kFileCycles; ++cycle) {
    descriptor_file_cycle(handle, kSingleTempFile, failures);
  }
  close_span(start_single_x1, end_single_x1, spent_single_x1, result_single_x1, kFileCycles);
  report(file_cycle_result(spent_single_x1, result_single_x1));
  tell_failures(kHigherHeading, failures);
  if (failures.any()) ++failed_measurements;
}

}  // namespace

void file_handling_test() {
  stream_cycles();
  descriptor_cycles();
}
