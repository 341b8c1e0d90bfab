// How many files per second one process can create, open, close and delete,
// through buffered streams and through bare descriptors.
#include "run/state.h"
#include "single/file_cycle.h"
#include "single/single_tests.h"

namespace {

void report_file_cycle(double spent, double rate) {
  report_block({line(kSpent, spent, kSecs), line(kCouldProcess, rate, kFilesPerSec), ""},
               {line(kSpent, spent, kSecs), line(kCouldProcessFile, rate, kFilesPerSec), ""});
}

void stream_cycles() {
  report_same({kLowerHeading, ""});
  Failures failures = stream_cycle_attempts();
  start_single_x = MPI_Wtime();
  for (int cycle = 0; cycle < kFileCycles; ++cycle) {
    stream_file_cycle(fout_temp_x, fin_temp_x, kSingleTempFile, failures);
  }
  end_single_x = MPI_Wtime();
  spent_single_x = end_single_x - start_single_x;
  result_single_x = kFileCycles / spent_single_x;
  report_file_cycle(spent_single_x, result_single_x);
  report_failures(kLowerHeading, failures);
}

void descriptor_cycles() {
  report_block({kHigherHeadingConsole, ""}, {kHigherHeading, ""});
  Failures failures = descriptor_cycle_attempts();
  start_single_x1 = MPI_Wtime();
  for (int cycle = 0; cycle < kFileCycles; ++cycle) {
    descriptor_file_cycle(handle, kSingleTempFile, failures);
  }
  end_single_x1 = MPI_Wtime();
  spent_single_x1 = end_single_x1 - start_single_x1;
  result_single_x1 = kFileCycles / spent_single_x1;
  report_file_cycle(spent_single_x1, result_single_x1);
  report_failures(kHigherHeading, failures);
}

}  // namespace

void file_handling_test() {
  stream_cycles();
  descriptor_cycles();
}
