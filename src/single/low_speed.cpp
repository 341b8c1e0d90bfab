// One-byte write and read speeds: every byte is handed to the operating
// system on its own.
#include "run/state.h"
#include "single/one_byte.h"
#include "single/single_tests.h"

namespace {

void write_phase() {
  Failures failures = one_byte_write_attempts(kSecondPassBytes);
  start_single0 = MPI_Wtime();
  position = kSecondPassBytes;
  write_one_byte_passes(fout_temp, kSingleTempFile, position, failures);
  end_single0 = MPI_Wtime();
  spent_single0 = end_single0 - start_single0;
  result_single0 = kLowAccesses / spent_single0;
  report_same(speed_lines(spent_single0, result_single0, kSecsToWrite));
  report_failures(kLowName, failures);
}

void read_phase() {
  Failures failures = one_byte_read_attempts(kSecondPassBytes);
  start_single2 = MPI_Wtime();
  read_one_byte_passes(fin_data, kSingleTempFile, kSecondPassBytes, char8, failures);
  end_single2 = MPI_Wtime();
  spent_single2 = end_single2 - start_single2;
  result_single2 = kLowAccesses / spent_single2;
  Lines lines = speed_lines(spent_single2, result_single2, kSecsToReadSingle);
  lines.push_back("");
  report_same(lines);
  report_failures(kLowName, failures);
  fin_data.close();
}

}  // namespace

Lines speed_lines(double spent, double rate, const char* secs_suffix) {
  return {line(kSpent, spent, secs_suffix), line(kItWas, rate / kMillion, kMillionsAccesses),
          line(kConventionally, megabytes(rate), kMBPerSec)};
}

void low_speed_test() {
  report_same({kLowHeading, ""});
  write_phase();
  read_phase();
}
