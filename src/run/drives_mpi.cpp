#include "run/drives_mpi.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "base/report.h"
#include "base/state.h"
#include "multi/multi_tests.h"
#include "single/single_tests.h"

namespace {

// A closed standard input would let the runtime's first descriptor take its
// number, and the wait for Enter would then read from that. Reading from
// /dev/null instead ends the wait at once, as an input at its end does.
void reopen_closed_standard_input() {
  if (fcntl(STDIN_FILENO, F_GETFD) == -1) open("/dev/null", O_RDONLY);
}

void start_up(int& argc, char**& argv) {
  reopen_closed_standard_input();
  MPI_Init_thread(&argc, &argv, kRequiredThreadLevel, &provided);
  MPI_Comm_size(MPI_COMM_WORLD, &nproc);
  MPI_Comm_rank(MPI_COMM_WORLD, &iproc);
  MPI_Get_processor_name(proc_name, &nameLength);
}

// The ranks agree on the thread level, so that they stop together or run
// together: a rank that ran on while another stopped would wait for it for
// ever.
bool full_support_everywhere() {
  int granted = provided == kRequiredThreadLevel;
  int everywhere = 0;
  MPI_Allreduce(&granted, &everywhere, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
  return everywhere == 1;
}

// A stop's lines must reach the user from every rank. MPICH's launcher ends
// the whole job as soon as one rank leaves without finalising, and Open
// MPI's as soon as one leaves with a non-zero status, so a rank that left
// at once could take with it a line another rank had not yet printed: each
// rank hands its lines on, all meet, and only then do they finalise and
// leave.
[[noreturn]] void stop_together() {
  std::cout.flush();
  std::fflush(stdout);
  MPI_Barrier(MPI_COMM_WORLD);
  MPI_Finalize();
  std::exit(kStopStatus);
}

[[noreturn]] void thread_level_stop() {
  std::puts(kNoMultipleThread);
  stop_together();
}

[[noreturn]] void rank_limit_stop() {
  if (iproc == kRootRank) report_console(stop_banner());
  stop_together();
}

// fin_data was closed by its own test.
void close_single_streams() {
  fin_datah.close();
  fout_data.close();
  fout_temp.close();
}

// Discards what is already typed, then waits for one more character; at the
// end of input the wait ends at once.
void wait_for_enter() {
  std::cin.ignore(std::cin.rdbuf()->in_avail());
  std::cin.get();
}

// Failed operations come first: they are what every rank can see, so that a
// run whose disk refused everything ends alike on every rank, and Open MPI's
// mpirun, which passes on the first non-zero status, reports it for sure.
int run_status(bool saved) {
  if (failed_measurements) return kFailedOperationsStatus;
  return saved ? EXIT_SUCCESS : kNotSavedStatus;
}

int root_path() {
  open_result_file();
  report(start_banner(nproc));
  report(heading(kSingleHeading));
  file_handling_test();
  low_speed_test();
  high_speed_test();
  close_single_streams();
  if (nproc >= kMultiProcessThreshold) {
    multi_file_handling_root();
    buffer.reset();
    multi_low_speed_root();
    multi_high_speed_root();
    tell_shared_host();
  }
  const bool saved = report_end_lines();
  wait_for_enter();
  MPI_Finalize();
  return run_status(saved);
}

// A worker never fills the root's block buffer, so it has none to release.
int worker_path() {
  multi_file_handling_worker();
  multi_low_speed_worker();
  multi_high_speed_worker();
  MPI_Finalize();
  // The root cannot be told: the result messages have no room for it.
  return run_status(true);
}

}  // namespace

int drives_mpi(int argc, char** argv) {
  start_up(argc, argv);
  if (iproc == kRootRank) tell_test_build();
  if (!full_support_everywhere()) thread_level_stop();
  if (nproc > kRankLimit) rank_limit_stop();
  return iproc == kRootRank ? root_path() : worker_path();
}
