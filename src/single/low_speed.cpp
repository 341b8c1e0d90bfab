// One-byte write and read speeds: every byte is handed to the operating
// system on its own.
#include "base/report.h"
#include "base/span.h"
#include "base/state.h"
#include "io/one_byte.h"
#include "single/single_tests.h"

namespace {

void write_phase() {
  Failures failures = one_byte_write_attempts(kSecondPassBytes);
  start_single0 = MPI_Wtime();
  position = kSecondPassBytes;
  write_one_byte_passes(fout_temp, kSingleTempFile, position, failures);
  close_span(start_single0, end_single0, spent_single0, result_single0, kLowAccesses);
  report(speed_result(spent_single0, result_single0, kSecsToWrite, 0));
  tell_failures(kLowName, failures);
  if (failures.any()) ++failed_measurements;
}

void read_phase() {
  Failures failures = one_byte_read_attempts(kSecondPassBytes);
  start_single2 = MPI_Wtime();
  read_one_byte_passes(fin_data, kSingleTempFile, kSecondPassBytes, char8, failures);
  close_span(start_single2, end_single2, spent_single2, result_single2, kLowAccesses);
  report_console(unable_to_open(failures));
  report(speed_result(spent_single2, result_single2, kSecsToReadSingle, 1));
  tell_failures(kLowName, failures);
  if (failures.any()) ++failed_measurements;
  fin_data.close();
}

}  // namespace

void low_speed_test() {
  report(heading(kLowHeading));
  write_phase();
  read_phase();
}
