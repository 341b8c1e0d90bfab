// Block read and write speeds: the whole file in one call, then its back
// half again.
#include "base/report.h"
#include "base/span.h"
#include "base/state.h"
#include "io/block.h"
#include "single/single_tests.h"

namespace {

void read_phase() {
  Failures failures = block_read_attempts();
  start_single = MPI_Wtime();
  size0 = open_and_size(fin_datah, kSingleTempFile, failures);
  buffer.reset(allocate_block(size0, failures));
  if (!buffer) size0 = 0;  // nothing to read into, nor to write from
  read_block_passes(fin_datah, buffer.get(), size0, size0 / 2, failures);
  close_span(start_single, end_single, spent_single, result_single,
             static_cast<double>(size0) * kBlockFactor);
  report(speed_result(spent_single, result_single, kSecsToReadSingle, 0));
  tell_failures(kHighName, failures);
  if (failures.any()) ++failed_measurements;
}

void write_phase() {
  Failures failures = block_write_attempts();
  start_single1 = MPI_Wtime();
  write_block_passes(fout_data, kSingleBlockFile, buffer.get(), size0, size0 / 2, failures);
  close_span(start_single1, end_single1, spent_single1, result_single1,
             static_cast<double>(size0) * kBlockFactor);
  report({speed_result(spent_single1, result_single1, kSecsToWrite, 1), same({""})});
  tell_failures(kHighName, failures);
  if (failures.any()) ++failed_measurements;
}

}  // namespace

void high_speed_test() {
  report(heading(kHighHeading));
  read_phase();
  write_phase();
}
